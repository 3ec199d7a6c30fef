// The manager with names of any kind: discovery in folders the ANSI code page cannot name
// (from Init and from the viewer's registry value), the queries showing each plug-in the name
// as it can take it, and GetPicture with such names and with names longer than MAX_PATH. The
// letters beyond ASCII are chosen at run time against this machine's code pages.
#include <windows.h>
#include <olectl.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/spi_folder.h"
#include "common/wide_names.h"
#include "manager/tamrix_host.h"
#include "plugin_object/plugin_fixture.h"
#include "server/server_dll.h"

using plugtest::Bstr;
using plugtest::Variant;
using servertest::ComPtr;
using testenv::CurrentDirectory;
using testenv::DeepFolder;
using testenv::Extended;
using testenv::InCodePages;
using testenv::LetterInsideCodePages;
using testenv::LettersOutsideCodePages;
using testenv::SpiCounters;
using testenv::SpiFolder;
using testenv::TempDirW;
using testenv::ToAnsi;
using Manager = Tamrix::Object<Tamrix::TamrixHost>;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

std::string TestName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

Bstr BstrOf(const std::wstring& s) {
    return Bstr(SysAllocStringLen(s.data(), static_cast<UINT>(s.size())));
}

std::wstring AboutOf(IDispatch* object) {
    ComPtr<ISusiePlugin> plugin;
    if (!object || FAILED(object->QueryInterface(IID_ISusiePlugin, plugin.put_void()))) return L"<not a plug-in>";
    Bstr about;
    if (FAILED(plugin->get_About(about.put()))) return L"<no about>";
    return std::wstring(about.get(), SysStringLen(about.get()));
}

std::wstring LastWideName(const std::string& module) {
    using Fn = int(WINAPI*)(int*, int*, wchar_t*, int);
    HMODULE m = GetModuleHandleA(module.c_str());
    auto f = m ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(m, "TestWideCalls"))) : nullptr;
    wchar_t name[1024] = {};
    if (f) f(nullptr, nullptr, name, 1024);
    return f ? std::wstring(name) : L"<not loaded>";
}

const std::vector<BYTE> PICTURE = plugtest::Bytes(plugtest::Qqa(8, 5, 24));

class ManagerNames : public ::testing::Test {
protected:
    ManagerNames() : cwd_("names_cwd_" + TestName()), here_(cwd_.Path()) {}
    ~ManagerNames() override {
        for (const std::wstring& file : files_) DeleteFileW(Extended(file).c_str());
    }
    std::wstring Write(const std::wstring& name, const std::vector<BYTE>& data) {
        files_.push_back(TempDirW() + name);
        EXPECT_TRUE(testenv::WriteFileW(files_.back(), data));
        return files_.back();
    }
    // A manager whose list starts with copies of `spis`, in that order, from a folder of
    // their own; whatever the system directory adds comes after them.
    ComPtr<Manager> Host(LONG flags, const std::vector<std::string>& spis) {
        ComPtr<Manager> host = Tamrix::Make<Tamrix::TamrixHost>();
        EXPECT_EQ(S_OK, host->Init(flags, nullptr));
        std::vector<SPI::SpiInterface> list;
        for (const std::string& spi : spis) {
            SPI::SpiInterface entry(testenv::Wide(cwd_.Add(spi)));
            EXPECT_NE(0u, entry.Probe()) << spi;
            list.push_back(std::move(entry));
        }
        host->List().Plugins().insert(host->List().Plugins().begin(), std::make_move_iterator(list.begin()),
                               std::make_move_iterator(list.end()));
        return host;
    }
    std::string CopyOf(const std::string& spi) const { return cwd_.PathOf(spi + ".spi"); }

    SpiFolder cwd_;
    CurrentDirectory here_;
    std::vector<std::wstring> files_;
};

// ---- Discovery -------------------------------------------------------------------------

