// The bitmap file's size rules where they meet the limits of 32-bit sizes and of the
// blocks a plug-in hands back.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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

namespace {

BITMAPINFOHEADER Header(LONG width, LONG height, WORD bits, DWORD compression = BI_RGB, DWORD clrUsed = 0,
                        DWORD sizeImage = 0, DWORD size = 40) {
    BITMAPINFOHEADER h{};
    h.biSize = size;
    h.biPlanes = 1;
    h.biWidth = width;
    h.biHeight = height;
    h.biBitCount = bits;
    h.biCompression = compression;
    h.biClrUsed = clrUsed;
    h.biSizeImage = sizeImage;
    return h;
}

// An information block with room for any table, and a large pixel block: what is refused
// here is refused for the header alone.
constexpr size_t AMPLE = 1 << 20;

TEST(BitmapLayout, WhatCannotBeAPictureIsRefused) {
    BITMAPINFOHEADER planes0 = Header(4, 4, 24);
    planes0.biPlanes = 0;
    BITMAPINFOHEADER planes2 = Header(4, 4, 24);
    planes2.biPlanes = 2;
    const struct {
        const char* what;
        BITMAPINFOHEADER h;
    } cases[] = {
        {"2 bits", Header(4, 4, 2)},
        {"12 bits", Header(4, 4, 12)},
        {"48 bits", Header(4, 4, 48)},
        {"0 bits uncompressed", Header(4, 4, 0)},
        {"no planes", planes0},
        {"two planes", planes2},
        {"width 0", Header(0, 4, 24)},
        {"negative width", Header(-4, 4, 24)},
        {"height 0", Header(4, 0, 24)},
        {"unknown compression", Header(4, 4, 24, 7)},
        {"CMYK compression", Header(4, 4, 32, 11)},
        {"RLE8 of 4 bits", Header(4, 4, 4, BI_RLE8, 0, 10)},
        {"RLE4 of 8 bits", Header(4, 4, 8, BI_RLE4, 0, 10)},
        {"bit fields of 24 bits", Header(4, 4, 24, BI_BITFIELDS)},
        {"top-down RLE8", Header(4, -4, 8, BI_RLE8, 0, 10)},
        {"257 colours of 8 bits", Header(4, 4, 8, BI_RGB, 257)},
        {"3 colours of 1 bit", Header(4, 4, 1, BI_RGB, 3)},
        {"RLE8 without its size", Header(4, 4, 8, BI_RLE8, 0, 0)},
        {"a header size of no version", Header(4, 4, 24, BI_RGB, 0, 0, 41)},
        {"a core header's size", Header(4, 4, 24, BI_RGB, 0, 0, 12)},
        {"PNG of 8 bits", Header(4, 4, 8, BI_PNG, 0, 10)},
        {"JPEG of 24 bits", Header(4, 4, 24, BI_JPEG, 0, 10)},
    };
    std::vector<BYTE> info(AMPLE);
    for (const auto& c : cases) {
        std::memcpy(info.data(), &c.h, sizeof c.h);
        SPI::bitmap::Layout layout;
        EXPECT_FALSE(SPI::bitmap::ComputeLayout(info.data(), info.size(), AMPLE, layout)) << c.what;
    }
}

TEST(BitmapLayout, ValidFieldsAreKeptAndOnlyAWrongImageSizeIsCorrected) {
    const struct {
        const char* what;
        BITMAPINFOHEADER h;
        size_t pixelBlock;
        DWORD dataOffset, pixelBytes, sizeImage, clrUsed;
    } cases[] = {
        {"24 bits, no image size", Header(3, 2, 24), 24, 54, 24, 0, 0},
        {"24 bits, wrong image size", Header(3, 2, 24, BI_RGB, 0, 999), 24, 54, 24, 24, 0},
        {"top-down 24 bits", Header(3, -2, 24, BI_RGB, 0, 5), 24, 54, 24, 24, 0},
        {"32 bits with a palette of 5 colours", Header(2, 2, 32, BI_RGB, 5), 16, 74, 16, 0, 5},
        {"a version 5 header", Header(3, 2, 24, BI_RGB, 0, 24, 124), 24, 138, 24, 24, 0},
        {"16 bits, bit fields", Header(4, 3, 16, BI_BITFIELDS), 24, 66, 24, 0, 0},
        // Compressed rows have no stride: the header's size is the pixel data, however
        // much smaller than rows of the full width it is.
        {"RLE8", Header(100, 100, 8, BI_RLE8, 0, 10), 10, 1078, 10, 10, 0},
        {"RLE4 with 16 colours", Header(100, 100, 4, BI_RLE4, 16, 30), 30, 118, 30, 30, 16},
        {"PNG inside", Header(640, 480, 0, BI_PNG, 0, 100), 100, 54, 100, 100, 0},
    };
    std::vector<BYTE> info(AMPLE);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::memcpy(info.data(), &c.h, sizeof c.h);
        SPI::bitmap::Layout layout;
        ASSERT_TRUE(SPI::bitmap::ComputeLayout(info.data(), info.size(), c.pixelBlock, layout));
        EXPECT_EQ(c.dataOffset, layout.dataOffset);
        EXPECT_EQ(c.pixelBytes, layout.pixelBytes);
        EXPECT_EQ(c.dataOffset + c.pixelBytes, layout.fileSize);
        EXPECT_EQ(c.sizeImage, layout.header.biSizeImage);
        EXPECT_EQ(c.clrUsed, layout.header.biClrUsed);
        // What the file carries: the header as corrected, then the block's own bytes.
        std::vector<BYTE> pixels(c.pixelBlock, 0x5A);
        std::vector<BYTE> file(layout.fileSize);
        SPI::bitmap::Compose(layout, info.data(), pixels.data(), file.data());
        BITMAPINFOHEADER written;
        std::memcpy(&written, file.data() + 14, sizeof written);
        EXPECT_EQ(c.sizeImage, written.biSizeImage);
        EXPECT_EQ(c.h.biWidth, written.biWidth);
        EXPECT_EQ(c.h.biCompression, written.biCompression);
        EXPECT_EQ(0x5A, file[layout.dataOffset]);
        // A pixel block one byte short of what the header asks for is refused.
        if (c.pixelBlock > 0) {
            EXPECT_FALSE(SPI::bitmap::ComputeLayout(info.data(), info.size(), c.pixelBlock - 1, layout));
        }
    }
}

