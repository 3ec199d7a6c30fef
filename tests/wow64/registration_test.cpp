// The 32-bit server registered on a 64-bit system (a 32-bit program in the 64-bit prefix),
// every key read back in both registry views. Wine 8 starts a 32-bit surrogate by itself
// for a 64-bit client of a 32-bit in-process server, whatever the registry says; Windows
// needs what is checked here: so these reads, not a working 64-bit call, prove it.
// These tests change the prefix's registration, so they run alone, and leave the server
// registered again when they end.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "common/handles.h"
#include "common/registry_views.h"
#include "server/server_dll.h"

using servertest::ServerDll;
using Tamrix::UniqueRegKey;

namespace {

using namespace regviews;

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

const char* const RESULT_CLASSES[] = {"{60E73339-1611-46DB-A2D7-53C2F101D4D3}",
                                      "{19B72BC9-B6C0-41A9-823B-373993A6FFEB}",
                                      "{C6CF4A66-8FD6-4348-A8DF-AB9C9429E56B}"};
const auto& INTERFACES = regviews::CLIENT_INTERFACES;

// Value names; "" is the default value.
std::set<std::string> Values(REGSAM view, const std::string& path) {
    std::set<std::string> out;
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return out;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumValueA(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        out.insert(name);
    }
    return out;
}

void SetString(REGSAM view, const std::string& path, const std::string& data) {
    UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE | view,
                                             nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                            static_cast<DWORD>(data.size() + 1)));
}

void DeleteTree(REGSAM view, const std::string& path) {
    const size_t slash = path.rfind('\\');
    const std::string parentPath = slash == std::string::npos ? "" : path.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    UniqueRegKey parent;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, parentPath.c_str(), 0, KEY_ALL_ACCESS | view, parent.put()) == ERROR_SUCCESS)
        RegDeleteTreeA(parent.get(), leaf.c_str());
}

bool SameText(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}

void ExpectProgIds(REGSAM view, const ClassTree& t) {
    EXPECT_EQ(t.friendly, String(view, t.progId));
    EXPECT_EQ(t.clsid, String(view, t.progId + "\\CLSID"));
    EXPECT_EQ(t.friendly, String(view, t.viProgId));
    EXPECT_EQ(t.clsid, String(view, t.viProgId + "\\CLSID"));
    EXPECT_EQ(t.progId, String(view, t.viProgId + "\\CurVer"));
    EXPECT_EQ((std::set<std::string>{"CLSID"}), Subkeys(view, t.progId));
    EXPECT_EQ((std::set<std::string>{"CLSID", "CurVer"}), Subkeys(view, t.viProgId));
}

// The class key; the 32-bit view's names the library as its in-process server, the 64-bit
// view's has none (a 64-bit process cannot load it) and leads to the AppID instead.
void ExpectClassKey(REGSAM view, const ClassTree& t, const std::string& dllPath) {
    const std::string c = "CLSID\\" + t.clsid;
    EXPECT_EQ(t.friendly, String(view, c));
    EXPECT_EQ(LIB_ID, String(view, c, "AppID"));
    EXPECT_EQ(t.progId, String(view, c + "\\ProgID"));
    EXPECT_EQ(t.viProgId, String(view, c + "\\VersionIndependentProgID"));
    EXPECT_EQ(LIB_ID, String(view, c + "\\TypeLib"));
    EXPECT_TRUE(Values(view, c + "\\Programmable").empty());
    EXPECT_EQ((std::set<std::string>{"", "AppID"}), Values(view, c));
    std::set<std::string> subkeys{"ProgID", "Programmable", "TypeLib", "VersionIndependentProgID"};
    if (view == VIEW_32) {
        subkeys.insert("InprocServer32");
        const std::string server = String(view, c + "\\InprocServer32").value_or("");
        EXPECT_TRUE(SameText(dllPath, server)) << server;
        EXPECT_EQ("apartment", String(view, c + "\\InprocServer32", "ThreadingModel"));
    }
    EXPECT_EQ(subkeys, Subkeys(view, c));
}

