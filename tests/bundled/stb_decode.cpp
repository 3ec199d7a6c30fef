// An independent stb_image decoding for the tests: what the picture plug-in's output must
// equal where the sample's pixels are only known approximately (JPEG).
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#include <stb_image.h>

#include "bundled.h"

namespace bundled {

Bytes StbDecode(const Bytes& file, int* w, int* h) {
    int comp = 0;
    stbi_uc* p = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), w, h, &comp, 4);
    Bytes out;
    if (p) out.assign(p, p + static_cast<size_t>(*w) * *h * 4);
    stbi_image_free(p);
    return out;
}

}  // namespace bundled
