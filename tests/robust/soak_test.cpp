// The main job many times over in one process, through the built Tamrix.dll as a COM client
// loads it: walks (QuerySpiFromFile), pictures, their facts, the file filter, an archive's
// listing and extraction, conversion, over the bundled plug-ins and the kit's qqa_tlsleak
// (which keeps a TLS slot at every load), with the default flags and isolated (flag 16).
// A round is ten calls; two of them walk a file no plug-in takes, which loads and lets go of
// every plug-in not loaded. After the run, against the end of the warm-up: no TLS slot,
// GDI object or thread more, handles and private bytes within the bounds below, no helper
// process left, and the leaking plug-in still reads its file. Also the server's own loads.
//   TAMRIX_SOAK_ROUNDS  rounds a flag setting (scripts/robust.sh: 5000, 100,000 calls in all)
#include <windows.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/process_counts.h"
#include "common/spi_folder.h"
#include "plugin_object/plugin_fixture.h"
#include "robust/robust_util.h"
#include "server/server_dll.h"

namespace robust {
namespace {

using Tamrix::Bstr;
using Tamrix::ComPtr;
using Tamrix::Variant;

// 1,200 loads of the leaking plug-in a process: more than a process has TLS slots.
constexpr uint32_t CI_ROUNDS = 600;
// By then the heaps have grown to what the job needs (isolated, 2 MB over the first round).
constexpr uint32_t WARM_UP_ROUNDS = 20;
// Handles the runtime may keep open on its own (caches, RPC); private bytes the heaps'
// bookkeeping may take.
constexpr size_t HANDLE_SLACK = 16;
constexpr long long BYTE_SLACK = 1024 * 1024;
// Wine 8's rpcrt4 keeps a block of 1,032 bytes of every stub it makes for a client's own
// object passed to another process, as the archive entry that GetFile takes is when the
// plug-in is isolated: one such block more a round in the heaps (HeapWalk), allocated by
// rpcrt4 (WINEDEBUG=+relay: ucrtbase's malloc(0x408) called from rpcrt4), none by Tamrix.
constexpr long long WINE_STUB_BYTES = 1100;

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

struct Counts {
    DWORD tls = testenv::LowestFreeTlsSlot();
    size_t handles = testenv::OwnHandles();
    DWORD gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);  // Wine 8 answers 0
    int threads = testenv::OwnThreads();
    long long bytes = testenv::PrivateBytes();
};

std::string Sample(const std::string& name) {
    return testenv::WinPath(testenv::Env("TAMRIX_SAMPLES_DIR")) + "\\" + name;
}

std::string AboutOf(IDispatch* chosen) {
    ComPtr<ISusiePlugin> spi;
    Bstr about;
    if (!chosen || FAILED(chosen->QueryInterface(IID_ISusiePlugin, spi.put_void())) ||
        FAILED(spi->get_About(about.put())))
        return "";
    return plugtest::Narrow(about.get());
}

class Soak : public ::testing::TestWithParam<LONG> {};

TEST_P(Soak, TheMainJobRunsOnAndNothingGrows) {
    testenv::SpiFolder folder("soak_" + std::to_string(GetParam()));
    for (const char* bundled : {"iftamrix.spi", "axtamrix.spi"})
        ASSERT_TRUE(CopyFileA((testenv::WinPath(testenv::Env("TAMRIX_BUNDLED_DIR")) + "\\" + bundled).c_str(),
                              folder.PathOf(bundled).c_str(), FALSE));
    folder.Add("qqa_tlsleak");
    const testspi::QqaHeader qqa = plugtest::Qqa(4, 3, 24);
    ASSERT_TRUE(WriteBytes(folder.PathOf("leaking.qqa"), &qqa, sizeof qqa));
    const Bstr picture = MakeBstr(Sample("pictures\\rgb.png")), archive = MakeBstr(Sample("archives\\pictures.zip"));
    const Bstr unknown = MakeBstr(Sample("hostile\\notapicture.txt")), converted = MakeBstr(folder.PathOf("out.png"));
    Variant pictureName, archiveName;
    SetString(pictureName, Sample("pictures\\rgb.png"));
    SetString(archiveName, Sample("archives\\pictures.zip"));

    servertest::ServerDll dll;
    const uint32_t rounds = EnvCount("TAMRIX_SOAK_ROUNDS", CI_ROUNDS);
    Counts start;
    const DWORD began = GetTickCount();
    {
        ComPtr<ITamrixHost2> host = dll.Create<ITamrixHost2>(CLSID_TamrixHost);
        ASSERT_EQ(S_OK, host->Init(GetParam(), MakeBstr(folder.Path()).get()));
        for (uint32_t round = 0; round < rounds && !HasFailure(); ++round) {
            SCOPED_TRACE(round);
            ComPtr<IDispatch> none, reader, made, facts, lister, listing, entry, member;
            EXPECT_EQ(E_FAIL, host->QuerySpiFromFile(unknown.get(), 0, none.put()));
            EXPECT_EQ(E_FAIL, host->QuerySpiFromFile(unknown.get(), 0, none.put()));
            EXPECT_EQ(S_OK, host->QuerySpiFromFile(picture.get(), 0, reader.put()));
            EXPECT_EQ(0u, AboutOf(reader.get()).find("Tamrix picture plug-in"));
            EXPECT_EQ(S_OK, host->GetPicture(*pictureName.get(), 0, made.put()));
            ComPtr<IPictureProperties> properties;
            ASSERT_EQ(S_OK, host->GetPictureProperties(*pictureName.get(), 0, facts.put()));
            ASSERT_EQ(S_OK, facts->QueryInterface(IID_IPictureProperties, properties.put_void()));
            LONG width = 0;
            EXPECT_EQ(S_OK, properties->get_Width(&width));
            EXPECT_EQ(37, width);
            Bstr filter;
            EXPECT_EQ(S_OK, host->GetFileFilter(0, filter.put()));
            ComPtr<ISusiePlugin> spi;
            ComPtr<ISpiFileInfoCollection> entries;
            ASSERT_EQ(S_OK, host->QuerySpiFromFile(archive.get(), 0, lister.put()));
            ASSERT_EQ(S_OK, lister->QueryInterface(IID_ISusiePlugin, spi.put_void()));
            ASSERT_EQ(S_OK, spi->GetArchiveInfo(*archiveName.get(), 0, listing.put()));
            ASSERT_EQ(S_OK, listing->QueryInterface(IID_ISpiFileInfoCollection, entries.put_void()));
            ASSERT_EQ(S_OK, entries->get_Item(1, entry.put()));
            EXPECT_EQ(S_OK, spi->GetFile(*archiveName.get(), entry.get(), member.put()));
            EXPECT_EQ(S_OK, host->ConvertFile(*pictureName.get(), 0, converted.get()));
            if (round + 1 == WARM_UP_ROUNDS) start = Counts();
        }
        // Loaded and let go a thousand times and more, here or in the helper: it still loads.
        ComPtr<IDispatch> leaking;
        EXPECT_EQ(S_OK, host->QuerySpiFromFile(MakeBstr(folder.PathOf("leaking.qqa")).get(), 0, leaking.put()));
        EXPECT_EQ("QQA test plug-in keeping a TLS slot per load", AboutOf(leaking.get()));
    }
    // Helpers end on their own once released; the runtime's idle threads after a while.
    Counts end;
    for (int wait = 0; wait < 100 && (testenv::LiveHelpers() > 0 || end.threads > start.threads); ++wait) {
        Sleep(100);
        end = Counts();
    }
    std::printf("flags %ld, %u rounds (%u calls) in %.1f s: TLS slots %+ld, handles %+ld, GDI objects %+ld, "
                "threads %+d, private bytes %+lld\n",
                GetParam(), rounds, rounds * 10, (GetTickCount() - began) / 1000.0,
                static_cast<long>(end.tls - start.tls), static_cast<long>(end.handles - start.handles),
                static_cast<long>(end.gdi - start.gdi), end.threads - start.threads, end.bytes - start.bytes);
    EXPECT_EQ(0, testenv::LiveHelpers());
    EXPECT_EQ(start.tls, end.tls);
    EXPECT_LE(end.handles, start.handles + HANDLE_SLACK);
    EXPECT_LE(end.gdi, start.gdi);
    EXPECT_LE(end.threads, start.threads);
    const long long stubs = (GetParam() & 16) ? WINE_STUB_BYTES * rounds : 0;
    EXPECT_LE(end.bytes, start.bytes + BYTE_SLACK + stubs);
}

INSTANTIATE_TEST_SUITE_P(DefaultAndIsolated, Soak, ::testing::Values(0L, 16L | 15L));

// COM may unload the server and load it again during a long script: a load gives back all it took.
TEST(ServerLoads, GiveBackWhatTheyTake) {
    auto cycle = [] {
        servertest::ServerDll dll;
        EXPECT_TRUE(dll.Create<ITamrixHost>(CLSID_TamrixHost));
    };
    for (int i = 0; i < 3; ++i) cycle();
    const Counts start;
    for (uint32_t i = 0; i < EnvCount("TAMRIX_SOAK_ROUNDS", CI_ROUNDS) / 2; ++i) cycle();
    const Counts end;
    EXPECT_EQ(start.tls, end.tls);
    EXPECT_LE(end.handles, start.handles);
    EXPECT_LE(end.bytes, start.bytes + 64 * 1024);
}

}  // namespace
}  // namespace robust