// The viewer's registry value for one test, as UTF-16 text; put back as it was afterwards.
class WideSusieFolderValue {
public:
    explicit WideSusieFolderValue(const std::wstring& folder) {
        std::wstring path;
        for (const wchar_t* part : {L"Software\\Velkarin", L"\\Susie", L"\\Plug-in"}) {
            path += part;
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS)
                RegCloseKey(key);
            else
                created_.push_back(path);
        }
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, SPI::SUSIE_KEY_W, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key_, nullptr));
        DWORD size = sizeof old_;
        hadValue_ = RegQueryValueExW(key_, L"Path", nullptr, &oldType_, old_, &size) == ERROR_SUCCESS;
        oldSize_ = size;
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                                                static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))));
    }
    WideSusieFolderValue(const WideSusieFolderValue&) = delete;
    WideSusieFolderValue& operator=(const WideSusieFolderValue&) = delete;
    ~WideSusieFolderValue() {
        if (hadValue_)
            RegSetValueExW(key_, L"Path", 0, oldType_, old_, oldSize_);
        else
            RegDeleteValueW(key_, L"Path");
        RegCloseKey(key_);
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) RegDeleteKeyW(HKEY_CURRENT_USER, it->c_str());
    }

private:
    HKEY key_ = nullptr;
    std::vector<std::wstring> created_;
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    BYTE old_[4096] = {};
    DWORD oldSize_ = 0;
};

TEST_F(ManagerNames, FoldersTheCodePageCannotNameAreScannedFromInitAndFromTheRegistry) {
    const std::wstring outside = LettersOutsideCodePages();
    if (outside.empty()) GTEST_SKIP() << "this machine's ANSI code page holds every candidate letter";
    DeepFolder folder(L"plugins_" + outside, 0);
    const std::wstring plugin = folder.PathOf(L"qqw_" + outside + L".spi");
    ASSERT_TRUE(CopyFileW(testenv::Wide(testenv::SpiPath("qqw")).c_str(), plugin.c_str(), FALSE));
    {
        ComPtr<Manager> host = Tamrix::Make<Tamrix::TamrixHost>();
        ASSERT_EQ(S_OK, host->Init(15, BstrOf(folder.Path()).get()));
        ASSERT_FALSE(host->List().Plugins().empty());
        EXPECT_EQ(plugin, host->List().Plugins()[0].WidePath());
        ComPtr<IDispatch> item;
        ASSERT_EQ(S_OK, host->get_Item(1, item.put())) << "the library loads by its UTF-16 path";
        EXPECT_EQ(L"QQW test plug-in, wide\u2026", AboutOf(item.get()));

        WideSusieFolderValue value(folder.Path());
        ASSERT_EQ(S_OK, host->Init(15, nullptr));
        ASSERT_FALSE(host->List().Plugins().empty());
        EXPECT_EQ(plugin, host->List().Plugins().back().WidePath()) << "the viewer's folder comes last";
        ASSERT_EQ(S_OK, host->Init(7, nullptr));
        for (const SPI::SpiInterface& entry : host->List().Plugins()) EXPECT_NE(plugin, entry.WidePath());
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(plugin.c_str()));
}

// ---- Queries ------------------------------------------------------------------------------

