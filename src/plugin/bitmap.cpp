#include "bitmap.h"

#include <cstdint>
#include <cstring>

namespace SPI::bitmap {

namespace {

constexpr DWORD MASKS_SIZE = 3 * sizeof(DWORD);        // BI_BITFIELDS after a 40-byte header
constexpr DWORD ALPHA_MASKS_SIZE = 4 * sizeof(DWORD);  // BI_ALPHABITFIELDS likewise
constexpr DWORD COMPRESSION_ALPHABITFIELDS = 6;
constexpr uint64_t MAX_SIZE = 0xFFFFFFFFull;  // bfSize is 32 bits

bool Compressed(DWORD compression) noexcept {
    return compression == BI_RLE8 || compression == BI_RLE4 || compression == BI_JPEG || compression == BI_PNG;
}

// Compression and bit count that readers take together.
bool Consistent(WORD bits, DWORD compression) noexcept {
    switch (compression) {
    case BI_RGB:
        return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    case BI_RLE8:
        return bits == 8;
    case BI_RLE4:
        return bits == 4;
    case BI_BITFIELDS:
    case COMPRESSION_ALPHABITFIELDS:
        return bits == 16 || bits == 32;
    case BI_JPEG:
    case BI_PNG:
        return bits == 0;  // the embedded picture says its own depth
    default:
        return false;
    }
}

// The sizes of the header versions: BITMAPINFOHEADER, its two extensions with masks, and
// BITMAPV4HEADER, BITMAPV5HEADER. BITMAPCOREHEADER (12) has another layout, not read here.
bool KnownHeaderSize(DWORD size) noexcept {
    return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

}  // namespace

bool ComputeLayout(const void* info, size_t infoSize, size_t pixelSize, Layout& out) noexcept {
    if (!info || infoSize < INFO_HEADER_SIZE) return false;
    BITMAPINFOHEADER h;
    std::memcpy(&h, info, sizeof h);
    if (!KnownHeaderSize(h.biSize) || h.biPlanes != 1 || h.biWidth <= 0 || h.biHeight == 0) return false;
    if (!Consistent(h.biBitCount, h.biCompression)) return false;
    const bool compressed = Compressed(h.biCompression);
    if (compressed && h.biHeight < 0) return false;  // compressed rows are always bottom-up

    uint64_t infoBytes = h.biSize;
    // Later header versions carry their masks inside the header itself.
    if (h.biSize == INFO_HEADER_SIZE) {
        if (h.biCompression == BI_BITFIELDS) infoBytes += MASKS_SIZE;
        if (h.biCompression == COMPRESSION_ALPHABITFIELDS) infoBytes += ALPHA_MASKS_SIZE;
    }
    // A colour table of biClrUsed entries, of 2^bits when that is 0 for 8 bits or less; above
    // 8 bits (and for an embedded JPEG or PNG, of 0 bits) a table is only a palette to display
    // with: kept when the block holds it, and left out (biClrUsed 0) when it does not, as the
    // pixels need none.
    if (h.biBitCount >= 1 && h.biBitCount <= 8) {
        const uint64_t most = 1ull << h.biBitCount;
        if (h.biClrUsed > most) return false;
        infoBytes += 4 * (h.biClrUsed != 0 ? h.biClrUsed : most);
    } else if (infoBytes + 4ull * h.biClrUsed <= infoSize) {
        infoBytes += 4ull * h.biClrUsed;
    } else {
        h.biClrUsed = 0;
        h.biClrImportant = 0;
    }
    const uint64_t rowSize = (static_cast<uint64_t>(h.biWidth) * h.biBitCount + 31) / 32 * 4;
    const int64_t height = h.biHeight;  // negative: rows stored top-down
    const uint64_t rows = static_cast<uint64_t>(height < 0 ? -height : height);
    if (rowSize > MAX_SIZE || rows > MAX_SIZE) return false;
    uint64_t pixelBytes = 0;
    if (compressed) {
        // Compressed rows have no stride: the header's size is all there is to go by.
        if (h.biSizeImage == 0) return false;
        pixelBytes = h.biSizeImage;
    } else {
        pixelBytes = rowSize * rows;
        if (pixelBytes > MAX_SIZE) return false;
        // 0 is valid for uncompressed rows; any other size than theirs is corrected.
        if (h.biSizeImage != 0) h.biSizeImage = static_cast<DWORD>(pixelBytes);
    }
    const uint64_t fileSize = FILE_HEADER_SIZE + infoBytes + pixelBytes;
    if (fileSize > MAX_SIZE || infoBytes > infoSize || pixelBytes > pixelSize) return false;

    out.header = h;
    out.infoBytes = static_cast<DWORD>(infoBytes);
    out.dataOffset = static_cast<DWORD>(FILE_HEADER_SIZE + infoBytes);
    out.rowSize = static_cast<DWORD>(rowSize);
    out.pixelBytes = static_cast<DWORD>(pixelBytes);
    out.fileSize = static_cast<DWORD>(fileSize);
    return true;
}

void FileHeader(const Layout& layout, BYTE (&out)[FILE_HEADER_SIZE]) noexcept {
    static_assert(sizeof(BITMAPFILEHEADER) == FILE_HEADER_SIZE);
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;  // "BM"
    fh.bfSize = layout.fileSize;
    fh.bfOffBits = layout.dataOffset;
    std::memcpy(out, &fh, sizeof fh);
}

void Compose(const Layout& layout, const void* info, const void* pixels, void* dest) noexcept {
    static_assert(sizeof(BITMAPINFOHEADER) == INFO_HEADER_SIZE);
    BYTE* d = static_cast<BYTE*>(dest);
    BYTE header[FILE_HEADER_SIZE];
    FileHeader(layout, header);
    std::memcpy(d, header, FILE_HEADER_SIZE);
    std::memcpy(d + FILE_HEADER_SIZE, &layout.header, INFO_HEADER_SIZE);
    std::memcpy(d + FILE_HEADER_SIZE + INFO_HEADER_SIZE, static_cast<const BYTE*>(info) + INFO_HEADER_SIZE,
                layout.infoBytes - INFO_HEADER_SIZE);
    std::memcpy(d + layout.dataOffset, pixels, layout.pixelBytes);
}

}  // namespace SPI::bitmap
