// Format detection by header bytes, and the header walks behind the bitmap depth.
#include "formats.h"

#include <cstring>

namespace picture {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Targa has no signature: every field of its 18-byte header must make sense.
bool LooksLikeTga(const uint8_t* p, size_t n) {
    if (n < 18) return false;
    uint8_t mapType = p[1], type = p[2];
    uint16_t mapLength = Le16(p + 5);
    uint8_t mapBits = p[7];
    uint16_t width = Le16(p + 12), height = Le16(p + 14);
    uint8_t bits = p[16], descriptor = p[17];
    if (width == 0 || height == 0) return false;
    if ((descriptor & 0xC0) != 0 || (descriptor & 0x0F) > 8) return false;
    if (mapType == 1) {
        if (type != 1 && type != 9) return false;
        if (mapLength == 0) return false;
        if (mapBits != 15 && mapBits != 16 && mapBits != 24 && mapBits != 32) return false;
        return bits == 8 || bits == 16;
    }
    if (mapType != 0) return false;
    for (int i = 3; i < 8; ++i)
        if (p[i] != 0) return false;
    if (type == 2 || type == 10) return bits == 15 || bits == 16 || bits == 24 || bits == 32;
    if (type == 3 || type == 11) return bits == 8 || bits == 16;
    return false;
}

void WalkPng(spi::Input& in, Header& h) {
    uint8_t chunk[8 + 13];
    uint64_t pos = 8;
    for (int i = 0; i < 4096 && in.ReadExact(pos, chunk, 8); ++i) {
        uint32_t len = Be32(chunk);
        if (len > 0x7FFFFFFF) return;
        if (std::memcmp(chunk + 4, "IHDR", 4) == 0) {
            if (len < 13 || !in.ReadExact(pos + 8, chunk + 8, 13)) return;
            uint8_t colourType = chunk[8 + 9];
            h.paletted = colourType == 3;
            h.transparency = colourType == 4 || colourType == 6;
            h.channels = colourType == 0 ? 1 : 3;
        } else if (std::memcmp(chunk + 4, "tRNS", 4) == 0) {
            h.transparency = true;
        } else if (std::memcmp(chunk + 4, "IDAT", 4) == 0 || std::memcmp(chunk + 4, "IEND", 4) == 0) {
            return;
        }
        pos += 12 + static_cast<uint64_t>(len);
    }
}

// The first frame is what the plug-in shows: it is opaque when no transparent colour is
// declared before it and it covers the whole screen.
void WalkGif(spi::Input& in, Header& h) {
    h.paletted = true;
    uint8_t b[16];
    if (!in.ReadExact(6, b, 7)) return;
    uint16_t screenW = Le16(b), screenH = Le16(b + 2);
    uint64_t pos = 13;
    if (b[4] & 0x80) pos += 3u << ((b[4] & 7) + 1);
    for (int i = 0; i < 4096 && in.ReadExact(pos, b, 1); ++i) {
        if (b[0] == 0x2C) {
            if (!in.ReadExact(pos + 1, b, 8)) return;
            if (Le16(b) != 0 || Le16(b + 2) != 0 || Le16(b + 4) < screenW || Le16(b + 6) < screenH)
                h.transparency = true;
            return;
        }
        if (b[0] != 0x21 || !in.ReadExact(pos + 1, b, 1)) return;
        uint8_t label = b[0];
        pos += 2;
        if (label == 0xF9 && in.ReadExact(pos, b, 2) && b[0] >= 1 && (b[1] & 1)) h.transparency = true;
        // Sub-blocks up to the empty one.
        for (int j = 0; j < 65536; ++j) {
            if (!in.ReadExact(pos, b, 1)) return;
            pos += 1 + b[0];
            if (b[0] == 0) break;
        }
    }
}

}  // namespace

Format Detect(const uint8_t* p, size_t n) {
    static const uint8_t PNG[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (n >= 16 && std::memcmp(p, PNG, 8) == 0 && std::memcmp(p + 12, "IHDR", 4) == 0)
        return Format::Png;
    if (n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return Format::Jpeg;
    if (n >= 6 && (std::memcmp(p, "GIF87a", 6) == 0 || std::memcmp(p, "GIF89a", 6) == 0))
        return Format::Gif;
    if (n >= 18 && p[0] == 'B' && p[1] == 'M') {
        switch (Le32(p + 14)) {
        case 12: case 40: case 52: case 56: case 64: case 108: case 124:
            return Format::Bmp;
        }
    }
    if (n >= 26 && std::memcmp(p, "8BPS", 4) == 0 && Be16(p + 4) == 1) return Format::Psd;
    if (n >= 3 && p[0] == 'P' && (p[1] == '5' || p[1] == '6') && IsSpace(p[2])) return Format::Pnm;
    if (LooksLikeTga(p, n)) return Format::Tga;
    return Format::Unknown;
}

Header Examine(spi::Input& in) {
    Header h;
    uint8_t head[DETECT_BYTES] = {};
    size_t n = in.ReadAt(0, head, sizeof head);
    h.format = Detect(head, n);
    switch (h.format) {
    case Format::Png:
        WalkPng(in, h);
        break;
    case Format::Gif:
        WalkGif(in, h);
        break;
    case Format::Bmp: {
        uint32_t headerSize = Le32(head + 14);
        uint16_t bits = headerSize == 12 ? Le16(head + 24) : Le16(head + 28);
        h.paletted = bits <= 8;
        break;
    }
    case Format::Tga:
        h.paletted = head[1] == 1;
        break;
    case Format::Psd:
        h.channels = Be16(head + 12);
        h.transparency = h.channels >= 4;
        break;
    default:
        break;
    }
    return h;
}

}  // namespace picture
