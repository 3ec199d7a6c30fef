// The manager as clients see it: Init and its flags, the viewer's registry folder, the
// collection and its enumerator, plug-in objects that outlive the manager, the queries,
// picture objects and the filter string, and late-bound calls through the server.
// Every test runs in an empty current directory of its own.
#include <windows.h>
#include <olectl.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/spi_folder.h"
#include "manager/tamrix_host.h"
#include "plugin_object/plugin_fixture.h"
#include "server/server_dll.h"

using plugtest::Bstr;
using plugtest::MakeBstr;
using plugtest::Narrow;
using plugtest::Variant;
using servertest::ComPtr;
using servertest::RefCount;
using testenv::CurrentDirectory;
using testenv::Mapped;
using testenv::SpiCounters;
using testenv::SpiFolder;
using Manager = Tamrix::Object<Tamrix::TamrixHost>;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

std::string TestName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::vector<std::string> Paths(Manager& host) {
    std::vector<std::string> paths;
    for (const SPI::SpiInterface& entry : host.List().Plugins()) paths.push_back(testenv::Narrow(entry.WidePath()));
    return paths;
}

// What each kit plug-in says it is.
std::string AboutOf(IDispatch* object) {
    ComPtr<ISusiePlugin> plugin;
    if (!object || FAILED(object->QueryInterface(IID_ISusiePlugin, plugin.put_void()))) return "<not a plug-in>";
    Bstr about;
    if (FAILED(plugin->get_About(about.put()))) return "<no about>";
    return Narrow(about.get());
}
const std::map<std::string, std::string> ABOUT = {
    {"qqa.spi", "QQA test plug-in"},
    {"qqz.spi", "QQZ test plug-in"},
    {"qqn.spi", "QQN test plug-in"},
};

class ManagerTest : public ::testing::Test {
protected:
    ManagerTest() : cwd_(Tag("cwd")), here_(cwd_.Path()) {}
    static std::string Tag(const std::string& what) { return what + "_" + TestName(); }

    // A manager whose list is `flags` over `folder`.
    static ComPtr<Manager> Host(LONG flags, const SpiFolder& folder) {
        ComPtr<Manager> host = Tamrix::Make<Tamrix::TamrixHost>();
        EXPECT_TRUE(host);
        Bstr path = MakeBstr(folder.Path());
        if (host) {
            EXPECT_EQ(S_OK, host->Init(flags, path.get()));
        }
        return host;
    }

    // The first plug-in object `host` hands out.
    static ComPtr<ISusiePlugin> FirstPlugin(Manager* host) {
        ComPtr<IDispatch> item;
        EXPECT_EQ(S_OK, host->get_Item(1, item.put()));
        ComPtr<ISusiePlugin> plugin;
        if (item) {
            EXPECT_EQ(S_OK, item.query(plugin));
        }
        return plugin;
    }

    SpiFolder cwd_;
    CurrentDirectory here_;
};

// ---- Init ------------------------------------------------------------------------------

using Init = ManagerTest;

TEST_F(Init, ANewManagerListsTheCurrentDirectoryWithTheDefaultFlags) {
    cwd_.Add("qqa", "new_qqa.spi");
    cwd_.Add("qqz", "new_qqz.spi");
    ComPtr<Manager> host = Tamrix::Make<Tamrix::TamrixHost>();
    ASSERT_TRUE(host);
    EXPECT_EQ(15, host->List().LoadFlags());
    ASSERT_GE(host->List().Plugins().size(), 2u);
    std::vector<std::string> first;
    for (size_t i : {0, 1}) first.push_back(testenv::Narrow(host->List().Plugins()[i].WidePath()));
    std::sort(first.begin(), first.end());
    EXPECT_EQ((std::vector<std::string>{"new_qqa.spi", "new_qqz.spi"}), first) << "pictures and archives";
    for (const SPI::SpiInterface& entry : host->List().Plugins()) EXPECT_FALSE(entry.IsLoaded());
}

