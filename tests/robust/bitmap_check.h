// A bitmap file checked as a reader would take it, and its bytes traced back to the two
// blocks the plug-in handed over: written from the bitmap format alone, not from the
// server's layout code.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace robust {

// The blocks a picture came from: their bytes (as the plug-in filled them) and the sizes the
// local heap reported for them.
struct PictureBlocks {
    std::vector<BYTE> info;
    size_t infoSize = 0;
    std::vector<BYTE> pixels;
    size_t pixelSize = 0;
};

// Empty when `file` is a bitmap file that readers accept, whose every byte after the
// 54-byte headers comes from the blocks and claims no more than they held; otherwise why not.
inline std::string CheckBitmapFile(const std::vector<BYTE>& file, const PictureBlocks& from) {
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(file[at] | file[at + 1] << 8); };
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24);
    };
    if (file.size() < 54) return "shorter than the two headers";
    if (file[0] != 'B' || file[1] != 'M') return "no BM";
    if (u32(2) != file.size()) return "bfSize " + std::to_string(u32(2)) + " for " + std::to_string(file.size()) + " bytes";
    if (u16(6) != 0 || u16(8) != 0) return "reserved fields set";
    const uint32_t offBits = u32(10);
    if (offBits < 54 || offBits > file.size()) return "bfOffBits " + std::to_string(offBits);

    BITMAPINFOHEADER h;
    std::memcpy(&h, file.data() + 14, sizeof h);
    const bool version = h.biSize == 40 || h.biSize == 52 || h.biSize == 56 || h.biSize == 108 || h.biSize == 124;
    if (!version || 14ull + h.biSize > offBits) return "biSize " + std::to_string(h.biSize);
    if (h.biPlanes != 1) return "planes";
    if (h.biWidth <= 0) return "width " + std::to_string(h.biWidth);
    if (h.biHeight == 0) return "height 0";
    const WORD bits = h.biBitCount;
    const bool standardBits = bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    bool compressed = false;
    switch (h.biCompression) {
    case BI_RGB:
        if (!standardBits) return "bit count " + std::to_string(bits);
        break;
    case BI_RLE8:
    case BI_RLE4:
        if (bits != (h.biCompression == BI_RLE8 ? 8 : 4)) return "RLE with " + std::to_string(bits) + " bits";
        compressed = true;
        break;
    case BI_BITFIELDS:
    case 6:  // BI_ALPHABITFIELDS
        if (bits != 16 && bits != 32) return "bit fields with " + std::to_string(bits) + " bits";
        break;
    case BI_JPEG:
    case BI_PNG:
        if (bits != 0) return "embedded picture with " + std::to_string(bits) + " bits";
        compressed = true;
        break;
    default:
        return "compression " + std::to_string(h.biCompression);
    }
    if (compressed && h.biHeight < 0) return "top-down compressed rows";

    uint64_t colours = 0;
    if (bits >= 1 && bits <= 8) {
        if (h.biClrUsed > (1u << bits)) return "more colours than " + std::to_string(bits) + " bits allow";
        colours = h.biClrUsed ? h.biClrUsed : 1u << bits;
    } else {
        colours = h.biClrUsed;  // a palette to display with
    }
    uint64_t masks = 0;
    if (h.biSize == 40 && h.biCompression == BI_BITFIELDS) masks = 12;
    if (h.biSize == 40 && h.biCompression == 6) masks = 16;
    if (offBits != 14 + h.biSize + masks + 4 * colours) return "bfOffBits does not follow the header";

    const uint64_t pixelBytes = file.size() - offBits;
    if (compressed) {
        if (pixelBytes == 0 || h.biSizeImage != pixelBytes) return "compressed size " + std::to_string(h.biSizeImage);
    } else {
        const uint64_t rows = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
        const uint64_t rowSize = (static_cast<uint64_t>(h.biWidth) * bits + 31) / 32 * 4;
        if (rowSize * rows != pixelBytes) return "pixel bytes do not match the rows";
        if (h.biSizeImage != 0 && h.biSizeImage != pixelBytes) return "biSizeImage " + std::to_string(h.biSizeImage);
    }

    // Where the bytes came from.
    const size_t infoBytes = offBits - 14;
    if (infoBytes > from.infoSize) return "more information bytes than the block held";
    if (pixelBytes > from.pixelSize) return "more pixel bytes than the block held";
    if (from.info.size() < infoBytes || from.pixels.size() < pixelBytes) return "blocks not known in full";
    BITMAPINFOHEADER original;
    std::memcpy(&original, from.info.data(), sizeof original);
    // Only an invalid image size of uncompressed rows may be corrected; valid bytes stay.
    if (!compressed && original.biSizeImage != 0 && original.biSizeImage != pixelBytes)
        original.biSizeImage = static_cast<DWORD>(pixelBytes);
    // And a colour table that a picture without a palette (above 8 bits, or an embedded JPEG or
    // PNG of 0 bits) names but its block does not hold is left out.
    if ((bits == 0 || bits > 8) && h.biSize + masks + 4ull * original.biClrUsed > from.infoSize) {
        original.biClrUsed = 0;
        original.biClrImportant = 0;
    }
    if (std::memcmp(&original, &h, sizeof h) != 0) return "header fields changed";
    if (std::memcmp(file.data() + 54, from.info.data() + 40, infoBytes - 40) != 0) return "colour table or masks changed";
    if (std::memcmp(file.data() + offBits, from.pixels.data(), static_cast<size_t>(pixelBytes)) != 0)
        return "pixels changed";
    return {};
}

}  // namespace robust
