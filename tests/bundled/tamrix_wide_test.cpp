// The bundled plug-ins' wide entries in use through Tamrix.dll: sources at paths longer than
// MAX_PATH, which only a wide entry's system call can open (a narrow one answers "name too
// long"), and a ZIP member whose name no single-byte ANSI code page holds ("ünï-Ω.gif":
// ü and ï with Ω), read in full through the wide listing and extracted.
#include <objbase.h>
#include <olectl.h>
#include <oleauto.h>

#include <Tamrix.h>

#include "bundled.h"
#include "common/wide_names.h"

namespace {

using namespace bundled;
using testenv::DeepFolder;
using testenv::Extended;

class Apartment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }
};
const auto* const APARTMENT = ::testing::AddGlobalTestEnvironment(new Apartment);

BSTR NewBstr(const std::wstring& s) {
    return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

struct Name {
    VARIANT v;
    explicit Name(const std::wstring& path) {
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = NewBstr(path);
    }
    ~Name() { VariantClear(&v); }
};

std::wstring Wide(const std::string& s) {
    return testenv::Wide(s);  // the paths of the build tree are ASCII
}

class WideThroughTamrix : public ::testing::Test {
protected:
    void SetUp() override {
        dll_ = LoadLibraryA(testenv::DllPath().c_str());
        ASSERT_NE(nullptr, dll_) << testenv::DllPath();
        using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        get_ = reinterpret_cast<GetClassObject>(reinterpret_cast<void (*)()>(GetProcAddress(dll_, "DllGetClassObject")));
        ASSERT_NE(nullptr, get_);
    }
    template <class I>
    I* Create(REFCLSID clsid, REFIID iid) {
        IClassFactory* factory = nullptr;
        I* object = nullptr;
        EXPECT_EQ(S_OK, get_(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        if (factory) {
            EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&object)));
            factory->Release();
        }
        return object;
    }
    ISusiePlugin* Plugin(const char* spi) {
        ISusiePlugin* p = Create<ISusiePlugin>(CLSID_SusiePlugin, IID_ISusiePlugin);
        if (!p) return nullptr;
        BSTR path = NewBstr(Wide(SpiPath(spi)));
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(S_OK, p->Load(path, &ok));
        EXPECT_EQ(VARIANT_TRUE, ok);
        SysFreeString(path);
        return p;
    }
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    HMODULE dll_ = nullptr;  // stays loaded: COM objects of it may still be on their way out
    GetClassObjectFn get_ = nullptr;
};

TEST_F(WideThroughTamrix, ThePicturePluginReadsAndTheManagerDecodesASourceLongerThanMaxPath) {
    const samples::Picture& sample = samples::PICTURES[0];
    DeepFolder deep(L"bundled_deep", MAX_PATH + 20);
    const std::wstring source = Extended(deep.PathOf(L"sample.png"));
    ASSERT_TRUE(testenv::WriteFileW(source, ReadAll(Picture(sample))));
    Name src(source);

    ISusiePlugin* spi = Plugin("iftamrix.spi");
    ASSERT_NE(nullptr, spi);
    PictureInfo info{};
    ASSERT_EQ(S_OK, spi->GetPictureInfo(src.v, 0, &info));
    EXPECT_EQ(sample.width, info.width);
    EXPECT_EQ(sample.height, info.height);
    BSTR dest = NewBstr(deep.PathOf(L"sample.bmp"));
    ASSERT_EQ(S_OK, spi->GetPictureToFile(src.v, 0, dest));
    SysFreeString(dest);
    const std::vector<BYTE> bmp = testenv::ReadFileW(deep.PathOf(L"sample.bmp"));
    ExpectPicture(ParseBmpFile(Bytes(bmp.begin(), bmp.end())), sample);
    spi->Release();

    ITamrixHost* host = Create<ITamrixHost>(CLSID_TamrixHost, IID_ITamrixHost);
    ASSERT_NE(nullptr, host);
    BSTR folder = NewBstr(Wide(testenv::WinPath(testenv::Env("TAMRIX_BUNDLED_DIR"))));
    ASSERT_EQ(S_OK, host->Init(15, folder));
    SysFreeString(folder);
    IDispatch* picture = nullptr;
    ASSERT_EQ(S_OK, host->GetPicture(src.v, 0, &picture));
    IPicture* p = nullptr;
    ASSERT_EQ(S_OK, picture->QueryInterface(IID_IPicture, reinterpret_cast<void**>(&p)));
    SHORT type = 0;
    EXPECT_EQ(S_OK, p->get_Type(&type));
    EXPECT_EQ(PICTYPE_BITMAP, type);
    p->Release();
    picture->Release();
    host->Release();
}

TEST_F(WideThroughTamrix, TheArchivePluginsWideListingKeepsAMembersNameInFull) {
    DeepFolder deep(L"bundled_deep_zip", MAX_PATH + 20);
    const std::wstring archive = Extended(deep.PathOf(L"pictures.zip"));
    ASSERT_TRUE(testenv::WriteFileW(archive, ReadAll(Sample("archives\\pictures.zip"))));
    Name src(archive);
    ISusiePlugin* spi = Plugin("axtamrix.spi");
    ASSERT_NE(nullptr, spi);
    IDispatch* list = nullptr;
    ASSERT_EQ(S_OK, spi->GetArchiveInfo(src.v, 0, &list));
    ISpiFileInfoCollection* c = nullptr;
    ASSERT_EQ(S_OK, list->QueryInterface(IID_ISpiFileInfoCollection, reinterpret_cast<void**>(&c)));
    LONG count = 0;
    ASSERT_EQ(S_OK, c->get_Count(&count));
    const std::wstring wanted = L"\u00FCn\u00EF-\u03A9.gif";
    ISpiFileInfo* found = nullptr;
    for (LONG i = 1; i <= count && !found; ++i) {
        IDispatch* item = nullptr;
        ASSERT_EQ(S_OK, c->get_Item(i, &item));
        ISpiFileInfo* e = nullptr;
        ASSERT_EQ(S_OK, item->QueryInterface(IID_ISpiFileInfo, reinterpret_cast<void**>(&e)));
        item->Release();
        BSTR name = nullptr;
        EXPECT_EQ(S_OK, e->get_FileName(&name));
        if (name && wanted == name)
            found = e;
        else
            e->Release();
        SysFreeString(name);
    }
    ASSERT_NE(nullptr, found) << "no member read as " << "\"ünï-Ω.gif\"";

    // Extracted from the archive at its long path to a file named after it.
    const std::wstring destPath = deep.PathOf(wanted);
    BSTR dest = NewBstr(destPath);
    ASSERT_EQ(S_OK, spi->GetFileToFile(src.v, found, dest));
    SysFreeString(dest);
    const std::vector<BYTE> extracted = testenv::ReadFileW(destPath);
    EXPECT_EQ(ReadAll(Sample("pictures\\palette.gif")), Bytes(extracted.begin(), extracted.end()));
    found->Release();
    c->Release();
    list->Release();
    spi->Release();
}

}  // namespace
