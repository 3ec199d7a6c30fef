// Both servers registered on a 64-bit system, every key read back in both registry views:
// Tamrix64.dll (in process for 64-bit clients, registered by the 64-bit regsvr32 or its
// own DllRegisterServer) and Tamrix.dll (for 32-bit clients, and for 64-bit clients of
// 32-bit plug-ins through the DLL surrogate, registered by the 32-bit regsvr32), in either
// order, each removed while the other stays. The tests change the prefix's registration, so
// they run alone and leave both servers registered again.
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
#include "common/registry_views.h"
#include "server/server_dll.h"

using servertest::ComPtr;
using servertest::ServerDll;
using Tamrix::UniqueRegKey;

namespace {

using namespace regviews;

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

const std::string& MARSHALER = TYPELIB_MARSHALER;
// Every interface of the library, the hidden one the 64-bit manager asks 32-bit plug-ins
// through included.
const std::vector<Interface> INTERFACES = [] {
    std::vector<Interface> all(std::begin(CLIENT_INTERFACES), std::end(CLIENT_INTERFACES));
    all.push_back({"{4A7FC4FB-1CAC-4AA9-AB11-459F25606A8C}", "ISusiePluginRemote"});
    return all;
}();

bool SameText(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}

std::string Dll64() {
    return testenv::DllPath();
}
std::string Dll32() {
    return testenv::WinPath(testenv::Env("TAMRIX_DLL32"));
}

// The 32-bit server by the 32-bit regsvr32, as a Windows user registers it.
DWORD Regsvr32For32Bit(bool reg) {
    return testenv::RunProgram(std::string("C:\\windows\\syswow64\\regsvr32.exe /s ") + (reg ? "" : "/u ") + "\"" + Dll32() + "\"");
}
DWORD Regsvr32For64Bit(bool reg) {
    return testenv::RunProgram(std::string("C:\\windows\\system32\\regsvr32.exe /s ") + (reg ? "" : "/u ") + "\"" + Dll64() + "\"");
}

// ProgIDs are one key for both views on Windows. A 64-bit process reads them in its own view
// here: asked for the 32-bit view, Wine answers from a copy of its own that the 32-bit
// regsvr32 does not write (the 32-bit test in tests/wow64 reads them as 32-bit clients do).
void ExpectProgIds(REGSAM view, const ClassTree& t) {
    EXPECT_EQ(t.friendly, String(view, t.progId));
    EXPECT_EQ(t.clsid, String(view, t.progId + "\\CLSID"));
    EXPECT_EQ(t.clsid, String(view, t.viProgId + "\\CLSID"));
    EXPECT_EQ(t.progId, String(view, t.viProgId + "\\CurVer"));
}

// A class key: naming `server` as its in-process server, or none (reached through the AppID).
void ExpectClassKey(REGSAM view, const ClassTree& t, const std::string& server) {
    const std::string c = "CLSID\\" + t.clsid;
    EXPECT_EQ(t.friendly, String(view, c));
    EXPECT_EQ(LIB_ID, String(view, c, "AppID"));
    EXPECT_EQ(t.progId, String(view, c + "\\ProgID"));
    EXPECT_EQ(LIB_ID, String(view, c + "\\TypeLib"));
    std::set<std::string> subkeys{"ProgID", "Programmable", "TypeLib", "VersionIndependentProgID"};
    if (!server.empty()) {
        subkeys.insert("InprocServer32");
        const std::string named = String(view, c + "\\InprocServer32").value_or("");
        EXPECT_TRUE(SameText(server, named)) << named;
        EXPECT_EQ("apartment", String(view, c + "\\InprocServer32", "ThreadingModel"));
    }
    EXPECT_EQ(subkeys, Subkeys(view, c));
}

void ExpectInterfaceKeys(REGSAM view) {
    for (const Interface& i : INTERFACES) {
        SCOPED_TRACE(i.name);
        const std::string k = "Interface\\" + i.iid;
        EXPECT_EQ(i.name, String(view, k));
        EXPECT_EQ(MARSHALER, String(view, k + "\\ProxyStubClsid32"));
        EXPECT_EQ(LIB_ID, String(view, k + "\\TypeLib"));
        EXPECT_EQ("1.0", String(view, k + "\\TypeLib", "Version"));
    }
}

void ExpectTypeLib(const char* platform, const std::string& dll) {
    for (REGSAM view : VIEWS) {  // one key that both views share
        const std::string path = String(view, "TypeLib\\" + LIB_ID + "\\1.0\\0\\" + platform).value_or("");
        EXPECT_TRUE(SameText(dll, path)) << ViewName(view) << " " << platform << ": " << path;
    }
}

// Tamrix64.dll's own entries: all in the 64-bit view, or in keys both views share.
void Expect64BitServer() {
    SCOPED_TRACE("Tamrix64.dll registered");
    for (const ClassTree& t : TREES) {
        ExpectProgIds(VIEW_64, t);
        ExpectClassKey(VIEW_64, t, Dll64());
    }
    ExpectInterfaceKeys(VIEW_64);
    ExpectTypeLib("win64", Dll64());
    EXPECT_EQ("Tamrix", String(VIEW_64, "AppID\\" + LIB_ID));
    EXPECT_EQ(LIB_ID, String(VIEW_64, "AppID\\Tamrix64.DLL", "AppID"));
}

// What the 32-bit server's registration keeps in the 64-bit view for 64-bit clients, beside
// its own 32-bit view entries.
void Expect32BitServer(bool native64) {
    SCOPED_TRACE(native64 ? "Tamrix.dll registered beside Tamrix64.dll" : "Tamrix.dll registered alone");
    for (const ClassTree& t : TREES) {
        ExpectProgIds(VIEW_64, t);
        ExpectClassKey(VIEW_32, t, Dll32());
        if (!native64) ExpectClassKey(VIEW_64, t, "");
    }
    ExpectInterfaceKeys(VIEW_32);
    ExpectInterfaceKeys(VIEW_64);
    ExpectTypeLib("win32", Dll32());
    for (REGSAM view : VIEWS) {
        EXPECT_EQ("", String(view, "AppID\\" + LIB_ID, "DllSurrogate")) << ViewName(view);
    }
    EXPECT_EQ(LIB_ID, String(VIEW_32, "AppID\\Tamrix.DLL", "AppID"));
}

void ExpectNeither() {
    for (REGSAM view : VIEWS) {
        SCOPED_TRACE(ViewName(view));
        for (const ClassTree& t : TREES) {
            EXPECT_FALSE(KeyExists(view, t.progId));
            EXPECT_FALSE(KeyExists(view, t.viProgId));
            EXPECT_FALSE(KeyExists(view, "CLSID\\" + t.clsid));
        }
        for (const Interface& i : INTERFACES) EXPECT_FALSE(KeyExists(view, "Interface\\" + i.iid)) << i.name;
        EXPECT_FALSE(KeyExists(view, "TypeLib\\" + LIB_ID));
        EXPECT_FALSE(KeyExists(view, "AppID\\" + LIB_ID));
        EXPECT_FALSE(KeyExists(view, "AppID\\Tamrix64.DLL"));
        EXPECT_FALSE(KeyExists(view, "AppID\\Tamrix.DLL"));
    }
}

// How a 64-bit client's creation of the manager ends: in process (Tamrix64.dll) or not at all.
HRESULT CreateInProcess() {
    ComPtr<ITamrixHost> host;
    return CoCreateInstance(CLSID_TamrixHost, nullptr, CLSCTX_INPROC_SERVER, IID_ITamrixHost, host.put_void());
}

class Registration64 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Whatever an earlier run left: neither registered.
        ServerDll dll;
        ASSERT_TRUE(dll.Loaded());
        dll.Unregister();
        Regsvr32For32Bit(false);
    }
    static void TearDownTestSuite() {
        // Leave the prefix as the other tests expect it: both registered.
        EXPECT_EQ(0u, Regsvr32For32Bit(true));
        ServerDll dll;
        EXPECT_EQ(S_OK, dll.Register());
    }
    void SetUp() override { ExpectNeither(); }
    void TearDown() override {
        ServerDll dll;
        dll.Unregister();
        Regsvr32For32Bit(false);
    }
};

