// The Susie plug-in API as the bundled plug-ins serve it: records, result codes, flag bits
// and the export macro. 32-bit Windows; every record is packed.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace spi {

#pragma pack(push, 1)

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

// Header bytes IsSupported gets (or reads itself from a file handle).
const size_t HEADER_SIZE = 2048;

typedef int(WINAPI* ProgressCallback)(int num, int denom, long data);

}  // namespace spi

#define SPI_EXPORT extern "C" __declspec(dllexport)
