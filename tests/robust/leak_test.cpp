// Leak runs: each member family many times over through the built Tamrix.dll, loaded as the
// COM runtime loads it. After each family the plug-ins' outstanding-block counts are 0 and
// the process's private bytes have stayed flat within the bound below; at the end, with
// every object released, DllCanUnloadNow answers S_OK.
//   TAMRIX_LEAK_ITERATIONS   iterations per family (default below; the documented full run
//                            sets 10000). A tenth as many run first, unmeasured, so that
//                            caches and heaps settle.
// Then the main job's soak, below.
#include <windows.h>
#include <olectl.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/process_counts.h"
#include "common/spi_folder.h"
#include "plugin_object/archive_fixture.h"
#include "plugin_object/plugin_fixture.h"
#include "robust/robust_util.h"
#include "robust/script_host.h"
#include "server/server_dll.h"

namespace robust {
namespace {

using plugtest::Counters;
using servertest::ServerDll;
using Tamrix::Bstr;
using Tamrix::ComPtr;
using Tamrix::Variant;

constexpr uint32_t CI_ITERATIONS = 2000;
// Growth allowed from the end of the warm-up to the end of a family: a fixed slack for the
// heaps' own bookkeeping, and 8 bytes an iteration, far below any object, string or block
// a family makes each time round (the smallest, an entry object, is over 40 bytes).
constexpr int64_t SLACK_BYTES = 64 * 1024;
constexpr int64_t BYTES_PER_ITERATION = 8;

// Whether the system's picture loader deletes a bitmap it loaded in run mode (the server
// loads its pictures so) when the picture object goes. Windows' does: the picture owns what it
// loaded. Wine 8's does not: it makes the picture with !fRunmode as its fOwn, so each such
// picture's bitmap stays behind, whoever loaded it.
bool LoaderDeletesRunModeBitmaps() {
    std::vector<BYTE> file(14 + 40 + 4, 0);
    BITMAPFILEHEADER fh{0x4D42, static_cast<DWORD>(file.size()), 0, 0, 54};
    BITMAPINFOHEADER ih{40, 1, 1, 1, 24, BI_RGB, 4, 0, 0, 0, 0};
    std::memcpy(file.data(), &fh, sizeof fh);
    std::memcpy(file.data() + 14, &ih, sizeof ih);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, file.size());
    std::memcpy(GlobalLock(block), file.data(), file.size());
    GlobalUnlock(block);
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, stream.put()))) return true;
    ComPtr<IPicture> picture;
    if (FAILED(OleLoadPicture(stream.get(), static_cast<LONG>(file.size()), TRUE, IID_IPicture, picture.put_void())))
        return true;
    OLE_HANDLE handle = 0;
    picture->get_Handle(&handle);
    picture.reset();
    BITMAP bm;
    const bool gone = GetObjectA(reinterpret_cast<HGDIOBJ>(static_cast<INT_PTR>(handle)), sizeof bm, &bm) == 0;
    if (!gone) DeleteObject(reinterpret_cast<HGDIOBJ>(static_cast<INT_PTR>(handle)));
    return gone;
}

const std::vector<plugtest::QqzMemberDesc> MEMBERS = {
    {"stored", "", "one.txt", plugtest::Pattern(1, 100), 86400, 1},
    {"stored", "dir\\", "two.bin", plugtest::Pattern(2, 3000), 86400, 2},
    {"stored", "dir\\", "three.bin", plugtest::Pattern(3, 0), 86400, 3},
};

class LeakRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        iterations_ = EnvCount("TAMRIX_LEAK_ITERATIONS", CI_ITERATIONS);
        RemoveFolder(testenv::TempDir() + "tamrix_leaks_" + std::to_string(GetCurrentProcessId()) + "\\out");
        folder_ = std::make_unique<testenv::SpiFolder>("leaks");
        managerQqa_ = folder_->Add("qqa");
        managerQqz_ = folder_->Add("qqz");
        out_ = folder_->AddFolder("out");
        testspi::QqaHeader picture = plugtest::Qqa(64, -48, 8);
        std::strcpy(picture.text, "a text the members free");
        pictureFile_ = folder_->PathOf("picture.qqa");
        ASSERT_TRUE(WriteBytes(pictureFile_, &picture, sizeof picture));
        const std::vector<BYTE> archive = plugtest::Qqz(MEMBERS);
        archiveFile_ = folder_->PathOf("archive.qqz");
        ASSERT_TRUE(WriteBytes(archiveFile_, archive.data(), archive.size()));

        dll_ = std::make_unique<ServerDll>();
        ASSERT_TRUE(dll_->Loaded());
        spi_ = dll_->Create<ISusiePlugin>(CLSID_SusiePlugin);
        arc_ = dll_->Create<ISusiePlugin>(CLSID_SusiePlugin);
        host_ = dll_->Create<ITamrixHost>(CLSID_TamrixHost);
        ASSERT_TRUE(spi_ && arc_ && host_);
        VARIANT_BOOL ok = VARIANT_FALSE;
        Bstr qqa = MakeBstr(testenv::SpiPath("qqa")), qqz = MakeBstr(testenv::SpiPath("qqz"));
        ASSERT_EQ(S_OK, spi_->Load(qqa.get(), &ok));
        ASSERT_EQ(S_OK, arc_->Load(qqz.get(), &ok));
        Bstr folder = MakeBstr(folder_->Path());
        ASSERT_EQ(S_OK, host_->Init(0, folder.get()));
        plugtest::SetString(pictureName_, pictureFile_);
        plugtest::SetString(archiveName_, archiveFile_);
    }
    void TearDown() override {
        script_.reset();
        spi_.reset();
        arc_.reset();
        host_.reset();
        if (dll_ && dll_->Loaded()) {
            EXPECT_EQ(S_OK, dll_->CanUnloadNow()) << "an object outlived the run";
        }
        dll_.reset();
        RemoveFolder(out_);
        folder_.reset();
        CoUninitialize();
    }

    // Every plug-in module the run uses: the objects' own and the manager's copies.
    void ExpectNoBlockOut(const char* family) {
        for (const std::string& path :
             {testenv::SpiPath("qqa"), testenv::SpiPath("qqz"), managerQqa_, managerQqz_}) {
            testenv::SpiCounters counters(path);
            if (counters.Loaded()) {
                EXPECT_EQ(0, counters.Outstanding()) << family << ": " << path;
            }
        }
    }

    void Family(const char* name, const std::function<void()>& once) {
        SCOPED_TRACE(name);
        const uint32_t warmUp = iterations_ / 10 + 1;
        for (uint32_t i = 0; i < warmUp && !HasFatalFailure(); ++i) once();
        const int64_t before = testenv::PrivateBytes();
        const DWORD start = GetTickCount();
        for (uint32_t i = 0; i < iterations_ && !HasFatalFailure(); ++i) once();
        const int64_t growth = testenv::PrivateBytes() - before;
        const int64_t bound = SLACK_BYTES + BYTES_PER_ITERATION * iterations_;
        std::printf("%-28s %6u iterations  %7.1f s  private bytes %+9lld (bound %lld)\n", name, iterations_,
                    (GetTickCount() - start) / 1000.0, static_cast<long long>(growth), static_cast<long long>(bound));
        EXPECT_LE(growth, bound) << "private bytes grew";
        ExpectNoBlockOut(name);
    }

    uint32_t iterations_ = 0;
    std::unique_ptr<testenv::SpiFolder> folder_;
    std::string managerQqa_, managerQqz_, out_, pictureFile_, archiveFile_;
    std::unique_ptr<ServerDll> dll_;
    ComPtr<ISusiePlugin> spi_, arc_;
    ComPtr<ITamrixHost> host_;
    Variant pictureName_, archiveName_;
    std::unique_ptr<ScriptHost> script_;
};

