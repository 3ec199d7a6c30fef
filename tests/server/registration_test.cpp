// Self-registration read back from the registry: every key and value the server writes,
// what re-registration replaces, what unregistration leaves, and the type library.
// These tests change the prefix's registration, so they run alone, and leave the server
// registered again when they end.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/wide_names.h"
#include "server/server_dll.h"

using servertest::ComPtr;
using servertest::ServerDll;
using Tamrix::UniqueRegKey;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

const std::string LIB_ID = "{ECFF1D29-6CE3-483F-B423-45789DC49236}";

struct ClassTree {
    std::string progId, viProgId, clsid, friendly;
};
const ClassTree TREES[] = {
    {"Tamrix.SusiePlugin.1", "Tamrix.SusiePlugin", "{CAA01FE7-8699-457F-AB09-894187AA53C2}", "SusiePlugin Object"},
    {"Tamrix.TamrixHost.1", "Tamrix.TamrixHost", "{B7F035D6-D0AB-4A38-AE8B-FACC351E7C33}", "TamrixHost Object"},
};
const char* const RESULT_CLASSES[] = {"{60E73339-1611-46DB-A2D7-53C2F101D4D3}",
                                      "{19B72BC9-B6C0-41A9-823B-373993A6FFEB}",
                                      "{C6CF4A66-8FD6-4348-A8DF-AB9C9429E56B}"};

bool KeyExists(const std::string& path) {
    UniqueRegKey key;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A string value, checked to be REG_SZ with its terminating NUL counted.
std::optional<std::string> String(const std::string& path, const char* name = nullptr) {
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return {};
    char data[1024];
    DWORD type = 0, size = sizeof data;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        return {};
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type) << path << " " << (name ? name : "(default)");
    EXPECT_TRUE(size > 0 && data[size - 1] == '\0' && strlen(data) + 1 == size) << path;
    return std::string(data);
}

std::set<std::string> Subkeys(const std::string& path) {
    std::set<std::string> out;
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return out;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        out.insert(name);
    }
    return out;
}

// Value names; "" is the default value.
std::set<std::string> Values(const std::string& path) {
    std::set<std::string> out;
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return out;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumValueA(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        out.insert(name);
    }
    return out;
}

// A string value read as UTF-16, as the system's COM runtime reads it.
std::optional<std::wstring> WideString(const std::string& path, const wchar_t* name = nullptr) {
    wchar_t data[1024];
    DWORD size = sizeof data;
    if (RegGetValueW(HKEY_CLASSES_ROOT, testenv::Wide(path).c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
        ERROR_SUCCESS)
        return {};
    return std::wstring(data);
}

bool SameWideText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

void MakeKey(const std::string& path) {
    UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                             key.put(), nullptr));
    const char data[] = "foreign";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "Owner", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data));
}

void DeleteTree(const std::string& path) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
}

bool SameText(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}

std::string TypeLibPath() {
    return String("TypeLib\\" + LIB_ID + "\\1.0\\0\\win32").value_or("");
}

