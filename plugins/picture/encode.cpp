// Bitmap blocks to a picture file: the DIB is checked against both blocks, turned into
// top-down RGBA rows and handed to stb_image_write.
#include "encode.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <stb_image_write.h>

#include "budget.h"
#include "decode.h"
#include "local_block.h"
#include "plugin/spi_api.h"

namespace picture {

namespace {

using spi::Progress;

const int JPEG_QUALITY = 90;

// One channel of a 16-, 24- or 32-bit pixel, scaled from its mask's bits to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint64_t max = 0;
    explicit Channel(uint32_t m = 0) : mask(m), shift(m ? std::countr_zero(m) : 0), max(m >> shift) {}
    uint8_t Of(uint32_t v, uint8_t none) const {
        if (max == 255) return static_cast<uint8_t>((v & mask) >> shift);
        return max ? static_cast<uint8_t>((((v & mask) >> shift) * 255 + max / 2) / max) : none;
    }
};

// What a BITMAPINFO block says, once it is known to fit both blocks.
struct Dib {
    int width = 0, height = 0;
    bool topDown = false;
    int bits = 0;
    const RGBQUAD* colours = nullptr;  // 1, 4 and 8 bits
    size_t colourCount = 0;
    Channel red, green, blue, alpha;   // 16, 24 and 32 bits
    bool reservedAlpha = false;        // 32-bit BI_RGB: a fourth byte of zeros means opaque
    size_t stride = 0;
};

// Result code: 3 for a header that contradicts itself or its blocks, 4 beyond the caps,
// 2 for a kind of bitmap not written here (compressed, 2 or 64 bits, OS/2 headers).
int ReadHeader(const uint8_t* info, size_t infoSize, size_t bitsSize, Dib& d) {
    BITMAPINFOHEADER h;
    if (infoSize < sizeof h.biSize) return SPI::SPI_BROKEN_DATA;
    std::memcpy(&h.biSize, info, sizeof h.biSize);
    if (h.biSize == sizeof(BITMAPCOREHEADER)) return SPI::SPI_UNKNOWN_FORMAT;
    if (h.biSize < sizeof h || h.biSize > infoSize) return SPI::SPI_BROKEN_DATA;
    std::memcpy(&h, info, sizeof h);
    int64_t height = h.biHeight;
    if (h.biWidth <= 0 || height == 0) return SPI::SPI_BROKEN_DATA;
    d.topDown = height < 0;
    height = std::abs(height);
    if (!WithinCaps(static_cast<uint64_t>(h.biWidth), static_cast<uint64_t>(height))) return SPI::SPI_NO_MEMORY;
    d.width = h.biWidth;
    d.height = static_cast<int>(height);
    d.bits = h.biBitCount;

    const size_t room = infoSize - h.biSize;  // colour table or masks after the header
    uint32_t masks[4] = {};
    switch (d.bits) {
    case 1: case 4: case 8:
        if (h.biCompression != BI_RGB) return SPI::SPI_UNKNOWN_FORMAT;
        d.colourCount = h.biClrUsed && h.biClrUsed < (1u << d.bits) ? h.biClrUsed : 1u << d.bits;
        if (room / sizeof(RGBQUAD) < d.colourCount) return SPI::SPI_BROKEN_DATA;
        d.colours = reinterpret_cast<const RGBQUAD*>(info + h.biSize);
        break;
    case 16: case 32:
        if (h.biCompression == BI_BITFIELDS) {
            // A plain header is followed by three masks; larger ones hold them, with alpha's.
            const bool inHeader = h.biSize >= 52;
            if (!inHeader && room < 3 * sizeof(DWORD)) return SPI::SPI_BROKEN_DATA;
            std::memcpy(masks, info + sizeof h, (h.biSize >= 56 ? 4 : 3) * sizeof(DWORD));
        } else if (h.biCompression == BI_RGB && d.bits == 16) {
            masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
        } else if (h.biCompression == BI_RGB) {
            masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF, masks[3] = 0xFF000000;
            d.reservedAlpha = true;
        } else {
            return SPI::SPI_UNKNOWN_FORMAT;
        }
        break;
    case 24:
        if (h.biCompression != BI_RGB) return SPI::SPI_UNKNOWN_FORMAT;
        masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
        break;
    default:
        return SPI::SPI_UNKNOWN_FORMAT;
    }
    d.red = Channel(masks[0]);
    d.green = Channel(masks[1]);
    d.blue = Channel(masks[2]);
    d.alpha = Channel(masks[3]);
    d.stride = (static_cast<size_t>(d.width) * d.bits + 31) / 32 * 4;
    return bitsSize / d.stride < static_cast<size_t>(d.height) ? SPI::SPI_BROKEN_DATA : SPI::SPI_OK;
}

// The pixels as top-down RGBA; false once the host has cancelled. An index past the colour
// table is black.
bool ToRgba(const Dib& d, const uint8_t* bits, uint8_t* out, Progress& progress) {
    const int bytes = d.bits / 8, perByte = d.bits <= 8 ? 8 / d.bits : 1;
    const unsigned indexMask = (1u << (d.bits <= 8 ? d.bits : 0)) - 1;
    for (int y = 0; y < d.height; ++y) {
        const uint8_t* row = bits + static_cast<size_t>(d.topDown ? y : d.height - 1 - y) * d.stride;
        for (int x = 0; x < d.width; ++x, out += 4) {
            if (d.bits <= 8) {
                unsigned i = row[x / perByte] >> (8 - d.bits * (x % perByte + 1)) & indexMask;
                RGBQUAD c = i < d.colourCount ? d.colours[i] : RGBQUAD{};
                out[0] = c.rgbRed, out[1] = c.rgbGreen, out[2] = c.rgbBlue, out[3] = 255;
            } else {
                uint32_t v = 0;
                std::memcpy(&v, row + static_cast<size_t>(x) * bytes, bytes);
                out[0] = d.red.Of(v, 0), out[1] = d.green.Of(v, 0), out[2] = d.blue.Of(v, 0);
                out[3] = d.alpha.Of(v, 255);
            }
        }
        if (!progress.Report(static_cast<uint64_t>(y + 1) * d.stride)) return false;
    }
    return true;
}

// Keeps the channels the file needs: 1 when every pixel is an opaque grey, 4 when some are
// not opaque, else 3. Returns that number.
int Reduce(std::vector<uint8_t>& px, bool reservedAlpha) {
    const size_t n = px.size() / 4;
    bool grey = true, opaque = true, anyAlpha = false;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = &px[i * 4];
        grey = grey && p[0] == p[1] && p[1] == p[2];
        opaque = opaque && p[3] == 255;
        anyAlpha = anyAlpha || p[3] != 0;
    }
    const int comp = !(opaque || (reservedAlpha && !anyAlpha)) ? 4 : grey ? 1 : 3;
    if (comp < 4) {
        for (size_t i = 0; i < n; ++i)
            for (int k = 0; k < comp; ++k) px[i * comp + k] = px[i * 4 + k];
        px.resize(n * comp);
    }
    return comp;
}

