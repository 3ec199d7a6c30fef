// The stb_image decoder and the stb_image_resize scaler, built once for this plug-in with
// their memory going through the decoding budget. Only the formats the plug-in announces
// are compiled in, and nothing here touches files.
#include "budget.h"

#define STBI_MALLOC(size) picture::BudgetMalloc(size)
#define STBI_REALLOC(p, size) picture::BudgetRealloc(p, size)
#define STBI_FREE(p) picture::BudgetFree(p)
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_ONLY_PSD
#define STBI_ONLY_TGA
#define STBI_ONLY_GIF
#define STBI_ONLY_PNM
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#define STBIR_MALLOC(size, context) ((void)(context), picture::BudgetMalloc(size))
#define STBIR_FREE(p, context) ((void)(context), picture::BudgetFree(p))
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb_image_resize.h>
