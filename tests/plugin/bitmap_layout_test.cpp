// The bitmap file's size rules where they meet the limits of 32-bit sizes and of the
// blocks a plug-in hands back.
#include <windows.h>
#include <gtest/gtest.h>

#include "plugin/bitmap.h"

namespace {

TEST(BitmapLayout, SizeArithmeticThatOverflowsIsRefused) {
    BITMAPINFOHEADER h{};
    h.biSize = 40;
    h.biPlanes = 1;
    // Every size here exceeds 32 bits only through the multiplication or the sum.
    const struct {
        LONG width, height;
        WORD bits;
        DWORD clrUsed;
    } cases[] = {
        {0x7FFFFFFF, 1, 32, 0},          // one row of 8 GiB
        {0x10000, 0x10000, 32, 0},       // 16 GiB of rows
        {1, LONG(0x80000000), 8, 0},     // |INT_MIN| rows
        {1, 1, 8, 0x40000000},           // 4 GiB colour table
    };
    for (const auto& c : cases) {
        h.biWidth = c.width;
        h.biHeight = c.height;
        h.biBitCount = c.bits;
        h.biClrUsed = c.clrUsed;
        SPI::bitmap::Layout layout;
        EXPECT_FALSE(SPI::bitmap::ComputeLayout(&h, ~size_t(0), ~size_t(0), layout))
            << c.width << "x" << c.height;
    }
    // The same header with room to spare is accepted, so the refusals are about the sizes.
    h.biWidth = 3;
    h.biHeight = 2;
    h.biBitCount = 24;
    h.biClrUsed = 0;
    SPI::bitmap::Layout layout;
    EXPECT_TRUE(SPI::bitmap::ComputeLayout(&h, 40, 24, layout));
    EXPECT_FALSE(SPI::bitmap::ComputeLayout(&h, 39, 24, layout));
    EXPECT_FALSE(SPI::bitmap::ComputeLayout(&h, 40, 23, layout));
}

}  // namespace