void Append(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

bool Write(Format format, int w, int h, int comp, const uint8_t* px, std::vector<uint8_t>& out) {
    switch (format) {
    case Format::Png: return stbi_write_png_to_func(Append, &out, w, h, comp, px, w * comp) != 0;
    case Format::Jpeg: return stbi_write_jpg_to_func(Append, &out, w, h, comp, px, JPEG_QUALITY) != 0;
    case Format::Bmp: return stbi_write_bmp_to_func(Append, &out, w, h, comp, px) != 0;
    case Format::Tga: return stbi_write_tga_to_func(Append, &out, w, h, comp, px) != 0;
    default: return false;
    }
}

// The new file, written beside the destination under a name of its own; it takes the
// destination's place only when committed, and is removed if it never is.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() {
        if (!temp_.empty()) DeleteFileW(temp_.c_str());
    }

    int Write(const std::wstring& dest, const std::vector<uint8_t>& data) {
        static LONG counter = 0;
        HANDLE f = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 8 && f == INVALID_HANDLE_VALUE; ++attempt) {
            std::wstring name = dest + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(InterlockedIncrement(&counter)) + L".part";
            f = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (f != INVALID_HANDLE_VALUE)
                temp_ = name;
            else if (GetLastError() != ERROR_FILE_EXISTS)
                break;
        }
        if (f == INVALID_HANDLE_VALUE) return SPI::SPI_WRITE_ERROR;
        bool ok = true;
        for (size_t done = 0; ok && done < data.size();) {
            DWORD want = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20)), put = 0;
            ok = WriteFile(f, data.data() + done, want, &put, nullptr) && put == want;
            done += put;
        }
        ok = CloseHandle(f) && ok;
        return ok ? SPI::SPI_OK : SPI::SPI_WRITE_ERROR;
    }

    int Commit(const std::wstring& dest) {
        if (!MoveFileExW(temp_.c_str(), dest.c_str(), MOVEFILE_REPLACE_EXISTING)) return SPI::SPI_WRITE_ERROR;
        temp_.clear();
        return SPI::SPI_OK;
    }

