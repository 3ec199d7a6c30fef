// The bundled picture plug-in through Tamrix's plug-in object, created from the built
// Tamrix.dll as the COM runtime creates it: the object binds the plug-in, and the pictures
// it decodes, into memory objects or into bitmap files, carry the samples' known pixels.
#include <initguid.h>
#include <objbase.h>
#include <oleauto.h>

#include <Tamrix.h>

#include "bundled.h"

namespace {

using namespace bundled;

class Apartment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }
};
const auto* const APARTMENT = ::testing::AddGlobalTestEnvironment(new Apartment);

struct Bstr {
    BSTR s;
    explicit Bstr(const std::string& text) : s(SysAllocString(testenv::Wide(text).c_str())) {}
    ~Bstr() { SysFreeString(s); }
};

// A VARIANT holding a file name, as a script passes one.
struct FileName {
    VARIANT v;
    explicit FileName(const std::string& path) {
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(testenv::Wide(path).c_str());
    }
    ~FileName() { VariantClear(&v); }
};

Bytes HeapBytes(IDispatch* d) {
    Bytes out;
    ISpiLocalHeap* heap = nullptr;
    if (!d || FAILED(d->QueryInterface(IID_ISpiLocalHeap, reinterpret_cast<void**>(&heap)))) return out;
    VARIANT v;
    VariantInit(&v);
    if (SUCCEEDED(heap->GetBytes(&v)) && V_VT(&v) == (VT_ARRAY | VT_UI1)) {
        void* p = nullptr;
        SafeArrayAccessData(V_ARRAY(&v), &p);
        out.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + V_ARRAY(&v)->rgsabound[0].cElements);
        SafeArrayUnaccessData(V_ARRAY(&v));
    }
    VariantClear(&v);
    heap->Release();
    return out;
}

class ThroughTamrix : public ::testing::Test {
protected:
    void SetUp() override {
        dll_ = LoadLibraryA(testenv::DllPath().c_str());
        ASSERT_NE(nullptr, dll_) << testenv::DllPath();
        using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void (*)()>(GetProcAddress(dll_, "DllGetClassObject")));
        ASSERT_NE(nullptr, get);
        IClassFactory* factory = nullptr;
        ASSERT_EQ(S_OK, get(CLSID_SusiePlugin, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ISusiePlugin, reinterpret_cast<void**>(&spi_)));
        factory->Release();
        Bstr path(SpiPath("iftamrix.spi"));
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(S_OK, spi_->Load(path.s, &ok));
        ASSERT_EQ(VARIANT_TRUE, ok);
    }
    void TearDown() override {
        if (spi_) spi_->Release();
        // The library stays loaded: COM objects of it may still be on their way out.
    }
    ISusiePlugin* spi_ = nullptr;
    HMODULE dll_ = nullptr;
};

TEST_F(ThroughTamrix, BindsThePluginAsAPicturePlugin) {
    BSTR version = nullptr;
    ASSERT_EQ(S_OK, spi_->get_Version(&version));
    EXPECT_STREQ(L"00IN", version);
    SysFreeString(version);
    VARIANT_BOOL preview = VARIANT_FALSE;
    EXPECT_EQ(S_OK, spi_->get_CanPreview(&preview));
    EXPECT_EQ(VARIANT_TRUE, preview);
}

class EveryPictureThroughTamrix : public ThroughTamrix, public ::testing::WithParamInterface<samples::Picture> {};

TEST_P(EveryPictureThroughTamrix, MemoryObjectsAndBitmapFileCarryTheKnownPixels) {
    const samples::Picture& p = GetParam();
    FileName src(Picture(p));

    PictureInfo info{};
    ASSERT_EQ(S_OK, spi_->GetPictureInfo(src.v, 0, &info));
    EXPECT_EQ(p.width, info.width);
    EXPECT_EQ(p.height, info.height);
    EXPECT_EQ(p.bits, info.colorDepth);

    IDispatch* infoBlock = nullptr;
    IDispatch* pixelBlock = nullptr;
    ASSERT_EQ(S_OK, spi_->GetPicture(src.v, 0, &infoBlock, &pixelBlock));
    Bytes i = HeapBytes(infoBlock), px = HeapBytes(pixelBlock);
    infoBlock->Release();
    pixelBlock->Release();
    ExpectPicture(ParseDib(i.data(), i.size(), px.data(), px.size()), p);

    std::string bmp = testenv::TempDir() + "bundled-tamrix-" + p.file + ".bmp";
    DeleteFileA(bmp.c_str());
    Bstr dest(bmp);
    ASSERT_EQ(S_OK, spi_->GetPictureToFile(src.v, 0, dest.s));
    ExpectPicture(ParseBmpFile(ReadAll(bmp)), p);
}

INSTANTIATE_TEST_SUITE_P(Samples, EveryPictureThroughTamrix, ::testing::ValuesIn(samples::PICTURES),
                         [](const ::testing::TestParamInfo<samples::Picture>& i) {
                             std::string n = i.param.file;
                             std::replace(n.begin(), n.end(), '.', '_');
                             return n;
                         });

TEST_F(ThroughTamrix, PreviewAndHostileFiles) {
    FileName large(Sample("pictures\\large.png"));
    IDispatch* infoBlock = nullptr;
    IDispatch* pixelBlock = nullptr;
    ASSERT_EQ(S_OK, spi_->GetPreview(large.v, 0, &infoBlock, &pixelBlock));
    Bytes i = HeapBytes(infoBlock), px = HeapBytes(pixelBlock);
    infoBlock->Release();
    pixelBlock->Release();
    Dib d = ParseDib(i.data(), i.size(), px.data(), px.size());
    EXPECT_EQ(128, d.width);
    EXPECT_EQ(96, d.height);

    std::string bmp = testenv::TempDir() + "bundled-tamrix-hostile.bmp";
    DeleteFileA(bmp.c_str());
    Bstr dest(bmp);
    FileName huge(Sample("hostile\\huge.png")), cut(Sample("hostile\\truncated.png"));
    EXPECT_EQ(E_OUTOFMEMORY, spi_->GetPictureToFile(huge.v, 0, dest.s)) << "result 4";
    EXPECT_EQ(E_FAIL, spi_->GetPictureToFile(cut.v, 0, dest.s)) << "result 3";
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(bmp.c_str()));
}

}  // namespace
