// The bundled plug-ins through Tamrix's plug-in object, created from the built Tamrix.dll
// as the COM runtime creates it: the pictures it decodes, into memory objects or into bitmap
// files, carry the samples' known pixels, and the archive members it lists and extracts are
// the samples' own bytes.
#include <initguid.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>

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
    // A manager of this DLL over the bundled plug-ins' folder.
    ITamrixHost2* NewHost() {
        using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void (*)()>(GetProcAddress(dll_, "DllGetClassObject")));
        IClassFactory* factory = nullptr;
        ITamrixHost2* host = nullptr;
        if (!get || FAILED(get(CLSID_TamrixHost, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) return host;
        factory->CreateInstance(nullptr, IID_ITamrixHost2, reinterpret_cast<void**>(&host));
        factory->Release();
        Bstr folder(testenv::WinPath(testenv::Env("TAMRIX_BUNDLED_DIR")));
        if (host) {
            EXPECT_EQ(S_OK, host->Init(0, folder.s));
        }
        return host;
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

// A picture's pixels as GDI reads them back from its handle: 32-bit rows, top-down.
std::vector<uint32_t> HandlePixels(IPicture* picture, LONG width, LONG height) {
    OLE_HANDLE handle = 0;
    picture->get_Handle(&handle);
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<uint32_t> out(static_cast<size_t>(width) * height);
    HDC dc = GetDC(nullptr);
    const int rows = GetDIBits(dc, reinterpret_cast<HBITMAP>(static_cast<INT_PTR>(handle)), 0, height, out.data(),
                               &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    if (rows != height) out.clear();
    return out;
}

IPicture* LoadPicture(const Bytes& file) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, file.size());
    std::memcpy(GlobalLock(block), file.data(), file.size());
    GlobalUnlock(block);
    IStream* stream = nullptr;
    CreateStreamOnHGlobal(block, TRUE, &stream);
    IPicture* picture = nullptr;
    OleLoadPicture(stream, static_cast<LONG>(file.size()), TRUE, IID_IPicture, reinterpret_cast<void**>(&picture));
    stream->Release();
    return picture;
}

// The manager's picture against the system loader's picture of the same decoded blocks: a
// client sees the same type, size, pixels through the handle, and a SaveAsFile bitmap and a
// persisted form of the same pixels. A palette picture's hPal holds the colours of its bitmap and goes with the
// picture (the loader's picture has no hPal under Wine, so it is not compared).
TEST_P(EveryPictureThroughTamrix, HostPictureIsTheLoadersPicture) {
    const samples::Picture& p = GetParam();
    FileName src(Picture(p));
    std::string bmp = testenv::TempDir() + "bundled-tamrix-loader-" + p.file + ".bmp";
    Bstr dest(bmp);
    ASSERT_EQ(S_OK, spi_->GetPictureToFile(src.v, 0, dest.s));
    IPicture* loaded = LoadPicture(ReadAll(bmp));
    ASSERT_NE(nullptr, loaded);

    ITamrixHost2* host = NewHost();
    ASSERT_NE(nullptr, host);
    IDispatch* disp = nullptr;
    ASSERT_EQ(S_OK, host->GetPicture(src.v, 0, &disp));
    host->Release();
    IPicture* made = nullptr;
    ASSERT_EQ(S_OK, disp->QueryInterface(IID_IPicture, reinterpret_cast<void**>(&made)));
    disp->Release();

    // Type and HIMETRIC size, as a client reads them.
    auto seen = [](IPicture* picture) {
        SHORT type = 0;
        OLE_XSIZE_HIMETRIC width = 0;
        OLE_YSIZE_HIMETRIC height = 0;
        picture->get_Type(&type);
        picture->get_Width(&width);
        picture->get_Height(&height);
        return std::to_string(type) + " " + std::to_string(width) + "x" + std::to_string(height);
    };
    EXPECT_EQ(seen(loaded), seen(made));
    OLE_HANDLE handle = 0, hPal = 0;
    made->get_Handle(&handle);
    made->get_hPal(&hPal);
    const auto palette = reinterpret_cast<HPALETTE>(static_cast<INT_PTR>(hPal));
    EXPECT_EQ(p.bits <= 8, palette != nullptr);
    if (palette) {
        HDC dc = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HBITMAP>(static_cast<INT_PTR>(handle)));
        RGBQUAD table[256];
        const UINT colours = GetDIBColorTable(dc, 0, 256, table);
        SelectObject(dc, old);
        DeleteDC(dc);
        // The palette has the colours the bitmap uses; GDI may report a full table.
        PALETTEENTRY entries[256];
        const UINT used = GetPaletteEntries(palette, 0, 256, entries);
        ASSERT_TRUE(used > 0 && used <= colours) << used << " of " << colours;
        for (UINT i = 0; i < used; ++i)
            EXPECT_EQ(RGB(table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue),
                      RGB(entries[i].peRed, entries[i].peGreen, entries[i].peBlue)) << "colour " << i;
    }
    const std::vector<uint32_t> expected = HandlePixels(loaded, p.width, p.height);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected, HandlePixels(made, p.width, p.height)) << "pixels through the handle";

    // The bitmap file SaveAsFile writes, and the persisted form, each read back by the loader.
    IPersistStream* persist = nullptr;
    ASSERT_EQ(S_OK, made->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist)));
    for (const bool persisted : {false, true}) {
        SCOPED_TRACE(persisted ? "IPersistStream::Save" : "SaveAsFile");
        IStream* saved = nullptr;
        ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &saved));
        LONG size = 0;
        ASSERT_EQ(S_OK, persisted ? persist->Save(saved, TRUE) : made->SaveAsFile(saved, TRUE, &size));
        ULARGE_INTEGER end{};
        saved->Seek({}, STREAM_SEEK_CUR, &end);
        if (!persisted) {
            EXPECT_EQ(static_cast<ULONGLONG>(size), end.QuadPart);
        }
        HGLOBAL block = nullptr;
        GetHGlobalFromStream(saved, &block);
        const auto* bytes = static_cast<const uint8_t*>(GlobalLock(block));
        const Bytes file(bytes, bytes + end.QuadPart);
        GlobalUnlock(block);
        saved->Release();
        IPicture* reread = LoadPicture(file);
        ASSERT_NE(nullptr, reread);
        EXPECT_EQ(expected, HandlePixels(reread, p.width, p.height)) << "pixels read back";
        reread->Release();
    }
    persist->Release();
    made->Release();
    if (palette) {
        EXPECT_EQ(0u, GetObjectType(palette)) << "the palette outlived its picture";
    }
    loaded->Release();
}

