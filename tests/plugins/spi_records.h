// Records and codes of the Susie plug-in API as the test plug-ins (test_spi.cpp) and the
// kit's own self-test use them, in the layouts of the build's Windows: 32-bit (.spi) or
// 64-bit (.sph, with pointer-sized fields and padding). Every record is packed.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>

namespace testspi {

#pragma pack(push, 1)

#ifndef _WIN64
// GetPictureInfo's record.
struct PictureInfo {
    long left, top;
    long width, height;
    WORD x_density, y_density;
    short colorDepth;
    HLOCAL hInfo;             // attached text, LocalAlloc'd by the plug-in, or 0
};
static_assert(sizeof(PictureInfo) == 26, "PictureInfo layout");

// One member of an archive listing (GetArchiveInfo's array, GetFileInfo's record).
// A listing ends with a record whose method[0] is 0.
struct FileInfo {
    unsigned char method[8];
    unsigned long position;
    unsigned long compsize;
    unsigned long filesize;
    int32_t timestamp;        // 32-bit time_t
    char path[200];
    char filename[200];
    unsigned long crc;
};
static_assert(sizeof(FileInfo) == 428, "FileInfo layout");
static_assert(offsetof(FileInfo, timestamp) == 20 && offsetof(FileInfo, path) == 24 &&
              offsetof(FileInfo, filename) == 224 && offsetof(FileInfo, crc) == 424,
              "FileInfo offsets");

// The same with UTF-16 names (GetArchiveInfoW's array, GetFileInfoW's record).
struct FileInfoW {
    unsigned char method[8];
    unsigned long position;
    unsigned long compsize;
    unsigned long filesize;
    int32_t timestamp;
    wchar_t path[200];
    wchar_t filename[200];
    unsigned long crc;
};
static_assert(sizeof(FileInfoW) == 828, "FileInfoW layout");
static_assert(offsetof(FileInfoW, path) == 24 && offsetof(FileInfoW, filename) == 424 &&
              offsetof(FileInfoW, crc) == 824,
              "FileInfoW offsets");
#else
// The 64-bit layouts: the same fields, the picture record with two bytes of padding before
// its 8-byte handle, the member records with 8-byte numbers and padded to 8 bytes.
struct PictureInfo {
    long left, top;
    long width, height;
    WORD x_density, y_density;
    short colorDepth;
    unsigned char padding[2];
    HLOCAL hInfo;
};
static_assert(sizeof(PictureInfo) == 32 && offsetof(PictureInfo, padding) == 22 &&
              offsetof(PictureInfo, hInfo) == 24, "PictureInfo layout");

struct FileInfo {
    unsigned char method[8];
    ULONG_PTR position;
    ULONG_PTR compsize;
    ULONG_PTR filesize;
    ULONG_PTR timestamp;      // 64-bit time_t, unsigned
    char path[200];
    char filename[200];
    unsigned long crc;
    unsigned char padding[4];
};
static_assert(sizeof(FileInfo) == 448, "FileInfo layout");
static_assert(offsetof(FileInfo, position) == 8 && offsetof(FileInfo, compsize) == 16 &&
              offsetof(FileInfo, filesize) == 24 && offsetof(FileInfo, timestamp) == 32 &&
              offsetof(FileInfo, path) == 40 && offsetof(FileInfo, filename) == 240 &&
              offsetof(FileInfo, crc) == 440 && offsetof(FileInfo, padding) == 444,
              "FileInfo offsets");

struct FileInfoW {
    unsigned char method[8];
    ULONG_PTR position;
    ULONG_PTR compsize;
    ULONG_PTR filesize;
    ULONG_PTR timestamp;
    wchar_t path[200];
    wchar_t filename[200];
    unsigned long crc;
    unsigned char padding[4];
};
static_assert(sizeof(FileInfoW) == 848, "FileInfoW layout");
static_assert(offsetof(FileInfoW, timestamp) == 32 && offsetof(FileInfoW, path) == 40 &&
              offsetof(FileInfoW, filename) == 440 && offsetof(FileInfoW, crc) == 840 &&
              offsetof(FileInfoW, padding) == 844,
              "FileInfoW offsets");
#endif

#pragma pack(pop)

enum SpiResult : int {
    SPI_OK = 0,
    SPI_ABORTED = 1,
    SPI_UNKNOWN_FORMAT = 2,
    SPI_DATA_BROKEN = 3,
    SPI_NO_MEMORY = 4,
    SPI_MEMORY_ERROR = 5,
    SPI_FILE_READ_ERROR = 6,
    SPI_RESERVED = 7,
    SPI_INTERNAL_ERROR = 8,
    SPI_NOT_IMPLEMENTED = -1,
};

// Low three bits of `flag`: where the input is.
enum SpiSource : unsigned {
    SPI_SOURCE_FILE = 0,      // buf = file name, len = byte offset in the file
    SPI_SOURCE_MEMORY = 1,    // buf = data address, len = data length
    SPI_SOURCE_MASK = 7,
};
const unsigned SPI_FILEINFO_IGNORE_CASE = 0x80;  // GetFileInfo: names match whatever their case
const unsigned SPI_OUTPUT_MEMORY = 0x100;           // GetFile: dest is an HLOCAL*

typedef int(WINAPI* ProgressCallback)(int nNum, int nDenom, LONG_PTR lData);

}  // namespace testspi