TEST_F(Init, ZeroMeansFifteenAndASecondInitGivesTheSameList) {
    SpiFolder folder(Tag("both"));
    folder.Add("qqa");
    folder.Add("qqz");
    ComPtr<Manager> host = Host(15, folder);
    const std::vector<std::string> fifteen = Paths(*host.get());
    ASSERT_GE(fifteen.size(), 2u);
    Bstr path = MakeBstr(folder.Path());
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(S_OK, host->Init(0, path.get()));
        EXPECT_EQ(15, host->List().LoadFlags());
        EXPECT_EQ(fifteen, Paths(*host.get()));
        LONG count = -1;
        EXPECT_EQ(S_OK, host->get_Count(&count));
        EXPECT_EQ(static_cast<LONG>(fifteen.size()), count);
        for (const SPI::SpiInterface& entry : host->List().Plugins()) EXPECT_FALSE(entry.IsLoaded());
    }
    // No kind bit: nothing is listed, though the folders were scanned.
    for (LONG flags : {1, 8}) {
        EXPECT_EQ(S_OK, host->Init(flags, path.get()));
        LONG count = -1;
        EXPECT_EQ(S_OK, host->get_Count(&count));
        EXPECT_EQ(0, count) << flags;
    }
    // Pictures only: the archive plug-in is probed, refused and unloaded.
    EXPECT_EQ(S_OK, host->Init(2, path.get()));
    ASSERT_FALSE(host->List().Plugins().empty());
    EXPECT_EQ(folder.PathOf("qqa.spi"), testenv::Narrow(host->List().Plugins()[0].WidePath()));
    EXPECT_TRUE(host->List().Plugins()[0].IsLoaded());
    EXPECT_FALSE(Mapped(folder.PathOf("qqz.spi")));
}

TEST_F(Init, ANullSearchPathIsNoFolderAndAnEmptyOneIsTheDriveRoot) {
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    const std::string name = "tamrix_init_root_" + std::to_string(GetCurrentProcessId()) + ".spi";
    const std::string atRoot = std::string(cwd, 3) + name;
    if (!CopyFileA(testenv::SpiPath("qqa").c_str(), atRoot.c_str(), FALSE)) {
        // Wine's drive root is writable; on Windows it takes an administrator.
        ASSERT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << atRoot;
        GTEST_SKIP() << "the root of the current drive is not writable here";
    }
    {
        ComPtr<Manager> host = Tamrix::Make<Tamrix::TamrixHost>();
        Bstr empty(SysAllocString(L""));
        EXPECT_EQ(S_OK, host->Init(7, empty.get()));
        std::vector<std::string> paths = Paths(*host.get());
        EXPECT_EQ(1, std::count(paths.begin(), paths.end(), "\\" + name));
        EXPECT_EQ(S_OK, host->Init(7, nullptr));
        paths = Paths(*host.get());
        EXPECT_EQ(0, std::count(paths.begin(), paths.end(), "\\" + name));
    }
    DeleteFileA(atRoot.c_str());
}

// The viewer's registry value for one test, put back as it was afterwards. Other test
// programs running meanwhile may see the folder: their tests do not count on the list's end.
class SusieFolderValue {
public:
    SusieFolderValue() {
        std::string path;
        for (const char* part : {"Software\\Velkarin", "\\Susie", "\\Plug-in"}) {
            path += part;
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
                RegCloseKey(key);
            } else {
                created_.push_back(path);
            }
        }
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, SPI::SUSIE_KEY_W, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key_, nullptr));
        DWORD size = sizeof old_;
        hadValue_ = RegQueryValueExA(key_, "Path", nullptr, &oldType_, old_, &size) == ERROR_SUCCESS;
        oldSize_ = size;
    }
    SusieFolderValue(const SusieFolderValue&) = delete;
    SusieFolderValue& operator=(const SusieFolderValue&) = delete;
    ~SusieFolderValue() {
        if (hadValue_)
            RegSetValueExA(key_, "Path", 0, oldType_, old_, oldSize_);
        else
            RegDeleteValueA(key_, "Path");
        RegCloseKey(key_);
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) RegDeleteKeyA(HKEY_CURRENT_USER, it->c_str());
    }
    void Set(DWORD type, const std::string& bytes) {
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Path", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                                static_cast<DWORD>(bytes.size())));
    }

private:
    HKEY key_ = nullptr;
    std::vector<std::string> created_;
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    BYTE old_[4096] = {};
    DWORD oldSize_ = 0;
};