TEST_F(LeakRun, EveryMemberFamilyStaysFlat) {
    Family("decode to memory", [&] {
        ComPtr<IDispatch> info, pixels;
        ASSERT_EQ(S_OK, spi_->GetPicture(*pictureName_.get(), 0, info.put(), pixels.put()));
        for (IDispatch* block : {info.get(), pixels.get()}) {
            ComPtr<ISpiLocalHeap> heap;
            ASSERT_EQ(S_OK, block->QueryInterface(IID_ISpiLocalHeap, heap.put_void()));
            Variant bytes;
            ASSERT_EQ(S_OK, heap->GetBytes(bytes.get()));
            LONG length = 0;
            ASSERT_EQ(S_OK, heap->get_Length(&length));
        }
        ASSERT_EQ(S_OK, spi_->GetPreview(*pictureName_.get(), 0, info.put(), pixels.put()));
        PictureInfo record{};
        ASSERT_EQ(S_OK, spi_->GetPictureInfo(*pictureName_.get(), 0, &record));
        LocalFree(reinterpret_cast<HLOCAL>(static_cast<INT_PTR>(record.hInfo)));  // the client's to free
        Bstr text;
        ASSERT_EQ(S_OK, spi_->GetPictureText(*pictureName_.get(), 0, text.put()));
    });

    const std::string bitmap = out_ + "\\picture.bmp";
    Bstr bitmapPath = MakeBstr(bitmap);
    Family("bitmap file", [&] { ASSERT_EQ(S_OK, spi_->GetPictureToFile(*pictureName_.get(), 0, bitmapPath.get())); });

    const bool loaderDeletes = LoaderDeletesRunModeBitmaps();
    if (!loaderDeletes) std::printf("this platform's picture loader keeps the bitmaps of run-mode pictures\n");
    Family("picture object", [&] {
        ComPtr<IDispatch> picture;
        ASSERT_EQ(S_OK, host_->GetPicture(*pictureName_.get(), 0, picture.put()));
        ComPtr<IPicture> p;
        ASSERT_EQ(S_OK, picture->QueryInterface(IID_IPicture, p.put_void()));
        OLE_XSIZE_HIMETRIC width = 0;
        ASSERT_EQ(S_OK, p->get_Width(&width));
        OLE_HANDLE bitmap = 0;
        ASSERT_EQ(S_OK, p->get_Handle(&bitmap));
        p.reset();
        picture.reset();
        // What the platform's loader leaves behind is not the server's: the client deletes it.
        if (!loaderDeletes) DeleteObject(reinterpret_cast<HGDIOBJ>(static_cast<INT_PTR>(bitmap)));
    });

    const std::string member = out_ + "\\member.out";
    Bstr memberPath = MakeBstr(member);
    Bstr name = MakeBstr("two.bin");
    Family("archive list and extract", [&] {
        ComPtr<IDispatch> listing, found;
        ASSERT_EQ(S_OK, arc_->GetArchiveInfo(*archiveName_.get(), 0, listing.put()));
        ComPtr<ISpiFileInfoCollection> c;
        ASSERT_EQ(S_OK, listing->QueryInterface(IID_ISpiFileInfoCollection, c.put_void()));
        LONG count = 0;
        ASSERT_EQ(S_OK, c->get_Count(&count));
        for (LONG i = 1; i <= count; ++i) {
            ComPtr<IDispatch> item, data;
            ASSERT_EQ(S_OK, c->get_Item(i, item.put()));
            ComPtr<ISpiFileInfo> entry;
            ASSERT_EQ(S_OK, item->QueryInterface(IID_ISpiFileInfo, entry.put_void()));
            Bstr text;
            DATE date = 0;
            ASSERT_EQ(S_OK, entry->get_FileName(text.put()));
            ASSERT_EQ(S_OK, entry->get_Path(text.put()));
            ASSERT_EQ(S_OK, entry->get_Method(text.put()));
            ASSERT_EQ(S_OK, entry->get_TimeStamp(&date));
            ASSERT_EQ(S_OK, arc_->GetFile(*archiveName_.get(), item.get(), data.put()));
            ComPtr<ISpiLocalHeap> heap;
            ASSERT_EQ(S_OK, data->QueryInterface(IID_ISpiLocalHeap, heap.put_void()));
            Variant bytes;
            ASSERT_EQ(S_OK, heap->GetBytes(bytes.get()));
            ASSERT_EQ(S_OK, arc_->GetFileToFile(*archiveName_.get(), item.get(), memberPath.get()));
        }
        ASSERT_EQ(S_OK, arc_->GetFileInfo(*archiveName_.get(), 0, name.get(), found.put()));
    });

    Family("enumeration", [&] {
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(S_OK, host_->get__NewEnum(unknown.put()));
        ComPtr<IEnumVARIANT> plugins, clone;
        ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IEnumVARIANT, plugins.put_void()));
        VARIANT items[4];
        for (VARIANT& v : items) VariantInit(&v);
        ULONG fetched = 0;
        ASSERT_EQ(S_FALSE, plugins->Next(4, items, &fetched));
        ASSERT_EQ(2u, fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            ComPtr<ISusiePlugin> spi;
            ASSERT_EQ(S_OK, V_DISPATCH(&items[i])->QueryInterface(IID_ISusiePlugin, spi.put_void()));
            Bstr version;
            ASSERT_EQ(S_OK, spi->get_Version(version.put()));
        }
        for (VARIANT& v : items) VariantClear(&v);
        ASSERT_EQ(S_OK, plugins->Clone(clone.put()));
        ComPtr<IDispatch> item;
        ASSERT_EQ(S_OK, host_->get_Item(2, item.put()));
        ComPtr<IDispatch> listing;
        ASSERT_EQ(S_OK, arc_->GetArchiveInfo(*archiveName_.get(), 0, listing.put()));
        ComPtr<ISpiFileInfoCollection> c;
        ASSERT_EQ(S_OK, listing->QueryInterface(IID_ISpiFileInfoCollection, c.put_void()));
        ASSERT_EQ(S_OK, c->get__NewEnum(unknown.put()));
        ComPtr<IEnumVARIANT> entries;
        ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IEnumVARIANT, entries.put_void()));
        for (Variant v; entries->Next(1, v.get(), nullptr) == S_OK; v.clear()) {
        }
        ASSERT_EQ(S_OK, entries->Reset());
        ASSERT_EQ(S_OK, entries->Skip(2));
        ASSERT_EQ(S_OK, entries->Clone(clone.put()));
        Bstr filter;
        ASSERT_EQ(S_OK, host_->GetFileFilter(0, filter.put()));
    });

    // A VBScript engine in this process: every call below goes through IDispatch, by name.
    script_ = std::make_unique<ScriptHost>();
    ASSERT_EQ(S_OK, script_->Start({{L"spi", spi_.get()}, {L"arc", arc_.get()}, {L"host", host_.get()}}));
    // A script cannot delete what the loader leaves behind: where the loader keeps the bitmaps
    // of run-mode pictures (Wine 8), the script makes no picture objects; the C++ family above
    // makes them there.
    const std::wstring files = L"picture = \"" + testenv::Wide(pictureFile_) + L"\"\narchive = \"" +
                               testenv::Wide(archiveFile_) + L"\"\nbitmap = \"" + testenv::Wide(bitmap) +
                               L"\"\npictures = " + (loaderDeletes ? L"True" : L"False") + L"\n";
    ASSERT_EQ(S_OK, script_->Run(files + LR"(
Function Once()
    Dim info, pixels, bytes, listing, entry, data, plugin, picture2, n
    n = 0
    Set pixels = spi.GetPicture(picture, 0, info)
    bytes = pixels.GetBytes()
    If VarType(bytes) <> vbArray + vbByte Then n = n + 1   ' Wine 8's VBScript cannot read one
    If info.Length < 40 Then n = n + 1
    If Len(spi.GetPictureText(picture, 0)) = 0 Then n = n + 1
    spi.GetPictureToFile picture, 0, bitmap
    Set listing = arc.GetArchiveInfo(archive, 0)
    For Each entry In listing
        Set data = arc.GetFile(archive, entry)
        If data.Length <> entry.FileSize Then n = n + 1
        If Len(entry.FileName & entry.Path & entry.Method) = 0 Then n = n + 1
    Next
    If listing.Item(1).CompSize <> 100 Then n = n + 1
    For Each plugin In host
        If Len(plugin.Version) <> 4 Then n = n + 1
    Next
    If pictures Then
        Set picture2 = host.GetPicture(picture, 0)
        If picture2.Width = 0 Then n = n + 1
    End If
    If host.Count <> 2 Then n = n + 1
    Once = n
End Function
)")) << std::string(script_->LastError().begin(), script_->LastError().end());
    Family("late-bound calls from a script", [&] {
        Variant failures;
        ASSERT_EQ(S_OK, script_->Call(L"Once", failures.get()))
            << std::string(script_->LastError().begin(), script_->LastError().end());
        ASSERT_EQ(S_OK, VariantChangeType(failures.get(), failures.get(), 0, VT_I4));
        ASSERT_EQ(0, V_I4(failures.get())) << "checks in the script failed";
    });
    script_->Close();
}

