// Picture decoding with stb_image behind its screen (front.h), Photoshop files with the
// reader of psd.h, and the device-independent bitmap the host receives. A build with
// TAMRIX_PICTURE_UNSCREENED hands everything to stb_image unscreened, with blocks it does not
// zero-fill: the benchmark's measure of what the screen costs, never a plug-in.
#include "decode.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <stb_image.h>
#include <stb_image_resize.h>

#include "budget.h"
#include "front.h"
#include "local_block.h"
#include "psd.h"
#include "plugin/spi_api.h"

namespace picture {

namespace {

using spi::Input;
using spi::Progress;
using spi::Reader;

// stb_image reads through these callbacks, so the data may be a file of any size without
// being read in first, every read stays inside the input, and progress is reported (and
// cancellation noticed) as decoding consumes the input.
struct StbSource {
    Reader reader;
    Progress* progress;
    bool hitEnd = false;  // the decoder wanted bytes after the end: the data is cut short
    const char* refillBuffer = nullptr;

    StbSource(Input& in, Progress* p) : reader(in), progress(p) {}

    // stb_image reads in two ways: it refills its small look-ahead buffer (the first read
    // of all goes there), where a short read at the end of the data is normal, and it reads
    // whole blocks straight into their destination, where a short read means the data is
    // cut short. Large reads are taken in steps so that progress moves while they go on.
    static int Read(void* user, char* data, int size) {
        auto* s = static_cast<StbSource*>(user);
        if (!s->refillBuffer) s->refillBuffer = data;
        if (size <= 0) return 0;
        size_t done = 0;
        while (done < static_cast<size_t>(size)) {
            if (s->progress && s->progress->Cancelled()) return static_cast<int>(done);
            size_t step = std::min<size_t>(size - done, 16 * 1024);
            size_t n = s->reader.Read(data + done, step);
            done += n;
            if (s->progress) s->progress->Report(s->reader.Pos());
            if (n < step) break;
        }
        if (done == 0 || (done < static_cast<size_t>(size) && data != s->refillBuffer)) s->hitEnd = true;
        return static_cast<int>(done);
    }
    static void Skip(void* user, int n) {
        auto* s = static_cast<StbSource*>(user);
        if (n > 0) s->reader.Skip(static_cast<uint64_t>(n));
    }
    static int Eof(void* user) {
        auto* s = static_cast<StbSource*>(user);
        return s->reader.AtEnd() || (s->progress && s->progress->Cancelled());
    }
    static const stbi_io_callbacks CALLBACKS;
};
const stbi_io_callbacks StbSource::CALLBACKS = {&StbSource::Read, &StbSource::Skip, &StbSource::Eof};

struct StbPixels {
    stbi_uc* p = nullptr;
    ~StbPixels() {
        if (p) stbi_image_free(p);
    }
};

Depth Plan(const Header& h, int comp) {
    switch (h.format) {
    case Format::Png:
        if (h.transparency) return Depth::Rgba32;
        if (h.paletted) return Depth::Palette8;
        return h.channels == 1 ? Depth::Grey8 : Depth::Rgb24;
    case Format::Gif:
        return h.transparency ? Depth::Rgba32 : Depth::Palette8;
    case Format::Psd:
        return h.transparency ? Depth::Rgba32 : Depth::Rgb24;
    default:
        break;
    }
    if (comp == 2 || comp == 4) return Depth::Rgba32;
    if (comp == 1) return Depth::Grey8;
    return h.paletted ? Depth::Palette8 : Depth::Rgb24;
}

int ChannelsFor(Depth d) {
    switch (d) {
    case Depth::Grey8: return 1;
    case Depth::Rgb24: return 3;
    default: return 4;  // a palette is built from RGBA, so that alpha can be checked
    }
}

size_t Stride(int width, int bits) { return ((static_cast<size_t>(width) * bits + 31) / 32) * 4; }

// The distinct colours of an opaque RGBA picture, at most 256, in order of first use.
class PaletteBuilder {
public:
    bool Build(const uint8_t* px, size_t count) {
        for (size_t i = 0; i < count; ++i, px += 4) {
            if (px[3] != 255) return false;
            if (Index(Key(px)) < 0) return false;
        }
        return true;
    }
    int Index(uint32_t key) {
        if (key == lastKey_) return lastIndex_;
        size_t slot = (key * 2654435761u) >> 22;  // 1024 slots
        while (slots_[slot].used) {
            if (slots_[slot].key == key) return Remember(key, slots_[slot].index);
            slot = (slot + 1) & 1023;
        }
        if (colours_.size() == 256) return -1;
        slots_[slot] = {key, static_cast<uint8_t>(colours_.size()), true};
        colours_.push_back(key);
        return Remember(key, slots_[slot].index);
    }
    static uint32_t Key(const uint8_t* rgba) { return rgba[0] << 16 | rgba[1] << 8 | rgba[2]; }
    const std::vector<uint32_t>& Colours() const { return colours_; }

private:
    int Remember(uint32_t key, int index) {
        lastKey_ = key;
        lastIndex_ = index;
        return index;
    }
    struct Slot {
        uint32_t key;
        uint8_t index;
        bool used;
    };
    Slot slots_[1024] = {};
    std::vector<uint32_t> colours_;
    uint32_t lastKey_ = 0xFFFFFFFF;
    int lastIndex_ = -1;
};

bool AnyTransparent(const uint8_t* rgba, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (rgba[i * 4 + 3] != 255) return true;
    return false;
}

// Writes the two blocks from top-down pixels with `comp` channels (1 grey, 3 RGB, 4 RGBA).
int BuildBitmap(const uint8_t* px, int w, int h, int comp, Depth depth, Progress& progress,
                uint64_t progressBase, HLOCAL* outInfo, HLOCAL* outBits) {
    PaletteBuilder palette;
    size_t count = static_cast<size_t>(w) * h;
    if (depth == Depth::Palette8 && !palette.Build(px, count))
        depth = AnyTransparent(px, count) ? Depth::Rgba32 : Depth::Rgb24;

    int bits = depth == Depth::Rgb24 ? 24 : depth == Depth::Rgba32 ? 32 : 8;
    size_t colours = depth == Depth::Grey8 ? 256 : depth == Depth::Palette8 ? palette.Colours().size() : 0;
    size_t stride = Stride(w, bits);

    spi::LocalBlock info = spi::LocalBlock::Alloc(sizeof(BITMAPINFOHEADER) + colours * sizeof(RGBQUAD), true);
    spi::LocalBlock pixels = spi::LocalBlock::Alloc(stride * h, true);
    if (!info || !pixels) return SPI::SPI_NO_MEMORY;
    {
        spi::LocalLockGuard infoLock(info);
        auto* bih = static_cast<BITMAPINFOHEADER*>(infoLock.get());
        if (!bih) return SPI::SPI_MEMORY_ERROR;
        bih->biSize = sizeof(BITMAPINFOHEADER);
        bih->biWidth = w;
        bih->biHeight = h;
        bih->biPlanes = 1;
        bih->biBitCount = static_cast<WORD>(bits);
        bih->biCompression = BI_RGB;
        bih->biSizeImage = static_cast<DWORD>(stride * h);
        bih->biClrUsed = static_cast<DWORD>(colours);
        auto* table = reinterpret_cast<RGBQUAD*>(bih + 1);
        for (size_t i = 0; i < colours; ++i) {
            uint32_t c = depth == Depth::Grey8 ? static_cast<uint32_t>(i * 0x010101) : palette.Colours()[i];
            table[i] = RGBQUAD{static_cast<BYTE>(c), static_cast<BYTE>(c >> 8), static_cast<BYTE>(c >> 16), 0};
        }
    }
    spi::LocalLockGuard pixelLock(pixels);
    auto* out = static_cast<uint8_t*>(pixelLock.get());
    if (!out) return SPI::SPI_MEMORY_ERROR;
    for (int y = 0; y < h; ++y) {
        if (!progress.Report(progressBase + y)) return SPI::SPI_ABORTED;
        const uint8_t* src = px + static_cast<size_t>(y) * w * comp;
        uint8_t* dst = out + static_cast<size_t>(h - 1 - y) * stride;
        switch (depth) {
        case Depth::Grey8:
            std::memcpy(dst, src, w);
            break;
        case Depth::Palette8:
            for (int x = 0; x < w; ++x) dst[x] = static_cast<uint8_t>(palette.Index(PaletteBuilder::Key(src + x * 4)));
            break;
        case Depth::Rgb24:
            for (int x = 0; x < w; ++x, src += comp, dst += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
            break;
        case Depth::Rgba32:
            for (int x = 0; x < w; ++x, src += comp, dst += 4) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
                dst[3] = comp == 4 ? src[3] : 255;
            }
            break;
        }
    }
    if (!progress.Report(progressBase + h)) return SPI::SPI_ABORTED;
    *outInfo = info.Release();
    *outBits = pixels.Release();
    return SPI::SPI_OK;
}

// Why stb_image gave up: its own size limits and our budget are memory limits (4), the
// rest is broken data (3).
int StbFailure(const BudgetScope& budget) {
    const char* why = stbi_failure_reason();
    if (budget.Exceeded() || (why && (std::strcmp(why, "outofmem") == 0 || std::strcmp(why, "too large") == 0)))
        return SPI::SPI_NO_MEMORY;
    return SPI::SPI_BROKEN_DATA;
}

}  // namespace

namespace {

// The facts, the data screened for reading them (`whole`: for decoding it all).
int ScreenedFacts(Input& in, Facts& facts, bool whole) {
    Header header = Examine(in);
    if (header.format == Format::Unknown) return SPI::SPI_UNKNOWN_FORMAT;
#ifndef TAMRIX_PICTURE_UNSCREENED
    if (int rc = Screen(in, header.format, !whole)) return rc;
#else
    (void)whole;
#endif
    BudgetScope budget(PictureBudget(0));
    StbSource source(in, nullptr);
    int w = 0, h = 0, comp = 0;
    if (!stbi_info_from_callbacks(&StbSource::CALLBACKS, &source, &w, &h, &comp)) return StbFailure(budget);
    if (w <= 0 || h <= 0) return SPI::SPI_BROKEN_DATA;
    facts.format = header.format;
    facts.width = w;
    facts.height = h;
    facts.depth = Plan(header, comp);
    return SPI::SPI_OK;
}

}  // namespace

int ReadFacts(Input& in, Facts& facts) { return ScreenedFacts(in, facts, false); }

int Decode(Input& in, bool preview, Progress& progress, HLOCAL* outInfo, HLOCAL* outBits) {
    Facts facts;
    if (int rc = ScreenedFacts(in, facts, true)) return rc;
    uint64_t pixelCount = static_cast<uint64_t>(facts.width) * facts.height;
    if (!WithinCaps(facts.width, facts.height)) return SPI::SPI_NO_MEMORY;

    // A preview is scaled down to fit the preview square; colours of a palette do not
    // survive scaling.
    int outW = facts.width, outH = facts.height;
    Depth depth = facts.depth;
    if (preview) {
        if (outW > PREVIEW_SIDE || outH > PREVIEW_SIDE) {
            if (depth == Depth::Palette8) depth = Depth::Rgb24;
            if (outW >= outH) {
                outH = std::max(1, static_cast<int>(static_cast<int64_t>(outH) * PREVIEW_SIDE / outW));
                outW = PREVIEW_SIDE;
            } else {
                outW = std::max(1, static_cast<int>(static_cast<int64_t>(outW) * PREVIEW_SIDE / outH));
                outH = PREVIEW_SIDE;
            }
        }
    }

    BudgetScope budget(PictureBudget(pixelCount));
    progress.SetTotal(in.Size() + outH);
    if (!progress.Report(0)) return SPI::SPI_ABORTED;

    StbSource source(in, &progress);
    int comp = ChannelsFor(depth);
    int w = 0, h = 0, fileComp = 0;
    StbPixels pixels;
#ifndef TAMRIX_PICTURE_UNSCREENED
    if (facts.format == Format::Psd) {
        int rc = LoadPsd(in, progress, comp, w, h, pixels.p);
        if (progress.Cancelled()) return SPI::SPI_ABORTED;
        if (rc) return rc;
    }
#endif
    if (!pixels.p) pixels.p = stbi_load_from_callbacks(&StbSource::CALLBACKS, &source, &w, &h, &fileComp, comp);
    if (progress.Cancelled()) return SPI::SPI_ABORTED;
    if (!pixels.p) return StbFailure(budget);
    if (source.hitEnd || w != facts.width || h != facts.height) return SPI::SPI_BROKEN_DATA;

    if (outW != w || outH != h) {
        StbPixels scaled;
        scaled.p = static_cast<stbi_uc*>(BudgetMalloc(static_cast<size_t>(outW) * outH * comp));
        if (!scaled.p) return SPI::SPI_NO_MEMORY;
        int alpha = comp == 4 ? 3 : STBIR_ALPHA_CHANNEL_NONE;
        if (!stbir_resize_uint8_generic(pixels.p, w, h, 0, scaled.p, outW, outH, 0, comp, alpha, 0,
                                        STBIR_EDGE_CLAMP, STBIR_FILTER_DEFAULT, STBIR_COLORSPACE_LINEAR,
                                        nullptr))
            return budget.Exceeded() ? SPI::SPI_NO_MEMORY : SPI::SPI_INTERNAL_ERROR;
        std::swap(pixels.p, scaled.p);
    }
    return BuildBitmap(pixels.p, outW, outH, comp, depth, progress, in.Size(), outInfo, outBits);
}

}  // namespace picture
