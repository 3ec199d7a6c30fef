// A 64-bit early-bound client of the 32-bit server, built with the x86-64 toolchain. Every
// call goes through COM's 64-bit type-library marshaler to the server in its 32-bit DLL
// surrogate: the picture record, byte arrays, strings with NULs, collections, enumerators
// and the picture object cross the processes, addresses do not. On Windows the marshaler
// needs the 64-bit view's interface keys; Wine 8 also looks in the 32-bit view when they
// are missing, so here these calls prove the marshaling and registration_test.cpp the keys.
//   client64.exe <test plug-ins' folder> <scratch folder>
// Prints "<n> passed, <m> failed" and exits with the failure count.
#include <windows.h>
#include <initguid.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>

#include <Tamrix.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugins/test_formats.h"

namespace {

int g_passed = 0, g_failed = 0;

void Check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(hr));
    return text;
}

void CheckHr(HRESULT got, HRESULT want, const std::string& what) {
    Check(got == want, what + ": got " + Hex(got) + ", expected " + Hex(want));
}

constexpr HRESULT ADDRESS_ACROSS_PROCESSES = static_cast<HRESULT>(0x800701E7);

// An owned interface pointer, enough for a test.
template <class I>
struct Ptr {
    I* p = nullptr;
    Ptr() = default;
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    ~Ptr() { reset(); }
    void reset() {
        if (p) p->Release();
        p = nullptr;
    }
    I** put() {
        reset();
        return &p;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    I* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

struct Bstr {
    BSTR s = nullptr;
    explicit Bstr(const std::wstring& text = L"") : s(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(s); }
    BSTR* put() {
        SysFreeString(s);
        s = nullptr;
        return &s;
    }
    std::wstring str() const { return s ? std::wstring(s, SysStringLen(s)) : std::wstring(); }
};

VARIANT Text(const Bstr& b) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = b.s;  // borrowed: never cleared
    return v;
}

std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
}

// The bytes of a block, copied out by GetBytes.
std::vector<unsigned char> BytesOf(ISpiLocalHeap* heap, HRESULT& hr) {
    std::vector<unsigned char> out;
    VARIANT v;
    VariantInit(&v);
    hr = heap->GetBytes(&v);
    if (SUCCEEDED(hr) && V_VT(&v) == (VT_ARRAY | VT_UI1)) {
        void* data = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(V_ARRAY(&v), &data))) {
            const auto* b = static_cast<const unsigned char*>(data);
            out.assign(b, b + V_ARRAY(&v)->rgsabound[0].cElements);
            SafeArrayUnaccessData(V_ARRAY(&v));
        }
    }
    VariantClear(&v);
    return out;
}

