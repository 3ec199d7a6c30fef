// Plug-ins isolated in a helper process (Init flag 16), through the built server as an
// early-bound client: the test kit's faulty plug-ins fault or hang in the entry their data
// names, and the client goes on. Relies on Wine ending a helper's pending calls at once when
// the helper ends, as Windows does.
#include <windows.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/process_counts.h"
#include "common/spi_folder.h"
#include "plugin_object/plugin_fixture.h"
#include "robust_util.h"
#include "server/server_dll.h"

using servertest::ComPtr;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

constexpr HRESULT CRASHED = HRESULT_FROM_WIN32(ERROR_PROCESS_ABORTED);
constexpr HRESULT TIMED_OUT = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
constexpr LONG ISOLATE = 16 | 15;

// A QQA1 picture (or, with `archive`, data that starts as a QQZ1 archive) whose text holds `tag`.
std::string TaggedFile(const std::string& name, const std::string& tag, bool archive = false) {
    testspi::QqaHeader header = plugtest::Qqa(4, 3, 24);
    if (archive) std::memcpy(header.magic, "QQZ1", 4);
    std::memcpy(header.text, tag.data(), tag.size());
    return plugtest::WriteTemp(name, plugtest::Bytes(header));
}

using testenv::LiveHelpers;
using testenv::OwnHandles;
using testenv::OwnThreads;

// The server, copied once into a folder whose name holds a comma: rundll32 ends a library's
// name at its first comma, quoted or not, and helpers start all the same.
const std::wstring& ServerInACommaFolder() {
    static const std::wstring path = [] {
        const std::string folder = testenv::TempDir() + "tamrix,isolation", copy = folder + "\\Tamrix.dll";
        CreateDirectoryA(folder.c_str(), nullptr);
        EXPECT_TRUE(CopyFileA(testenv::DllPath().c_str(), copy.c_str(), FALSE));
        return testenv::Wide(copy);
    }();
    return path;
}

// The faulty plug-ins in the current directory, listed first; the kit's good picture plug-in
// in the search folder after them.
class Isolation : public ::testing::Test {
protected:
    Isolation() : dll_(ServerInACommaFolder()), cwd_("isolation_cwd"), here_(cwd_.Path()), folder_("isolation_search") {
        cwd_.Add("faulty");
        cwd_.Add("faulty_archive");
        folder_.Add("qqa");
    }
    // The folders go only once the helpers that loaded their plug-ins have ended.
    ~Isolation() override {
        for (int wait = 0; wait < 100 && LiveHelpers() > 0; ++wait) Sleep(100);
    }
    ComPtr<ITamrixHost2> Host() {
        ComPtr<ITamrixHost2> host = dll_.Create<ITamrixHost2>(CLSID_TamrixHost);
        EXPECT_EQ(S_OK, host->Init(ISOLATE, robust::MakeBstr(folder_.Path()).get()));
        return host;
    }
    ComPtr<ISusiePlugin> Chosen(ITamrixHost* host, const std::string& file) {
        ComPtr<IDispatch> chosen;
        ComPtr<ISusiePlugin> plugin;
        EXPECT_EQ(S_OK, host->QuerySpiFromFile(robust::MakeBstr(file).get(), 0, chosen.put())) << file;
        if (chosen) chosen->QueryInterface(IID_ISusiePlugin, plugin.put_void());
        return plugin;
    }

    servertest::ServerDll dll_;
    testenv::SpiFolder cwd_;
    testenv::CurrentDirectory here_;
    testenv::SpiFolder folder_;
};

std::string AboutOf(ISusiePlugin* plugin) {
    Tamrix::Bstr about;
    if (!plugin || FAILED(plugin->get_About(about.put())) || !about.get()) return "";
    return plugtest::Narrow(about.get());
}

