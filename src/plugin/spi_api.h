// The Susie plug-in API as this server uses it: entry point types, records, kinds,
// buffer sizes and result codes. Every other file takes these from here.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>

#include "spi_api64.h"

namespace SPI {

// Kinds: the first four bytes of information number 0, read as one little-endian value.
constexpr DWORD KIND_PICTURE = 0x4E493030;  // "00IN"
constexpr DWORD KIND_ARCHIVE = 0x4D413030;  // "00AM"

// Buffer sizes handed to GetPluginInfo.
constexpr int KIND_BUFFER_SIZE = 8;       // information number 0
constexpr int TEXT_BUFFER_SIZE = 260;     // number 1 and a client's numbers
constexpr int PATTERN_BUFFER_SIZE = 64;   // numbers 2, 3, 4, ... (file type pairs)
constexpr DWORD HEADER_SIZE = 2048;       // bytes shown to IsSupported from a file

// Source selector ("flag").
constexpr UINT FLAG_FILE = 0;             // buf is a file name, len an offset in it
constexpr UINT FLAG_MEMORY = 1;           // buf is the data's address, len its size
constexpr UINT FLAG_OUTPUT_MEMORY = 0x100;  // GetFile: output into a local-memory block

// Result codes, as plug-ins return them. The server itself uses SPI_NOT_IMPLEMENTED for an
// absent optional export, SPI_UNKNOWN_FORMAT when no picture plug-in takes a source and
// SPI_WRITE_ERROR for a failed write.
enum ResultCode : int {
    SPI_NOT_IMPLEMENTED = -1,
    SPI_OK = 0,
    SPI_ABORTED = 1,          // the progress callback asked to stop
    SPI_UNKNOWN_FORMAT = 2,
    SPI_BROKEN_DATA = 3,
    SPI_NO_MEMORY = 4,
    SPI_MEMORY_ERROR = 5,
    SPI_READ_ERROR = 6,
    SPI_WINDOW_ERROR = 7,     // reserved
    SPI_INTERNAL_ERROR = 8,
    SPI_WRITE_ERROR = 9,
    SPI_END_OF_FILE = 10,
};

// Records as plug-ins fill them: the 32-bit layouts here, the 64-bit ones (".sph") in
// spi_api64.h.
#ifndef _WIN64
#pragma pack(push, 1)

// Picture information as a plug-in fills it: packed, 26 bytes.
struct PictureInfoRecord {
    LONG left;
    LONG top;
    LONG width;
    LONG height;
    WORD x_density;
    WORD y_density;
    SHORT colorDepth;
    HLOCAL hInfo;  // text attached to the picture, or null
};

// One archive member as a plug-in describes it: packed, 428 bytes. A listing is an
// array of these ended by a record whose first byte is 0.
struct fileInfo {
    unsigned char method[8];  // not always NUL-terminated
    ULONG position;           // member offset in the archive
    ULONG compsize;
    ULONG filesize;
    LONG timestamp;           // seconds since 1970-01-01 UTC
    char path[200];
    char filename[200];
    ULONG crc;
};

#pragma pack(pop)

static_assert(sizeof(PictureInfoRecord) == 26);
static_assert(offsetof(PictureInfoRecord, x_density) == 16);
static_assert(offsetof(PictureInfoRecord, colorDepth) == 20);
static_assert(offsetof(PictureInfoRecord, hInfo) == 22);
static_assert(sizeof(fileInfo) == 428);
static_assert(offsetof(fileInfo, position) == 8);
static_assert(offsetof(fileInfo, timestamp) == 20);
static_assert(offsetof(fileInfo, path) == 24);
static_assert(offsetof(fileInfo, filename) == 224);
static_assert(offsetof(fileInfo, crc) == 424);
#endif

// A member record's numbers (position, sizes) and its time stamp as the build's records
// hold them: ULONG and LONG in a .spi's, 8-byte unsigned in a .sph's.
using RecordNumber = decltype(fileInfo::position);
using RecordTime = decltype(fileInfo::timestamp);

// Entry points (all stdcall). Lengths, offsets and the callback's data are pointer-sized:
// 32 bits for a .spi, 64 for a .sph.
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

// An export found by name, as the entry type it has (via the generic function type,
// which is what GetProcAddress's result really is).
template <class Fn>
Fn EntryAs(FARPROC p) noexcept {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(p));
}

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
}  // namespace exports

// A plug-in result code as an HRESULT: 0 S_OK, 1 E_ABORT, 4 and 5 E_OUTOFMEMORY, the
// other known failures E_FAIL, and every other code (-1 included) E_NOTIMPL.
HRESULT MapResult(int code) noexcept;

// The progress callback given to every plug-in: it never cancels.
int WINAPI IgnoreProgress(int num, int denom, LONG_PTR data);

}  // namespace SPI
