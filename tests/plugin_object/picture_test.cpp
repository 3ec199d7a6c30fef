// Picture information, decoding into memory objects, and the picture's text.
#include "plugin_fixture.h"

namespace plugtest {
namespace {

class PictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        plugin = LoadPlugin("qqa");
        counters = std::make_unique<Counters>("qqa");
    }
    void TearDown() override {
        plugin.reset();
    }
    static LONG Long(IDispatch* heap, HRESULT (STDMETHODCALLTYPE ISpiLocalHeap::*get)(LONG*)) {
        ComPtr<ISpiLocalHeap> h;
        EXPECT_EQ(S_OK, heap->QueryInterface(IID_ISpiLocalHeap, h.put_void()));
        LONG v = -1;
        EXPECT_EQ(S_OK, (h.get()->*get)(&v));
        return v;
    }

    ComPtr<ISusiePlugin> plugin;
    std::unique_ptr<Counters> counters;
};

TEST_F(PictureTest, InfoCopiesAllEightFieldsIntoTheAlignedRecord) {
    testspi::QqaHeader h = Qqa(33, -7, 4);
    h.left = -3;
    h.top = 70000;
    h.xDensity = 72;
    h.yDensity = -2;  // a 16-bit field passed on bit for bit
    std::strcpy(h.text, "caption");
    const std::string file = WriteTemp("info.qqa", Bytes(h));
    Variant src;
    SetString(src, file);

    PictureInfo info;
    std::memset(&info, 0xCC, sizeof info);
    ASSERT_EQ(S_OK, plugin->GetPictureInfo(*src.get(), 0, &info));
    EXPECT_EQ(-3, info.left);
    EXPECT_EQ(70000, info.top);
    EXPECT_EQ(33, info.width);
    EXPECT_EQ(-7, info.height);
    EXPECT_EQ(72, info.x_density);
    EXPECT_EQ(-2, info.y_density);
    EXPECT_EQ(4, info.colorDepth);
    // The text handle arrives whole, at its aligned place, and still names the block.
    ASSERT_NE(0, info.hInfo);
    HLOCAL text = reinterpret_cast<HLOCAL>(static_cast<ULONG_PTR>(static_cast<ULONG>(info.hInfo)));
    const char* p = static_cast<const char*>(LocalLock(text));
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("caption", p);
    LocalUnlock(text);
    LocalFree(text);

    h.text[0] = 0;
    Variant noText;
    SetArray(noText, Bytes(h));
    ASSERT_EQ(S_OK, plugin->GetPictureInfo(*noText.get(), sizeof h, &info));
    EXPECT_EQ(0, info.hInfo);

    // A failure leaves the record as it was.
    h.resultCode = 3;
    Variant failing;
    SetArray(failing, Bytes(h));
    info.width = 4321;
    EXPECT_EQ(E_FAIL, plugin->GetPictureInfo(*failing.get(), sizeof h, &info));
    EXPECT_EQ(4321, info.width);
}