// Every entry of both class trees and the application identifier, nothing more.
void ExpectRegistered(const std::string& dllPath) {
    SCOPED_TRACE("registered by " + dllPath);
    for (const ClassTree& t : TREES) {
        const std::string c = "CLSID\\" + t.clsid;
        EXPECT_EQ(t.friendly, String(t.progId));
        EXPECT_EQ(t.clsid, String(t.progId + "\\CLSID"));
        EXPECT_EQ(t.friendly, String(t.viProgId));
        EXPECT_EQ(t.clsid, String(t.viProgId + "\\CLSID"));
        EXPECT_EQ(t.progId, String(t.viProgId + "\\CurVer"));
        EXPECT_EQ(t.friendly, String(c));
        EXPECT_EQ(LIB_ID, String(c, "AppID"));
        EXPECT_EQ(t.progId, String(c + "\\ProgID"));
        EXPECT_EQ(t.viProgId, String(c + "\\VersionIndependentProgID"));
        EXPECT_TRUE(SameText(dllPath, String(c + "\\InprocServer32").value_or(""))) << String(c + "\\InprocServer32").value_or("");
        EXPECT_EQ("apartment", String(c + "\\InprocServer32", "ThreadingModel"));
        EXPECT_EQ(LIB_ID, String(c + "\\TypeLib"));

        EXPECT_EQ((std::set<std::string>{"CLSID"}), Subkeys(t.progId));
        EXPECT_EQ((std::set<std::string>{"CLSID", "CurVer"}), Subkeys(t.viProgId));
        EXPECT_EQ((std::set<std::string>{"InprocServer32", "ProgID", "Programmable", "TypeLib",
                                         "VersionIndependentProgID"}),
                  Subkeys(c));
        EXPECT_EQ((std::set<std::string>{"", "AppID"}), Values(c));
        EXPECT_EQ((std::set<std::string>{"", "ThreadingModel"}), Values(c + "\\InprocServer32"));
        EXPECT_TRUE(Values(c + "\\Programmable").empty());
        EXPECT_TRUE(Subkeys(c + "\\Programmable").empty());
    }
    for (const char* clsid : RESULT_CLASSES) EXPECT_FALSE(KeyExists(std::string("CLSID\\") + clsid)) << clsid;
    EXPECT_EQ("Tamrix", String("AppID\\" + LIB_ID));
    EXPECT_EQ(LIB_ID, String("AppID\\Tamrix.DLL", "AppID"));
    EXPECT_FALSE(TypeLibPath().empty()) << "type library registered";
}

void ExpectClassTreesGone() {
    for (const ClassTree& t : TREES) {
        EXPECT_FALSE(KeyExists(t.progId)) << t.progId;
        EXPECT_FALSE(KeyExists(t.viProgId)) << t.viProgId;
        EXPECT_FALSE(KeyExists("CLSID\\" + t.clsid)) << t.clsid;
    }
    EXPECT_TRUE(KeyExists("CLSID")) << "the key CLSID is never removed";
}

using testenv::RunProgram;

class Registration : public ::testing::Test {
protected:
    static void TearDownTestSuite() {
        // Leave the prefix as the other tests expect it: registered.
        DeleteTree("AppID\\Tamrix.DLL\\Foreign");
        DeleteTree("Tamrix.SusiePlugin\\Foreign");
        ServerDll dll;
        EXPECT_EQ(S_OK, dll.Register());
    }
};

TEST_F(Registration, Regsvr32WritesAndRemovesEveryEntry) {
    const std::string dll = testenv::DllPath();
    EXPECT_EQ(0u, RunProgram("regsvr32.exe /s /u \"" + dll + "\""));
    ExpectClassTreesGone();
    EXPECT_FALSE(KeyExists("AppID\\" + LIB_ID));
    EXPECT_FALSE(KeyExists("AppID\\Tamrix.DLL"));
    EXPECT_TRUE(KeyExists("AppID"));
    EXPECT_TRUE(TypeLibPath().empty());

    EXPECT_EQ(0u, RunProgram("regsvr32.exe /s \"" + dll + "\""));
    ExpectRegistered(dll);
    EXPECT_TRUE(SameText(dll, TypeLibPath())) << TypeLibPath();
}

TEST_F(Registration, ReregisteringRewritesTheClassKeyAndKeepsTheCallersLocale) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    const std::string c = "CLSID\\" + TREES[0].clsid;
    MakeKey(c + "\\Stale");
    MakeKey(c + "\\Programmable\\Stale");
    MakeKey("Tamrix.SusiePlugin\\Foreign");

    const LCID japanese = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT);
    const LCID before = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(japanese));
    EXPECT_EQ(S_OK, dll.Register());
    EXPECT_EQ(japanese, GetThreadLocale());
    SetThreadLocale(before);

    EXPECT_FALSE(KeyExists(c + "\\Stale")) << "the class key is deleted before it is written";
    EXPECT_FALSE(KeyExists(c + "\\Programmable\\Stale"));
    EXPECT_TRUE(KeyExists("Tamrix.SusiePlugin\\Foreign")) << "ProgID keys are only opened and overwritten";
    DeleteTree("Tamrix.SusiePlugin\\Foreign");
    ExpectRegistered(testenv::DllPath());
}

