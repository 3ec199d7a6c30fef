// stb_image (decoder), stb_image_resize (scaler) and stb_image_write (encoder), built once
// for this plug-in with their memory going through the call's budget. Only the formats the
// plug-in announces are compiled in, and nothing here touches files.
#include <new>

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

// The encoder only asserts that its growing buffers were had, and would then write through
// a null pointer: it throws instead, and the budget's scope frees what it held.
#define STBIW_ASSERT(x) ((x) ? (void)0 : throw std::bad_alloc())
#define STBIW_MALLOC(size) picture::BudgetMalloc(size)
#define STBIW_REALLOC(p, size) picture::BudgetRealloc(p, size)
#define STBIW_FREE(p) picture::BudgetFree(p)
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
