// The Photoshop reader.
#include "psd.h"

#include <algorithm>

#include "budget.h"
#include "decode.h"
#include "front.h"
#include "plugin/spi_api.h"

namespace picture {

namespace {

// One channel's samples of 8 bits, run-length encoded (PackBits), into every fourth byte.
bool UnpackRle(ByteStream& s, uint8_t* out, size_t count) {
    size_t done = 0;
    while (done < count) {
        int n = s.Get();
        if (n < 0) return false;
        if (n == 128) continue;
        if (n < 128) {
            size_t run = static_cast<size_t>(n) + 1;
            if (run > count - done) return false;
            for (size_t i = 0; i < run; ++i) out[4 * done++] = static_cast<uint8_t>(std::max(s.Get(), 0));
        } else {
            size_t run = 257 - static_cast<size_t>(n);
            if (run > count - done) return false;
            uint8_t v = static_cast<uint8_t>(std::max(s.Get(), 0));
            for (size_t i = 0; i < run; ++i) out[4 * done++] = v;
        }
    }
    return true;
}

// Transparent pixels are stored blended with white: undone as the colour c with alpha a
// that, blended so, gives the stored value, clamped to what a byte holds.
void RemoveMatte(uint8_t* px, size_t count) {
    for (size_t i = 0; i < count; ++i, px += 4) {
        if (px[3] == 0 || px[3] == 255) continue;
        float a = px[3] / 255.0f;
        float ra = 1.0f / a;
        float inv = 255.0f * (1 - ra);
        for (int c = 0; c < 3; ++c) {
            float v = px[c] * ra + inv;
            px[c] = v <= 0 ? 0 : v >= 255 ? 255 : static_cast<uint8_t>(v);
        }
    }
}

}  // namespace

int LoadPsd(spi::Input& in, spi::Progress& progress, int comp, int& width, int& height, uint8_t*& pixels) {
    pixels = nullptr;
    ByteStream s(in);
    uint8_t head[26];
    if (s.Read(head, sizeof head) != sizeof head) return SPI::SPI_BROKEN_DATA;
    auto be16 = [&](int at) { return head[at] << 8 | head[at + 1]; };
    auto be32 = [&](int at) { return static_cast<uint32_t>(be16(at)) << 16 | be16(at + 2); };
    int channels = be16(12), bits = be16(22);
    uint32_t h = be32(14), w = be32(18);
    if (channels > 16 || (bits != 8 && bits != 16) || be16(24) != 3) return SPI::SPI_BROKEN_DATA;
    if (w == 0 || h == 0) return SPI::SPI_BROKEN_DATA;
    if (!WithinCaps(w, h)) return SPI::SPI_NO_MEMORY;
    for (int section = 0; section < 3; ++section) {  // colour mode data, resources, layers
        int64_t len = s.Get32Be();
        if (len < 0) return SPI::SPI_BROKEN_DATA;
        s.Skip(static_cast<uint64_t>(len));
    }
    int compression = s.Get16Be();
    if (compression != 0 && compression != 1) return SPI::SPI_BROKEN_DATA;

    size_t count = static_cast<size_t>(w) * h;
    auto* out = static_cast<uint8_t*>(BudgetMalloc(count * 4));
    if (!out) return SPI::SPI_NO_MEMORY;
    auto fail = [&](int rc) {
        BudgetFree(out);
        return rc;
    };
    if (compression == 1) s.Skip(static_cast<uint64_t>(h) * channels * 2);  // the rows' byte counts
    for (int c = 0; c < 4; ++c) {
        if (!progress.Report(s.Pos())) return fail(SPI::SPI_ABORTED);
        uint8_t* p = out + c;
        if (c >= channels) {
            uint8_t v = c == 3 ? 255 : 0;
            for (size_t i = 0; i < count; ++i) p[4 * i] = v;
        } else if (compression == 1) {
            if (!UnpackRle(s, p, count)) return fail(SPI::SPI_BROKEN_DATA);
        } else {
            for (size_t i = 0; i < count; ++i) {
                p[4 * i] = static_cast<uint8_t>(std::max(s.Get(), 0));
                if (bits == 16) s.Get();
            }
        }
        if (s.Short()) return fail(SPI::SPI_BROKEN_DATA);
    }
    if (channels >= 4) RemoveMatte(out, count);
    if (comp == 3)
        for (size_t i = 0; i < count; ++i)
            for (int c = 0; c < 3; ++c) out[3 * i + c] = out[4 * i + c];
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    pixels = out;
    return SPI::SPI_OK;
}

}  // namespace picture