TEST_F(Registration, UnregisteringLeavesForeignAppIdSubkeys) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    MakeKey("AppID\\Tamrix.DLL\\Foreign");
    MakeKey("CLSID\\" + TREES[1].clsid + "\\Stale");

    const LCID japanese = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT);
    const LCID before = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(japanese));
    EXPECT_EQ(S_OK, dll.Unregister());
    EXPECT_EQ(japanese, GetThreadLocale());
    SetThreadLocale(before);

    ExpectClassTreesGone();
    EXPECT_TRUE(TypeLibPath().empty());
    EXPECT_FALSE(KeyExists("AppID\\" + LIB_ID));
    EXPECT_TRUE(KeyExists("AppID\\Tamrix.DLL")) << "kept alive by its foreign subkey";
    EXPECT_FALSE(String("AppID\\Tamrix.DLL", "AppID").has_value()) << "our value is gone";
    EXPECT_TRUE(KeyExists("AppID\\Tamrix.DLL\\Foreign"));

    // Without the registration the name-table class still describes itself from the
    // library file, while the type-library dispatch and the class description fail.
    ComPtr<IDispatch> host = dll.Create<IDispatch>(CLSID_TamrixHost);
    ComPtr<IDispatch> plugin = dll.Create<IDispatch>(CLSID_SusiePlugin);
    ASSERT_TRUE(host && plugin);
    UINT count = 0;
    EXPECT_EQ(S_OK, host->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    wchar_t name[] = L"Free";
    LPOLESTR names[] = {name};
    DISPID id = 0;
    EXPECT_TRUE(FAILED(plugin->GetIDsOfNames(IID_NULL, names, 1, 0, &id)));
    ComPtr<IProvideClassInfo> pci;
    ASSERT_EQ(S_OK, plugin->QueryInterface(IID_IProvideClassInfo, pci.put_void()));
    ComPtr<ITypeInfo> info;
    EXPECT_TRUE(FAILED(pci->GetClassInfo(info.put())));

    DeleteTree("AppID\\Tamrix.DLL\\Foreign");
    EXPECT_EQ(S_OK, dll.Register());
    ExpectRegistered(testenv::DllPath());
}

TEST_F(Registration, UnregisteringStopsWhenTheTypeLibraryIsNotRegistered) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ASSERT_EQ(S_OK, dll.Register());
    GUID libId{};
    ASSERT_EQ(S_OK, CLSIDFromString(testenv::Wide(LIB_ID).c_str(), &libId));
    ASSERT_EQ(S_OK, UnRegisterTypeLib(libId, 1, 0, 0, SYS_WIN32));

    EXPECT_TRUE(FAILED(dll.Unregister()));
    ExpectClassTreesGone();
    EXPECT_EQ("Tamrix", String("AppID\\" + LIB_ID)) << "the application identifier goes only last";
    EXPECT_EQ(LIB_ID, String("AppID\\Tamrix.DLL", "AppID"));

    EXPECT_EQ(S_OK, dll.Register());
    ExpectRegistered(testenv::DllPath());
}

// The library file without its embedded type library, a ".tlb" file beside it.
TEST_F(Registration, TypeLibraryFallsBackToTheTlbFileBesideTheLibrary) {
    const std::string copy = testenv::WinPath(testenv::Env("TAMRIX_NO_TLB_DLL"));
    const std::string tlb = copy.substr(0, copy.rfind('.')) + ".tlb";
    ComPtr<ITypeLib> probe;
    ASSERT_TRUE(FAILED(LoadTypeLib(testenv::Wide(copy).c_str(), probe.put()))) << "the file holds no library";
    DeleteFileA(tlb.c_str());

    {
        ServerDll dll(copy);
        ASSERT_TRUE(dll.Loaded());
        const LCID japanese = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT);
        const LCID before = GetThreadLocale();
        ASSERT_TRUE(SetThreadLocale(japanese));
        EXPECT_TRUE(FAILED(dll.Register())) << "no library anywhere";
        EXPECT_EQ(japanese, GetThreadLocale()) << "restored on the failure path too";
        SetThreadLocale(before);

        ASSERT_TRUE(CopyFileA(testenv::WinPath(testenv::Env("TAMRIX_TLB")).c_str(), tlb.c_str(), FALSE));
        EXPECT_EQ(S_OK, dll.Register());
        EXPECT_TRUE(SameText(tlb, TypeLibPath())) << TypeLibPath();
        ExpectRegistered(copy);
    }
    ServerDll real;
    EXPECT_EQ(S_OK, real.Register());
    EXPECT_TRUE(SameText(testenv::DllPath(), TypeLibPath()));
}

