// The sample pictures that make_samples writes, with the pixels each must decode to. The
// tests of the bundled plug-ins compare decoded pixels against these functions.
#pragma once
#include <cstdint>

namespace samples {

struct Rgba {
    uint8_t r, g, b, a;
};

enum class Pattern {
    Colour,       // opaque, every channel different and changing along both axes
    Alpha,        // Colour with alpha running through 0..255
    Cutout,       // Colour with alpha 0 or 255 only
    Grey,         // one channel
    Palette,      // six colours of PALETTE
    Transparent,  // Palette with colour 0 transparent
    Smooth,       // gentle gradients, for lossy JPEG
    Noise,        // incompressible, for large files
};

// Sharp changes in both directions, different per channel, so that flipped rows, swapped
// channels or a wrong row stride all show.
inline Rgba Colour(int x, int y) {
    return {static_cast<uint8_t>(x * 13 + y * 3), static_cast<uint8_t>(y * 17 + x),
            static_cast<uint8_t>((x ^ y) * 7 + 5), 255};
}

inline const Rgba PALETTE[6] = {
    {0, 0, 0, 255}, {255, 0, 0, 255}, {0, 160, 0, 255}, {20, 40, 250, 255}, {255, 255, 255, 255}, {128, 64, 32, 255},
};

inline int PaletteIndex(int x, int y) { return (x / 3 + y / 2 + (x * y) % 5) % 6; }

inline uint32_t Hash(int x, int y) {
    uint32_t h = static_cast<uint32_t>(x) * 0x9E3779B1u ^ static_cast<uint32_t>(y) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

inline Rgba Pixel(Pattern p, int x, int y, int w, int h) {
    switch (p) {
    case Pattern::Colour:
        return Colour(x, y);
    case Pattern::Alpha: {
        Rgba c = Colour(x, y);
        c.a = static_cast<uint8_t>((x * 255) / (w > 1 ? w - 1 : 1) ^ (y & 1 ? 0x0F : 0));
        return c;
    }
    case Pattern::Cutout: {
        Rgba c = Colour(x, y);
        c.a = (x + y) % 3 == 0 ? 0 : 255;
        return c;
    }
    case Pattern::Grey: {
        uint8_t v = static_cast<uint8_t>(x * 9 + y * 5);
        return {v, v, v, 255};
    }
    case Pattern::Palette:
        return PALETTE[PaletteIndex(x, y)];
    case Pattern::Transparent: {
        int i = PaletteIndex(x, y);
        Rgba c = PALETTE[i];
        if (i == 0) c.a = 0;
        return c;
    }
    case Pattern::Smooth:
        return {static_cast<uint8_t>(x * 255 / (w - 1)), static_cast<uint8_t>(y * 255 / (h - 1)),
                static_cast<uint8_t>(64 + (x + y) * 64 / (w + h)), 255};
    case Pattern::Noise: {
        uint32_t v = Hash(x, y);
        return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16), 255};
    }
    }
    return {0, 0, 0, 0};
}

struct Picture {
    const char* file;  // in samples/pictures
    const char* format;
    int width, height;
    Pattern pattern;
    int bits;    // depth of the bitmap the picture plug-in hands back
    bool lossy;  // pixels only near the pattern
};

// Odd widths everywhere: rows of 24-bit and 8-bit bitmaps then need padding.
inline const Picture PICTURES[] = {
    {"rgb.png", "PNG", 37, 23, Pattern::Colour, 24, false},
    {"rgba.png", "PNG", 29, 17, Pattern::Alpha, 32, false},
    {"grey.png", "PNG", 31, 19, Pattern::Grey, 8, false},
    {"palette.png", "PNG", 33, 21, Pattern::Palette, 8, false},
    {"photo.jpg", "JPEG", 64, 48, Pattern::Smooth, 24, true},
    {"palette.gif", "GIF", 35, 22, Pattern::Palette, 8, false},  // two frames: the first counts
    {"transparent.gif", "GIF", 27, 15, Pattern::Transparent, 32, false},
    {"rgb.bmp", "BMP", 37, 23, Pattern::Colour, 24, false},
    {"rgba.bmp", "BMP", 29, 17, Pattern::Alpha, 32, false},
    {"palette.bmp", "BMP", 33, 21, Pattern::Palette, 8, false},
    {"rgb.tga", "TGA", 37, 23, Pattern::Colour, 24, false},  // run-length encoded
    {"rgba.tga", "TGA", 29, 17, Pattern::Alpha, 32, false},
    {"palette.tga", "TGA", 33, 21, Pattern::Palette, 8, false},  // colour-mapped, top-down
    {"rgb.psd", "PSD", 37, 23, Pattern::Colour, 24, false},
    {"rgba.psd", "PSD", 29, 17, Pattern::Cutout, 32, false},  // run-length encoded
    {"rgb.ppm", "PNM", 37, 23, Pattern::Colour, 24, false},
    {"grey.pgm", "PNM", 31, 19, Pattern::Grey, 8, false},
    {"large.png", "PNG", 640, 480, Pattern::Noise, 24, false},  // about 900 KB
};

// Members of samples/archives/pictures.zip, .tar and .tar.gz that are copies of pictures.
// Their times are BASE_TIME + index * 3600.
const uint32_t BASE_TIME = 1700000000;

}  // namespace samples