// The decoded picture of `file` through the plug-in object.
Dib DecodeThroughTamrix(ISusiePlugin* spi, const std::string& file) {
    FileName src(file);
    IDispatch* infoBlock = nullptr;
    IDispatch* pixelBlock = nullptr;
    if (FAILED(spi->GetPicture(src.v, 0, &infoBlock, &pixelBlock))) return Dib{};
    Bytes i = HeapBytes(infoBlock), px = HeapBytes(pixelBlock);
    infoBlock->Release();
    pixelBlock->Release();
    return ParseDib(i.data(), i.size(), px.data(), px.size());
}

// Through the manager, the picture converts to PNG (the same pixels, transparency included)
// and to JPEG (opaque pixels within a mean brightness error of 8: the sharp test patterns'
// worst at quality 90 is about 5), each read back by the plug-in.
TEST_P(EveryPictureThroughTamrix, ConvertsThroughTheManager) {
    const samples::Picture& p = GetParam();
    FileName src(Picture(p));
    ITamrixHost2* host = NewHost();
    ASSERT_NE(nullptr, host);
    const Dib original = DecodeThroughTamrix(spi_, Picture(p));
    ASSERT_TRUE(original.ok);
    for (const char* type : {".png", ".jpg"}) {
        SCOPED_TRACE(type);
        const std::string path = testenv::TempDir() + "bundled-tamrix-converted-" + p.file + type;
        DeleteFileA(path.c_str());
        Bstr dest(path);
        ASSERT_EQ(S_OK, host->ConvertFile(src.v, 0, dest.s));
        const Dib back = DecodeThroughTamrix(spi_, path);
        ASSERT_TRUE(back.ok);
        ASSERT_EQ(p.width, back.width);
        ASSERT_EQ(p.height, back.height);
        const bool lossy = type[1] == 'j';
        int wrong = 0;
        double luma = 0;
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x) {
                const samples::Rgba a = original.At(x, y), b = back.At(x, y);
                if (lossy && a.a != 255) continue;  // JPEG has no transparency
                if (!lossy && a.a == 0) {
                    wrong += b.a != 0;
                    continue;
                }
                const int d[4] = {a.r - b.r, a.g - b.g, a.b - b.b, lossy ? 0 : a.a - b.a};
                wrong += d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != 0;
                luma += std::abs(0.299 * d[0] + 0.587 * d[1] + 0.114 * d[2]) / (p.width * p.height);
            }
        if (lossy) {
            EXPECT_LE(luma, 8.0);
        } else {
            EXPECT_EQ(0, wrong) << "pixels differ after the round trip";
        }
    }
    host->Release();
}