TEST_F(Init, TheViewersFolderFromTheRegistryComesLastAndOnlyWithItsFlag) {
    SpiFolder viewer(Tag("viewer"));
    const std::string plugin = viewer.Add("qqa", "viewer_qqa.spi");
    SpiFolder search(Tag("search"));
    search.Add("qqz", "search_qqz.spi");
    Bstr searchPath = MakeBstr(search.Path());
    {
        SusieFolderValue value;
        value.Set(REG_SZ, std::string(viewer.Path().c_str(), viewer.Path().size() + 1));
        ComPtr<Manager> host = Tamrix::Make<Tamrix::TamrixHost>();
        ASSERT_FALSE(host->List().Plugins().empty());
        EXPECT_EQ(plugin, testenv::Narrow(host->List().Plugins().back().WidePath())) << "the viewer's folder is scanned";

        EXPECT_EQ(S_OK, host->Init(15, searchPath.get()));
        ASSERT_GE(host->List().Plugins().size(), 2u);
        EXPECT_EQ(search.PathOf("search_qqz.spi"), testenv::Narrow(host->List().Plugins().front().WidePath()));
        EXPECT_EQ(plugin, testenv::Narrow(host->List().Plugins().back().WidePath()));

        EXPECT_EQ(S_OK, host->Init(7, searchPath.get()));
        std::vector<std::string> paths = Paths(*host.get());
        EXPECT_EQ(0, std::count(paths.begin(), paths.end(), plugin)) << "without the flag";

        // A value stored without its NUL ends where it ends.
        value.Set(REG_BINARY, viewer.Path());
        EXPECT_EQ(S_OK, host->Init(15, nullptr));
        ASSERT_FALSE(host->List().Plugins().empty());
        EXPECT_EQ(plugin, testenv::Narrow(host->List().Plugins().back().WidePath()));

        // A value too long for the buffer is skipped, not cut: its first 255 bytes name
        // the same folder.
        std::string tooLong = viewer.Path() + "\\" + std::string(300, 'x');
        value.Set(REG_SZ, tooLong.substr(0, viewer.Path().size()) + '\0' + tooLong.substr(viewer.Path().size()));
        EXPECT_EQ(S_OK, host->Init(15, nullptr));
        paths = Paths(*host.get());
        EXPECT_EQ(0, std::count(paths.begin(), paths.end(), plugin));
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SPI::SUSIE_KEY_W, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        EXPECT_NE(ERROR_SUCCESS, RegQueryValueExA(key, "Path", nullptr, nullptr, nullptr, nullptr))
            << "the value was put back";
        RegCloseKey(key);
    }
}

// ---- The collection --------------------------------------------------------------------

using Collection = ManagerTest;

TEST_F(Collection, CountAndItemKeepTheirBoundsAndLoadOnDemand) {
    SpiFolder folder(Tag("items"));
    folder.Add("qqa");
    folder.Add("qqz");
    const std::vector<std::string> names = folder.Listed();
    ASSERT_EQ(2u, names.size());
    ComPtr<Manager> host = Host(15, folder);
    EXPECT_EQ(E_POINTER, host->get_Count(nullptr));
    LONG count = 0;
    ASSERT_EQ(S_OK, host->get_Count(&count));
    ASSERT_GE(count, 2);

    IDispatch* const untouched = reinterpret_cast<IDispatch*>(0x1234);
    for (LONG index : {0L, -1L, count + 1}) {
        IDispatch* item = untouched;
        EXPECT_EQ(E_INVALIDARG, host->get_Item(index, &item)) << index;
        EXPECT_EQ(untouched, item);
    }
    EXPECT_EQ(E_POINTER, host->get_Item(1, nullptr));

    EXPECT_FALSE(host->List().Plugins()[0].IsLoaded());
    ComPtr<IDispatch> first, again;
    ASSERT_EQ(S_OK, host->get_Item(1, first.put()));
    EXPECT_EQ(ABOUT.at(names[0]), AboutOf(first.get()));
    EXPECT_TRUE(host->List().Plugins()[0].IsLoaded()) << "loaded by Item, and it stays so";
    EXPECT_FALSE(host->List().Plugins()[1].IsLoaded());
    ASSERT_EQ(S_OK, host->get_Item(1, again.put()));
    EXPECT_NE(first.get(), again.get()) << "every call gives a new object";
    ComPtr<IDispatch> last;
    ASSERT_EQ(S_OK, host->get_Item(count, last.put()));
    ComPtr<ISusiePlugin> lastPlugin;
    ASSERT_EQ(S_OK, last.query(lastPlugin));
    EXPECT_EQ(host->List().Plugins().back().WidePath(),
              static_cast<Tamrix::SusiePlugin*>(lastPlugin.get())->Binding().WidePath());
    ComPtr<IDispatch> second;
    ASSERT_EQ(S_OK, host->get_Item(2, second.put()));
    EXPECT_EQ(ABOUT.at(names[1]), AboutOf(second.get()));

    // An enumeration loads whatever is left.
    ASSERT_EQ(S_OK, host->Init(15, MakeBstr(folder.Path()).get()));
    EXPECT_FALSE(host->List().Plugins()[0].IsLoaded());
    ComPtr<IUnknown> enumerator;
    EXPECT_EQ(E_POINTER, host->get__NewEnum(nullptr));
    ASSERT_EQ(S_OK, host->get__NewEnum(enumerator.put()));
    for (const SPI::SpiInterface& entry : host->List().Plugins()) EXPECT_TRUE(entry.IsLoaded());
}

