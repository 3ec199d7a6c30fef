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
                              // (all 32 characters are taken when there is no NUL)
    uint8_t reserved2[12];    // zero; makes the header 104 bytes
};
static_assert(sizeof(QqaHeader) == 104, "QqaHeader layout");

enum QqaFlags : uint32_t {
    QQA_NULL_INFO = 1,        // GetPicture succeeds but leaves the info handle null
    QQA_NULL_PIXELS = 2,      // ... leaves the pixel handle null
    QQA_TEXT_ON_FAILURE = 4,  // GetPictureInfo hands back the text even when it fails
    QQA_ECHO_HEADER = 8,      // GetPicture's pixel block is this header with the flag cleared: a
                              // picture in its own right, so a script can get one as a byte array
    QQA_SAME_BLOCK = 16,      // GetPicture hands the information block back as the pixel block too
};

// Bytes of the colour table and of the pixel block follow this pattern, so tests can
// predict every byte: byte i of a block is pattern_byte(seed, i). The colour table uses
// seed + 0x40, the pixel block seed itself.
inline uint8_t pattern_byte(uint8_t seed, uint32_t i) {
    return static_cast<uint8_t>(seed + i * 7u + (i >> 8));
}

// Layout of the decoded bitmap. GetPicture hands back two LocalAlloc(LMEM_MOVEABLE) blocks:
//   info:   the first qqa_header_bytes() bytes of a BITMAPINFOHEADER (biSize = that
//           number, biPlanes 1, biWidth/biHeight/biBitCount/biCompression/biClrUsed from
//           the header, biSizeImage = qqa_pixel_bytes(), everything else 0; a biSize
//           above 40 is padded with zero bytes), then qqa_mask_count() DWORD masks
//           (qqa_bitfield_mask), then qqa_colour_count() RGBQUAD entries whose bytes are
//           pattern_byte(seed + 0x40, i), i counted from the start of the colour table;
//   pixels: qqa_pixel_bytes() bytes, byte i = pattern_byte(seed, i).
// Each block is allocated infoShortfall / pixelShortfall bytes smaller than that (never
// below 0 bytes; a negative shortfall makes it larger: extra info bytes are 0, extra
// pixel bytes continue the pattern) and holds as much of the layout as fits.
// GetPreview does the same for a picture of qqa_preview_dim(width) x
// qqa_preview_dim(height). Sizes beyond 64 MiB make the plug-in return 4.
inline int64_t qqa_header_bytes(const QqaHeader& h) { return h.biSize ? h.biSize : 40; }
inline int64_t qqa_mask_count(const QqaHeader& h) { return h.compression == 3 ? 3 : 0; }
inline uint32_t qqa_bitfield_mask(uint16_t bitCount, int index) {  // index 0 red, 1 green, 2 blue
    static const uint32_t m16[3] = {0xF800u, 0x07E0u, 0x001Fu};
    static const uint32_t m32[3] = {0x00FF0000u, 0x0000FF00u, 0x000000FFu};
    return bitCount == 16 ? m16[index] : m32[index];
}
inline int64_t qqa_colour_count(const QqaHeader& h) {
    if (h.clrUsed != 0) return h.clrUsed;
    return h.bitCount <= 8 ? (int64_t{1} << h.bitCount) : 0;
}
inline int64_t qqa_info_bytes(const QqaHeader& h) {
    return qqa_header_bytes(h) + 4 * qqa_mask_count(h) + 4 * qqa_colour_count(h);
}
inline int32_t qqa_preview_dim(int32_t v) {   // half, keeping the sign, at least 1 in size
    int32_t half = v / 2;
    return half != 0 ? half : (v < 0 ? -1 : 1);
}
inline int64_t qqa_row_bytes(int32_t width, uint16_t bitCount) {
    int64_t bits = int64_t{width} * bitCount;
    return bits > 0 ? (bits + 31) / 32 * 4 : 0;
}
inline int64_t qqa_pixel_bytes(int32_t width, int32_t height, uint16_t bitCount) {
    int64_t rows = height < 0 ? -int64_t{height} : int64_t{height};
    return qqa_row_bytes(width, bitCount) * rows;
}