TEST_F(Registration64, TheSixtyFourBitServerAloneWritesItsViewAndRemovesItAll) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ASSERT_EQ(S_OK, dll.Register());
    Expect64BitServer();
    for (const ClassTree& t : TREES) EXPECT_FALSE(KeyExists(VIEW_32, "CLSID\\" + t.clsid)) << "no 32-bit server";
    EXPECT_EQ(std::nullopt, String(VIEW_64, "AppID\\" + LIB_ID, "DllSurrogate")) << "no surrogate to name";
    EXPECT_EQ(S_OK, CreateInProcess());
    ASSERT_EQ(S_OK, dll.Register()) << "again";
    Expect64BitServer();
    ASSERT_EQ(S_OK, dll.Unregister());
    ExpectNeither();

    // The same through the 64-bit regsvr32.
    EXPECT_EQ(0u, Regsvr32For64Bit(true));
    Expect64BitServer();
    EXPECT_EQ(0u, Regsvr32For64Bit(false));
    ExpectNeither();
}

// Tamrix.dll first: Tamrix64.dll takes the class keys of the 64-bit view over, and its
// removal gives them back to the surrogate, as 64-bit clients of the 32-bit server need.
TEST_F(Registration64, TheSixtyFourBitServerComesAndGoesBesideTheThirtyTwoBitOne) {
    ASSERT_EQ(0u, Regsvr32For32Bit(true));
    Expect32BitServer(false);
    EXPECT_NE(S_OK, CreateInProcess()) << "a 64-bit client cannot load the 32-bit server";

    ServerDll dll;
    ASSERT_EQ(S_OK, dll.Register());
    Expect64BitServer();
    Expect32BitServer(true);
    EXPECT_EQ(S_OK, CreateInProcess());

    ASSERT_EQ(S_OK, dll.Unregister());
    Expect32BitServer(false);
    for (const ClassTree& t : TREES) ExpectProgIds(VIEW_64, t);
    EXPECT_FALSE(KeyExists(VIEW_64, "TypeLib\\" + LIB_ID + "\\1.0\\0\\win64"));
    EXPECT_FALSE(KeyExists(VIEW_64, "AppID\\Tamrix64.DLL"));
    EXPECT_NE(S_OK, CreateInProcess());

    ASSERT_EQ(0u, Regsvr32For32Bit(false));
    ExpectNeither();
}

// Tamrix64.dll first: the 32-bit server's registration and removal leave its entries as
// they were (stage A's rules checked against the real 64-bit server).
TEST_F(Registration64, TheThirtyTwoBitServerComesAndGoesBesideTheSixtyFourBitOne) {
    ServerDll dll;
    ASSERT_EQ(S_OK, dll.Register());
    ASSERT_EQ(0u, Regsvr32For32Bit(true));
    Expect64BitServer();
    Expect32BitServer(true);

    ASSERT_EQ(0u, Regsvr32For32Bit(false));
    Expect64BitServer();
    for (const ClassTree& t : TREES) EXPECT_FALSE(KeyExists(VIEW_32, "CLSID\\" + t.clsid)) << t.clsid;
    EXPECT_EQ(std::nullopt, String(VIEW_64, "AppID\\" + LIB_ID, "DllSurrogate"));
    EXPECT_FALSE(KeyExists(VIEW_64, "TypeLib\\" + LIB_ID + "\\1.0\\0\\win32"));
    EXPECT_EQ(S_OK, CreateInProcess());

    ASSERT_EQ(S_OK, dll.Unregister());
    ExpectNeither();
}

}  // namespace