TEST_F(Collection, AnEntryThatNoLongerLoadsGivesNoObject) {
    SpiFolder folder(Tag("gone"));
    const std::string path = folder.Add("qqa", "gone.spi");
    ComPtr<Manager> host = Host(15, folder);
    ASSERT_TRUE(DeleteFileA(path.c_str()));
    IDispatch* item = nullptr;
    EXPECT_EQ(E_FAIL, host->get_Item(1, &item));
    EXPECT_EQ(nullptr, item);
    EXPECT_FALSE(host->List().Plugins()[0].IsLoaded());
}

// ---- Enumeration -----------------------------------------------------------------------

using Enumeration = ManagerTest;

ComPtr<IEnumVARIANT> EnumeratorOf(ITamrixHost* host) {
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, host->get__NewEnum(unknown.put()));
    ComPtr<IEnumVARIANT> e;
    if (unknown) {
        EXPECT_EQ(S_OK, unknown.query(e));
    }
    return e;
}

TEST_F(Enumeration, NextComesInBatchesAndSkipResetAndCloneKeepTheirOwnPlace) {
    SpiFolder folder(Tag("enum"));
    folder.Add("qqa");
    folder.Add("qqz");
    const std::vector<std::string> names = folder.Listed();
    ComPtr<Manager> host = Host(15, folder);
    const ULONG count = static_cast<ULONG>(host->List().Plugins().size());
    ComPtr<IEnumVARIANT> e = EnumeratorOf(host.get());
    ASSERT_TRUE(e);
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(E_NOINTERFACE, e->QueryInterface(IID_IDispatch, dispatch.put_void()));

    VARIANT items[8];
    for (VARIANT& v : items) VariantInit(&v);
    ULONG fetched = 99;
    EXPECT_EQ(E_POINTER, e->Next(1, nullptr, &fetched));
    EXPECT_EQ(E_POINTER, e->Next(2, items, nullptr));
    EXPECT_EQ(S_OK, e->Next(1, items, nullptr)) << "one element needs no count";
    ASSERT_EQ(VT_DISPATCH, items[0].vt);
    EXPECT_EQ(ABOUT.at(names[0]), AboutOf(items[0].pdispVal));

    // One more asked for than is left: all that is left, and S_FALSE.
    EXPECT_EQ(S_FALSE, e->Next(count, items, &fetched));
    EXPECT_EQ(count - 1, fetched);
    ASSERT_EQ(VT_DISPATCH, items[0].vt);
    EXPECT_EQ(ABOUT.at(names[1]), AboutOf(items[0].pdispVal));
    EXPECT_EQ(S_FALSE, e->Next(1, items + 4, &fetched));
    EXPECT_EQ(0u, fetched);

    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ(S_OK, e->Skip(1));
    ComPtr<IEnumVARIANT> clone;
    EXPECT_EQ(E_POINTER, e->Clone(nullptr));
    ASSERT_EQ(S_OK, e->Clone(clone.put()));
    EXPECT_EQ(S_OK, clone->Next(1, items + 5, &fetched));
    EXPECT_EQ(ABOUT.at(names[1]), AboutOf(items[5].pdispVal)) << "the clone goes on from its source's place";
    EXPECT_EQ(S_OK, clone->Reset());
    EXPECT_EQ(S_OK, e->Next(1, items + 6, &fetched));
    EXPECT_EQ(ABOUT.at(names[1]), AboutOf(items[6].pdispVal)) << "resetting the clone left the source alone";
    EXPECT_EQ(S_FALSE, e->Skip(count));
    EXPECT_EQ(S_OK, clone->Skip(count));
    EXPECT_EQ(S_FALSE, clone->Skip(1));
    for (VARIANT& v : items) VariantClear(&v);
}