// A "QQZ1" archive, read by the archive test plug-ins (kind "00AM").
//   QqzHeader, then `count` members, each: QqzMember, then `size` data bytes.
// Listing: one fileInfo record per member, `position` = offset of the member's data
// from the start of the archive plus the archive's own offset in its file
// (the plug-in's `len` for a file source; 0 for a memory source), compsize = filesize =
// size, method copied as 8 raw bytes, path/filename up to the first NUL (at most 40).
// GetFileInfo finds a member whose name, or path immediately followed by name, equals
// `filename` (ignoring ASCII case with flag bit 0x80); unknown member -> 8.
// GetFile with a file source: `len` is a member's `position`. The plug-in reads the
// whole file and looks for an archive in it, at any offset, that has a member whose
// data starts exactly at `len` (so archives may sit after other bytes in a file);
// that archive's header supplies fileCode/flags; no such member -> 3.
// GetFile with a memory source: `buf`/`len` are the member's own bytes (len = compsize);
// there is no header to read, so fileCode/flags come from the archive header that
// GetArchiveInfo or GetFileInfo of the same plug-in read last (0/0 when none since load
// or since TestResetCounters).
// Only output to memory (flag 0x100) is implemented; GetFile to a folder returns -1.
struct QqzHeader {
    char magic[4];            // "QQZ1"
    uint32_t count;           // number of members
    int32_t archiveInfoCode;  // what GetArchiveInfo returns (the list is handed back anyway)
    int32_t fileInfoCode;     // what GetFileInfo returns when the member is found
    int32_t fileCode;         // what GetFile returns (the block is handed back only for 0,
                              // or with QQZ_BLOCK_ON_FAILURE)
    uint32_t flags;           // QqzFlags
};
static_assert(sizeof(QqzHeader) == 24, "QqzHeader layout");

enum QqzFlags : uint32_t {
    QQZ_NO_TERMINATOR = 1,    // the listing block ends without a terminating record
    QQZ_NULL_FILE_BLOCK = 2,  // GetFile returns 0 but no block
    // How a record or GetFile's block can disagree with the member, as real plug-ins do:
    QQZ_BLOCK_ON_FAILURE = 4,   // GetFile hands the member's block back with a non-zero fileCode too
    QQZ_PADDED_FILE_BLOCK = 8,  // GetFile's block holds QQZ_PADDING more bytes of 0xEE after the member
    QQZ_FILESIZE_IS_CRC = 16,   // the records' filesize is the member's crc, not its size
    // 64-bit plug-ins (.sph) only, whose records hold 8-byte numbers: position, compsize,
    // filesize and timestamp are each QQZ_HIGH_BIAS more (timestamp: the member's 32 bits read
    // as unsigned, plus the bias), numbers no 32-bit field holds. GetFile takes any len of
    // QQZ_HIGH_BIAS or more as that much less, so such a position or compsize still works.
    QQZ_HIGH_FIELDS = 32,
};
const uint32_t QQZ_PADDING = 16;
const unsigned long long QQZ_HIGH_BIAS = 1ull << 32;