TEST_F(PictureTest, DecodedBlocksBelongToTheirObjects) {
    testspi::QqaHeader h = Qqa(5, 3, 8, 4);
    h.seed = 0x23;
    Variant src;
    SetArray(src, Bytes(h));
    ComPtr<IDispatch> info, pixels;
    ASSERT_EQ(S_OK, plugin->GetPicture(*src.get(), sizeof h, info.put(), pixels.put()));
    ASSERT_TRUE(info && pixels);
    EXPECT_EQ(2, counters->Outstanding());

    // Information block: the header the plug-in wrote, then its colour table.
    std::vector<BYTE> infoBytes = HeapBytes(info.get());
    ASSERT_GE(infoBytes.size(), 40u + 16u);
    BITMAPINFOHEADER bih;
    std::memcpy(&bih, infoBytes.data(), sizeof bih);
    EXPECT_EQ(5, bih.biWidth);
    EXPECT_EQ(3, bih.biHeight);
    EXPECT_EQ(8, bih.biBitCount);
    for (uint32_t i = 0; i < 16; ++i)
        EXPECT_EQ(testspi::pattern_byte(0x23 + 0x40, i), infoBytes[40 + i]) << i;

    // Pixel block: rows of 8 bytes (5 pixels rounded up to whole words), three of them.
    const LONG buffer = Long(pixels.get(), &ISpiLocalHeap::get_Buffer);
    ASSERT_NE(0, buffer);  // read through below
    std::vector<BYTE> pixelBytes = HeapBytes(pixels.get());
    ASSERT_EQ(static_cast<size_t>(Long(pixels.get(), &ISpiLocalHeap::get_Length)), pixelBytes.size());
    ASSERT_GE(pixelBytes.size(), 24u);
    for (uint32_t i = 0; i < 24; ++i) EXPECT_EQ(testspi::pattern_byte(0x23, i), pixelBytes[i]) << i;
    const BYTE* live = reinterpret_cast<const BYTE*>(static_cast<ULONG_PTR>(static_cast<ULONG>(buffer)));
    EXPECT_EQ(0, std::memcmp(live, pixelBytes.data(), pixelBytes.size()));

    // The objects are independent: the pixels outlive the information object.
    info.reset();
    EXPECT_EQ(1, counters->Outstanding());
    EXPECT_EQ(buffer, Long(pixels.get(), &ISpiLocalHeap::get_Buffer));
    EXPECT_EQ(pixelBytes, HeapBytes(pixels.get()));
    pixels.reset();
    EXPECT_EQ(0, counters->Outstanding());
}

TEST_F(PictureTest, OneBlockHandedBackTwiceIsSharedAndFreedOnce) {
    testspi::QqaHeader h = Qqa(4, 2, 8);
    h.flags = testspi::QQA_SAME_BLOCK;
    Variant src;
    SetArray(src, Bytes(h));
    ComPtr<IDispatch> info, pixels;
    ASSERT_EQ(S_OK, plugin->GetPicture(*src.get(), sizeof h, info.put(), pixels.put()));
    EXPECT_EQ(1, counters->Outstanding());
    const LONG buffer = Long(info.get(), &ISpiLocalHeap::get_Buffer);
    EXPECT_EQ(buffer, Long(pixels.get(), &ISpiLocalHeap::get_Buffer));
    const std::vector<BYTE> bytes = HeapBytes(pixels.get());

    // Either object alone keeps the block: releasing one must not free it under the other.
    info.reset();
    EXPECT_EQ(1, counters->Outstanding());
    EXPECT_EQ(bytes, HeapBytes(pixels.get()));
    pixels.reset();
    EXPECT_EQ(0, counters->Outstanding());

    // The bitmap file reads both parts from the one block.
    const std::string dest = testenv::TempDir() + "same_block.bmp";
    Bstr d = MakeBstr(dest);
    ASSERT_EQ(S_OK, plugin->GetPictureToFile(*src.get(), sizeof h, d.get()));
    EXPECT_EQ(0, counters->Outstanding());
    const std::vector<BYTE> file = ReadFileBytes(dest);
    ASSERT_EQ(14u + 1064u + 8u, file.size());  // header and 256 colours, then two rows of 4
    EXPECT_TRUE(std::equal(file.begin() + 14, file.begin() + 14 + 8, file.begin() + 14 + 1064))
        << "the pixel rows are the start of the same block";
    DeleteFileA(dest.c_str());
}