TEST_F(Enumeration, TheEnumeratorKeepsTheManagerAliveAndNeverReadsEntriesAnInitDestroyed) {
    SpiFolder folder(Tag("alive"));
    folder.Add("qqa");
    folder.Add("qqz");
    ComPtr<Manager> host = Host(15, folder);
    ITamrixHost* raw = host.get();
    const ULONG refs = RefCount(raw);
    ComPtr<IEnumVARIANT> e = EnumeratorOf(raw);
    ComPtr<IEnumVARIANT> clone;
    ASSERT_EQ(S_OK, e->Clone(clone.put()));
    EXPECT_EQ(refs + 2, RefCount(raw)) << "each enumerator holds the manager";

    EXPECT_EQ(S_OK, e->Skip(1));
    // The list is rebuilt empty under the open enumerators: they end, reading nothing.
    EXPECT_EQ(S_OK, raw->Init(1, nullptr));
    VARIANT item;
    VariantInit(&item);
    ULONG fetched = 99;
    EXPECT_EQ(S_FALSE, e->Next(1, &item, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(VT_EMPTY, item.vt);
    EXPECT_EQ(S_FALSE, clone->Skip(1));

    // Rebuilt again: the enumerator walks the new list, and outlives the client's reference.
    ASSERT_EQ(S_OK, raw->Init(15, MakeBstr(folder.Path()).get()));
    host.reset();
    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ(S_OK, e->Next(1, &item, &fetched));
    EXPECT_EQ(VT_DISPATCH, item.vt);
    VariantClear(&item);
    clone.reset();
    EXPECT_EQ(1u, RefCount(raw)) << "the last enumerator holds the only reference";
}

// ---- Plug-in objects ---------------------------------------------------------------------

using PluginObjects = ManagerTest;

TEST_F(PluginObjects, AHandedOutObjectOutlivesItsManagerAndAnInit) {
    SpiFolder folder(Tag("outlive"));
    const std::string path = folder.Add("qqa");
    ComPtr<Manager> host = Host(6, folder);
    ComPtr<ISusiePlugin> plugin = FirstPlugin(host.get());
    ASSERT_TRUE(plugin);

    const std::string picture = plugtest::WriteTemp("tamrix_outlive.qqa", plugtest::Bytes(plugtest::Qqa(7, 5, 24)));
    Variant src;
    plugtest::SetString(src, picture);
    auto width = [&] {
        PictureInfo info{};
        return plugin->GetPictureInfo(*src.get(), 0, &info) == S_OK ? info.width : -1;
    };
    EXPECT_EQ(7, width());
    EXPECT_EQ(S_OK, host->Init(1, nullptr)) << "the manager's entries are destroyed";
    EXPECT_TRUE(host->List().Plugins().empty());
    EXPECT_TRUE(Mapped(path));
    EXPECT_EQ(7, width());
    host.reset();
    EXPECT_EQ(7, width());
    plugin.reset();
    EXPECT_FALSE(Mapped(path)) << "the object's own reference was the last";
    DeleteFileA(picture.c_str());
}

// ---- Queries -----------------------------------------------------------------------------

using Queries = ManagerTest;

TEST_F(Queries, QuerySpiFromFileAsksInOrderAtTheOffsetAndOffersMissingFilesByName) {
    SpiFolder folder(Tag("query"));
    folder.Add("qqn");
    folder.Add("qqa");
    ComPtr<Manager> host = Host(15, folder);
    const std::string file = plugtest::WriteTemp("tamrix_query.bin", plugtest::Bytes(plugtest::Qqa(2, 2, 24)), 300);
    Bstr name = MakeBstr(file);

    EXPECT_EQ(E_POINTER, host->QuerySpiFromFile(name.get(), 300, nullptr));
    IDispatch* spi = reinterpret_cast<IDispatch*>(0x1234);
    EXPECT_EQ(E_FAIL, host->QuerySpiFromFile(name.get(), 0, &spi));
    EXPECT_EQ(nullptr, spi) << "set to null before anything else";
    ASSERT_EQ(S_OK, host->QuerySpiFromFile(name.get(), 300, &spi));
    EXPECT_EQ("QQA test plug-in", AboutOf(spi));
    spi->Release();

    // A name alone can be enough, and a null name reaches the plug-ins as null.
    Bstr missing = MakeBstr(folder.PathOf("missing picture.qqn"));
    ASSERT_EQ(S_OK, host->QuerySpiFromFile(missing.get(), 0, &spi));
    EXPECT_EQ("QQN test plug-in", AboutOf(spi));
    spi->Release();
    EXPECT_EQ(E_FAIL, host->QuerySpiFromFile(nullptr, 0, &spi));
    std::string asked;
    SpiCounters(folder.PathOf("qqa.spi")).IsSupportedCalls(&asked);
    EXPECT_EQ("<null>", asked);
    DeleteFileA(file.c_str());
}

TEST_F(Queries, QuerySpiTakesAnAddressOrAByteArrayAndNothingElse) {
    SpiFolder folder(Tag("memory"));
    folder.Add("qqa");
    ComPtr<Manager> host = Host(15, folder);
    const std::vector<BYTE> bytes = plugtest::Bytes(plugtest::Qqa(2, 2, 24));
    Bstr name = MakeBstr("named.qqa");
    IDispatch* spi = nullptr;

    Variant array;
    plugtest::SetArray(array, bytes);
    EXPECT_EQ(E_POINTER, host->QuerySpi(name.get(), *array.get(), nullptr));
    ASSERT_EQ(S_OK, host->QuerySpi(name.get(), *array.get(), &spi));
    EXPECT_EQ("QQA test plug-in", AboutOf(spi));
    spi->Release();
    EXPECT_EQ(0u, array->parray->cLocks) << "the array is unlocked again";
    std::string asked;
    SpiCounters(folder.PathOf("qqa.spi")).IsSupportedCalls(&asked);
    EXPECT_EQ("named.qqa", asked);

    VARIANT address;
    V_VT(&address) = VT_UI4;
    std::vector<BYTE> whole = bytes;
    whole.resize(SPI::HEADER_SIZE);
    V_UI4(&address) = static_cast<ULONG>(reinterpret_cast<UINT_PTR>(whole.data()));
    ASSERT_EQ(S_OK, host->QuerySpi(name.get(), address, &spi));
    spi->Release();
    V_UI4(&address) = 1234;  // no memory of ours, whose header no plug-in may read
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_ADDRESS), host->QuerySpi(name.get(), address, &spi));

    Variant text;
    plugtest::SetString(text, "named.qqa");
    VARIANT refArray;
    V_VT(&refArray) = VT_BYREF | VT_ARRAY | VT_UI1;
    V_ARRAYREF(&refArray) = &array->parray;
    VARIANT empty;
    VariantInit(&empty);
    for (const VARIANT& bad : {*text.get(), plugtest::RefTo(array.get()), refArray, empty}) {
        spi = reinterpret_cast<IDispatch*>(0x1234);
        EXPECT_EQ(E_INVALIDARG, host->QuerySpi(name.get(), bad, &spi)) << bad.vt;
        EXPECT_EQ(nullptr, spi);
    }
}

