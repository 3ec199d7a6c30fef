// Modules walks load and let go of again stay warm: no binding holds them, and the next walk
// finds each as the last one left it, until its time is up, its list goes, a new discovery
// or a drop; a file named in the registry is loaded afresh every time; only so many stay.
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "common/spi_folder.h"
#include "common/test_env.h"
#include "plugin/module_retention.h"
#include "plugin/plugin_list.h"

namespace {

using testenv::Mapped;

// The registry value naming files loaded afresh, for one scope.
class AfreshValue {
public:
    explicit AfreshValue(const std::wstring& names) {
        EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, SPI::AFRESH_KEY_W, SPI::AFRESH_VALUE_W, REG_SZ,
                                                 names.c_str(), static_cast<DWORD>((names.size() + 1) * 2)));
    }
    ~AfreshValue() { RegDeleteKeyValueW(HKEY_CURRENT_USER, SPI::AFRESH_KEY_W, SPI::AFRESH_VALUE_W); }
    AfreshValue(const AfreshValue&) = delete;
    AfreshValue& operator=(const AfreshValue&) = delete;
};

enum class End { TimeUp, ListGoes, Discovery, Drop };

TEST(WarmModules, LetGoModulesStayMappedUnheldUntilTheirWarmthEnds) {
    const struct {
        const char* what;
        End end;
        const wchar_t* afresh;  // the registry value, if any
    } cases[] = {
        {"time up", End::TimeUp, nullptr},
        {"the list goes", End::ListGoes, nullptr},
        {"a new discovery", End::Discovery, nullptr},
        {"dropped", End::Drop, nullptr},
        {"another file afresh", End::TimeUp, L"other.spi"},
        {"afresh by name", End::ListGoes, L" other.spi ; WARM_Z.SPI"},
    };
    testenv::SpiFolder empty("warm_empty");
    const testenv::CurrentDirectory here(empty.Path());
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testenv::SpiFolder folder("warm_" + std::to_string(index++));
        const std::string declining = folder.Add("qqz", "warm_z.spi");
        std::optional<AfreshValue> listed;
        if (c.afresh) listed.emplace(c.afresh);
        const bool warm = !c.afresh || std::wstring(c.afresh).find(L"WARM_Z") == std::wstring::npos;
        auto list = std::make_unique<SPI::PluginList>();
        ASSERT_EQ(S_OK, list->LoadPlugins(SPI::SPI_DEFAULT_FLAGS, testenv::Wide(folder.Path())));
        for (int walk = 0; walk < 3; ++walk) {
            SPI::PluginName name(L"x.bin");
            const BYTE header[SPI::HEADER_SIZE] = {};
            EXPECT_EQ(nullptr, list->FindSupporting(name, header));
        }
        ASSERT_FALSE(list->Plugins().empty());
        for (const SPI::SpiInterface& entry : list->Plugins()) {
            EXPECT_FALSE(entry.IsLoaded());
            EXPECT_EQ(nullptr, entry.Module());
        }
        EXPECT_EQ(warm, Mapped(declining));
        if (warm) {
            EXPECT_EQ(2, testenv::SpiCounters(declining).IsSupportedCalls())
                << "mapped anew by the second walk, found warm by the third";
        }

        const DWORD start = GetTickCount();
        switch (c.end) {
        case End::TimeUp:
            break;
        case End::ListGoes:
            list.reset();
            break;
        case End::Discovery:
            EXPECT_EQ(S_OK, list->LoadPlugins(SPI::SPI_DEFAULT_FLAGS, std::nullopt));
            break;
        case End::Drop:
            SPI::DropWarmModules(nullptr);
            break;
        }
        if (c.end != End::TimeUp) {
            EXPECT_FALSE(Mapped(declining)) << "at once";
        }
        // Then the file is free to go: at the latest a little after its time is up.
        bool gone = false;
        while (!(gone = !Mapped(declining) && DeleteFileA(declining.c_str())) &&
               GetTickCount() - start < SPI::WARM_MILLISECONDS + 1000)
            Sleep(20);
        EXPECT_TRUE(gone) << GetTickCount() - start << " ms";
        if (c.end == End::TimeUp && warm) {
            EXPECT_GE(GetTickCount() - start + 50, SPI::WARM_MILLISECONDS);
        }
        EXPECT_EQ(0u, SPI::WarmModules()) << "the list went, or nothing was left warm";
    }
}

TEST(WarmModules, NoMoreThanTheBoundStayWarm) {
    testenv::SpiFolder empty("warm_bound_empty");
    const testenv::CurrentDirectory here(empty.Path());
    testenv::SpiFolder folder("warm_bound");
    for (size_t i = 0; i < SPI::WARM_MOST + 3; ++i) folder.Add("qqz", "bound" + std::to_string(i) + ".spi");
    SPI::PluginList list;
    ASSERT_EQ(S_OK, list.LoadPlugins(SPI::SPI_DEFAULT_FLAGS, testenv::Wide(folder.Path())));
    EXPECT_EQ(0u, SPI::WarmModules()) << "what discovery lets go is freed at once";
    DWORD took = 0;  // the second walk's: each module's two let-gos are that far apart
    for (int walk = 0; walk < 2; ++walk) {
        SPI::PluginName name(L"x.bin");
        const BYTE header[SPI::HEADER_SIZE] = {};
        const DWORD began = GetTickCount();
        EXPECT_EQ(nullptr, list.FindSupporting(name, header));
        took = GetTickCount() - began;
        if (walk == 0) EXPECT_EQ(0u, SPI::WarmModules()) << "only a module let go twice stays";
    }
    // On an emulated machine a walk over this many plug-ins can outlast the warmth itself.
    if (took >= SPI::WARM_MILLISECONDS)
        GTEST_SKIP() << "a walk took " << took << " ms, longer than a module stays warm";
    EXPECT_EQ(SPI::WARM_MOST, SPI::WarmModules()) << "the bound";
    size_t mapped = 0;
    for (const std::string& name : folder.Listed()) mapped += Mapped(folder.PathOf(name)) ? 1 : 0;
    EXPECT_EQ(SPI::WARM_MOST, mapped) << "those over the bound were freed";
}

}  // namespace