// A server installed in a folder whose name the ANSI code page cannot hold registers its
// whole name, and clients reach it by that name.
TEST_F(Registration, AServerInAFolderOutsideTheCodePageRegistersItsWholeName) {
    const std::wstring letters = testenv::LettersOutsideCodePages();
    if (letters.empty()) GTEST_SKIP() << "the ANSI code page holds every candidate letter";
    const std::wstring folder =
        testenv::TempDirW() + L"tamrix_reg_" + letters + L"_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring copy = folder + L"\\Tamrix.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    struct Cleanup {
        const std::wstring &file, &folder;
        ~Cleanup() {
            DeleteFileW(file.c_str());
            RemoveDirectoryW(folder.c_str());
        }
    } cleanup{copy, folder};
    ASSERT_TRUE(CopyFileW(testenv::Wide(testenv::DllPath()).c_str(), copy.c_str(), FALSE));
    {
        ServerDll dll(copy);
        ASSERT_TRUE(dll.Loaded());
        ASSERT_EQ(S_OK, dll.Register());
        for (const ClassTree& t : TREES) {
            const std::wstring server = WideString("CLSID\\" + t.clsid + "\\InprocServer32").value_or(L"");
            EXPECT_TRUE(SameWideText(copy, server)) << t.clsid;
        }
        EXPECT_TRUE(SameWideText(copy, WideString("TypeLib\\" + LIB_ID + "\\1.0\\0\\win32").value_or(L"")));
        // The name-table class reads its description from the file it was loaded from.
        ComPtr<IDispatch> host = dll.Create<IDispatch>(CLSID_TamrixHost);
        ASSERT_TRUE(host);
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(S_OK, host->GetTypeInfo(0, 0, info.put()));
    }
    {
        ComPtr<IDispatch> host;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TamrixHost, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                         host.put_void()));
        HMODULE server = nullptr;
        ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                       *reinterpret_cast<LPCWSTR*>(host.get()), &server));
        wchar_t name[MAX_PATH];
        const DWORD n = GetModuleFileNameW(server, name, MAX_PATH);
        EXPECT_TRUE(SameWideText(copy, std::wstring(name, n))) << "the object comes from the copy";
    }
    CoFreeUnusedLibrariesEx(0, 0);
    {
        ServerDll dll(copy);
        ASSERT_TRUE(dll.Loaded());
        EXPECT_EQ(S_OK, dll.Unregister());
    }
    ExpectClassTreesGone();
    EXPECT_TRUE(TypeLibPath().empty());
}

