// Plug-ins that end every call with FP exceptions unmasked (one pending), the current folder
// moved and other error modes: in process, the caller's thread comes back as it was.
#include <cmath>
#include <functional>
#include <tuple>

#include "archive_fixture.h"
#include "common/spi_folder.h"
#include "plugin/plugin_list.h"

using namespace plugtest;

namespace {

// x87 control word, its exception flags and ES, MXCSR (not the precision flags any inexact
// result sets), the error modes and the current folder.
auto ThreadState() {
    unsigned short control = 0, status = 0;
    unsigned mxcsr = 0;
    asm volatile("fnstcw %0\n\tfnstsw %1\n\tstmxcsr %2" : "=m"(control), "=m"(status), "=m"(mxcsr));
    char folder[MAX_PATH];
    return std::make_tuple(control, status & 0x9F, mxcsr & ~0x20u, GetErrorMode(), GetThreadErrorMode(),
                           std::string(folder, GetCurrentDirectoryA(MAX_PATH, folder)));
}

TEST(CallerState, EveryKindOfCallIntoAPluginLeavesTheCallersThreadAsItFoundIt) {
    testenv::SpiFolder folder("caller_state");
    folder.Add("qqa_upset");
    testenv::CurrentDirectory here(folder.Path());
    const std::vector<BYTE> qqa = Bytes(Qqa(4, 3, 24));
    Variant pic, box, info, pixels;
    SetString(pic, WriteTemp("caller_state.qqa", qqa));
    SetString(box, WriteTemp("caller_state.qqz", Qqz({{"raw", "", "m0.txt", Pattern(1, 5)}})));
    V_VT(info.get()) = V_VT(pixels.get()) = VT_DISPATCH;
    SPI::PluginList list;
    SPI::PluginName name(L"caller_state.qqa");
    ComPtr<ISusiePlugin2> spi, ax;
    ComPtr<IDispatch> a, b;
    const std::pair<const char*, std::function<HRESULT()>> calls[] = {
        {"discovery", [&] { return list.LoadPlugins(15, testenv::Wide(folder.Path())); }},
        {"the walk", [&] { return list.FindSupporting(name, qqa.data()) ? S_OK : E_FAIL; }},
        {"Load", [&] { return LoadPlugin("qqa_upset")->QueryInterface(IID_ISusiePlugin2, spi.put_void()); }},
        {"ConfigurationDlg", [&] { return spi->ConfigurationDlg(0, 1); }},
        {"GetPictureProperties", [&] { return spi->GetPictureProperties(*pic.get(), 0, a.put()); }},
        {"GetPicture", [&] { return spi->GetPicture(*pic.get(), 0, &V_DISPATCH(info.get()), &V_DISPATCH(pixels.get())); }},
        {"CreatePicture", [&] { return spi->CreatePicture(MakeBstr("out.qqw").get(), *info.get(), *pixels.get()); }},
        {"GetArchiveInfo", [&] {
             LoadPlugin("qqz_upset")->QueryInterface(IID_ISusiePlugin2, ax.put_void());
             return ax->GetArchiveInfo(*box.get(), 0, a.put());
         }},
        {"GetFileInfo", [&] { return ax->GetFileInfo(*box.get(), 0, MakeBstr("m0.txt").get(), a.put()); }},
        {"GetFile", [&] { return ax->GetFile(*box.get(), a.get(), b.put()); }},
        {"Free", [&] { return spi->Free(); }},
    };
    for (const auto& [what, call] : calls) {
        const auto before = ThreadState();
        EXPECT_EQ(S_OK, call()) << what;
        EXPECT_TRUE(before == ThreadState()) << what;
        volatile double zero = 0.0, huge = 1e308;
        EXPECT_TRUE(std::isinf(1.0 / zero) && std::isinf(huge * 10.0)) << what;  // or a fault fails the test
        EXPECT_TRUE(FileExists("qqa_upset.spi")) << what;                           // a relative path
    }
    EXPECT_TRUE(FileExists("out.qqw"));
}

}  // namespace
