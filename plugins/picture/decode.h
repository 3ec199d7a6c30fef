// Decoding a picture into the bitmap blocks of the plug-in API: a BITMAPINFO block
// (header and colour table) and bottom-up pixel rows, both in movable local memory.
#pragma once
#include <windows.h>

#include <cstdint>

#include "formats.h"
#include "input.h"
#include "progress.h"

namespace picture {

// Pictures larger than this, read or written, are refused with result 4 before anything is allocated.
const long MAX_SIDE = 32768;
#ifdef TAMRIX_MAX_PIXELS  // the fuzz targets' smaller cap, which keeps each run short
const uint64_t MAX_PIXELS = TAMRIX_MAX_PIXELS;
#else
const uint64_t MAX_PIXELS = uint64_t(1) << 25;  // 32 Mi pixels, 128 MiB at 32 bits
#endif
inline bool WithinCaps(uint64_t width, uint64_t height) {
    return width <= MAX_SIDE && height <= MAX_SIDE && width * height <= MAX_PIXELS;
}
// GetPreview's pictures fit in a square of this side.
const int PREVIEW_SIDE = 128;

enum class Depth { Grey8, Palette8, Rgb24, Rgba32 };

struct Facts {
    Format format = Format::Unknown;
    int width = 0, height = 0;
    Depth depth = Depth::Rgb24;
    int Bits() const { return depth == Depth::Rgb24 ? 24 : depth == Depth::Rgba32 ? 32 : 8; }
};

// The header facts alone (GetPictureInfo): result code.
int ReadFacts(spi::Input& in, Facts& facts);

// The whole picture, or a reduced one for a preview: result code; the blocks are set only
// on success.
int Decode(spi::Input& in, bool preview, spi::Progress& progress, HLOCAL* info, HLOCAL* bits);

}  // namespace picture