// The main job many times over in one process (Soak): walks, pictures, their facts, the file
// filter, an archive's listing and extraction, conversion, over the bundled plug-ins and the
// kit's qqa_tlsleak (a TLS slot kept at every load), with the default flags and isolated. A
// round is ten calls; two walk a file no plug-in takes, loading and letting go of every plug-in
// not loaded. After the run, against the end of the warm-up: no TLS slot, GDI object or thread
// more, handles and private bytes within the bounds below, no helper left, and the leaking
// plug-in still reads its file. TAMRIX_SOAK_ROUNDS: rounds a flag setting (robust.sh: 5000).
constexpr uint32_t CI_ROUNDS = 600;  // 1,200 loads of the leaking plug-in: more than there are slots
// By then the heaps have grown to what the job needs (isolated, 2 MB over the first round).
constexpr uint32_t WARM_UP_ROUNDS = 20;
// What the runtime may keep open on its own (caches, RPC), and the heaps' own bookkeeping.
constexpr size_t HANDLE_SLACK = 16;
constexpr long long BYTE_SLACK = 1024 * 1024;
// Wine 8's rpcrt4 keeps a block of 1,032 bytes of every stub it makes for a client's object
// passed to another process, as the archive entry GetFile takes is when the plug-in is
// isolated: one such block more a round in the heaps (HeapWalk), allocated by rpcrt4
// (WINEDEBUG=+relay: ucrtbase's malloc(0x408) called from rpcrt4), none by Tamrix.
constexpr long long WINE_STUB_BYTES = 1100;