INSTANTIATE_TEST_SUITE_P(Samples, EveryPictureThroughTamrix, ::testing::ValuesIn(samples::PICTURES),
                         [](const ::testing::TestParamInfo<samples::Picture>& i) {
                             std::string n = i.param.file;
                             std::replace(n.begin(), n.end(), '.', '_');
                             return n;
                         });

// A byte array holding `bytes`.
struct ByteArray {
    VARIANT v;
    explicit ByteArray(const Bytes& bytes) {
        VariantInit(&v);
        V_VT(&v) = VT_ARRAY | VT_UI1;
        V_ARRAY(&v) = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        void* p = nullptr;
        SafeArrayAccessData(V_ARRAY(&v), &p);
        if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
        SafeArrayUnaccessData(V_ARRAY(&v));
    }
    ~ByteArray() { VariantClear(&v); }
};

// Palette pictures of 1, 4 and 8 bits written from byte arrays keep their colours; and every
// failure leaves an existing destination as it was: an extension nobody writes (the clear
// code, nothing written), a source no plug-in reads, a header cut short, a read-only file.
TEST_F(ThroughTamrix, WritesPalettePicturesAndKeepsDestinationsOnFailure) {
    ISusiePlugin2* spi = nullptr;
    ASSERT_EQ(S_OK, spi_->QueryInterface(IID_ISusiePlugin2, reinterpret_cast<void**>(&spi)));
    VARIANT_BOOL can = VARIANT_FALSE;
    EXPECT_EQ(S_OK, spi->get_CanCreatePicture(&can));
    EXPECT_EQ(VARIANT_TRUE, can);
    const RGBQUAD colours[4] = {{10, 20, 30, 0}, {200, 100, 50, 0}, {0, 255, 0, 0}, {255, 255, 255, 0}};
    for (int bits : {1, 4, 8}) {
        SCOPED_TRACE(bits);
        const int w = 13, h = 5, used = bits == 1 ? 2 : 4;
        const int stride = (w * bits + 31) / 32 * 4;
        BITMAPINFOHEADER bih{sizeof bih, w, h, 1, static_cast<WORD>(bits), BI_RGB, 0, 0, 0, static_cast<DWORD>(used), 0};
        Bytes info(sizeof bih + used * 4), pixels(static_cast<size_t>(stride) * h);
        std::memcpy(info.data(), &bih, sizeof bih);
        std::memcpy(info.data() + sizeof bih, colours, used * 4);
        auto index = [&](int x, int y) { return (x + 2 * y) % used; };  // y from the bottom
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int bit = x * bits;
                pixels[y * stride + bit / 8] |= static_cast<uint8_t>(index(x, y) << (8 - bits - bit % 8));
            }
        const std::string path = testenv::TempDir() + "bundled-tamrix-palette-" + std::to_string(bits) + ".png";
        DeleteFileA(path.c_str());
        Bstr dest(path);
        ByteArray i(info), px(pixels);
        ASSERT_EQ(S_OK, spi->CreatePicture(dest.s, i.v, px.v));
        const Dib back = DecodeThroughTamrix(spi_, path);
        ASSERT_TRUE(back.ok);
        int wrong = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const RGBQUAD& c = colours[index(x, h - 1 - y)];
                const samples::Rgba got = back.At(x, y);
                wrong += got.r != c.rgbRed || got.g != c.rgbGreen || got.b != c.rgbBlue;
            }
        EXPECT_EQ(0, wrong);
    }

    ITamrixHost2* host = NewHost();
    ASSERT_NE(nullptr, host);
    const std::string folder = ScratchFolder("bundled-tamrix-keep"), keep = folder + "\\keep.png";
    const Bytes old = {'o', 'l', 'd'};
    FileName good(Picture(samples::PICTURES[0])), broken(Sample("hostile\\truncated.png"));
    const BITMAPINFOHEADER one{sizeof one, 1, 1, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const auto* oneBytes = reinterpret_cast<const uint8_t*>(&one);
    ByteArray cutInfo(Bytes(20, 0)), somePixels(Bytes(64, 0)), onePixel(Bytes(oneBytes, oneBytes + sizeof one));
    struct Case {
        const char* what;
        std::string dest;
        std::function<HRESULT(BSTR)> call;
        HRESULT expected;
        bool readOnly;
    } const cases[] = {
        {"unknown extension", folder + "\\keep.xyz",
         [&](BSTR d) { return host->ConvertFile(good.v, 0, d); }, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), false},
        {"unknown extension, plug-in", folder + "\\keep.xyz",
         [&](BSTR d) { return spi->CreatePicture(d, onePixel.v, somePixels.v); }, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED),
         false},
        {"broken source", keep, [&](BSTR d) { return host->ConvertFile(broken.v, 0, d); }, E_FAIL, false},
        {"header cut short", keep, [&](BSTR d) { return spi->CreatePicture(d, cutInfo.v, somePixels.v); }, E_FAIL, false},
        {"read-only destination", keep, [&](BSTR d) { return host->ConvertFile(good.v, 0, d); }, E_FAIL, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetFileAttributesA(c.dest.c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteAll(c.dest, old);
        if (c.readOnly) SetFileAttributesA(c.dest.c_str(), FILE_ATTRIBUTE_READONLY);
        Bstr dest(c.dest);
        EXPECT_EQ(c.expected, c.call(dest.s));
        EXPECT_EQ(old, ReadAll(c.dest)) << "the destination is untouched";
        SetFileAttributesA(c.dest.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(1u, Listing(folder).size()) << "nothing left beside it";
        DeleteFileA(c.dest.c_str());
    }
    host->Release();
    spi->Release();
}

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

// A PNG of 132 bytes (1 x 1 grey, and a comment) that a TAR test of byte sums alone took for
// an archive: the checksum field (bytes 148 to 155 of the header) is zero padding, read as 0,
// and the bytes' signed sum, that field counted as spaces, is 0 too. It decodes, the
// archive plug-in listed first.
TEST_F(ThroughTamrix, APngWhoseBytesPassATarChecksumDecodesWithTheArchivePluginFirst) {
    const char* hex =
        "89504e470d0a1a0a0000000d49484452000000010000000108000000003a7e9b550000003574455874436f6d6d656e74"
        "00aaa0c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9c9dedc"
        "c6eb0000000a49444154789c636800000082008177cd72b60000000049454e44ae426082";
    Bytes png;
    int sum = 0;
    for (const char* p = hex; *p; p += 2)
        sum += static_cast<int8_t>(png.emplace_back(std::stoi(std::string(p, 2), nullptr, 16)));
    ASSERT_EQ(132u, png.size());
    ASSERT_EQ(-256, sum);
    const std::string first = ScratchFolder("bundled-tamrix-tarlike"), file = first + "\\small.png";
    WriteAll(file, png);
    ASSERT_TRUE(CopyFileA(SpiPath("axtamrix.spi").c_str(), (first + "\\axtamrix.spi").c_str(), FALSE));
    char old[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, old);
    SetCurrentDirectoryA(first.c_str());  // searched first
    ITamrixHost2* host = NewHost();
    SetCurrentDirectoryA(old);
    ASSERT_NE(nullptr, host);
    FileName src(file);
    IDispatch* picture = nullptr;
    EXPECT_EQ(S_OK, host->GetPicture(src.v, 0, &picture));
    if (picture) picture->Release();
    EXPECT_EQ(S_OK, host->ConvertFile(src.v, 0, Bstr(file + ".bmp").s));
    ITamrixHost3* host3 = nullptr;
    IConversionJob* job = nullptr;
    IDispatch* started = nullptr;
    ASSERT_EQ(S_OK, host->QueryInterface(IID_ITamrixHost3, reinterpret_cast<void**>(&host3)));
    VARIANT sources{};
    V_VT(&sources) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&sources) = SafeArrayCreateVector(VT_BSTR, 0, 1);
    static_cast<BSTR*>(V_ARRAY(&sources)->pvData)[0] = SysAllocString(testenv::Wide(file).c_str());
    const std::string out = ScratchFolder("bundled-tamrix-tarlike-out");
    ASSERT_EQ(S_OK, host3->ConvertFiles(sources, Bstr(out).s, Bstr("bmp").s, &started));
    VariantClear(&sources);
    ASSERT_EQ(S_OK, started->QueryInterface(IID_IConversionJob, reinterpret_cast<void**>(&job)));
    VARIANT_BOOL done = VARIANT_FALSE;
    LONG result = -1;
    job->Wait(-1, &done);
    job->get_Result(0, &result);
    EXPECT_EQ(S_OK, result);
    for (IUnknown* object : {static_cast<IUnknown*>(job), static_cast<IUnknown*>(started), static_cast<IUnknown*>(host3),
                             static_cast<IUnknown*>(host)})
        object->Release();
    EXPECT_EQ(ReadAll(file + ".bmp"), ReadAll(out + "\\small.png.bmp"));
}

}  // namespace