TEST_F(Isolation, EveryMemberOnAFaultingFileAnswersTheCrashCodeAndTheClientGoesOn) {
    ComPtr<ITamrixHost2> host = Host();
    const std::string out = testenv::TempDir() + "isolation_out.bin";
    // Static: the dead helper never releases it, and COM lets go of its stub only at the end.
    static FakeEntry entry(0, 104, 104);
    using Member = std::function<HRESULT(ISusiePlugin*, VARIANT&)>;
    struct Row {
        const char* tag;
        bool archive;
        Member call;
    };
    IDispatch* a = nullptr;
    IDispatch* b = nullptr;
    const Row rows[] = {
        {"CRSH:GetPictureInfo;", false, [](ISusiePlugin* p, VARIANT& s) { PictureInfo i{}; return p->GetPictureInfo(s, 0, &i); }},
        {"CRSH:GetPictureInfo;", false, [](ISusiePlugin* p, VARIANT& s) { Tamrix::Bstr t; return p->GetPictureText(s, 0, t.put()); }},
        {"CRSH:GetPictureInfo;", false, [&](ISusiePlugin* p, VARIANT& s) { ComPtr<ISusiePlugin2> p2; p->QueryInterface(IID_ISusiePlugin2, p2.put_void()); return p2->GetPictureProperties(s, 0, &a); }},
        {"CRSH:GetPicture;", false, [&](ISusiePlugin* p, VARIANT& s) { return p->GetPicture(s, 0, &a, &b); }},
        {"CRSH:GetPicture;", false, [&](ISusiePlugin* p, VARIANT& s) { return p->GetPictureToFile(s, 0, robust::MakeBstr(out).get()); }},
        {"CRSH:GetPreview;", false, [&](ISusiePlugin* p, VARIANT& s) { return p->GetPreview(s, 0, &a, &b); }},
        {"CRSH:GetArchiveInfo;", true, [&](ISusiePlugin* p, VARIANT& s) { return p->GetArchiveInfo(s, 0, &a); }},
        {"CRSH:GetFileInfo;", true, [&](ISusiePlugin* p, VARIANT& s) { return p->GetFileInfo(s, 0, robust::MakeBstr("x").get(), &a); }},
        {"CRSH:GetFile;", true, [&](ISusiePlugin* p, VARIANT& s) { return p->GetFile(s, &entry, &a); }},
        {"CRSH:GetFile;", true, [&](ISusiePlugin* p, VARIANT& s) { return p->GetFileToFile(s, &entry, robust::MakeBstr(testenv::TempDir()).get()); }},
    };
    const std::string good = plugtest::WriteTemp("isolation_good.qqa", plugtest::Bytes(plugtest::Qqa(4, 3, 24)));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tag);
        const std::string file = TaggedFile("isolation_fault.bin", row.tag, row.archive);
        ComPtr<ISusiePlugin> faulty = Chosen(host.get(), file);
        ASSERT_EQ("Faulting and hanging test plug-in", AboutOf(faulty.get()));
        Tamrix::Variant name;
        robust::SetString(name, file);
        EXPECT_EQ(CRASHED, row.call(faulty.get(), *name.get()));
        // Every later call on the object answers the same, and calls nothing.
        Tamrix::Bstr version;
        EXPECT_EQ(CRASHED, faulty->get_Version(version.put()));
        // The next file decodes through the good plug-in, in a new helper.
        ComPtr<IDispatch> picture;
        Tamrix::Variant goodName;
        robust::SetString(goodName, good);
        EXPECT_EQ(S_OK, host->GetPicture(*goodName.get(), 0, picture.put()));
    }
}

TEST_F(Isolation, TheWalksCountACrashedPluginAsDecliningOrFailing) {
    ComPtr<ITamrixHost2> host = Host();
    // Faulting in IsSupported: the selection goes on to the good plug-in.
    ComPtr<ISusiePlugin> chosen = Chosen(host.get(), TaggedFile("isolation_select.qqa", "CRSH:IsSupported;"));
    EXPECT_EQ("QQA test plug-in", AboutOf(chosen.get()));
    // Accepted first by the faulty plug-in, which faults decoding: the good one's picture.
    Tamrix::Variant name;
    robust::SetString(name, TaggedFile("isolation_fallback.qqa", "CRSH:GetPicture;"));
    ComPtr<IDispatch> picture;
    EXPECT_EQ(S_OK, host->GetPicture(*name.get(), 0, picture.put()));
    EXPECT_TRUE(picture);
}

