// The records of the Susie plug-in API as 64-bit plug-ins (".sph") fill them, declared from
// the published layout; spi_api.h, which includes this file in a 64-bit build, has the
// 32-bit ones and everything else. The fields are those of the 32-bit records; the numbers
// that may describe a file (positions, sizes, the time stamp) and the handle grow to 8
// bytes, and the records are padded as the compiler of the plug-ins aligns them.
#pragma once
#include <windows.h>
#include <cstddef>

#ifdef _WIN64

namespace SPI {

// Characters in each name field of a member record, narrow or wide.
constexpr size_t MEMBER_NAME_LENGTH = 200;

#pragma pack(push, 1)

// Picture information: the 16-bit fields end at 22, two bytes of padding put the 8-byte
// handle at 24; 32 bytes.
struct PictureInfoRecord {
    LONG left;
    LONG top;
    LONG width;
    LONG height;
    WORD x_density;
    WORD y_density;
    SHORT colorDepth;
    BYTE padding[2];
    HLOCAL hInfo;  // text attached to the picture, or null
};

// One archive member: 8-byte position, sizes and time stamp (seconds since 1970-01-01 UTC,
// unsigned), names of 200 characters, a 4-byte crc and 4 bytes of padding; 448 bytes. A
// listing is an array of these ended by a record whose first byte is 0.
struct fileInfo {
    unsigned char method[8];  // not always NUL-terminated
    ULONG_PTR position;       // member offset in the archive
    ULONG_PTR compsize;
    ULONG_PTR filesize;
    ULONG_PTR timestamp;
    char path[MEMBER_NAME_LENGTH];
    char filename[MEMBER_NAME_LENGTH];
    ULONG crc;
    BYTE padding[4];
};

// The same with UTF-16 names: 848 bytes.
struct fileInfoW {
    unsigned char method[8];  // narrow text, not always NUL-terminated
    ULONG_PTR position;
    ULONG_PTR compsize;
    ULONG_PTR filesize;
    ULONG_PTR timestamp;
    WCHAR path[MEMBER_NAME_LENGTH];
    WCHAR filename[MEMBER_NAME_LENGTH];
    ULONG crc;
    BYTE padding[4];
};

#pragma pack(pop)

static_assert(sizeof(ULONG_PTR) == 8 && sizeof(HLOCAL) == 8 && sizeof(ULONG) == 4 && sizeof(WCHAR) == 2);
static_assert(sizeof(PictureInfoRecord) == 32);
static_assert(offsetof(PictureInfoRecord, x_density) == 16);
static_assert(offsetof(PictureInfoRecord, colorDepth) == 20);
static_assert(offsetof(PictureInfoRecord, padding) == 22);
static_assert(offsetof(PictureInfoRecord, hInfo) == 24);
static_assert(sizeof(fileInfo) == 448);
static_assert(offsetof(fileInfo, position) == 8);
static_assert(offsetof(fileInfo, compsize) == 16);
static_assert(offsetof(fileInfo, filesize) == 24);
static_assert(offsetof(fileInfo, timestamp) == 32);
static_assert(offsetof(fileInfo, path) == 40);
static_assert(offsetof(fileInfo, filename) == 240);
static_assert(offsetof(fileInfo, crc) == 440);
static_assert(offsetof(fileInfo, padding) == 444);
static_assert(sizeof(fileInfoW) == 848);
static_assert(offsetof(fileInfoW, position) == 8);
static_assert(offsetof(fileInfoW, timestamp) == 32);
static_assert(offsetof(fileInfoW, path) == 40);
static_assert(offsetof(fileInfoW, filename) == 440);
static_assert(offsetof(fileInfoW, crc) == 840);
static_assert(offsetof(fileInfoW, padding) == 844);

}  // namespace SPI

#endif  // _WIN64