// ---- Picture objects ---------------------------------------------------------------------

using Pictures = ManagerTest;

// The picture's size in pixels, from its HIMETRIC size at the screen's resolution (which is
// what the system's picture object converted with).
SIZE PixelSize(IDispatch* picture) {
    ComPtr<IPicture> p;
    EXPECT_EQ(S_OK, picture->QueryInterface(IID_IPicture, p.put_void()));
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    if (p) {
        EXPECT_EQ(S_OK, p->get_Width(&width));
        EXPECT_EQ(S_OK, p->get_Height(&height));
        SHORT type = 0;
        EXPECT_EQ(S_OK, p->get_Type(&type));
        EXPECT_EQ(PICTYPE_BITMAP, type);
    }
    HDC screen = GetDC(nullptr);
    const int dpiX = GetDeviceCaps(screen, LOGPIXELSX), dpiY = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return SIZE{MulDiv(width, dpiX, 2540), MulDiv(height, dpiY, 2540)};
}

TEST_F(Pictures, GetPictureMakesAPictureObjectOfThePicturesSizeFromEverySource) {
    SpiFolder folder(Tag("pictures"));
    const std::string plugin = folder.Add("qqa");
    ComPtr<Manager> host = Host(15, folder);
    const struct {
        int32_t width, height;
        uint16_t bits;
        uint32_t clrUsed;
    } cases[] = {{37, 23, 24, 0}, {16, 9, 8, 0}, {5, -7, 8, 16}, {64, 48, 32, 0}, {9, 3, 1, 0}, {11, -6, 16, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.bits);
        const std::vector<BYTE> bytes = plugtest::Bytes(plugtest::Qqa(c.width, c.height, c.bits, c.clrUsed));
        const std::string file = plugtest::WriteTemp("tamrix_picture.qqa", bytes, 16);
        Variant name, array, address;
        plugtest::SetString(name, file);
        plugtest::SetArray(array, bytes);
        std::vector<BYTE> whole = bytes;
        whole.resize(SPI::HEADER_SIZE);
        V_VT(address.get()) = VT_I4;
        V_I4(address.get()) = static_cast<LONG>(reinterpret_cast<INT_PTR>(whole.data()));
        const struct {
            VARIANT* src;
            LONG offsetOrLength;
        } sources[] = {{name.get(), 16}, {array.get(), 104}, {address.get(), 104}};
        for (const auto& s : sources) {
            ComPtr<IDispatch> picture;
            ASSERT_EQ(S_OK, host->GetPicture(*s.src, s.offsetOrLength, picture.put())) << s.src->vt;
            ComPtr<IPictureDisp> disp;
            EXPECT_EQ(S_OK, picture.query(disp));
            const SIZE size = PixelSize(picture.get());
            EXPECT_EQ(c.width, size.cx);
            EXPECT_EQ(c.height < 0 ? -c.height : c.height, size.cy);
            EXPECT_EQ(0, SpiCounters(plugin).Outstanding());

            // The facts come from one GetPictureInfo call, nothing decoded, its text freed.
            const int before = SpiCounters(plugin).DataCalls();
            ComPtr<IDispatch> facts;
            ASSERT_EQ(S_OK, host->GetPictureProperties(*s.src, s.offsetOrLength, facts.put()));
            EXPECT_EQ(before + 1, SpiCounters(plugin).DataCalls()) << "no decoding";
            EXPECT_EQ(0, SpiCounters(plugin).Outstanding());
            EXPECT_EQ((std::vector<LONG>{c.width, c.height, c.bits}), plugtest::SizeAndDepth(facts.get()));
        }
        DeleteFileA(file.c_str());
    }
}