void Pictures(ITamrixHost* host, const std::string& scratch) {
    // A QQA1 picture with a known pixel pattern, placement and densities.
    testspi::QqaHeader h{};
    std::memcpy(h.magic, "QQA1", 4);
    h.width = 40;
    h.height = 20;
    h.bitCount = 24;
    h.seed = 0x31;
    h.left = 3;
    h.top = 4;
    h.xDensity = 72;
    h.yDensity = 96;
    const std::string path = scratch + "\\client64.qqa";
    WriteBytes(path, std::string(reinterpret_cast<const char*>(&h), sizeof h));
    Bstr name(Wide(path));

    Ptr<IDispatch> found;
    CheckHr(host->QuerySpiFromFile(name.s, 0, found.put()), S_OK, "QuerySpiFromFile");
    Ptr<ISusiePlugin> spi;
    CheckHr(found->QueryInterface(IID_ISusiePlugin, spi.put_void()), S_OK, "ISusiePlugin through the proxy");
    if (!spi) return;

    PictureInfo info{};
    CheckHr(spi->GetPictureInfo(Text(name), 0, &info), S_OK, "GetPictureInfo");
    Check(info.width == 40 && info.height == 20 && info.colorDepth == 24, "the record's size and depth cross");
    Check(info.left == 3 && info.top == 4 && info.x_density == 72 && info.y_density == 96,
          "the record's placement and densities cross");

    Ptr<IDispatch> infoBlock, pixelBlock;
    CheckHr(spi->GetPicture(Text(name), 0, infoBlock.put(), pixelBlock.put()), S_OK, "GetPicture");
    Ptr<ISpiLocalHeap> pixels;
    if (pixelBlock) pixelBlock->QueryInterface(IID_ISpiLocalHeap, pixels.put_void());
    Check(static_cast<bool>(pixels), "the pixels are an ISpiLocalHeap");
    if (!pixels) return;
    LONG length = 0;
    CheckHr(pixels->get_Length(&length), S_OK, "Length");
    Check(length == 120 * 20, "Length: every row");
    HRESULT hr = S_OK;
    const std::vector<unsigned char> bytes = BytesOf(pixels.p, hr);
    CheckHr(hr, S_OK, "GetBytes");
    bool same = bytes.size() == static_cast<size_t>(length);
    for (size_t i = 0; same && i < bytes.size(); ++i) same = bytes[i] == testspi::pattern_byte(h.seed, static_cast<uint32_t>(i));
    Check(same, "GetBytes: every byte of the plug-in's pixels");
    LONG address = 1;
    CheckHr(pixels->get_Buffer(&address), ADDRESS_ACROSS_PROCESSES, "Buffer, an address of the surrogate");
    Check(address == 0, "Buffer sets no address");

    VARIANT integer;
    VariantInit(&integer);
    V_VT(&integer) = VT_I4;
    V_I4(&integer) = 0x10000;
    Ptr<IDispatch> a, b;
    CheckHr(spi->GetPicture(integer, 104, a.put(), b.put()), ADDRESS_ACROSS_PROCESSES, "an integer address as a source");

    // The manager's picture object, made in the surrogate: its proxy answers the picture's
    // size; its handle is the surrogate's and draws nothing here.
    Ptr<IDispatch> picture;
    CheckHr(host->GetPicture(Text(name), 0, picture.put()), S_OK, "the manager's GetPicture");
    Ptr<IPicture> ipicture;
    if (picture) {
        HRESULT qi = picture->QueryInterface(IID_IPicture, ipicture.put_void());
        if (FAILED(qi)) std::printf("note: no IPicture across the processes here (%s)\n", Hex(qi).c_str());
    }
    if (ipicture) {
        OLE_XSIZE_HIMETRIC w = 0;
        OLE_YSIZE_HIMETRIC hgt = 0;
        ipicture->get_Width(&w);
        ipicture->get_Height(&hgt);
        Check(hgt > 0 && w * 20 / hgt == 40, "the picture object's proportions");
    }
    DeleteFileA(path.c_str());
}

