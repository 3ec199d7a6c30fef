// The Susie plug-in API as the bundled plug-ins serve it: records, result codes, flag bits
// and the export macro, for 32-bit Windows (.spi) or 64-bit Windows (.sph, pointer-sized
// lengths and record fields); every record is packed.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace spi {

#pragma pack(push, 1)

#ifndef _WIN64
// GetPictureInfo's record.
struct PictureInfo {
    long left, top;
    long width, height;
    WORD x_density, y_density;
    short colorDepth;
    HLOCAL hInfo;
};
static_assert(sizeof(PictureInfo) == 26);

// One archive member, narrow names (GetArchiveInfo's array, GetFileInfo's record).
struct FileInfo {
    unsigned char method[8];
    uint32_t position;
    uint32_t compsize;
    uint32_t filesize;
    uint32_t timestamp;  // seconds since 1970-01-01 UTC
    char path[200];
    char filename[200];
    uint32_t crc;
};
static_assert(sizeof(FileInfo) == 428 && offsetof(FileInfo, path) == 24 &&
              offsetof(FileInfo, filename) == 224 && offsetof(FileInfo, crc) == 424);

// The same with UTF-16 names (GetArchiveInfoW, GetFileInfoW).
struct FileInfoW {
    unsigned char method[8];
    uint32_t position;
    uint32_t compsize;
    uint32_t filesize;
    uint32_t timestamp;
    wchar_t path[200];
    wchar_t filename[200];
    uint32_t crc;
};
static_assert(sizeof(FileInfoW) == 828 && offsetof(FileInfoW, filename) == 424);
#else
// The 64-bit plug-in (.sph) records: the handle and the numbers are 8 bytes, the records
// padded as a 64-bit compiler aligns them.
struct PictureInfo {
    long left, top;
    long width, height;
    WORD x_density, y_density;
    short colorDepth;
    char padding[2];
    HLOCAL hInfo;
};
static_assert(sizeof(PictureInfo) == 32 && offsetof(PictureInfo, hInfo) == 24);

struct FileInfo {
    unsigned char method[8];
    uint64_t position;
    uint64_t compsize;
    uint64_t filesize;
    uint64_t timestamp;  // seconds since 1970-01-01 UTC
    char path[200];
    char filename[200];
    uint32_t crc;
    char padding[4];
};
static_assert(sizeof(FileInfo) == 448 && offsetof(FileInfo, path) == 40 &&
              offsetof(FileInfo, filename) == 240 && offsetof(FileInfo, crc) == 440);

struct FileInfoW {
    unsigned char method[8];
    uint64_t position;
    uint64_t compsize;
    uint64_t filesize;
    uint64_t timestamp;
    wchar_t path[200];
    wchar_t filename[200];
    uint32_t crc;
    char padding[4];
};
static_assert(sizeof(FileInfoW) == 848 && offsetof(FileInfoW, filename) == 440 &&
              offsetof(FileInfoW, crc) == 840);
#endif

#pragma pack(pop)

const size_t MAX_NAME = 200;

// Result codes.
enum Result : int {
    OK = 0,
    CANCELLED = 1,
    UNKNOWN_FORMAT = 2,
    BROKEN_DATA = 3,
    NO_MEMORY = 4,
    MEMORY_ERROR = 5,
    READ_ERROR = 6,
    INTERNAL_ERROR = 8,
    WRITE_ERROR = 9,
    NOT_IMPLEMENTED = -1,
};

// Flag bits.
const unsigned SOURCE_MASK = 7;
const unsigned SOURCE_FILE = 0;    // buf = file name, len = byte offset in the file
const unsigned SOURCE_MEMORY = 1;  // buf = data address, len = data length
const unsigned IGNORE_CASE = 0x80;  // GetFileInfo: names match whatever their case
const unsigned DEST_MASK = 0x700;
const unsigned DEST_FOLDER = 0;     // GetFile: dest is a folder
const unsigned DEST_MEMORY = 0x100; // GetFile: dest is an HLOCAL* the plug-in fills
// CreatePicture: answer 2 for an extension the plug-in does not write, instead of writing
// some format of its own choice. The bundled picture plug-in always does so.
const unsigned REJECT_UNKNOWN_TYPE = 0x800;

// Header bytes IsSupported gets (or reads itself from a file handle).
const size_t HEADER_SIZE = 2048;

typedef int(WINAPI* ProgressCallback)(int num, int denom, LONG_PTR data);

// Writes the picture of a BITMAPINFO block and a pixel block (as GetPicture hands them out,
// left to the caller) to `path`, whose extension chooses the format. `info` may be null.
typedef int(WINAPI* CreatePictureFn)(LPCSTR path, unsigned flag, HLOCAL* bitmapInfo, HLOCAL* bits,
                                     PictureInfo* info, ProgressCallback cb, LONG_PTR data);
typedef int(WINAPI* CreatePictureWFn)(LPCWSTR path, unsigned flag, HLOCAL* bitmapInfo, HLOCAL* bits,
                                      PictureInfo* info, ProgressCallback cb, LONG_PTR data);

}  // namespace spi

#define SPI_EXPORT extern "C" __declspec(dllexport)