TEST_F(Pictures, FailuresLeaveTheOutPointerAsItWas) {
    cwd_.Add("qqz_greedy", "pictures_greedy.spi");
    SpiFolder folder(Tag("failures"));
    const std::string plugin = folder.Add("qqa");
    ComPtr<Manager> host = Host(14, folder);  // kept loaded, so its counters can be read
    Variant array;
    plugtest::SetArray(array, plugtest::Bytes(plugtest::Qqa(4, 4, 24)));
    EXPECT_EQ(E_POINTER, host->GetPicture(*array.get(), 104, nullptr));

    IDispatch* const untouched = reinterpret_cast<IDispatch*>(0x1234);
    IDispatch* picture = untouched;
    // Only an archive plug-in takes the data: no picture.
    auto& plugins = host->List().Plugins();
    plugins.erase(std::find_if(plugins.begin(), plugins.end(), [&](const SPI::SpiInterface& entry) {
        return testenv::Narrow(entry.WidePath()) == plugin;
    }));
    EXPECT_EQ(E_FAIL, host->GetPicture(*array.get(), 104, &picture));
    EXPECT_EQ(untouched, picture);
    IDispatch* spi = nullptr;
    ASSERT_EQ(S_OK, host->QuerySpi(nullptr, *array.get(), &spi)) << "the query gives that archive plug-in";
    EXPECT_EQ("QQZ test plug-in taking QQA1", AboutOf(spi));
    spi->Release();

    // With the picture plug-in after it, that one decodes; a byte array by reference is
    // unlocked after.
    host = Host(14, folder);
    VARIANT byRef = plugtest::RefTo(array.get());
    ComPtr<IDispatch> good;
    ASSERT_EQ(S_OK, host->GetPicture(byRef, 104, good.put()));
    EXPECT_EQ(0u, array->parray->cLocks);

    Variant empty;
    EXPECT_EQ(E_INVALIDARG, host->GetPicture(*empty.get(), 0, &picture));
    EXPECT_EQ(untouched, picture);
    testspi::QqaHeader shortPixels = plugtest::Qqa(64, 64, 24);
    shortPixels.pixelShortfall = 64 * 3 * 32;
    Variant refused;
    plugtest::SetArray(refused, plugtest::Bytes(shortPixels));
    EXPECT_EQ(E_FAIL, host->GetPicture(*refused.get(), 104, &picture)) << "more rows asked for than given";
    EXPECT_EQ(untouched, picture);
    EXPECT_EQ(0, SpiCounters(plugin).Outstanding());
}

// ---- The filter string -------------------------------------------------------------------

using FilterString = ManagerTest;

TEST_F(FilterString, GetFileFilterHandsOverTheWholeTextNulsIncluded) {
    cwd_.Add("qqa", "filter_string_qqa.spi");
    SpiFolder folder(Tag("archive"));
    folder.Add("qqz");
    ComPtr<Manager> host = Host(15, folder);
    host->List().Plugins().resize(2);  // whatever the system directory adds has texts of its own
    EXPECT_EQ(E_POINTER, host->GetFileFilter(0, nullptr));
    const std::wstring expected[] = {
        std::wstring(L"All images\0*.qqa;*.qqb;*.qqc;*.qqz\0QQA picture\0*.qqa\0QQB picture\0*.qqb;*.qqc\0"
                     L"QQZ archive\0*.qqz\0", 95),
        std::wstring(L"All images\0\0", 12),
    };
    for (LONG type : {0, 4}) {
        Bstr filter;
        ASSERT_EQ(S_OK, host->GetFileFilter(type, filter.put()));
        const std::wstring& want = expected[type == 0 ? 0 : 1];
        EXPECT_EQ(want.size(), SysStringLen(filter.get()));
        EXPECT_EQ(want, std::wstring(filter.get(), SysStringLen(filter.get())));
        EXPECT_EQ(L'\0', filter.get()[SysStringLen(filter.get())]) << "the string's own NUL follows";
    }
}

// ---- Late-bound, through the server ------------------------------------------------------