TEST_F(Isolation, AHangingCallAnswersTheTimeoutCodeWithinTheLimit) {
    ComPtr<ITamrixHost2> host = Host();
    LONG timeout = 0;
    EXPECT_EQ(S_OK, host->get_CallTimeout(&timeout));
    EXPECT_EQ(30000, timeout);
    ASSERT_EQ(S_OK, host->put_CallTimeout(2000));
    const std::string file = TaggedFile("isolation_hang.qqa", "HANG:GetPictureInfo;");
    ComPtr<ISusiePlugin> hanging = Chosen(host.get(), file);
    Tamrix::Variant name;
    robust::SetString(name, file);
    PictureInfo info{};
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(TIMED_OUT, hanging->GetPictureInfo(*name.get(), 0, &info));
    EXPECT_LT(GetTickCount64() - start, 4000u);
    Tamrix::Bstr version;
    EXPECT_EQ(TIMED_OUT, hanging->get_Version(version.put()));
}

// A dialog has no time limit, and a fault in one answers the crash code.
TEST_F(Isolation, DialogsAreNotTimedButTheirFaultsAreCaught) {
    ComPtr<ITamrixHost2> host = Host();
    ASSERT_EQ(S_OK, host->put_CallTimeout(500));
    ComPtr<ISusiePlugin> faulty = Chosen(host.get(), TaggedFile("isolation_dialog.qqa", "CRSH:GetPicture;"));
    ASSERT_TRUE(faulty);
    EXPECT_EQ(S_OK, faulty->ConfigurationDlg(0, 1500)) << "open three times the limit";
    EXPECT_EQ(CRASHED, faulty->ConfigurationDlg(0, -1));
}

IStream* g_marshaled = nullptr;  // the client's plug-in object, for another apartment
std::string g_file;
HRESULT g_result = E_PENDING;
std::vector<BYTE> g_pixels;

std::vector<BYTE> PixelsOf(ISusiePlugin* plugin, const std::string& file, HRESULT& hr) {
    Tamrix::Variant name;
    robust::SetString(name, file);
    ComPtr<IDispatch> info, pixels;
    hr = plugin->GetPicture(*name.get(), 0, info.put(), pixels.put());
    return pixels ? plugtest::HeapBytes(pixels.get()) : std::vector<BYTE>();
}

// A decoding from another apartment, which the client's apartment serves.
DWORD WINAPI DecodeElsewhere(void*) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComPtr<ISusiePlugin> plugin;
    CoGetInterfaceAndReleaseStream(g_marshaled, IID_ISusiePlugin, plugin.put_void());
    Sleep(200);
    if (plugin) g_pixels = PixelsOf(plugin.get(), g_file, g_result);
    plugin.reset();
    CoUninitialize();
    return 0;
}

// Each decoding's pixels are its own, also one from another apartment served while the client waits.
TEST_F(Isolation, OverlappingDecodingsEachGetTheirOwnPixels) {
    ComPtr<ITamrixHost2> host = Host();
    const std::string files[] = {TaggedFile("isolation_slow1.qqa", "SLOW:GetPicture;1"),
                                 g_file = TaggedFile("isolation_slow2.qqa", "SLOW:GetPicture;2")};
    ComPtr<ISusiePlugin> first = Chosen(host.get(), files[0]);
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_ISusiePlugin, Chosen(host.get(), g_file).get(), &g_marshaled));
    Tamrix::UniqueKernelHandle thread(CreateThread(nullptr, 0, DecodeElsewhere, nullptr, 0, nullptr));
    HRESULT result = E_PENDING;
    const ULONGLONG start = GetTickCount64();
    const std::vector<BYTE> pixels = PixelsOf(first.get(), files[0], result);
    EXPECT_GT(GetTickCount64() - start, 1800u) << "the second decoding came in during the first";
    MSG message;
    for (HANDLE ended = thread.get(); MsgWaitForMultipleObjects(1, &ended, FALSE, 30000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1;)
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    for (int i = 0; i < 2; ++i) {
        std::vector<BYTE> expected = plugtest::ReadFileBytes(files[i]);
        expected.resize(2048);
        EXPECT_EQ(S_OK, i ? g_result : result);
        EXPECT_TRUE((i ? g_pixels : pixels) == expected) << files[i];
    }
}

