// The Susie plug-in API, declared once for the server and the bundled plug-ins: kinds, flag
// bits, result codes, the records of 32-bit (.spi) and 64-bit (.sph) plug-ins, and the entry
// points, narrow and wide. Only system headers: a plug-in includes this file alone.
#pragma once
#include <windows.h>
#include <cstddef>

namespace SPI {

// Kinds: the first four bytes of information number 0, read as one little-endian value.
constexpr DWORD KIND_PICTURE = 0x4E493030;  // "00IN"
constexpr DWORD KIND_ARCHIVE = 0x4D413030;  // "00AM"

// Bytes of a file's start that IsSupported is shown.
constexpr DWORD HEADER_SIZE = 2048;

// Bits of `flag`.
constexpr UINT FLAG_SOURCE_MASK = 7;
constexpr UINT FLAG_FILE = 0;            // buf is a file name, len an offset in it
constexpr UINT FLAG_MEMORY = 1;          // buf is the data's address, len its size
constexpr UINT FLAG_IGNORE_CASE = 0x80;  // GetFileInfo: names match whatever their case
constexpr UINT FLAG_OUTPUT_MASK = 0x700;
constexpr UINT FLAG_OUTPUT_FOLDER = 0;      // GetFile: dest names a folder
constexpr UINT FLAG_OUTPUT_MEMORY = 0x100;  // GetFile: dest is an HLOCAL* the plug-in fills
// CreatePicture: answer 2 for an extension the plug-in does not write, instead of writing
// some format of its own choice.
constexpr UINT FLAG_REJECT_UNKNOWN_TYPE = 0x800;

enum ResultCode : int {
    SPI_NOT_IMPLEMENTED = -1,
    SPI_OK = 0,
    SPI_ABORTED = 1,  // the progress callback asked to stop
    SPI_UNKNOWN_FORMAT = 2,
    SPI_BROKEN_DATA = 3,
    SPI_NO_MEMORY = 4,
    SPI_MEMORY_ERROR = 5,
    SPI_READ_ERROR = 6,
    SPI_WINDOW_ERROR = 7,  // reserved
    SPI_INTERNAL_ERROR = 8,
    SPI_WRITE_ERROR = 9,
    SPI_END_OF_FILE = 10,
};

// Characters in each name field of a member record, narrow or wide.
constexpr size_t MEMBER_NAME_LENGTH = 200;

// A member record's numbers and its time stamp: 32 bits in a .spi's records; in a .sph's
// (64-bit), which are padded as the plug-ins' compiler aligns them, 8 bytes, unsigned.
#ifdef _WIN64
using RecordNumber = ULONG_PTR;
using RecordTime = ULONG_PTR;
#else
using RecordNumber = ULONG;
using RecordTime = LONG;  // seconds since 1970-01-01 UTC
#endif

#pragma pack(push, 1)
// Picture information: 26 bytes (32 in a .sph).
struct PictureInfoRecord {
    LONG left;
    LONG top;
    LONG width;
    LONG height;
    WORD x_density;
    WORD y_density;
    SHORT colorDepth;
#ifdef _WIN64
    BYTE padding[2];
#endif
    HLOCAL hInfo;  // text attached to the picture, or null
};

// One archive member: 428 bytes (448). A listing is an array of these ended by a record
// whose first byte is 0.
struct fileInfo {
    unsigned char method[8];  // not always NUL-terminated
    RecordNumber position;    // where GetFile finds the member
    RecordNumber compsize;
    RecordNumber filesize;
    RecordTime timestamp;
    char path[MEMBER_NAME_LENGTH];
    char filename[MEMBER_NAME_LENGTH];
    ULONG crc;
#ifdef _WIN64
    BYTE padding[4];
#endif
};

// The same with UTF-16 names: 828 bytes (848).
struct fileInfoW {
    unsigned char method[8];  // narrow text
    RecordNumber position;
    RecordNumber compsize;
    RecordNumber filesize;
    RecordTime timestamp;
    WCHAR path[MEMBER_NAME_LENGTH];
    WCHAR filename[MEMBER_NAME_LENGTH];
    ULONG crc;
#ifdef _WIN64
    BYTE padding[4];
#endif
};
#pragma pack(pop)

// The archive records of a 32-bit plug-in, which a 64-bit host reads when another process
// lists for it: their sizes and the offsets of the numbers after `method` (each 32 bits),
// then the two names and the CRC.
namespace record32 {
constexpr size_t NARROW_SIZE = 428, WIDE_SIZE = 828;
constexpr size_t POSITION = 8, COMPSIZE = 12, FILESIZE = 16, TIMESTAMP = 20, PATH = 24;
}  // namespace record32

#ifndef _WIN64
static_assert(sizeof(PictureInfoRecord) == 26 && offsetof(PictureInfoRecord, hInfo) == 22);
static_assert(sizeof(fileInfo) == record32::NARROW_SIZE && offsetof(fileInfo, position) == record32::POSITION &&
              offsetof(fileInfo, compsize) == record32::COMPSIZE && offsetof(fileInfo, filesize) == record32::FILESIZE &&
              offsetof(fileInfo, timestamp) == record32::TIMESTAMP && offsetof(fileInfo, path) == record32::PATH &&
              offsetof(fileInfo, filename) == 224 && offsetof(fileInfo, crc) == 424);
static_assert(sizeof(fileInfoW) == record32::WIDE_SIZE && offsetof(fileInfoW, path) == record32::PATH &&
              offsetof(fileInfoW, filename) == 424 && offsetof(fileInfoW, crc) == 824);
#else
static_assert(sizeof(PictureInfoRecord) == 32 && offsetof(PictureInfoRecord, hInfo) == 24);
static_assert(sizeof(fileInfo) == 448 && offsetof(fileInfo, compsize) == 16 && offsetof(fileInfo, timestamp) == 32 &&
              offsetof(fileInfo, path) == 40 && offsetof(fileInfo, filename) == 240 && offsetof(fileInfo, crc) == 440);
static_assert(sizeof(fileInfoW) == 848 && offsetof(fileInfoW, path) == 40 && offsetof(fileInfoW, filename) == 440 &&
              offsetof(fileInfoW, crc) == 840);
#endif

// Entry points (stdcall). Lengths, offsets and the callback's data are pointer-sized. A wide
// form takes a UTF-16 file name where the narrow one takes narrow text; GetPluginInfoW's
// buflen counts characters.
using ProgressCallback = int(WINAPI*)(int num, int denom, LONG_PTR data);
using GetPluginInfoFn = int(WINAPI*)(int infono, LPSTR buf, int buflen);
using IsSupportedFn = int(WINAPI*)(LPCSTR filename, void* header);
using GetPictureInfoFn = int(WINAPI*)(LPCSTR buf, LONG_PTR len, UINT flag, PictureInfoRecord* info);
using GetPictureFn = int(WINAPI*)(LPCSTR buf, LONG_PTR len, UINT flag, HLOCAL* info, HLOCAL* pixels,
                                  ProgressCallback progress, LONG_PTR data);
using GetPreviewFn = GetPictureFn;
using GetArchiveInfoFn = int(WINAPI*)(LPCSTR buf, LONG_PTR len, UINT flag, HLOCAL* list);
using GetFileInfoFn = int(WINAPI*)(LPCSTR buf, LONG_PTR len, LPCSTR filename, UINT flag, fileInfo* info);
using GetFileFn = int(WINAPI*)(LPCSTR src, LONG_PTR len, LPSTR dest, UINT flag, ProgressCallback progress,
                               LONG_PTR data);
using ConfigurationDlgFn = int(WINAPI*)(HWND parent, int function);
using GetPluginInfoWFn = int(WINAPI*)(int infono, LPWSTR buf, int buflen);
using IsSupportedWFn = int(WINAPI*)(LPCWSTR filename, void* header);
using GetPictureInfoWFn = int(WINAPI*)(LPCWSTR buf, LONG_PTR len, UINT flag, PictureInfoRecord* info);
using GetPictureWFn = int(WINAPI*)(LPCWSTR buf, LONG_PTR len, UINT flag, HLOCAL* info, HLOCAL* pixels,
                                   ProgressCallback progress, LONG_PTR data);
using GetPreviewWFn = GetPictureWFn;
using GetArchiveInfoWFn = int(WINAPI*)(LPCWSTR buf, LONG_PTR len, UINT flag, HLOCAL* list);
using GetFileInfoWFn = int(WINAPI*)(LPCWSTR buf, LONG_PTR len, LPCWSTR filename, UINT flag, fileInfoW* info);
using GetFileWFn = int(WINAPI*)(LPCWSTR src, LONG_PTR len, LPWSTR dest, UINT flag, ProgressCallback progress,
                                LONG_PTR data);
// Writes the picture of a BITMAPINFO block and a pixel block (as GetPicture hands them out,
// left to the caller) to `path`, whose extension chooses the format; `info` may be null.
using CreatePictureFn = int(WINAPI*)(LPCSTR path, UINT flag, HLOCAL* bitmapInfo, HLOCAL* bits,
                                     PictureInfoRecord* info, ProgressCallback progress, LONG_PTR data);
using CreatePictureWFn = int(WINAPI*)(LPCWSTR path, UINT flag, HLOCAL* bitmapInfo, HLOCAL* bits,
                                      PictureInfoRecord* info, ProgressCallback progress, LONG_PTR data);

// Export names, looked up exactly as written.
namespace exports {
constexpr const char* GetPluginInfo = "GetPluginInfo";
constexpr const char* IsSupported = "IsSupported";
constexpr const char* GetPictureInfo = "GetPictureInfo";
constexpr const char* GetPicture = "GetPicture";
constexpr const char* GetPreview = "GetPreview";
constexpr const char* GetArchiveInfo = "GetArchiveInfo";
constexpr const char* GetFileInfo = "GetFileInfo";
constexpr const char* GetFile = "GetFile";
constexpr const char* ConfigurationDlg = "ConfigurationDlg";
constexpr const char* GetPluginInfoW = "GetPluginInfoW";
constexpr const char* IsSupportedW = "IsSupportedW";
constexpr const char* GetPictureInfoW = "GetPictureInfoW";
constexpr const char* GetPictureW = "GetPictureW";
constexpr const char* GetPreviewW = "GetPreviewW";
constexpr const char* GetArchiveInfoW = "GetArchiveInfoW";
constexpr const char* GetFileInfoW = "GetFileInfoW";
constexpr const char* GetFileW = "GetFileW";
constexpr const char* CreatePicture = "CreatePicture";
constexpr const char* CreatePictureW = "CreatePictureW";
}  // namespace exports

}  // namespace SPI
