// The Windows bitmap file made from a plug-in's two blocks (bitmap information and
// pixels): its size rules and byte layout, for files and for the same bytes in memory.
//
// File: 14-byte BITMAPFILEHEADER, then the information block's first infoBytes bytes
// unchanged (header, bit-field masks, colour table), then the pixel block's first
// pixelBytes bytes unchanged.
#pragma once
#include <windows.h>
#include <cstddef>

namespace SPI::bitmap {

constexpr DWORD FILE_HEADER_SIZE = 14;

struct Layout {
    DWORD infoBytes = 0;   // header (biSize bytes), masks and colour table
    DWORD dataOffset = 0;  // FILE_HEADER_SIZE + infoBytes
    DWORD rowSize = 0;     // one row of pixels, rounded up to whole 32-bit words
    DWORD pixelBytes = 0;  // rowSize * |biHeight|
    DWORD fileSize = 0;    // dataOffset + pixelBytes
};

// Sizes for an information block of infoSize bytes and a pixel block of pixelSize bytes
// (what the local heap reports for them). False, with `out` unspecified, when the header
// is shorter than a BITMAPINFOHEADER, the width is negative, a size overflows 32 bits, or
// the layout needs more bytes than either block holds.
bool ComputeLayout(const void* info, size_t infoSize, size_t pixelSize, Layout& out) noexcept;

// The 14 bytes of the file header for a layout.
void FileHeader(const Layout& layout, BYTE (&out)[FILE_HEADER_SIZE]) noexcept;

// The whole file into `dest`, which holds layout.fileSize bytes.
void Compose(const Layout& layout, const void* info, const void* pixels, void* dest) noexcept;

}  // namespace SPI::bitmap