TEST(BitmapLayout, AColourTableAbove8BitsThatTheBlockLacksIsLeftOut) {
    // 32 bits naming 5 colours: kept when the block holds all 5, left out when it does not.
    BITMAPINFOHEADER h = Header(2, 2, 32, BI_RGB, 5);
    h.biClrImportant = 5;
    std::vector<BYTE> info(40 + 5 * 4);
    std::memcpy(info.data(), &h, sizeof h);
    for (size_t size : {info.size(), info.size() - 1, size_t(40)}) {
        SCOPED_TRACE(size);
        SPI::bitmap::Layout layout;
        ASSERT_TRUE(SPI::bitmap::ComputeLayout(info.data(), size, 16, layout));
        const DWORD colours = size == info.size() ? 5 : 0;
        EXPECT_EQ(colours, layout.header.biClrUsed);
        EXPECT_EQ(colours, layout.header.biClrImportant);
        EXPECT_EQ(54 + 4 * colours, layout.dataOffset);
    }
    // A palette picture's pixels mean nothing without their table: still refused.
    h = Header(2, 2, 8, BI_RGB, 5);
    std::memcpy(info.data(), &h, sizeof h);
    SPI::bitmap::Layout layout;
    EXPECT_FALSE(SPI::bitmap::ComputeLayout(info.data(), info.size() - 1, 8, layout));
}

}  // namespace
