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

const size_t kNameMax = 200;

// Result codes.
enum Result : int {
    kOk = 0,
    kCancelled = 1,
    kUnknownFormat = 2,
    kBrokenData = 3,
    kNoMemory = 4,
    kMemoryError = 5,
    kReadError = 6,
    kInternalError = 8,
    kWriteError = 9,
    kNotImplemented = -1,
};

// Flag bits.
const unsigned kSourceMask = 7;
const unsigned kSourceFile = 0;    // buf = file name, len = byte offset in the file
const unsigned kSourceMemory = 1;  // buf = data address, len = data length
const unsigned kIgnoreCase = 0x80;  // GetFileInfo: names match whatever their case
const unsigned kDestMask = 0x700;
const unsigned kDestFolder = 0;     // GetFile: dest is a folder
const unsigned kDestMemory = 0x100; // GetFile: dest is an HLOCAL* the plug-in fills

// Header bytes IsSupported gets (or reads itself from a file handle).
const size_t kHeaderSize = 2048;

typedef int(WINAPI* ProgressCallback)(int num, int denom, long data);

}  // namespace spi

#define SPI_EXPORT extern "C" __declspec(dllexport)