TEST_F(PictureTest, PreviewDecodesWithItsOwnEntry) {
    testspi::QqaHeader h = Qqa(40, -20, 24);
    Variant src;
    SetArray(src, Bytes(h));
    ComPtr<IDispatch> info, pixels;
    ASSERT_EQ(S_OK, plugin->GetPreview(*src.get(), sizeof h, info.put(), pixels.put()));
    BITMAPINFOHEADER bih;
    std::memcpy(&bih, HeapBytes(info.get()).data(), sizeof bih);
    EXPECT_EQ(testspi::qqa_preview_dim(40), bih.biWidth);
    EXPECT_EQ(testspi::qqa_preview_dim(-20), bih.biHeight);
    info.reset();
    pixels.reset();
    EXPECT_EQ(0, counters->Outstanding());

    // Without the export nothing is called and the member says so.
    ComPtr<ISusiePlugin> plain = LoadPlugin("qqa_plain");
    Counters plainCounters("qqa_plain");
    IDispatch* a = reinterpret_cast<IDispatch*>(1);
    IDispatch* b = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(E_NOTIMPL, plain->GetPreview(*src.get(), sizeof h, &a, &b));
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ(nullptr, b);
    EXPECT_EQ(0, plainCounters.Calls());
}

TEST_F(PictureTest, FailuresAndMissingBlocks) {
    // A picture the plug-in cannot read.
    Variant garbage;
    SetArray(garbage, std::vector<BYTE>(200, 0x42));
    IDispatch* a = reinterpret_cast<IDispatch*>(1);
    IDispatch* b = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(E_FAIL, plugin->GetPicture(*garbage.get(), 200, &a, &b));
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ(nullptr, b);

    // Success without an information block: an empty object, not a failure.
    testspi::QqaHeader h = Qqa(3, 3, 24);
    h.flags = testspi::QQA_NULL_INFO;
    Variant src;
    SetArray(src, Bytes(h));
    ComPtr<IDispatch> info, pixels;
    ASSERT_EQ(S_OK, plugin->GetPicture(*src.get(), sizeof h, info.put(), pixels.put()));
    EXPECT_EQ(0, Long(info.get(), &ISpiLocalHeap::get_Buffer));
    EXPECT_EQ(0, Long(info.get(), &ISpiLocalHeap::get_Length));
    EXPECT_TRUE(HeapBytes(info.get()).empty());
    EXPECT_GE(Long(pixels.get(), &ISpiLocalHeap::get_Length), 36);  // 3 rows of 12
    info.reset();
    pixels.reset();
    EXPECT_EQ(0, counters->Outstanding());
}

TEST_F(PictureTest, PictureText) {
    testspi::QqaHeader h = Qqa(2, 2, 24);
    std::strcpy(h.text, "hello text");
    Variant withText;
    SetArray(withText, Bytes(h));
    Bstr text;
    ASSERT_EQ(S_OK, plugin->GetPictureText(*withText.get(), sizeof h, text.put()));
    EXPECT_EQ("hello text", Narrow(text.get()));
    EXPECT_EQ(0, counters->Outstanding());  // the member frees the text block

    // A failing plug-in that still hands a text back: a handle that comes with a failure is
    // the plug-in's (it may have freed the block), so neither member reads or frees it.
    h.resultCode = 3;
    h.flags = testspi::QQA_TEXT_ON_FAILURE;
    Variant failing;
    SetArray(failing, Bytes(h));
    PictureInfo info{};
    EXPECT_EQ(E_FAIL, plugin->GetPictureInfo(*failing.get(), sizeof h, &info));
    EXPECT_EQ(1, counters->Outstanding());
    ASSERT_EQ(S_OK, plugin->GetPictureText(*failing.get(), sizeof h, text.put()));
    EXPECT_EQ(nullptr, text.get());
    EXPECT_EQ(2, counters->Outstanding());

    // No text, and a source the plug-in rejects: a null string.
    h = Qqa(2, 2, 24);
    Variant noText;
    SetArray(noText, Bytes(h));
    BSTR none = SysAllocString(L"stale");
    BSTR keep = none;
    ASSERT_EQ(S_OK, plugin->GetPictureText(*noText.get(), sizeof h, &none));
    EXPECT_EQ(nullptr, none);
    SysFreeString(keep);
    Variant rejected;
    SetString(rejected, testenv::SpiPath("qqa"));  // not a picture
    ASSERT_EQ(S_OK, plugin->GetPictureText(*rejected.get(), 0, text.put()));
    EXPECT_EQ(nullptr, text.get());
}

}  // namespace
}  // namespace plugtest
