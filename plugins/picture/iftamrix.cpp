// iftamrix.spi: the bundled picture plug-in ("00IN"). Reads PNG, JPEG, GIF (first frame),
// BMP, TGA and PNM through stb_image behind a screen, PSD (composite) through its own reader,
// from a file at an offset or from memory, with narrow and wide file names; writes PNG, JPEG,
// BMP and TGA files through stb_image_write.
#include <windows.h>

#include <cstring>
#include <string>

#include "decode.h"
#include "encode.h"
#include "formats.h"
#include "guard.h"
#include "input.h"
#include "progress.h"
#include "plugin/spi_api.h"
#include "text.h"

using namespace spi;
using namespace SPI;

namespace {

const char* const PLUGIN_INFO[] = {
    "00IN",
    "Tamrix picture plug-in 1.0 (stb_image): PNG, JPEG, GIF, BMP, TGA, PSD, PNM",
    "*.png", "PNG picture",
    "*.jpg;*.jpeg;*.jpe;*.jfif", "JPEG picture",
    "*.gif", "GIF picture",
    "*.bmp;*.dib", "Windows bitmap",
    "*.tga;*.tpic", "Targa picture",
    "*.psd", "Photoshop picture",
    "*.pnm;*.ppm;*.pgm", "Portable anymap",
};

// The file name is only a hint, and not used: the header bytes decide.
int IsSupportedImpl(const void* dw) {
    uint8_t header[HEADER_SIZE];
    size_t n = FetchHeader(dw, header);
    return picture::Detect(header, n) != picture::Format::Unknown ? 1 : 0;
}

template <class Char>
int GetPictureInfoImpl(const Char* buf, LONG_PTR len, unsigned flag, PictureInfoRecord* info) {
    if (!info) return SPI_INTERNAL_ERROR;
    Input in;
    if (int rc = in.Open(buf, len, flag)) return rc;
    picture::Facts facts;
    if (int rc = picture::ReadFacts(in, facts)) return rc;
    std::memset(info, 0, sizeof *info);
    info->width = facts.width;
    info->height = facts.height;
    info->colorDepth = static_cast<short>(facts.Bits());
    return SPI_OK;
}

template <class Char>
int DecodeImpl(const Char* buf, LONG_PTR len, unsigned flag, HLOCAL* info, HLOCAL* bits,
               ProgressCallback cb, LONG_PTR data, bool preview) {
    if (!info || !bits) return SPI_INTERNAL_ERROR;
    *info = nullptr;
    *bits = nullptr;
    Input in;
    if (int rc = in.Open(buf, len, flag)) return rc;
    Progress progress(cb, data);
    return picture::Decode(in, preview, progress, info, bits);
}

std::wstring WidePath(LPCSTR path) {
    return path ? Widen(path, std::strlen(path), AreFileApisANSI() ? CP_ACP : CP_OEMCP) : std::wstring();
}
std::wstring WidePath(LPCWSTR path) { return path ? path : std::wstring(); }

// An extension not written here answers 2 before anything else is looked at, so a host may
// ask without a picture. The picture record is not needed: the header says it all.
template <class Char>
int CreatePictureImpl(const Char* path, unsigned flag, HLOCAL* info, HLOCAL* bits, ProgressCallback cb,
                      LONG_PTR data) {
    if (flag & FLAG_OUTPUT_MASK) return SPI_NOT_IMPLEMENTED;  // a file is the only destination
    std::wstring dest = WidePath(path);
    picture::Format format = picture::FormatOfPath(dest);
    if (format == picture::Format::Unknown) return SPI_UNKNOWN_FORMAT;
    if (!info || !bits || !*info || !*bits) return SPI_INTERNAL_ERROR;
    Progress progress(cb, data);
    return picture::Encode(*info, *bits, format, dest, progress);
}

}  // namespace

SPI_EXPORT int WINAPI GetPluginInfo(int infono, LPSTR buf, int buflen) {
    return Guarded([&] { return PluginInfo(infono, buf, buflen, PLUGIN_INFO); });
}

SPI_EXPORT int WINAPI GetPluginInfoW(int infono, LPWSTR buf, int buflen) {
    return Guarded([&] { return PluginInfo(infono, buf, buflen, PLUGIN_INFO); });
}

SPI_EXPORT int WINAPI IsSupported(LPCSTR, const void* dw) {
    return Guarded([&] { return IsSupportedImpl(dw); });
}

SPI_EXPORT int WINAPI IsSupportedW(LPCWSTR, const void* dw) {
    return Guarded([&] { return IsSupportedImpl(dw); });
}

SPI_EXPORT int WINAPI GetPictureInfo(LPCSTR buf, LONG_PTR len, unsigned flag, PictureInfoRecord* info) {
    return Guarded([&] { return GetPictureInfoImpl(buf, len, flag, info); });
}

SPI_EXPORT int WINAPI GetPictureInfoW(LPCWSTR buf, LONG_PTR len, unsigned flag, PictureInfoRecord* info) {
    return Guarded([&] { return GetPictureInfoImpl(buf, len, flag, info); });
}

SPI_EXPORT int WINAPI GetPicture(LPCSTR buf, LONG_PTR len, unsigned flag, HLOCAL* info, HLOCAL* bits,
                                 ProgressCallback cb, LONG_PTR data) {
    return Guarded([&] { return DecodeImpl(buf, len, flag, info, bits, cb, data, false); });
}

SPI_EXPORT int WINAPI GetPictureW(LPCWSTR buf, LONG_PTR len, unsigned flag, HLOCAL* info, HLOCAL* bits,
                                  ProgressCallback cb, LONG_PTR data) {
    return Guarded([&] { return DecodeImpl(buf, len, flag, info, bits, cb, data, false); });
}

SPI_EXPORT int WINAPI GetPreview(LPCSTR buf, LONG_PTR len, unsigned flag, HLOCAL* info, HLOCAL* bits,
                                 ProgressCallback cb, LONG_PTR data) {
    return Guarded([&] { return DecodeImpl(buf, len, flag, info, bits, cb, data, true); });
}

SPI_EXPORT int WINAPI GetPreviewW(LPCWSTR buf, LONG_PTR len, unsigned flag, HLOCAL* info, HLOCAL* bits,
                                  ProgressCallback cb, LONG_PTR data) {
    return Guarded([&] { return DecodeImpl(buf, len, flag, info, bits, cb, data, true); });
}

SPI_EXPORT int WINAPI CreatePicture(LPCSTR path, unsigned flag, HLOCAL* info, HLOCAL* bits, PictureInfoRecord*,
                                    ProgressCallback cb, LONG_PTR data) {
    return Guarded([&] { return CreatePictureImpl(path, flag, info, bits, cb, data); });
}

SPI_EXPORT int WINAPI CreatePictureW(LPCWSTR path, unsigned flag, HLOCAL* info, HLOCAL* bits, PictureInfoRecord*,
                                     ProgressCallback cb, LONG_PTR data) {
    return Guarded([&] { return CreatePictureImpl(path, flag, info, bits, cb, data); });
}