// What the type-library marshaler of either bitness reads for one dual interface.
void ExpectInterfaceKey(REGSAM view, const Interface& i) {
    const std::string k = "Interface\\" + i.iid;
    EXPECT_EQ(i.name, String(view, k));
    EXPECT_EQ(TYPELIB_MARSHALER, String(view, k + "\\ProxyStubClsid"));
    EXPECT_EQ(TYPELIB_MARSHALER, String(view, k + "\\ProxyStubClsid32"));
    EXPECT_EQ(LIB_ID, String(view, k + "\\TypeLib"));
    EXPECT_EQ("1.0", String(view, k + "\\TypeLib", "Version"));
    EXPECT_EQ((std::set<std::string>{"ProxyStubClsid", "ProxyStubClsid32", "TypeLib"}), Subkeys(view, k));
}

void ExpectRegisteredInBothViews(const std::string& dllPath) {
    for (REGSAM view : VIEWS) {
        SCOPED_TRACE(ViewName(view));
        for (const ClassTree& t : TREES) {
            ExpectProgIds(view, t);
            ExpectClassKey(view, t, dllPath);
        }
        for (const char* clsid : RESULT_CLASSES) EXPECT_FALSE(KeyExists(view, std::string("CLSID\\") + clsid)) << clsid;
        const std::string appId = "AppID\\" + LIB_ID;
        EXPECT_EQ("Tamrix", String(view, appId));
        EXPECT_EQ("", String(view, appId, "DllSurrogate")) << "the system's own surrogate";
        EXPECT_EQ((std::set<std::string>{"", "DllSurrogate"}), Values(view, appId));
        for (const Interface& i : INTERFACES) ExpectInterfaceKey(view, i);
        const std::string lib = String(view, "TypeLib\\" + LIB_ID + "\\1.0\\0\\win32").value_or("");
        EXPECT_TRUE(SameText(dllPath, lib)) << "type library: " << lib;
    }
    EXPECT_EQ(LIB_ID, String(VIEW_32, "AppID\\Tamrix.DLL", "AppID"));
}

void ExpectNothingInEitherView() {
    for (REGSAM view : VIEWS) {
        SCOPED_TRACE(ViewName(view));
        for (const ClassTree& t : TREES) {
            EXPECT_FALSE(KeyExists(view, t.progId)) << t.progId;
            EXPECT_FALSE(KeyExists(view, t.viProgId)) << t.viProgId;
            EXPECT_FALSE(KeyExists(view, "CLSID\\" + t.clsid)) << t.clsid;
        }
        for (const Interface& i : INTERFACES) EXPECT_FALSE(KeyExists(view, "Interface\\" + i.iid)) << i.name;
        EXPECT_FALSE(KeyExists(view, "TypeLib\\" + LIB_ID));
        EXPECT_FALSE(KeyExists(view, "AppID\\" + LIB_ID));
        EXPECT_FALSE(KeyExists(view, "AppID\\Tamrix.DLL"));
        EXPECT_TRUE(KeyExists(view, "CLSID")) << "the key CLSID is never removed";
        EXPECT_TRUE(KeyExists(view, "AppID"));
    }
}

using testenv::RunProgram;

class Wow64Registration : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        BOOL wow64 = FALSE;
        ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64) && wow64) << "needs a 64-bit prefix";
    }
    static void TearDownTestSuite() {
        // Leave the prefix as the other tests expect it: registered.
        ServerDll dll;
        EXPECT_EQ(S_OK, dll.Register());
    }
};