// Wine makes up a short name of ASCII letters for every existing file whose name is no 8.3
// name; Windows only on volumes that keep 8.3 names. A file that does not exist has none.
TEST_F(ManagerNames, TheQueriesShowEachPluginTheNameAsItCanTakeIt) {
    ComPtr<Manager> host = Host(15, {"qqn"});  // accepts by the name's ending, narrow entries only
    std::string seen;
    const std::wstring inside = LetterInsideCodePages();
    if (!inside.empty()) {
        const std::wstring file = Write(L"tamrix_query_" + inside + L".qqn", PICTURE);
        IDispatch* spi = nullptr;
        ASSERT_EQ(S_OK, host->QuerySpiFromFile(BstrOf(file).get(), 0, &spi));
        spi->Release();
        SpiCounters(CopyOf("qqn")).IsSupportedCalls(&seen);
        EXPECT_EQ(ToAnsi(file), seen) << "the name in the ANSI code page";
    }
    const std::wstring outside = LettersOutsideCodePages();
    if (outside.empty()) GTEST_SKIP() << "this machine's ANSI code page holds every candidate letter";

    const std::wstring file = Write(L"tamrix_query_" + outside + L".qqn", PICTURE);
    wchar_t shortName[MAX_PATH] = {};
    const DWORD n = GetShortPathNameW(file.c_str(), shortName, MAX_PATH);
    const bool hasShortName = n > 0 && n < MAX_PATH && InCodePages(std::wstring(shortName, n));
    IDispatch* spi = nullptr;
    const int callsBefore = SpiCounters(CopyOf("qqn")).IsSupportedCalls();
    const HRESULT hr = host->QuerySpiFromFile(BstrOf(file).get(), 0, &spi);
    if (hasShortName) {
        ASSERT_EQ(S_OK, hr) << "the short name keeps the ending";
        spi->Release();
        SpiCounters(CopyOf("qqn")).IsSupportedCalls(&seen);
        EXPECT_EQ(ToAnsi(std::wstring(shortName, n)), seen);
    } else {
        EXPECT_EQ(E_INVALIDARG, hr);
        EXPECT_EQ(callsBefore, SpiCounters(CopyOf("qqn")).IsSupportedCalls());
    }

    // No such file: no short name; the narrow plug-in is not asked, and the answer says why.
    const int before = SpiCounters(CopyOf("qqn")).IsSupportedCalls();
    Bstr missing = BstrOf(TempDirW() + L"tamrix_missing_" + outside + L".qqn");
    spi = reinterpret_cast<IDispatch*>(0x1234);
    EXPECT_EQ(E_INVALIDARG, host->QuerySpiFromFile(missing.get(), 0, &spi));
    EXPECT_EQ(nullptr, spi);
    Variant bytes;
    plugtest::SetArray(bytes, PICTURE);
    EXPECT_EQ(E_INVALIDARG, host->QuerySpi(missing.get(), *bytes.get(), &spi));
    Variant name;
    V_VT(name.get()) = VT_BSTR;
    V_BSTR(name.get()) = SysAllocString(missing.get());
    EXPECT_EQ(E_INVALIDARG, host->GetPicture(*name.get(), 0, &spi));
    EXPECT_EQ(before, SpiCounters(CopyOf("qqn")).IsSupportedCalls());

    // A wide plug-in takes the same name as it is.
    ComPtr<Manager> wide = Host(15, {"qqw"});  // the current directory's qqn comes after it
    const std::wstring qqa = Write(L"tamrix_query_" + outside + L".qqa", PICTURE);
    ASSERT_EQ(S_OK, wide->QuerySpiFromFile(BstrOf(qqa).get(), 0, &spi));
    EXPECT_EQ(L"QQW test plug-in, wide\u2026", AboutOf(spi));
    spi->Release();
    EXPECT_EQ(qqa, LastWideName(CopyOf("qqw")));
    EXPECT_EQ(S_OK, wide->QuerySpi(BstrOf(qqa).get(), *bytes.get(), &spi));
    spi->Release();
}

TEST_F(ManagerNames, TheFilterTakesTheTextsOfAWidePluginThroughItsWideEntry) {
    ComPtr<Manager> host = Host(15, {"qqw", "qqa"});
    host->List().Plugins().resize(2);  // whatever the system directory adds has texts of its own
    Bstr filter;
    ASSERT_EQ(S_OK, host->GetFileFilter(1, filter.put()));
    static const wchar_t TEXT[] = L"All images\0*.qqa;*.qqa;*.qqb;*.qqc\0QQA picture, wide\u2026\0*.qqa\0"
                                  L"QQA picture\0*.qqa\0QQB picture\0*.qqb;*.qqc\0";
    const std::wstring expected(TEXT, std::size(TEXT) - 1);
    EXPECT_EQ(expected, std::wstring(filter.get(), SysStringLen(filter.get())));
}

// ---- Pictures -------------------------------------------------------------------------------

TEST_F(ManagerNames, GetPictureTakesNamesOutsideTheCodePageAndLongerThanMaxPath) {
    ComPtr<Manager> host = Host(14, {"qqw"});
    DeepFolder deep(L"names_deep", MAX_PATH + 20);
    std::vector<std::wstring> names = {Extended(deep.PathOf(L"long.qqa"))};
    const std::wstring outside = LettersOutsideCodePages();
    if (!outside.empty()) names.push_back(Write(L"tamrix_picture_" + outside + L".qqa", PICTURE));
    for (const std::wstring& file : names) {
        SCOPED_TRACE(file.size());
        ASSERT_TRUE(testenv::WriteFileW(file, PICTURE));
        Variant src;
        V_VT(src.get()) = VT_BSTR;
        V_BSTR(src.get()) = BstrOf(file).release();
        ComPtr<IDispatch> picture;
        ASSERT_EQ(S_OK, host->GetPicture(*src.get(), 0, picture.put()));
        ComPtr<IPicture> p;
        EXPECT_EQ(S_OK, picture.query(p));
        EXPECT_EQ(file, LastWideName(CopyOf("qqw"))) << "as the caller gave it";
    }
    if (outside.empty()) GTEST_SKIP() << "this machine's ANSI code page holds every candidate letter";
}

}  // namespace