void Archives(ITamrixHost* host, const std::string& scratch) {
    const std::string data = "Bytes of a member, read by a 64-bit client.";
    std::string archive("QQZ1", 4);
    const auto le = [](std::string& s, uint32_t v) {
        for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    const auto field = [](std::string& s, const std::string& text, size_t n) { s += (text + std::string(n, '\0')).substr(0, n); };
    le(archive, 1);
    archive += std::string(16, '\0');
    field(archive, "QQZstore", 8);
    field(archive, "docs\\", 40);
    field(archive, "readme.txt", 40);
    le(archive, static_cast<uint32_t>(data.size()));
    le(archive, 86400);  // one day after 1 January 1970
    le(archive, 0xCAFE);
    archive += data;
    const std::string path = scratch + "\\client64.qqz";
    WriteBytes(path, archive);
    Bstr name(Wide(path));

    Ptr<IDispatch> found;
    CheckHr(host->QuerySpiFromFile(name.s, 0, found.put()), S_OK, "QuerySpiFromFile for the archive");
    Ptr<ISusiePlugin> spi;
    if (found) found->QueryInterface(IID_ISusiePlugin, spi.put_void());
    if (!spi) return;
    Ptr<IDispatch> listDisp;
    CheckHr(spi->GetArchiveInfo(Text(name), 0, listDisp.put()), S_OK, "GetArchiveInfo");
    Ptr<ISpiFileInfoCollection> list;
    if (listDisp) listDisp->QueryInterface(IID_ISpiFileInfoCollection, list.put_void());
    if (!list) return;
    LONG count = 0;
    list->get_Count(&count);
    Check(count == 1, "Count");

    Ptr<IUnknown> enumUnknown;
    CheckHr(list->get__NewEnum(enumUnknown.put()), S_OK, "_NewEnum");
    Ptr<IEnumVARIANT> en;
    if (enumUnknown) enumUnknown->QueryInterface(IID_IEnumVARIANT, en.put_void());
    VARIANT item;
    VariantInit(&item);
    ULONG fetched = 0;
    if (en) CheckHr(en->Next(1, &item, &fetched), S_OK, "the enumerator's first entry");
    Ptr<ISpiFileInfo> entry;
    if (V_VT(&item) == VT_DISPATCH && V_DISPATCH(&item))
        V_DISPATCH(&item)->QueryInterface(IID_ISpiFileInfo, entry.put_void());
    VariantClear(&item);
    if (!entry) return;
    Bstr fileName, method;
    entry->get_FileName(fileName.put());
    entry->get_Method(method.put());
    LONG fileSize = 0, crc = 0;
    entry->get_FileSize(&fileSize);
    entry->get_CRC(&crc);
    DATE stamp = 0;
    entry->get_TimeStamp(&stamp);
    Check(fileName.str() == L"readme.txt" && method.str() == L"QQZstore", "the entry's texts");
    Check(fileSize == static_cast<LONG>(data.size()) && crc == 0xCAFE, "the entry's numbers");
    Check(stamp > 25568.0 && stamp < 25571.0, "the entry's time stamp, a day after 1970 in local time");

    Ptr<IDispatch> memberDisp;
    CheckHr(spi->GetFile(Text(name), entry.p, memberDisp.put()), S_OK, "GetFile");
    Ptr<ISpiLocalHeap> member;
    if (memberDisp) memberDisp->QueryInterface(IID_ISpiLocalHeap, member.put_void());
    if (member) {
        HRESULT hr = S_OK;
        const std::vector<unsigned char> bytes = BytesOf(member.p, hr);
        Check(std::string(bytes.begin(), bytes.end()) == data, "the member's bytes");
    }
    DeleteFileA(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: client64 <test plug-ins' folder> <scratch folder>\n");
        return 2;
    }
    const std::string spiDir = argv[1], scratch = argv[2];
    Check(sizeof(void*) == 8, "a 64-bit client");
    CheckHr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK, "CoInitializeEx");

    // The manager over a folder of its own: the picture and the archive test plug-in.
    const std::string folder = scratch + "\\client64_plugins";
    CreateDirectoryA(folder.c_str(), nullptr);
    for (const char* spi : {"qqa.spi", "qqz.spi"})
        CopyFileA((spiDir + "\\" + spi).c_str(), (folder + "\\" + spi).c_str(), FALSE);
    {
        Ptr<ITamrixHost> host;
        CheckHr(CoCreateInstance(CLSID_TamrixHost, nullptr, CLSCTX_LOCAL_SERVER, IID_ITamrixHost, host.put_void()), S_OK,
                "the manager out of process, asked for its own interface");
        if (host) {
            Bstr dir(Wide(folder));
            CheckHr(host->Init(7, dir.s), S_OK, "Init");
            LONG count = 0;
            host->get_Count(&count);
            Check(count >= 2, "Count takes in the folder's two plug-ins");
            // The filter of the worked example: NULs inside a string cross intact.
            Bstr filter;
            CheckHr(host->GetFileFilter(0, filter.put()), S_OK, "GetFileFilter");
            // (in the folder's order, which the system chooses).
            const std::wstring qqa(L"QQA picture\0*.qqa\0QQB picture\0*.qqb;*.qqc\0", 42);
            const std::wstring qqz(L"QQZ archive\0*.qqz\0", 18);
            const std::wstring all(L"All images\0", 11);
            const std::wstring f = filter.str();
            Check(f == all + std::wstring(L"*.qqa;*.qqb;*.qqc;*.qqz\0", 24) + qqa + qqz ||
                      f == all + std::wstring(L"*.qqz;*.qqa;*.qqb;*.qqc\0", 24) + qqz + qqa,
                  "the filter string, 95 characters with its NULs: " + std::to_string(f.size()));
            Pictures(host.p, scratch);
            Archives(host.p, scratch);
        }
    }
    for (const char* spi : {"qqa.spi", "qqz.spi"}) DeleteFileA((folder + "\\" + spi).c_str());
    RemoveDirectoryA(folder.c_str());
    CoUninitialize();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed;
}
