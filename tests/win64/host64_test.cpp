// The 64-bit server's manager over 64-bit (.sph) and 32-bit (.spi) plug-ins together: one
// list in the system's order, the 32-bit ones served by plug-in objects of the 32-bit server
// in the DLL surrogate and handed to clients as they are, one selection walk over both,
// picture objects made in this process from either kind, one filter.
#include <windows.h>
#include <tlhelp32.h>
#include <olectl.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/spi_folder.h"
#include "common/surrogate_process.h"
#include "common/value_width.h"
#include "manager/tamrix_host.h"
#include "plugin_object/archive_fixture.h"
#include "server/server_dll.h"

using namespace plugtest;
using servertest::ComApartment;
using testenv::SpiFolder;
using Manager = Tamrix::Object<Tamrix::TamrixHost>;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new ComApartment);

std::string Spi32(const std::string& name) {
    return testenv::WinPath(testenv::Env("TAMRIX_SPI32_DIR")) + "\\" + name + ".spi";
}

// A copy of a built plug-in (either build's) under `as` in the folder.
void CopyIn(const SpiFolder& folder, const std::string& from, const std::string& as) {
    EXPECT_TRUE(CopyFileA(from.c_str(), folder.PathOf(as).c_str(), FALSE)) << from;
}

// The plug-in files of a folder in the order the system lists "*.sp?", by their long names.
std::vector<std::string> Listed(const SpiFolder& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(folder.PathOf("*.sp?").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = found.cFileName;
        std::string ext = name.size() > 4 ? name.substr(name.size() - 4) : "";
        std::transform(ext.begin(), ext.end(), ext.begin(), [](char c) { return static_cast<char>(tolower(c)); });
        if (ext == ".spi" || ext == ".sph") names.push_back(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

ComPtr<Manager> Host(LONG flags, const SpiFolder& folder) {
    ComPtr<Manager> host = Tamrix::Make<Tamrix::TamrixHost>();
    EXPECT_TRUE(host);
    Bstr path = MakeBstr(folder.Path());
    if (host) {
        EXPECT_EQ(S_OK, host->Init(flags, path.get()));
    }
    return host;
}

std::string AboutOf(IUnknown* object) {
    ComPtr<ISusiePlugin> plugin;
    if (!object || FAILED(object->QueryInterface(IID_ISusiePlugin, plugin.put_void()))) return "<not a plug-in>";
    Bstr about;
    if (FAILED(plugin->get_About(about.put()))) return "<no about>";
    return Narrow(about.get());
}

// A proxy of an object in another process answers the proxy manager's interfaces; an object
// of this process does not.
bool InAnotherProcess(IUnknown* object) {
    ComPtr<IClientSecurity> security;
    return SUCCEEDED(object->QueryInterface(IID_IClientSecurity, security.put_void()));
}

std::vector<std::string> Abouts(ITamrixHost* host) {
    std::vector<std::string> out;
    LONG count = 0;
    EXPECT_EQ(S_OK, host->get_Count(&count));
    for (LONG i = 1; i <= count; ++i) {
        ComPtr<IDispatch> item;
        EXPECT_EQ(S_OK, host->get_Item(i, item.put()));
        out.push_back(AboutOf(item.get()));
    }
    return out;
}

std::string AboutOfFile(const std::string& file) {
    if (file.rfind("qqa_plain", 0) == 0) return "QQA plain test plug-in";
    if (file.rfind("qqa", 0) == 0) return "QQA test plug-in";
    if (file.rfind("qqz", 0) == 0) return "QQZ test plug-in";
    if (file.rfind("qqn", 0) == 0) return "QQN test plug-in";
    return "?";
}

// ---- Discovery and the collection ------------------------------------------------------

TEST(Host64, OneListOfBothKindsInTheOrderTheSystemListsThem) {
    SpiFolder folder("x64_list");
    CopyIn(folder, testenv::SpiPath("qqa"), "qqa_64.sph");
    CopyIn(folder, Spi32("qqz"), "qqz_32.spi");
    CopyIn(folder, Spi32("qqa_plain"), "qqa_plain_32.SPI");
    CopyIn(folder, testenv::SpiPath("qqz"), "qqz_64.SpH");
    CopyIn(folder, testenv::SpiPath("qqn"), "qqn_64.spi");  // a 64-bit file by the old name
    CopyIn(folder, Spi32("qqn"), "qqn_32.sph");             // and a 32-bit one by the new
    CopyIn(folder, testenv::SpiPath("qqa"), "qqa_64.spx");   // not a plug-in's name
    CopyIn(folder, Spi32("badkind"), "badkind_32.spi");     // no plug-in kind
    folder.AddFile("text.sph", "not a module");
    const std::vector<std::string> files = Listed(folder);
    std::vector<std::string> expected;
    for (const std::string& f : files)
        if (f.rfind("badkind", 0) != 0 && f != "text.sph") expected.push_back(AboutOfFile(f));
    ASSERT_EQ(6u, expected.size());

    for (LONG flags : {6, 7}) {  // entries kept loaded, and unloaded after the scan
        SCOPED_TRACE(flags);
        ComPtr<Manager> host = Host(flags, folder);
        EXPECT_EQ(expected, Abouts(host.get()));
        // The 32-bit ones are the 32-bit server's own objects; the others this server's.
        LONG count = 0;
        host->get_Count(&count);
        std::vector<std::string> kinds;
        for (const std::string& f : files)
            if (f.rfind("badkind", 0) != 0 && f != "text.sph") kinds.push_back(f.find("_32") != std::string::npos ? "32" : "64");
        ComPtr<IUnknown> list;
        ASSERT_EQ(S_OK, host->get__NewEnum(list.put()));
        ComPtr<IEnumVARIANT> items;
        ASSERT_EQ(S_OK, list.query(items));
        for (size_t i = 0; i < kinds.size(); ++i) {
            Variant item;
            ULONG fetched = 0;
            ASSERT_EQ(S_OK, items->Next(1, item.get(), &fetched));
            ASSERT_EQ(VT_DISPATCH, V_VT(item.get()));
            EXPECT_EQ(kinds[i] == "32", InAnotherProcess(V_DISPATCH(item.get()))) << files[i];
            EXPECT_EQ(expected[i], AboutOf(V_DISPATCH(item.get())));
        }
    }
}

// A 32-bit plug-in in the current directory is loaded over there, whose current directory
// is another (on Windows the system folder; under Wine the one the client had when the
// surrogate started): by its full path.
TEST(Host64, AThirtyTwoBitPlugInOfTheCurrentDirectoryLoadsOverThere) {
    SpiFolder first("x64_first"), cwd("x64_cwd");
    CopyIn(first, Spi32("qqa"), "qqa_32.spi");
    CopyIn(cwd, Spi32("qqz"), "qqz_32.spi");
    CopyIn(cwd, testenv::SpiPath("qqa"), "qqa_64.sph");
    ComPtr<Manager> host = Host(7, first);  // the surrogate starts here
    ASSERT_EQ((std::vector<std::string>{"QQA test plug-in"}), Abouts(host.get()));
    testenv::CurrentDirectory here(cwd.Path());
    ASSERT_EQ(S_OK, host->Init(7, nullptr));
    std::vector<std::string> abouts = Abouts(host.get());
    std::sort(abouts.begin(), abouts.end());
    EXPECT_EQ((std::vector<std::string>{"QQA test plug-in", "QQZ test plug-in"}), abouts);
    const std::string archive = WriteTemp("tamrix_x64_cwd.qqz", Qqz({{"m", "", "a", {1}}}));
    ComPtr<IDispatch> spi;
    ASSERT_EQ(S_OK, host->QuerySpiFromFile(MakeBstr(archive).get(), 0, spi.put()));
    EXPECT_EQ("QQZ test plug-in", AboutOf(spi.get()));
    DeleteFileA(archive.c_str());
}

// A surrogate that ends (a plug-in brought it down, say) is started again for the next
// plug-in object the manager needs.
TEST(Host64, ASurrogateThatEndedIsStartedAgain) {
    SpiFolder folder("x64_restart");
    CopyIn(folder, Spi32("qqz"), "qqz_32.spi");
    ComPtr<Manager> host = Host(6, folder);
    ASSERT_EQ((std::vector<std::string>{"QQZ test plug-in"}), Abouts(host.get()));
    // Every surrogate of the prefix ends (the tests that use one run one at a time).
    int ended = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, "dllhost.exe") != 0) continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process && TerminateProcess(process, 1)) {
            WaitForSingleObject(process, 10000);
            ++ended;
        }
        if (process) CloseHandle(process);
    }
    CloseHandle(snapshot);
    ASSERT_GT(ended, 0);
    ASSERT_EQ(S_OK, host->Init(6, MakeBstr(folder.Path()).get()));
    EXPECT_EQ((std::vector<std::string>{"QQZ test plug-in"}), Abouts(host.get()));
}