// Every key and value of the server's registration below `root`'s "Software\Classes", as
// "key|value=data" lines: the class trees, the AppID, the type library, its interfaces.
std::set<std::string> RegisteredBelow(HKEY root) {
    std::set<std::string> out;
    auto walk = [&](auto& self, const std::string& path) -> void {
        UniqueRegKey key;
        if (RegOpenKeyExA(root, ("Software\\Classes\\" + path).c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return;
        char name[256], data[1024];
        for (DWORD i = 0;; ++i) {
            DWORD size = sizeof name, dataSize = sizeof data;
            if (RegEnumValueA(key.get(), i, name, &size, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                              &dataSize) != ERROR_SUCCESS)
                break;
            out.insert(path + "|" + name + "=" + std::string(data, dataSize));
        }
        out.insert(path);
        for (const std::string& sub : [&] {
                 std::vector<std::string> subs;
                 for (DWORD i = 0;; ++i) {
                     DWORD size = sizeof name;
                     if (RegEnumKeyExA(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                         return subs;
                     subs.push_back(name);
                 }
             }())
            self(self, path + "\\" + sub);
    };
    for (const ClassTree& t : TREES)
        for (const std::string& k : {t.progId, t.viProgId, "CLSID\\" + t.clsid}) walk(walk, k);
    for (const std::string& k : {"AppID\\" + LIB_ID, std::string("AppID\\Tamrix.DLL"), "TypeLib\\" + LIB_ID}) walk(walk, k);
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(S_OK, LoadTypeLib(testenv::Wide(testenv::DllPath()).c_str(), lib.put()));
    for (UINT i = 0; lib && i < lib->GetTypeInfoCount(); ++i) {
        ComPtr<ITypeInfo> info;
        TYPEATTR* attr = nullptr;
        if (FAILED(lib->GetTypeInfo(i, info.put())) || FAILED(info->GetTypeAttr(&attr))) continue;
        wchar_t iid[39];
        StringFromGUID2(attr->guid, iid, 39);
        info->ReleaseTypeAttr(attr);
        walk(walk, "Interface\\" + testenv::Narrow(iid));
    }
    return out;
}

// regsvr32 /n /i:user writes below the user's classes what the machine-wide registration
// writes below the machine's, nothing there; either way's unregistration removes both, and
// a machine-wide registration replaces the registering user's own.
TEST_F(Registration, PerUserRegistrationMirrorsTheMachinesAndEitherUnregistrationRemovesBoth) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    using InstallFn = HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR);
    const auto install = reinterpret_cast<InstallFn>(reinterpret_cast<void*>(GetProcAddress(dll.Module(), "DllInstall")));
    ASSERT_TRUE(install);
    EXPECT_EQ(E_INVALIDARG, install(TRUE, L"everyone"));
    EXPECT_EQ(S_OK, install(TRUE, L"Machine"));
    const std::set<std::string> machine = RegisteredBelow(HKEY_LOCAL_MACHINE);
    EXPECT_GT(machine.size(), 40u);
    EXPECT_EQ(S_OK, install(FALSE, nullptr));
    ASSERT_TRUE(RegisteredBelow(HKEY_LOCAL_MACHINE).empty());

    struct Case {
        const wchar_t *first, *then;  // DllInstall's text; null: DllRegisterServer, DllUnregisterServer
        bool registers, machineLeft, userLeft;
    };
    const Case cases[] = {
        {L"user", nullptr, false, false, false},       {L"user", L"machine", false, false, false},
        {nullptr, L"user", false, false, false},      {L"user", L"user", false, false, false},
        {L"user", nullptr, true, true, false},        {nullptr, L"user", true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.first ? testenv::Narrow(c.first) : "machine") << " then "
                                        << (c.registers ? "registering " : "unregistering ")
                                        << (c.then ? testenv::Narrow(c.then) : "machine"));
        EXPECT_EQ(S_OK, c.first ? install(TRUE, c.first) : dll.Register());
        EXPECT_EQ(c.first ? std::set<std::string>{} : machine, RegisteredBelow(HKEY_LOCAL_MACHINE));
        if (c.first) {
            EXPECT_EQ(machine, RegisteredBelow(HKEY_CURRENT_USER)) << "the same rows for the user";
        }
        const HRESULT hr = c.registers ? (c.then ? install(TRUE, c.then) : dll.Register())
                                       : (c.then ? install(FALSE, c.then) : dll.Unregister());
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(c.machineLeft ? machine : std::set<std::string>{}, RegisteredBelow(HKEY_LOCAL_MACHINE));
        EXPECT_EQ(c.userLeft ? machine : std::set<std::string>{}, RegisteredBelow(HKEY_CURRENT_USER));
        install(FALSE, L"user");
    }
}

}  // namespace
