#include "bitmap.h"

#include <cstdint>
#include <cstring>

namespace SPI::bitmap {

namespace {

constexpr DWORD BITMAPINFOHEADER_SIZE = 40;
constexpr DWORD MASKS_SIZE = 3 * sizeof(DWORD);        // BI_BITFIELDS after a 40-byte header
constexpr DWORD ALPHA_MASKS_SIZE = 4 * sizeof(DWORD);  // BI_ALPHABITFIELDS likewise
constexpr DWORD COMPRESSION_ALPHABITFIELDS = 6;
constexpr uint64_t MAX_SIZE = 0xFFFFFFFFull;  // bfSize is 32 bits

}  // namespace

bool ComputeLayout(const void* info, size_t infoSize, size_t pixelSize, Layout& out) noexcept {
    if (!info || infoSize < BITMAPINFOHEADER_SIZE) return false;
    BITMAPINFOHEADER h;
    std::memcpy(&h, info, sizeof h);
    if (h.biSize < BITMAPINFOHEADER_SIZE || h.biWidth < 0) return false;

    uint64_t infoBytes = h.biSize;
    // Later header versions carry their masks inside the header itself.
    if (h.biSize == BITMAPINFOHEADER_SIZE) {
        if (h.biCompression == BI_BITFIELDS) infoBytes += MASKS_SIZE;
        if (h.biCompression == COMPRESSION_ALPHABITFIELDS) infoBytes += ALPHA_MASKS_SIZE;
    }
    // Only pictures of 8 bits or less get a colour table; a full one when biClrUsed is 0.
    if (h.biBitCount <= 8) {
        infoBytes += h.biClrUsed != 0 ? 4ull * h.biClrUsed : 4ull << h.biBitCount;
    }
    const uint64_t rowSize = (static_cast<uint64_t>(h.biWidth) * h.biBitCount + 31) / 32 * 4;
    const int64_t height = h.biHeight;  // negative: rows stored top-down
    const uint64_t rows = static_cast<uint64_t>(height < 0 ? -height : height);
    if (rowSize > MAX_SIZE || rows > MAX_SIZE) return false;
    const uint64_t pixelBytes = rowSize * rows;
    const uint64_t fileSize = FILE_HEADER_SIZE + infoBytes + pixelBytes;
    if (fileSize > MAX_SIZE || infoBytes > infoSize || pixelBytes > pixelSize) return false;

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
    BYTE* d = static_cast<BYTE*>(dest);
    BYTE header[FILE_HEADER_SIZE];
    FileHeader(layout, header);
    std::memcpy(d, header, FILE_HEADER_SIZE);
    std::memcpy(d + FILE_HEADER_SIZE, info, layout.infoBytes);
    std::memcpy(d + layout.dataOffset, pixels, layout.pixelBytes);
}

}  // namespace SPI::bitmap