TEST_F(Wow64Registration, RegisteringWritesBothViewsAndUnregisteringRemovesThem) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ASSERT_EQ(S_OK, dll.Unregister());
    ExpectNothingInEitherView();

    // Something stale in the 64-bit class key goes, as it does in the 32-bit one.
    SetString(VIEW_64, "CLSID\\" + PLUGIN.clsid + "\\Stale", "x");
    ASSERT_EQ(S_OK, dll.Register());
    ExpectRegisteredInBothViews(testenv::DllPath());
    ASSERT_EQ(S_OK, dll.Register()) << "registering again";
    ExpectRegisteredInBothViews(testenv::DllPath());

    EXPECT_EQ(S_OK, dll.Unregister());
    ExpectNothingInEitherView();
}

// Windows users run either regsvr32; the 64-bit one hands a 32-bit library to the 32-bit one.
TEST_F(Wow64Registration, EitherRegsvr32WritesAndRemovesBothViews) {
    const std::string dll = "\"" + testenv::DllPath() + "\"";
    const std::string regsvr32_64 = "C:\\windows\\sysnative\\regsvr32.exe /s ";  // seen from a 32-bit process
    const std::string regsvr32_32 = "C:\\windows\\syswow64\\regsvr32.exe /s ";
    EXPECT_EQ(0u, RunProgram(regsvr32_32 + dll));
    EXPECT_EQ(0u, RunProgram(regsvr32_32 + "/u " + dll));
    ExpectNothingInEitherView();
    EXPECT_EQ(0u, RunProgram(regsvr32_64 + dll));
    ExpectRegisteredInBothViews(testenv::DllPath());
    EXPECT_EQ(0u, RunProgram(regsvr32_64 + "/u " + dll));
    ExpectNothingInEitherView();
    EXPECT_EQ(0u, RunProgram(regsvr32_32 + dll));
    ExpectRegisteredInBothViews(testenv::DllPath());
}

// A 64-bit server of the same classes (Tamrix64.dll) registered in the 64-bit view owns its
// class key there: the 32-bit server's registration neither overwrites it nor removes it,
// and its removal keeps the ProgIDs and interface keys that the 64-bit server needs.
TEST_F(Wow64Registration, ARegistered64BitServerKeepsItsEntries) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ASSERT_EQ(S_OK, dll.Register());
    const std::string native = "C:\\tamrix64\\Tamrix64.dll";
    const std::string hostKey = "CLSID\\" + HOST.clsid;
    SetString(VIEW_64, hostKey + "\\InprocServer32", native);
    SetString(VIEW_64, "TypeLib\\" + LIB_ID + "\\1.0\\0\\win64", native);

    ASSERT_EQ(S_OK, dll.Register());
    EXPECT_EQ(native, String(VIEW_64, hostKey + "\\InprocServer32")) << "not overwritten";
    ExpectClassKey(VIEW_64, PLUGIN, testenv::DllPath());

    ASSERT_EQ(S_OK, dll.Unregister());
    EXPECT_EQ(native, String(VIEW_64, hostKey + "\\InprocServer32")) << "not removed";
    ExpectProgIds(VIEW_64, HOST);
    for (const Interface& i : INTERFACES) ExpectInterfaceKey(VIEW_64, i);
    EXPECT_FALSE(KeyExists(VIEW_64, "CLSID\\" + PLUGIN.clsid)) << "ours goes";
    EXPECT_FALSE(KeyExists(VIEW_64, PLUGIN.progId));
    for (REGSAM view : VIEWS) EXPECT_FALSE(KeyExists(view, "TypeLib\\" + LIB_ID + "\\1.0\\0\\win32")) << ViewName(view);
    EXPECT_FALSE(KeyExists(VIEW_32, hostKey)) << "the 32-bit view's class key goes";

    // Leave no trace of the stand-in.
    DeleteTree(VIEW_64, hostKey);
    DeleteTree(VIEW_64, HOST.progId);
    DeleteTree(VIEW_64, HOST.viProgId);
    DeleteTree(VIEW_64, "TypeLib\\" + LIB_ID);
    for (const Interface& i : INTERFACES) DeleteTree(VIEW_64, "Interface\\" + i.iid);
    ExpectNothingInEitherView();
}

}  // namespace
