// Bitmap files: sizes and bytes for the usual layouts, refusals, and the destination
// left alone whenever writing fails.
#include "plugin_fixture.h"

#include "plugin/bitmap.h"

namespace plugtest {
namespace {

DWORD Dword(const std::vector<BYTE>& v, size_t at) {
    DWORD d;
    std::memcpy(&d, v.data() + at, 4);
    return d;
}

// The files in the scratch folder whose names start with the temporary prefix.
int Leftovers() {
    WIN32_FIND_DATAA fd;
    HANDLE f = FindFirstFileA((testenv::TempDir() + "tmx*.tmp").c_str(), &fd);
    if (f == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do ++n;
    while (FindNextFileA(f, &fd));
    FindClose(f);
    return n;
}

class BitmapTest : public ::testing::Test {
protected:
    void SetUp() override {
        plugin = LoadPlugin("qqa");
        counters = std::make_unique<Counters>("qqa");
        leftoversBefore = Leftovers();
    }
    void TearDown() override {
        EXPECT_EQ(0, counters->Outstanding());
        EXPECT_EQ(leftoversBefore, Leftovers());
    }
    HRESULT ToFile(const testspi::QqaHeader& h, const std::string& dest) {
        Variant src;
        SetArray(src, Bytes(h));
        Bstr d = MakeBstr(dest);
        return plugin->GetPictureToFile(*src.get(), sizeof h, d.get());
    }

    ComPtr<ISusiePlugin> plugin;
    std::unique_ptr<Counters> counters;
    int leftoversBefore = 0;
};

TEST_F(BitmapTest, WorkedSizesAndBytes) {
    const struct Row {
        int32_t width, height;
        uint16_t bits;
        uint32_t clrUsed, biSize, compression;
        DWORD dataOffset, rowSize, fileSize;
    } rows[] = {
        {100, 50, 8, 0, 0, 0, 1078, 100, 6078},
        {3, 2, 24, 0, 0, 0, 54, 12, 78},
        {33, 1, 1, 0, 0, 0, 62, 8, 70},
        {9, 2, 4, 16, 0, 0, 118, 8, 134},
        {640, -480, 24, 0, 0, 0, 54, 1920, 921654},
        {100, 50, 8, 16, 0, 0, 118, 100, 5118},
        {4, 4, 32, 7, 0, 0, 82, 16, 146},            // a palette above 8 bits is kept
        {4, 3, 24, 0, 124, 0, 138, 12, 174},         // a version-5 header is kept whole
        {4, 3, 16, 0, 0, BI_BITFIELDS, 66, 8, 90},   // its three masks follow the header
        {4, 3, 32, 0, 108, BI_BITFIELDS, 122, 16, 170},  // masks inside a version-4 header
    };
    const std::string dest = testenv::TempDir() + "worked.bmp";
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.width << "x" << r.height << " " << r.bits << " bits, "
                                        << r.clrUsed << " colours, biSize " << r.biSize);
        testspi::QqaHeader h = Qqa(r.width, r.height, r.bits, r.clrUsed);
        h.biSize = r.biSize;
        h.compression = r.compression;
        h.seed = static_cast<uint8_t>(r.width);
        ASSERT_EQ(S_OK, ToFile(h, dest));
        const std::vector<BYTE> file = ReadFileBytes(dest);
        ASSERT_EQ(r.fileSize, file.size());
        EXPECT_EQ('B', file[0]);
        EXPECT_EQ('M', file[1]);
        EXPECT_EQ(r.fileSize, Dword(file, 2));
        EXPECT_EQ(0u, Dword(file, 6));  // both reserved words
        EXPECT_EQ(r.dataOffset, Dword(file, 10));

        // The information part is the plug-in's block, byte for byte.
        Variant src;
        SetArray(src, Bytes(h));
        ComPtr<IDispatch> info, pixels;
        ASSERT_EQ(S_OK, plugin->GetPicture(*src.get(), sizeof h, info.put(), pixels.put()));
        const std::vector<BYTE> infoBlock = HeapBytes(info.get());
        ASSERT_GE(infoBlock.size(), r.dataOffset - 14);
        EXPECT_TRUE(std::equal(file.begin() + 14, file.begin() + r.dataOffset, infoBlock.begin()));
        // The pixels are the plug-in's rows.
        const size_t rowsCount = static_cast<size_t>(r.height < 0 ? -r.height : r.height);
        ASSERT_EQ(r.rowSize * rowsCount, file.size() - r.dataOffset);
        for (size_t i = 0; i < file.size() - r.dataOffset; i += 97)
            ASSERT_EQ(testspi::pattern_byte(h.seed, static_cast<uint32_t>(i)), file[r.dataOffset + i]) << i;

        // The same bytes built in memory.
        const std::vector<BYTE> pixelBlock = HeapBytes(pixels.get());
        SPI::bitmap::Layout layout;
        ASSERT_TRUE(SPI::bitmap::ComputeLayout(infoBlock.data(), infoBlock.size(),
                                                  pixelBlock.size(), layout));
        std::vector<BYTE> memory(layout.fileSize);
        SPI::bitmap::Compose(layout, infoBlock.data(), pixelBlock.data(), memory.data());
        EXPECT_EQ(file, memory);
    }
    DeleteFileA(dest.c_str());
}

TEST_F(BitmapTest, HeadersAskingForMoreThanTheBlocksHoldAreRefused) {
    const std::string dest = testenv::TempDir() + "refused.bmp";
    DeleteFileA(dest.c_str());
    testspi::QqaHeader infoShort = Qqa(10, 10, 8);
    infoShort.infoShortfall = 1;  // one colour-table byte missing
    testspi::QqaHeader pixelsShort = Qqa(10, 10, 24);
    pixelsShort.pixelShortfall = 1;
    testspi::QqaHeader noPixels = Qqa(10, 10, 24);
    noPixels.flags = testspi::QQA_NULL_PIXELS;
    testspi::QqaHeader noInfo = Qqa(10, 10, 24);
    noInfo.flags = testspi::QQA_NULL_INFO;
    testspi::QqaHeader oldHeader = Qqa(10, 10, 24);
    oldHeader.biSize = 12;  // a core header has other fields at these offsets
    testspi::QqaHeader negativeWidth = Qqa(-10, 10, 24);
    for (const auto* h : {&infoShort, &pixelsShort, &noPixels, &noInfo, &oldHeader, &negativeWidth}) {
        EXPECT_EQ(E_FAIL, ToFile(*h, dest));
        EXPECT_FALSE(FileExists(dest));
    }
}

TEST_F(BitmapTest, ExistingFileIsReplacedOnlyByACompleteFile) {
    const std::string dest = testenv::TempDir() + "existing.bmp";
    const std::vector<BYTE> old(300, 0x77);
    WriteTemp("existing.bmp", old);

    testspi::QqaHeader rejected = Qqa(3, 3, 24);
    rejected.resultCode = 2;
    testspi::QqaHeader tooShort = Qqa(3, 3, 24);
    tooShort.pixelShortfall = 4;
    for (const auto* h : {&rejected, &tooShort}) {
        EXPECT_EQ(E_FAIL, ToFile(*h, dest));
        EXPECT_EQ(old, ReadFileBytes(dest));
    }
    // A rejected file name as the source leaves it alone too.
    Variant src;
    SetString(src, testenv::SpiPath("qqa"));
    Bstr d = MakeBstr(dest);
    EXPECT_EQ(E_FAIL, plugin->GetPictureToFile(*src.get(), 0, d.get()));
    EXPECT_EQ(old, ReadFileBytes(dest));

    // A destination that is a folder cannot be replaced; nothing is left beside it.
    const std::string folder = testenv::TempDir() + "bmp_folder";
    CreateDirectoryA(folder.c_str(), nullptr);
    EXPECT_EQ(E_FAIL, ToFile(Qqa(3, 3, 24), folder));
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    RemoveDirectoryA(folder.c_str());

    // Success replaces the old file with the new one.
    ASSERT_EQ(S_OK, ToFile(Qqa(3, 3, 24), dest));
    EXPECT_EQ(54u + 3u * 12u, ReadFileBytes(dest).size());  // 3 rows of 12 bytes after the header
    DeleteFileA(dest.c_str());
}

TEST_F(BitmapTest, UnusableDestinationsAfterDecoding) {
    const int callsBefore = counters->Calls();
    EXPECT_EQ(E_FAIL, ToFile(Qqa(3, 3, 24), ""));
    const std::string missing = testenv::TempDir() + "no_such_folder\\x.bmp";
    EXPECT_EQ(E_FAIL, ToFile(Qqa(3, 3, 24), missing));
    EXPECT_FALSE(FileExists(missing));
    EXPECT_EQ(callsBefore + 2, counters->Calls());  // decoded each time; blocks freed (TearDown)
}

}  // namespace
}  // namespace plugtest
