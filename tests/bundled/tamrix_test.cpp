// The bundled plug-ins through Tamrix's plug-in object, created from the built Tamrix.dll
// as the COM runtime creates it: the pictures it decodes, into memory objects or into bitmap
// files, carry the samples' known pixels, and the archive members it lists and extracts are
// the samples' own bytes.
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
    // Binds `plugin` (a bundled .spi) to a new plug-in object.
    void Bind(const char* plugin) {
        if (spi_) spi_->Release();
        spi_ = nullptr;
        dll_ = LoadLibraryA(testenv::DllPath().c_str());
        ASSERT_NE(nullptr, dll_) << testenv::DllPath();
        using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void (*)()>(GetProcAddress(dll_, "DllGetClassObject")));
        ASSERT_NE(nullptr, get);
        IClassFactory* factory = nullptr;
        ASSERT_EQ(S_OK, get(CLSID_SusiePlugin, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ISusiePlugin, reinterpret_cast<void**>(&spi_)));
        factory->Release();
        Bstr path(SpiPath(plugin));
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(S_OK, spi_->Load(path.s, &ok));
        ASSERT_EQ(VARIANT_TRUE, ok);
    }
    void SetUp() override { Bind("iftamrix.spi"); }
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

// ---- Archives ---------------------------------------------------------------------------

// What an entry object says, read through its own interface.
struct Entry {
    std::string name;  // path and file name
    LONG size = -1;
};
Entry Describe(IDispatch* item) {
    Entry e;
    ISpiFileInfo* info = nullptr;
    if (FAILED(item->QueryInterface(IID_ISpiFileInfo, reinterpret_cast<void**>(&info)))) return e;
    BSTR path = nullptr, file = nullptr;
    info->get_Path(&path);
    info->get_FileName(&file);
    for (BSTR part : {path, file})
        for (UINT k = 0; k < SysStringLen(part); ++k) e.name += static_cast<char>(part[k]);
    SysFreeString(path);
    SysFreeString(file);
    info->get_FileSize(&e.size);
    info->Release();
    return e;
}

class ArchivesThroughTamrix : public ThroughTamrix {
protected:
    void SetUp() override {
        Bind("axtamrix.spi");
        // The plug-in's blocks are counted from here on: Tamrix loaded it, so its imports
        // are redirected now; Tamrix's own are too, as Tamrix frees what the plug-in hands it.
        Blocks::Reset();
        Blocks::Hook(GetModuleHandleA(SpiPath("axtamrix.spi").c_str()));
        Blocks::Hook(dll_);
    }
    void TearDown() override {
        ThroughTamrix::TearDown();
        spi_ = nullptr;
        EXPECT_EQ(0u, Blocks::Outstanding()) << "every block the plug-in handed Tamrix is freed";
    }
    // The listing of `archive`, or null with the member's result.
    ISpiFileInfoCollection* List(const std::string& archive, HRESULT& hr) {
        FileName src(Sample(archive));
        IDispatch* d = nullptr;
        hr = spi_->GetArchiveInfo(src.v, 0, &d);
        ISpiFileInfoCollection* list = nullptr;
        if (d) {
            d->QueryInterface(IID_ISpiFileInfoCollection, reinterpret_cast<void**>(&list));
            d->Release();
        }
        return list;
    }
};

TEST_F(ArchivesThroughTamrix, MembersAreListedAndExtractedAsTheSamplesBytes) {
    for (const char* archive : {"archives\\pictures.zip", "archives\\pictures.tar", "archives\\pictures.tar.gz"}) {
        SCOPED_TRACE(archive);
        HRESULT hr = E_UNEXPECTED;
        ISpiFileInfoCollection* list = List(archive, hr);
        ASSERT_EQ(S_OK, hr);
        ASSERT_NE(nullptr, list);
        LONG count = 0;
        ASSERT_EQ(S_OK, list->get_Count(&count));
        EXPECT_EQ(5, count);
        bool sawRgb = false;
        for (LONG i = 1; i <= count; ++i) {
            IDispatch* item = nullptr;
            ASSERT_EQ(S_OK, list->get_Item(i, &item));
            const Entry e = Describe(item);
            if (e.name == "rgb.png") {
                sawRgb = true;
                const Bytes sample = ReadAll(Sample("pictures\\rgb.png"));
                FileName src(Sample(archive));
                IDispatch* data = nullptr;
                ASSERT_EQ(S_OK, spi_->GetFile(src.v, item, &data));
                Bytes got = HeapBytes(data);
                data->Release();
                ASSERT_GE(got.size(), sample.size()) << "a block may be larger than the member";
                got.resize(static_cast<size_t>(e.size));
                EXPECT_EQ(sample, got);
                const std::string out = testenv::TempDir() + "bundled-tamrix-member.png";
                DeleteFileA(out.c_str());
                Bstr dest(out);
                ASSERT_EQ(S_OK, spi_->GetFileToFile(src.v, item, dest.s));
                EXPECT_EQ(sample, ReadAll(out)) << "exactly FileSize bytes";
            }
            item->Release();
        }
        EXPECT_TRUE(sawRgb);
        list->Release();
    }
}

TEST_F(ArchivesThroughTamrix, BrokenArchivesFailAndEscapingNamesGoNowhereButTheDestination) {
    for (const char* broken : {"hostile\\truncated.zip", "hostile\\corrupt.tar", "hostile\\notatar.gz"}) {
        HRESULT hr = S_OK;
        ISpiFileInfoCollection* list = List(broken, hr);
        EXPECT_TRUE(FAILED(hr) || list == nullptr) << broken;
        if (list) list->Release();
    }
    // Members named to climb out of a folder are listed as the plug-in names them; Tamrix
    // writes a member only where its client says.
    HRESULT hr = E_UNEXPECTED;
    ISpiFileInfoCollection* list = List("hostile\\escape.zip", hr);
    ASSERT_EQ(S_OK, hr);
    ASSERT_NE(nullptr, list);
    LONG count = 0;
    list->get_Count(&count);
    ASSERT_GT(count, 0);
    const std::string folder = ScratchFolder("bundled-tamrix-escape");
    const std::string out = folder + "\\member.txt";
    IDispatch* item = nullptr;
    ASSERT_EQ(S_OK, list->get_Item(1, &item));
    FileName src(Sample("hostile\\escape.zip"));
    Bstr dest(out);
    EXPECT_EQ(S_OK, spi_->GetFileToFile(src.v, item, dest.s)) << Describe(item).name;
    item->Release();
    list->Release();
    EXPECT_EQ(std::set<std::string>{"member.txt"}, Listing(folder));
}

}  // namespace
