// Photoshop files: the composite picture of an RGB file, 8 or 16 bits a channel, raw or
// run-length encoded, read here rather than by stb_image, whose removal of the white matte
// of transparent pixels turns colours the matte cannot have produced into values no byte
// holds. What is read is what stb_image reads (the first four channels; channels missing
// are black, alpha opaque); those colours are clamped.
#pragma once
#include <cstdint>

#include "input.h"
#include "progress.h"

namespace picture {

// The picture as `comp` (3 or 4) channels of 8 bits, top-down, in a block of BudgetMalloc
// that the caller frees: result code (3 for broken or cut data, 4 for a picture too large).
int LoadPsd(spi::Input& in, spi::Progress& progress, int comp, int& width, int& height, uint8_t*& pixels);

}  // namespace picture