TEST_F(ManagerTest, LateBoundCallsReachTheRealMembersThroughTheNameTable) {
    SpiFolder folder(Tag("late"));
    folder.Add("qqa");
    folder.Add("qqz");
    const std::vector<std::string> names = folder.Listed();
    servertest::ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComPtr<IDispatch> host = dll.Create<IDispatch>(CLSID_TamrixHost);
    ASSERT_TRUE(host);
    auto invoke = [&](DISPID id, std::vector<VARIANT> args, VARIANT* result, UINT* argErr = nullptr) {
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        HRESULT hr = host->Invoke(id, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, result, nullptr,
                                  argErr);
        for (VARIANT& v : args) VariantClear(&v);
        return hr;
    };
    auto str = [](const std::string& s) {
        VARIANT v;
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = MakeBstr(s).release();
        return v;
    };
    auto i4 = [](LONG n) {
        VARIANT v;
        V_VT(&v) = VT_I4;
        V_I4(&v) = n;
        return v;
    };
    Variant result;
    ASSERT_EQ(S_OK, invoke(2, {str(folder.Path()), i4(7)}, result.get()));  // Init(7, folder)

    for (const wchar_t* spelling : {L"count", L"COUNT", L"Count", L"get_cOUNT"}) {
        std::wstring copy = spelling;
        LPOLESTR n[] = {copy.data()};
        DISPID id = -99;
        EXPECT_EQ(S_OK, host->GetIDsOfNames(IID_NULL, n, 1, 0, &id)) << copy;
        EXPECT_EQ(1, id);
    }
    result.clear();
    ASSERT_EQ(S_OK, invoke(1, {}, result.get()));
    ASSERT_EQ(VT_I4, result->vt);
    EXPECT_GE(result->lVal, 2);

    result.clear();
    ASSERT_EQ(S_OK, invoke(0, {str("2")}, result.get()));
    ASSERT_EQ(VT_DISPATCH, result->vt);
    EXPECT_EQ(ABOUT.at(names[1]), AboutOf(result->pdispVal));

    result.clear();
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, invoke(3, {str(folder.PathOf("qqa.spi"))}, result.get()));
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, invoke(0, {str("second")}, result.get(), &argErr));
    EXPECT_EQ(0u, argErr);
    EXPECT_EQ(VT_EMPTY, result->vt);
    argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, invoke(3, {str("not an offset"), str("a.qqa")}, result.get(), &argErr));
    EXPECT_EQ(0u, argErr);

    result.clear();
    ASSERT_EQ(S_OK, invoke(6, {i4(0)}, result.get()));
    ASSERT_EQ(VT_BSTR, result->vt);
    EXPECT_GE(SysStringLen(result->bstrVal), 95u) << "the length counts every NUL inside";
    EXPECT_EQ(std::wstring(L"All images"), result->bstrVal);
}

// ---- Calls back from inside a plug-in -------------------------------------------------

// A plug-in that runs the host's code while it is called (a dialog pumping messages, a
// callback) cannot unload itself through its object, nor make the manager drop the list
// it is being walked in: both answer HRESULT_FROM_WIN32(ERROR_BUSY), and both go on working.
TEST_F(ManagerTest, WhileAPluginRunsItIsNeitherUnloadedNorIsItsListDropped) {
    SpiFolder folder(Tag("reentry"));
    const std::string path = folder.Add("qqa");
    ComPtr<Manager> host = Host(6, folder);
    ComPtr<ISusiePlugin> plugin = FirstPlugin(host.get());
    ASSERT_TRUE(plugin);
    Bstr file = MakeBstr(path), none = MakeBstr("none.qqa");
    VARIANT_BOOL ok = VARIANT_FALSE;
    IDispatch* found = nullptr;
    using Run = std::function<HRESULT()>;
    const struct {
        const char* what;
        Run inside, call;
    } cases[] = {
        {"Free from a dialog", [&] { return plugin->Free(); }, [&] { return plugin->ConfigurationDlg(0, 1); }},
        {"Load from a dialog", [&] { return plugin->Load(file.get(), &ok); },
         [&] { return plugin->ConfigurationDlg(0, 1); }},
        {"Init from a selection walk", [&] { return host->Init(6, nullptr); },
         [&] { return host->QuerySpiFromFile(none.get(), 0, &found); }},
    };
    const size_t listed = host->List().Plugins().size();
    // The test's own reference keeps the code mapped whatever happens.
    HMODULE module = LoadLibraryA(path.c_str());
    auto arm = reinterpret_cast<void(WINAPI*)(int(WINAPI*)(LONG_PTR), LONG_PTR)>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "TestSetReentry")));
    ASSERT_NE(nullptr, arm);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        struct Inside {
            const Run* run;
            HRESULT hr = E_UNEXPECTED;
            static int WINAPI Call(LONG_PTR me) {
                auto* self = reinterpret_cast<Inside*>(me);
                self->hr = (*self->run)();
                return 0;
            }
        } inside{&c.inside};
        arm(&Inside::Call, reinterpret_cast<LONG_PTR>(&inside));
        c.call();
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BUSY), inside.hr);
        Bstr about;
        EXPECT_EQ(S_OK, plugin->get_About(about.put())) << "the object is still loaded";
        EXPECT_EQ(listed, host->List().Plugins().size()) << "the list is whole";
    }
    FreeLibrary(module);
}

}  // namespace