struct Counts {
    DWORD tls = testenv::LowestFreeTlsSlot();
    size_t handles = testenv::OwnHandles();
    DWORD gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);  // Wine 8 answers 0
    int threads = testenv::OwnThreads();
    long long bytes = testenv::PrivateBytes();
};

std::string AboutOf(IDispatch* chosen) {
    ComPtr<ISusiePlugin> spi;
    Bstr about;
    const bool ok = chosen && SUCCEEDED(chosen->QueryInterface(IID_ISusiePlugin, spi.put_void()));
    return ok && SUCCEEDED(spi->get_About(about.put())) ? plugtest::Narrow(about.get()) : "";
}

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);
class Soak : public ::testing::TestWithParam<LONG> {};

TEST_P(Soak, TheMainJobRunsOnAndNothingGrows) {
    testenv::SpiFolder folder("soak_" + std::to_string(GetParam()));
    for (const char* bundled : {"\\iftamrix.spi", "\\axtamrix.spi"})
        ASSERT_TRUE(CopyFileA((testenv::WinPath(testenv::Env("TAMRIX_BUNDLED_DIR")) + bundled).c_str(),
                              (folder.Path() + bundled).c_str(), FALSE));
    folder.Add("qqa_tlsleak");
    const testspi::QqaHeader qqa = plugtest::Qqa(4, 3, 24);
    ASSERT_TRUE(WriteBytes(folder.PathOf("leaking.qqa"), &qqa, sizeof qqa));
    const std::string samples = testenv::WinPath(testenv::Env("TAMRIX_SAMPLES_DIR"));
    const Bstr picture = MakeBstr(samples + "\\pictures\\rgb.png"), archive = MakeBstr(samples + "\\archives\\pictures.zip");
    const Bstr unknown = MakeBstr(samples + "\\hostile\\notapicture.txt"), converted = MakeBstr(folder.PathOf("out.png"));
    Variant pictureName, archiveName;
    SetString(pictureName, samples + "\\pictures\\rgb.png");
    SetString(archiveName, samples + "\\archives\\pictures.zip");

    ServerDll dll;
    const uint32_t rounds = EnvCount("TAMRIX_SOAK_ROUNDS", CI_ROUNDS);
    Counts start;
    {
        ComPtr<ITamrixHost2> host = dll.Create<ITamrixHost2>(CLSID_TamrixHost);
        ASSERT_EQ(S_OK, host->Init(GetParam(), MakeBstr(folder.Path()).get()));
        for (uint32_t round = 0; round < rounds && !HasFailure(); ++round) {
            SCOPED_TRACE(round);
            ComPtr<IDispatch> none, reader, made, facts, lister, listing, entry, member;
            for (int twice = 0; twice < 2; ++twice) EXPECT_EQ(E_FAIL, host->QuerySpiFromFile(unknown.get(), 0, none.put()));
            EXPECT_EQ(S_OK, host->QuerySpiFromFile(picture.get(), 0, reader.put()));
            EXPECT_EQ(0u, AboutOf(reader.get()).find("Tamrix picture plug-in"));
            EXPECT_EQ(S_OK, host->GetPicture(*pictureName.get(), 0, made.put()));
            EXPECT_EQ(S_OK, host->GetPictureProperties(*pictureName.get(), 0, facts.put()));
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
    for (int wait = 0; wait < 100 && (testenv::LiveHelpers() > 0 || testenv::OwnThreads() > start.threads); ++wait)
        Sleep(100);
    const Counts end;
    std::printf("flags %ld, %u calls: TLS slots %+ld, handles %+ld, GDI objects %+ld, threads %+d, bytes %+lld\n",
                GetParam(), rounds * 10, static_cast<long>(end.tls - start.tls),
                static_cast<long>(end.handles - start.handles), static_cast<long>(end.gdi - start.gdi),
                end.threads - start.threads, end.bytes - start.bytes);
    EXPECT_EQ(0, testenv::LiveHelpers());
    EXPECT_EQ(start.tls, end.tls);
    EXPECT_LE(end.handles, start.handles + HANDLE_SLACK);
    EXPECT_LE(end.gdi, start.gdi);
    EXPECT_LE(end.threads, start.threads);
    EXPECT_LE(end.bytes, start.bytes + BYTE_SLACK + ((GetParam() & 16) ? WINE_STUB_BYTES * rounds : 0));
}

INSTANTIATE_TEST_SUITE_P(DefaultAndIsolated, Soak, ::testing::Values(0L, 16L | 15L));

}  // namespace
}  // namespace robust
