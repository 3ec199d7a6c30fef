// The picture plug-in's exported entry points on memory input, as a host calls them: the
// header test, the picture facts, the picture (or, by the data's last bit, the preview),
// with a progress callback. Whatever it hands out is checked against what it said and freed,
// so a fault in either shows: a sanitizer finding, a leak, or a trap below.
#include <windows.h>

#include <cstring>

#include "harness.h"
#include "plugin/spi_api.h"

extern "C" {
int GetPictureInfo(LPCSTR, LONG_PTR, unsigned, SPI::PictureInfoRecord*);
int GetPicture(LPCSTR, LONG_PTR, unsigned, HLOCAL*, HLOCAL*, SPI::ProgressCallback, LONG_PTR);
int GetPreview(LPCSTR, LONG_PTR, unsigned, HLOCAL*, HLOCAL*, SPI::ProgressCallback, LONG_PTR);
}

namespace {

using fuzz::Check;
using fuzz::Progress;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int supported = fuzz::Supported(data, size);

    auto* buf = reinterpret_cast<LPCSTR>(data);
    auto len = static_cast<LONG_PTR>(size);
    SPI::PictureInfoRecord facts{};
    int rc = GetPictureInfo(buf, len, SPI::FLAG_MEMORY, &facts);
    Check(rc == SPI::SPI_OK || (rc >= SPI::SPI_UNKNOWN_FORMAT && rc <= SPI::SPI_INTERNAL_ERROR));
    if (rc == SPI::SPI_OK) Check(supported == 1 && facts.width > 0 && facts.height > 0);

    bool preview = size > 0 && (data[size - 1] & 1);
    HLOCAL info = nullptr, bits = nullptr;
    int decoded = (preview ? GetPreview : GetPicture)(buf, len, SPI::FLAG_MEMORY, &info, &bits, Progress, 0);
    if (decoded == SPI::SPI_OK) {
        Check(rc == SPI::SPI_OK && info && bits);
        const auto* bih = static_cast<const BITMAPINFOHEADER*>(LocalLock(info));
        Check(LocalSize(info) >= sizeof *bih + bih->biClrUsed * sizeof(RGBQUAD));
        // The depth is not checked against the facts': a GIF whose first frame turns out
        // transparent, or a palette that turns out larger, is handed out deeper.
        Check(bih->biWidth > 0 && bih->biHeight > 0 &&
              (bih->biBitCount == 8 || bih->biBitCount == 24 || bih->biBitCount == 32));
        if (!preview) Check(bih->biWidth == facts.width && bih->biHeight == facts.height);
        size_t stride = ((static_cast<size_t>(bih->biWidth) * bih->biBitCount + 31) / 32) * 4;
        Check(LocalSize(bits) >= stride * static_cast<size_t>(bih->biHeight));
        LocalUnlock(info);
    } else {
        Check(!info && !bits);
    }
    LocalFree(info);
    LocalFree(bits);
    return 0;
}
