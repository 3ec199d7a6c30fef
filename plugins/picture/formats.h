// Which picture formats the plug-in reads, told from the first bytes of the data, and the
// header facts that decide the depth of the bitmap it hands back.
#pragma once
#include <cstddef>
#include <cstdint>

#include "input.h"

namespace picture {

enum class Format { Unknown, Png, Jpeg, Gif, Bmp, Tga, Psd, Pnm };

// Bytes Detect needs at most.
const size_t DETECT_BYTES = 64;

Format Detect(const uint8_t* p, size_t n);

struct Header {
    Format format = Format::Unknown;
    bool paletted = false;      // colours come from a table of at most 256
    bool transparency = false;  // some pixels may be (partly) transparent
    int channels = 0;           // PSD: channels stored
};

// Reads the start of the data (and, for PNG and GIF, walks the blocks before the pixels).
Header Examine(spi::Input& in);

}  // namespace picture
