// The Windows bitmap file made from a plug-in's two blocks (bitmap information and
// pixels): its size rules and byte layout, for files and for the same bytes in memory.
//
// File: 14-byte BITMAPFILEHEADER, then the information block's first infoBytes bytes
// (header, bit-field masks, colour table) as the plug-in wrote them but for an invalid image
// size, then the pixel block's first pixelBytes bytes unchanged.
#pragma once
#include <windows.h>
#include <cstddef>

namespace SPI::bitmap {

constexpr DWORD FILE_HEADER_SIZE = 14;
constexpr DWORD INFO_HEADER_SIZE = 40;  // BITMAPINFOHEADER; later versions extend it

struct Layout {
    BITMAPINFOHEADER header{};  // the block's header as the file carries it
    DWORD infoBytes = 0;   // header (biSize bytes), masks and colour table
    DWORD dataOffset = 0;  // FILE_HEADER_SIZE + infoBytes
    DWORD rowSize = 0;     // one row of pixels, rounded up to whole 32-bit words
    DWORD pixelBytes = 0;  // rowSize * |biHeight|, or biSizeImage for a compressed picture
    DWORD fileSize = 0;    // dataOffset + pixelBytes
};

// Sizes for an information block of infoSize bytes and a pixel block of pixelSize bytes
// (what the local heap reports for them). False, with `out` unspecified, for what cannot
// be a picture that readers accept: a header size no header version has (40, 52, 56, 108,
// 124), planes other than 1, a bit count other than 1, 4, 8, 16, 24 or 32 (exactly 0 for
// JPEG and PNG), a width of 0 or less, a height of 0, an unknown compression or one that
// does not fit the bit count, a top-down compressed picture, more colours than the bit
// count allows, a compressed picture without its size; and for a size that overflows 32
// bits or needs more bytes than either block holds.
//
// Corrected rather than refused, in `out.header`: an uncompressed picture's biSizeImage that
// is neither 0 nor the row size times the rows, and a colour table that a picture of more than
// 8 bits names (biClrUsed) but the block does not hold, which is left out (biClrUsed and
// biClrImportant 0). Every other byte is the plug-in's.
bool ComputeLayout(const void* info, size_t infoSize, size_t pixelSize, Layout& out) noexcept;

// The 14 bytes of the file header for a layout.
void FileHeader(const Layout& layout, BYTE (&out)[FILE_HEADER_SIZE]) noexcept;

// The whole file into `dest`, which holds layout.fileSize bytes.
void Compose(const Layout& layout, const void* info, const void* pixels, void* dest) noexcept;

}  // namespace SPI::bitmap