// ---- Selection -------------------------------------------------------------------------

TEST(Host64, TheWalkAsksBothKindsInListOrder) {
    SpiFolder folder("x64_walk");
    CopyIn(folder, Spi32("qqn"), "qqn_32.spi");        // takes "*.qqn" by name
    CopyIn(folder, testenv::SpiPath("qqa"), "qqa_64.sph");  // takes QQA1 data
    CopyIn(folder, Spi32("qqz"), "qqz_32.spi");        // takes QQZ1 data
    ComPtr<Manager> host = Host(7, folder);
    const std::vector<std::string> order = Abouts(host.get());
    ASSERT_EQ(3u, order.size());
    const bool nameFirst = std::find(order.begin(), order.end(), "QQN test plug-in") <
                           std::find(order.begin(), order.end(), "QQA test plug-in");

    const std::string both = WriteTemp("tamrix_x64_both.qqn", Bytes(Qqa(4, 4, 24)));
    const std::string qqa = WriteTemp("tamrix_x64_only.qqa", Bytes(Qqa(4, 4, 24)));
    const std::string qqz = WriteTemp("tamrix_x64_only.bin", Qqz({{"m", "", "a", {1}}}));
    const struct {
        std::string file;
        std::string about;
    } cases[] = {{both, nameFirst ? "QQN test plug-in" : "QQA test plug-in"},
                 {qqa, "QQA test plug-in"},
                 {qqz, "QQZ test plug-in"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        ComPtr<IDispatch> spi;
        ASSERT_EQ(S_OK, host->QuerySpiFromFile(MakeBstr(c.file).get(), 0, spi.put()));
        EXPECT_EQ(c.about, AboutOf(spi.get()));
        EXPECT_EQ(c.about != "QQA test plug-in", InAnotherProcess(spi.get()));
    }
    // Bytes from the caller reach the 32-bit plug-in's IsSupported over there, a short
    // array padded to a whole header.
    Variant bytes;
    SetArray(bytes, Qqz({{"m", "", "a", {1}}}));
    ComPtr<IDispatch> spi;
    ASSERT_EQ(S_OK, host->QuerySpi(nullptr, *bytes.get(), spi.put()));
    EXPECT_EQ("QQZ test plug-in", AboutOf(spi.get()));
    Variant nothing;
    SetArray(nothing, {'Q', 'Q', 'X'});
    EXPECT_EQ(E_FAIL, host->QuerySpi(nullptr, *nothing.get(), spi.put()));
    // An integer address would be one of this process: no long holds it.
    Variant address;
    V_VT(address.get()) = VT_I4;
    V_I4(address.get()) = 0x10000;
    EXPECT_EQ(Tamrix::E_EXCEEDS_32_BITS, host->QuerySpi(nullptr, *address.get(), spi.put()));
    for (const std::string& f : {both, qqa, qqz}) DeleteFileA(f.c_str());
}

// ---- Pictures --------------------------------------------------------------------------

// The bitmap behind a picture object of this process, read back row by row.
struct Pixels {
    LONG width = 0, height = 0;
    std::vector<BYTE> rows;  // 24 bits per pixel, bottom-up, rows padded to 4 bytes
};
Pixels ReadPicture(IDispatch* picture) {
    Pixels out;
    ComPtr<IPicture> p;
    EXPECT_EQ(S_OK, picture->QueryInterface(IID_IPicture, p.put_void()));
    if (!p) return out;
    OLE_HANDLE handle = 0;
    EXPECT_EQ(S_OK, p->get_Handle(&handle));
    HBITMAP bitmap = reinterpret_cast<HBITMAP>(static_cast<ULONG_PTR>(handle));
    BITMAP b{};
    EXPECT_NE(0, GetObjectA(bitmap, sizeof b, &b));
    out.width = b.bmWidth;
    out.height = b.bmHeight;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = b.bmWidth;
    bi.bmiHeader.biHeight = b.bmHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    out.rows.resize(static_cast<size_t>((b.bmWidth * 3 + 3) / 4 * 4) * static_cast<size_t>(b.bmHeight));
    HDC dc = GetDC(nullptr);
    EXPECT_EQ(b.bmHeight, GetDIBits(dc, bitmap, 0, static_cast<UINT>(b.bmHeight), out.rows.data(), &bi, DIB_RGB_COLORS));
    ReleaseDC(nullptr, dc);
    return out;
}

// A picture plug-in of either kind gives a picture object made here, whose bitmap holds the
// plug-in's pixels: for a 32-bit plug-in, the blocks came over with GetBytes.
TEST(Host64, GetPictureMakesAPictureOfThisProcessFromEitherKind) {
    testspi::QqaHeader h = Qqa(7, 5, 24);
    h.seed = 0x31;
    const std::vector<BYTE> data = Bytes(h);
    const std::string file = WriteTemp("tamrix_x64_picture.qqa", data, 8);
    const std::vector<BYTE> expected = Pattern(h.seed, 24 * 5);  // rows of 21 bytes padded to 24
    for (const std::string& from : {testenv::SpiPath("qqa"), Spi32("qqa")}) {
        SCOPED_TRACE(from);
        SpiFolder folder("x64_picture");
        CopyIn(folder, from, from.substr(from.size() - 4) == ".spi" ? "qqa_32.spi" : "qqa_64.sph");
        ComPtr<Manager> host = Host(7, folder);
        Variant name, array;
        SetString(name, file);
        SetArray(array, data);
        for (auto [src, offset] : {std::pair<VARIANT*, LONG>{name.get(), 8}, {array.get(), 104}}) {
            ComPtr<IDispatch> picture;
            ASSERT_EQ(S_OK, host->GetPicture(*src, offset, picture.put()));
            EXPECT_FALSE(InAnotherProcess(picture.get()));
            const Pixels px = ReadPicture(picture.get());
            EXPECT_EQ(7, px.width);
            EXPECT_EQ(5, px.height);
            std::vector<BYTE> packed;
            for (int y = 0; y < 5; ++y)
                packed.insert(packed.end(), px.rows.begin() + y * 24, px.rows.begin() + y * 24 + 21);
            std::vector<BYTE> want;
            for (int y = 0; y < 5; ++y) want.insert(want.end(), expected.begin() + y * 24, expected.begin() + y * 24 + 21);
            EXPECT_EQ(want, packed);
        }
    }
    DeleteFileA(file.c_str());
}

// Plug-ins of both kinds that take a picture and fail to decode it are passed by, and the
// first failure in list order is the answer when all fail.
TEST(Host64, GetPictureWalksPastFailingPlugInsOfEitherKind) {
    SpiFolder folder("x64_fallback");
    CopyIn(folder, Spi32("qqa_broken"), "broken_32.spi");
    CopyIn(folder, testenv::SpiPath("qqa_nomemory"), "nomemory_64.sph");
    ComPtr<Manager> host = Host(7, folder);
    const std::vector<std::string> files = Listed(folder);
    ASSERT_EQ(2u, files.size());
    Variant array;
    SetArray(array, Bytes(Qqa(4, 4, 24)));
    ComPtr<IDispatch> picture;
    EXPECT_EQ(files[0].rfind("broken", 0) == 0 ? E_FAIL : E_OUTOFMEMORY, host->GetPicture(*array.get(), 104, picture.put()));
    CopyIn(folder, Spi32("qqa"), "good_32.spi");
    ASSERT_EQ(S_OK, host->Init(7, MakeBstr(folder.Path()).get()));
    EXPECT_EQ(S_OK, host->GetPicture(*array.get(), 104, picture.put()));
    EXPECT_EQ(4, ReadPicture(picture.get()).width);
}

// ---- The filter ------------------------------------------------------------------------

TEST(Host64, TheFilterTakesEveryPlugInsTypesInListOrder) {
    SpiFolder folder("x64_filter");
    CopyIn(folder, Spi32("qqa"), "qqa_32.spi");
    CopyIn(folder, testenv::SpiPath("qqz"), "qqz_64.sph");
    CopyIn(folder, Spi32("halfpair"), "halfpair_32.spi");
    CopyIn(folder, Spi32("anyinfo_nonul"), "anyinfo_32.spi");
    ComPtr<Manager> host = Host(7, folder);
    struct Pair {
        std::wstring pattern, description;
        bool picture;
    };
    std::vector<Pair> pairs;
    for (const std::string& f : Listed(folder)) {
        if (f.rfind("qqa", 0) == 0) {
            pairs.push_back({L"*.qqa", L"QQA picture", true});
            pairs.push_back({L"*.qqb;*.qqc", L"QQB picture", true});
        } else if (f.rfind("qqz", 0) == 0) {
            pairs.push_back({L"*.qqz", L"QQZ archive", false});
        } else if (f.rfind("halfpair", 0) == 0) {
            pairs.push_back({L"*.qqh", L"QQH picture", true});  // "*.qqi" has no description
        } else {
            // Every number answered, 64 characters without a NUL: the pair, then 255 more,
            // each read no further than its buffer.
            pairs.push_back({L"*.qqy" + std::wstring(59, L'A'), L"QQY picture" + std::wstring(53, L'A'), true});
            for (int n = 1; n < 256; ++n) pairs.push_back({std::wstring(64, L'A'), std::wstring(64, L'A'), true});
        }
    }
    for (LONG type : {0, 1}) {
        std::wstring all, rest;
        for (const Pair& p : pairs) {
            if (type == 1 && !p.picture) continue;
            all += (all.empty() ? L"" : L";") + p.pattern;
            rest += p.description + L'\0' + p.pattern + L'\0';
        }
        const std::wstring want = std::wstring(L"All images") + L'\0' + all + L'\0' + rest;
        Bstr filter;
        ASSERT_EQ(S_OK, host->GetFileFilter(type, filter.put()));
        EXPECT_TRUE(want == std::wstring(filter.get(), filter.length())) << "type " << type;
    }
}

// ---- Objects of the 32-bit server --------------------------------------------------------

// What the manager hands out for a 32-bit plug-in is a plug-in object of the 32-bit server,
// with all its members; the ones that would hand an address across processes refuse.
TEST(Host64, AThirtyTwoBitPlugInsObjectDecodesAndExtractsFromHere) {
    SpiFolder folder("x64_objects");
    CopyIn(folder, Spi32("qqa"), "qqa_32.spi");
    CopyIn(folder, Spi32("qqzw"), "qqzw_32.spi");
    ComPtr<Manager> host = Host(7, folder);
    testspi::QqaHeader h = Qqa(3, 2, 8);
    const std::string picture = WriteTemp("tamrix_x64_object.qqa", Bytes(h));
    ComPtr<IDispatch> object;
    ASSERT_EQ(S_OK, host->QuerySpiFromFile(MakeBstr(picture).get(), 0, object.put()));
    ComPtr<ISusiePlugin> spi;
    ASSERT_EQ(S_OK, object.query(spi));
    Variant src;
    SetString(src, picture);
    ComPtr<IDispatch> info, bits;
    ASSERT_EQ(S_OK, spi->GetPicture(*src.get(), 0, info.put(), bits.put()));
    EXPECT_EQ(Pattern(h.seed, 8), HeapBytes(bits.get()));
    ComPtr<ISpiLocalHeap> heap;
    ASSERT_EQ(S_OK, bits.query(heap));
    LONG address = 0;
    EXPECT_EQ(Tamrix::E_ADDRESS_ACROSS_PROCESSES, heap->get_Buffer(&address));
    PictureInfo record{};
    ASSERT_EQ(S_OK, spi->GetPictureInfo(*src.get(), 0, &record));
    EXPECT_EQ(3, record.width);

    const std::vector<QqzMemberDesc> members = {{"m", "dir\\", "a.txt", Pattern(4, 9)}};
    const std::string archive = WriteTemp("tamrix_x64_object.qqz", Qqz(members));
    ASSERT_EQ(S_OK, host->QuerySpiFromFile(MakeBstr(archive).get(), 0, object.put()));
    ASSERT_EQ(S_OK, object.query(spi));
    SetString(src, archive);
    ComPtr<IDispatch> listing;
    ASSERT_EQ(S_OK, spi->GetArchiveInfo(*src.get(), 0, listing.put()));
    ComPtr<ISpiFileInfoCollection> list;
    ASSERT_EQ(S_OK, listing.query(list));
    ComPtr<IDispatch> entry;
    ASSERT_EQ(S_OK, list->get_Item(1, entry.put()));
    EXPECT_EQ("a.txt", View(entry.get()).fileName);
    ComPtr<IDispatch> data;
    ASSERT_EQ(S_OK, spi->GetFile(*src.get(), entry.get(), data.put()));
    EXPECT_EQ(members[0].data, HeapBytes(data.get()));
    DeleteFileA(picture.c_str());
    DeleteFileA(archive.c_str());
}

}  // namespace