private:
    std::wstring temp_;
};

}  // namespace

Format FormatOfPath(const std::wstring& path) {
    static const struct {
        const wchar_t* ext;
        Format format;
    } WRITTEN[] = {{L"png", Format::Png}, {L"jpg", Format::Jpeg}, {L"jpeg", Format::Jpeg}, {L"jpe", Format::Jpeg},
                   {L"jfif", Format::Jpeg}, {L"bmp", Format::Bmp}, {L"dib", Format::Bmp}, {L"tga", Format::Tga},
                   {L"tpic", Format::Tga}};
    size_t dot = path.find_last_of(L"./\\:");
    if (dot == std::wstring::npos || path[dot] != L'.') return Format::Unknown;
    std::wstring ext = path.substr(dot + 1);
    for (wchar_t& c : ext)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    for (const auto& w : WRITTEN)
        if (ext == w.ext) return w.format;
    return Format::Unknown;
}

int Encode(HLOCAL info, HLOCAL bits, Format format, const std::wstring& path, Progress& progress) {
    spi::LocalLockGuard infoLock(info), bitsLock(bits);
    const auto* header = static_cast<const uint8_t*>(infoLock.get());
    const auto* pixels = static_cast<const uint8_t*>(bitsLock.get());
    if (!header || !pixels) return SPI::SPI_MEMORY_ERROR;
    Dib d;
    if (int rc = ReadHeader(header, LocalSize(info), LocalSize(bits), d)) return rc;

    // Progress counts the pixel block's bytes as they are read, and one step more for the
    // file: the last call comes when it is complete, before it replaces the destination.
    const uint64_t total = static_cast<uint64_t>(d.stride) * d.height + 1;
    progress.SetTotal(total);
    if (!progress.Report(0)) return SPI::SPI_ABORTED;
    std::vector<uint8_t> px(static_cast<size_t>(d.width) * d.height * 4);
    if (!ToRgba(d, pixels, px.data(), progress)) return SPI::SPI_ABORTED;
    const int comp = Reduce(px, d.reservedAlpha);

    BudgetScope budget(PictureBudget(static_cast<uint64_t>(d.width) * d.height));
    std::vector<uint8_t> file;
    if (!Write(format, d.width, d.height, comp, px.data(), file))
        return budget.Exceeded() ? SPI::SPI_NO_MEMORY : SPI::SPI_INTERNAL_ERROR;
    PendingFile pending;
    if (int rc = pending.Write(path, file)) return rc;
    if (!progress.Report(total)) return SPI::SPI_ABORTED;
    return pending.Commit(path);
}

}  // namespace picture