// A helper ends with its client whatever it is doing: here a call without a time limit.
TEST_F(Isolation, AHelperEndsWithItsClient) {
    const std::string file = TaggedFile("isolation_client.qqa", "HANG:GetPicture;"), calling = file + ".calling";
    const std::string script = testenv::TempDir() + "isolation_client.js",
                      text = "var host = new ActiveXObject('Tamrix.TamrixHost.1'), a = WScript.Arguments; host.Init(31, a(2));"
                             "host.CallTimeout = 0; new ActiveXObject('Scripting.FileSystemObject').CreateTextFile(a(1)).Close();"
                             "host.GetPicture(a(0), 0);";
    DeleteFileA(calling.c_str());
    ASSERT_TRUE(robust::WriteBytes(script, text.data(), text.size()));
    std::string command = "cscript.exe //nologo \"" + script + "\" \"" + file + "\" \"" + calling + "\" \"" + folder_.Path() + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION client{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &client));
    Tamrix::UniqueKernelHandle process(client.hProcess), thread(client.hThread);
    for (int wait = 0; wait < 300 && !robust::Exists(calling); ++wait) Sleep(100);
    Sleep(1000);  // in the plug-in call by now
    ASSERT_EQ(1, LiveHelpers(client.dwProcessId));
    TerminateProcess(process.get(), 1);
    for (int wait = 0; wait < 50 && LiveHelpers(client.dwProcessId) > 0; ++wait) Sleep(100);
    EXPECT_EQ(0, LiveHelpers(client.dwProcessId));
}
// What Wine 8's COM keeps in the client of every helper that ended: 7 events of combase's and
// 2 named-pipe connections of rpcrt4's. Found by tracing every call that made a handle in the
// client (WINEDEBUG=+relay): of those left open none was made by Tamrix.dll, and they stay once
// every object is released (DllCanUnloadNow answers S_OK). A handle more is Tamrix's.
constexpr size_t RPC_HANDLES_PER_HELPER = 9;

TEST_F(Isolation, CrashesInARowLeaveNothingBehind) {
    const uint32_t crashes = robust::EnvCount("TAMRIX_ISOLATION_CRASHES", 10);
    const std::string file = TaggedFile("isolation_loop.qqa", "CRSH:GetPicture;");
    Tamrix::Variant name;
    robust::SetString(name, file);
    int threads = 0;
    size_t handles = 0;
    {
        ComPtr<ITamrixHost2> host = Host();
        for (uint32_t i = 0; i <= crashes; ++i) {
            ComPtr<ISusiePlugin> faulty = Chosen(host.get(), file);
            ComPtr<IDispatch> info, pixels;
            ASSERT_EQ(CRASHED, faulty->GetPicture(*name.get(), 0, info.put(), pixels.put())) << i;
            // The first round leaves what the runtime keeps for good (its threads, caches).
            if (i == 0) {
                faulty.reset();
                threads = testenv::OwnThreads();
                handles = testenv::OwnHandles();
            }
        }
    }
    // Helpers end on their own once released; the runtime's idle threads end after a while.
    for (int wait = 0; wait < 100 && (testenv::LiveHelpers() > 0 || testenv::OwnThreads() > threads); ++wait) Sleep(100);
    EXPECT_EQ(0, testenv::LiveHelpers());
    EXPECT_LE(testenv::OwnThreads(), threads);
    std::printf("%u crashes: %+ld handles\n", crashes, static_cast<long>(testenv::OwnHandles() - handles));
    EXPECT_LE(testenv::OwnHandles(), handles + crashes * RPC_HANDLES_PER_HELPER);
    EXPECT_EQ(S_OK, dll_.CanUnloadNow());
}

}  // namespace