// Plug-ins built with TESTSPI_FILL_EVERY_FIELD leave no byte of a record unset: a member's
// path and file name run to the end of their fields, filled with FILL_CHARACTER and no NUL
// (narrow and wide alike), and the padding of the 64-bit records (the picture record's two
// bytes before hInfo, the member records' last four) is FILL_PADDING.
const char FILL_CHARACTER = '~';
const unsigned char FILL_PADDING = 0xA5;

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
//   void TestResetCounters(void)      forget blocks handed out so far, and reset every
//                                     other record below (counts, last call, remembered
//                                     archive header)
//   int  TestLastConfig(int* hParent, int* function)  arguments of the last
//        ConfigurationDlg call (0/0 when none); returns the number of calls so far
//   int  TestCallCount(void)          calls of GetPictureInfo/GetPicture/GetPreview/
//        GetArchiveInfo/GetFileInfo/GetFile so far (shows a member did not call in)
//   LONG_PTR TestLastLength(void)     the `len` of the last such call, whole (an int in a
//                                     .spi, 8 bytes in a .sph)
//   int  TestLastFlag(void)           the `flag` of the last such call
//   int  TestLastFirstByte(void)      first data byte the plug-in saw (memory source) or
//                                     read at `len` (file source), -1 when none
//   int  TestLastIsSupported(char* name, int nameLen, int* nameWasNull)
//        returns the number of IsSupported calls so far; copies the last `filename`
//        (NUL-terminated, cut to nameLen) and sets *nameWasNull to 1 when it was NULL
//        (each output is skipped when its pointer is null)
//   int  TestLastHeader(unsigned char* bytes, int n)
//        returns the header address the last IsSupported call was given (0 when none);
//        copies the first n (at most 2048) bytes it read there. IsSupported reads all
//        2048 bytes of every header, as a real plug-in may (an address below 64K counts
//        as a file handle and reads as zeros)
// Plug-ins built WIDE also export the wide entry points, which count with the narrow ones
// above (TestCallCount, TestLastIsSupported, whose name is then the UTF-8 of the wide one), and
//   int  TestWideCalls(int* isSupportedW, int* pluginInfoW, wchar_t* lastName, int nameLen)
//        returns the number of wide data calls (GetPictureInfoW ... GetFileW) so far; sets
//        the numbers of IsSupportedW and GetPluginInfoW calls, and copies the last name a
//        wide entry was given (IsSupportedW's, a file source's; NUL-terminated, cut to
//        nameLen). Their texts and member names are UTF-8 bytes: the narrow entries hand them
//        over as those bytes, the wide ones as UTF-16 (GetArchiveInfoW, GetFileInfoW: fileInfoW
//        records; GetFileInfoW matches the name's UTF-8 as GetFileInfo matches its name).
//
// Outstanding blocks: a block counts while LocalFlags(handle) != LMEM_INVALID_HANDLE
// (what Wine 8 answers for a freed handle, zero-sized blocks included). Wine hands a
// freed handle value out again at the very next LocalAlloc, so the test plug-ins loaded
// in one process share one table of handles (named shared memory per process): a handle
// given out by any test plug-in stops counting for the one that gave it out before. A
// block the caller itself allocates with LocalAlloc(LMEM_MOVEABLE) after freeing one of
// ours may take over the freed handle value and still count; free a plug-in's blocks
// last, or check before allocating. Unloading a plug-in forgets its blocks.
//
// Plug-ins built with TESTSPI_DECODE_RESULT accept QQA1 pictures as the others do, and
// GetPicture and GetPreview answer that code for every one of them, handing back no block.
//
// ConfigurationDlg(hParent, function) records its arguments and returns hParent as its
// result code, so a test chooses the code through the window handle it passes.
//   void TestSetReentry(int (WINAPI* fn)(LONG_PTR), LONG_PTR data)  the next ConfigurationDlg
//        or IsSupported call first calls fn(data), once, as a dialog that pumps messages or a
//        plug-in that calls back into its host would run the host's code there
//
// GetPluginInfo(infono, buf, buflen): infono 0 kind ("00IN", "00AM", ...), 1 about text,
// 2n+2 / 2n+3 pattern / description of file type n; an item that does not exist answers
// 0 and leaves buf alone. Normally copies at most buflen - 1 characters plus a NUL and
// returns the number of characters. Plug-ins built with NO_NUL (the nonul variant) fill
// all buflen bytes instead: the item's characters (cut to buflen) followed by 'A's, no
// NUL, and return buflen. Plug-ins built with TESTSPI_ANSWER_EVERY_INFO answer buflen for
// every number and take an item they do not have as empty text (all 'A's with NO_NUL).
//
// Input problems, before any result code from the data: a file that cannot be opened or
// read -> 6; too short for the header, or the wrong magic -> 2; a member that runs past
// the end of the archive -> 3; a null memory source or a null output pointer -> 5;
// flag & 7 other than 0 (file) or 1 (memory) -> -1.
//
// Progress: GetPicture/GetPreview/GetFile call the callback, when not null, with (0, 1)
// once the input has been read and (1, 1) once the blocks are built; a nonzero answer
// makes them free what they built and return 1. Failures leave the caller's handle
// variables (and GetPictureInfo's record) untouched, except as the flags above say.
