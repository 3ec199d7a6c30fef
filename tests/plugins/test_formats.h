// Data formats understood by the test plug-ins (tests/plugins/test_spi.cpp).
//
// Tests build inputs in these formats and compute the expected outputs themselves,
// so one plug-in build covers many pictures and many result codes. Everything is
// little-endian and packed; this header is shared by the plug-ins and the tests.
#pragma once
#include <cstdint>

namespace testspi {

#pragma pack(push, 1)

// A "QQA1" picture, read by the picture test plug-ins (kind "00IN").
// The plug-in accepts it in IsSupported when the first four header bytes are "QQA1"
// (plug-ins built to judge by name accept by file extension instead).
struct QqaHeader {
    char magic[4];            // "QQA1"
    int32_t width;            // biWidth of the decoded bitmap
    int32_t height;           // biHeight (negative = top-down)
    uint16_t bitCount;        // biBitCount
    uint16_t reserved0;
    uint32_t clrUsed;         // biClrUsed
    uint32_t biSize;          // header size written into the info block; 0 means 40
    uint32_t compression;     // biCompression (3 = BI_BITFIELDS: three masks follow the header)
    int32_t resultCode;       // what GetPicture/GetPreview/GetPictureInfo return (0 = success)
    int32_t infoShortfall;    // bytes the info block is made smaller than the layout needs
    int32_t pixelShortfall;   // bytes the pixel block is made smaller than the layout needs
    uint32_t flags;           // QqaFlags
    uint8_t seed;             // first byte of the pixel/colour pattern (see pattern_byte)
    uint8_t reserved1[3];
    int16_t xDensity, yDensity;  // copied into the picture record
    int32_t left, top;           // copied into the picture record
    char text[32];            // attached text (hInfo) when non-empty, NUL-terminated
};
static_assert(sizeof(QqaHeader) == 104, "QqaHeader layout");

enum QqaFlags : uint32_t {
    QQA_NULL_INFO = 1,        // GetPicture succeeds but leaves the info handle null
    QQA_NULL_PIXELS = 2,      // ... leaves the pixel handle null
    QQA_TEXT_ON_FAILURE = 4,  // GetPictureInfo hands back the text even when it fails
};

// Bytes of the colour table and of the pixel block follow this pattern, so tests can
// predict every byte: byte i of a block is pattern_byte(seed, i). The colour table uses
// seed + 0x40, the pixel block seed itself.
inline uint8_t pattern_byte(uint8_t seed, uint32_t i) {
    return static_cast<uint8_t>(seed + i * 7u + (i >> 8));
}

// A "QQZ1" archive, read by the archive test plug-ins (kind "00AM").
//   QqzHeader, then `count` members, each: QqzMember, then `size` data bytes.
// Listing: one fileInfo record per member, `position` = offset of the member's data
// from the start of the archive plus the archive's own offset in its file
// (the plug-in's `len` for a file source), compsize = filesize = size.
// GetFile with a file source seeks to `position`; with a memory source it takes
// `buf`/`len` as the member's own bytes (len = compsize).
struct QqzHeader {
    char magic[4];            // "QQZ1"
    uint32_t count;           // number of members
    int32_t archiveInfoCode;  // what GetArchiveInfo returns (the list is handed back anyway)
    int32_t fileInfoCode;     // what GetFileInfo returns when the member is found
    int32_t fileCode;         // what GetFile returns (the block is handed back only for 0)
    uint32_t flags;           // QqzFlags
};
static_assert(sizeof(QqzHeader) == 24, "QqzHeader layout");

enum QqzFlags : uint32_t {
    QQZ_NO_TERMINATOR = 1,    // the listing block ends without a terminating record
    QQZ_NULL_FILE_BLOCK = 2,  // GetFile returns 0 but no block
};

struct QqzMember {
    char method[8];           // copied into fileInfo.method (not necessarily NUL-terminated)
    char path[40];            // fileInfo.path
    char name[40];            // fileInfo.filename
    uint32_t size;            // data bytes that follow
    int32_t timestamp;        // fileInfo.timestamp
    uint32_t crc;             // fileInfo.crc
};
static_assert(sizeof(QqzMember) == 100, "QqzMember layout");

#pragma pack(pop)

}  // namespace testspi

// Extra exports of every test plug-in (stdcall, undecorated), for tests only:
//   int  TestOutstandingBlocks(void)  local-memory blocks handed out and not yet freed
//   void TestResetCounters(void)      forget blocks handed out so far
//   int  TestLastConfig(int* hParent, int* function)  arguments of the last
//        ConfigurationDlg call; returns the number of calls so far
//   int  TestCallCount(void)          calls of GetPictureInfo/GetPicture/GetPreview/
//        GetArchiveInfo/GetFileInfo/GetFile so far (shows a member did not call in)
//   int  TestLastLength(void)         the `len` of the last such call
//   int  TestLastFlag(void)           the `flag` of the last such call
//   int  TestLastFirstByte(void)      first data byte the plug-in saw (memory source) or
//                                     read at `len` (file source), -1 when none
//
// ConfigurationDlg(hParent, function) records its arguments and returns hParent as its
// result code, so a test chooses the code through the window handle it passes.
