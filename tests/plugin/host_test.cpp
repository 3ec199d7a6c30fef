// The plug-in list behind the manager, without COM: discovery in folders of test plug-ins,
// the selection walk and what it shows the plug-ins, the bitmap file composed in memory,
// and the file filter. Every test runs in an empty current directory of its own, and
// compares with what the system directory alone gives.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/spi_folder.h"
#include "common/test_env.h"
#include "plugin/plugin_list.h"
#include "plugin/remote_plugin.h"
#include "plugin_object/plugin_fixture.h"
#include "plugins/test_formats.h"

using Host = SPI::PluginList;
using testenv::CurrentDirectory;
using testenv::Mapped;
using testenv::SpiCounters;
using testenv::SpiFolder;

namespace {

std::vector<std::string> Paths(const Host& host) {
    std::vector<std::string> paths;
    for (const SPI::SpiInterface& entry : host.Plugins()) paths.push_back(testenv::Narrow(entry.WidePath()));
    return paths;
}

// Discovery with a search folder, and the selection walk with a file name (null: none), in
// narrow text.
void Load(Host& host, LONG flags, const char* folder) {
    EXPECT_EQ(S_OK, host.LoadPlugins(flags, folder ? std::optional(testenv::Wide(folder)) : std::nullopt));
}
SPI::PluginName Name(const char* name) {
    return name ? SPI::PluginName(testenv::Wide(name)) : SPI::PluginName();
}
SPI::SpiInterface* Find(Host& host, const char* name, const void* header) {
    SPI::PluginName n = Name(name);
    return host.FindSupporting(n, header);
}
SPI::SpiInterface* FindFile(Host& host, const char* name, HANDLE file, LONG offset) {
    SPI::PluginName n = Name(name);
    return host.FindSupportingFile(n, file, offset);
}
SPI::SpiInterface* FindMemory(Host& host, const char* name, const SPI::Source& source) {
    SPI::PluginName n = Name(name);
    return host.FindSupportingMemory(n, source);
}

std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string TestName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

class HostTest : public ::testing::Test {
protected:
    HostTest() : empty_(Tag("empty")), cwd_(Tag("cwd")), here_(cwd_.Path()) {}

    static std::string Tag(const std::string& what) { return what + "_" + TestName(); }

    // What a discovery lists with no plug-in in the current directory and no search folder
    // (the system directory's plug-ins, if it has any).
    std::vector<std::string> Baseline(LONG flags) {
        CurrentDirectory there(empty_.Path());
        Host host;
        Load(host, flags & ~SPI::SPI_SUSIE_FOLDER, nullptr);
        return Paths(host);
    }

    SpiFolder empty_;
    SpiFolder cwd_;
    CurrentDirectory here_;
};

using Discovery = HostTest;

TEST_F(Discovery, KindBitsAndTheUnloadBitDecideWhatIsListedAndLoaded) {
    SpiFolder folder(Tag("mixed"));
    folder.Add("qqa");
    folder.Add("qqz");
    folder.Add("badkind");        // neither kind
    folder.Add("noissupported");  // fails its probe
    folder.AddFile("notes.spi", "not a library");
    folder.AddFolder("folder.spi");
    folder.AddFile("readme.txt", "not a plug-in's name");
    const struct {
        LONG flags;
        bool pictures, archives;
    } cases[] = {
        {7, true, true},   {6, true, true},   {3, true, false}, {2, true, false}, {5, false, true},
        {4, false, true},  {1, false, false}, {8, false, false}, {9, false, false},
        {0x107, true, true},  // higher bits are kept and change nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags);
        Host host;
        Load(host, c.flags, folder.Path().c_str());
        EXPECT_EQ(c.flags, host.LoadFlags());
        std::vector<std::string> expected;
        for (const std::string& name : folder.Listed())
            if ((name == "qqa.spi" && c.pictures) || (name == "qqz.spi" && c.archives))
                expected.push_back(folder.PathOf(name));
        const size_t fromFolder = expected.size();
        EXPECT_EQ(Joined(expected, Baseline(c.flags)), Paths(host));

        const bool keepLoaded = (c.flags & SPI::SPI_UNLOAD_AFTER_PROBE) == 0;
        for (size_t i = 0; i < fromFolder && i < host.Plugins().size(); ++i) {
            EXPECT_EQ(keepLoaded, host.Plugins()[i].IsLoaded()) << expected[i];
            EXPECT_EQ(keepLoaded, Mapped(expected[i])) << expected[i];
        }
        // What was probed and not listed was unloaded again.
        for (const char* name : {"badkind.spi", "noissupported.spi", "notes.spi"})
            EXPECT_FALSE(Mapped(folder.PathOf(name))) << name;
        if (!c.pictures) {
            EXPECT_FALSE(Mapped(folder.PathOf("qqa.spi")));
        }
        if (!c.archives) {
            EXPECT_FALSE(Mapped(folder.PathOf("qqz.spi")));
        }
    }
}

TEST_F(Discovery, FoldersComeInOrderTheCurrentOneWithBareNamesAndARescanReplacesTheList) {
    cwd_.Add("qqa", "order_cwd.spi");
    SpiFolder folder(Tag("search"));
    folder.Add("qqz", "order_search.spi");
    Host host;
    Load(host, 7, folder.Path().c_str());
    const std::vector<std::string> expected =
        Joined({"order_cwd.spi", folder.PathOf("order_search.spi")}, Baseline(7));
    EXPECT_EQ(expected, Paths(host));
    // The bare name is found again through the loader's search, which takes in the current
    // directory.
    ASSERT_FALSE(host.Plugins().empty());
    EXPECT_EQ(SPI::KIND_PICTURE, host.Plugins()[0].Probe());
    EXPECT_TRUE(Mapped("order_cwd.spi"));

    Load(host, 7, folder.Path().c_str());
    EXPECT_EQ(expected, Paths(host)) << "a second discovery gives the same list, not a doubled one";
    EXPECT_FALSE(Mapped("order_cwd.spi")) << "the old entries went before the scan";

    // A new list holder scans the current directory at once, keeping nothing loaded.
    Host fresh;
    EXPECT_EQ(SPI::SPI_DEFAULT_FLAGS, fresh.LoadFlags());
    ASSERT_FALSE(fresh.Plugins().empty());
    EXPECT_EQ("order_cwd.spi", testenv::Narrow(fresh.Plugins()[0].WidePath()));
    EXPECT_FALSE(fresh.Plugins()[0].IsLoaded());
}

TEST_F(Discovery, AnEmptySearchFolderIsTheRootOfTheCurrentDriveAndNoFolderIsNot) {
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    const std::string name = "tamrix_root_" + std::to_string(GetCurrentProcessId()) + ".spi";
    const std::string atRoot = std::string(cwd, 3) + name;  // "C:\" and the name
    if (!CopyFileA(testenv::SpiPath("qqa").c_str(), atRoot.c_str(), FALSE)) {
        // Wine's drive root is writable; on Windows it takes an administrator.
        ASSERT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << atRoot;
        GTEST_SKIP() << "the root of the current drive is not writable here";
    }
    {
        Host host;
        Load(host, 7, "");
        const std::vector<std::string> paths = Paths(host);
        EXPECT_EQ(1, std::count(paths.begin(), paths.end(), "\\" + name));
        Load(host, 7, nullptr);
        EXPECT_EQ(Baseline(7), Paths(host));
    }
    DeleteFileA(atRoot.c_str());
}

TEST_F(Discovery, PathsThatDoNotFitTheirBuffersAreSkippedNotCut) {
    SpiFolder base(Tag("long"));
    // A folder path of 249 characters: "<folder>\decoy.spi" then has 259, the most a path
    // buffer of 260 holds, and a longer name cut to that length would read as the decoy.
    const std::string deep = base.Path() + "\\" + std::string(249 - base.Path().size() - 1, 'd');
    ASSERT_EQ(249u, deep.size());
    auto longPath = [](const std::string& p) { return L"\\\\?\\" + testenv::Wide(p); };
    ASSERT_TRUE(CreateDirectoryW(longPath(deep).c_str(), nullptr));
    const std::string decoy = deep + "\\decoy.spi";
    const std::string tooLong = deep + "\\decoy.spi" + std::string(20, 'x') + ".spi";
    ASSERT_TRUE(CopyFileW(longPath(testenv::SpiPath("qqa")).c_str(), longPath(decoy).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(longPath(testenv::SpiPath("qqz")).c_str(), longPath(tooLong).c_str(), FALSE));
    {
        Host host;
        Load(host, 7, deep.c_str());
        EXPECT_EQ(Joined({decoy}, Baseline(7)), Paths(host));
        for (const std::string& path : Paths(host)) EXPECT_LT(path.size(), SPI::PATH_BUFFER_SIZE);

        // A search folder whose pattern cannot fit is not scanned at all.
        Load(host, 7, (deep + "\\" + std::string(8, 'e')).c_str());
        EXPECT_EQ(Baseline(7), Paths(host));
    }
    DeleteFileW(longPath(decoy).c_str());
    DeleteFileW(longPath(tooLong).c_str());
    RemoveDirectoryW(longPath(deep).c_str());
}

// ---- Selection -------------------------------------------------------------------------

using Selection = HostTest;

std::vector<BYTE> QqaBytes(int32_t width = 4, int32_t height = 2, uint16_t bits = 24, uint32_t clrUsed = 0) {
    return plugtest::Bytes(plugtest::Qqa(width, height, bits, clrUsed));
}

TEST_F(Selection, TheEarlierOfTwoAcceptingPluginsWinsAndTheLaterIsNotAsked) {
    cwd_.Add("qqa", "sel_first.spi");
    SpiFolder folder(Tag("second"));
    const std::string second = folder.Add("qqa", "sel_second.spi");
    std::vector<BYTE> header = QqaBytes();
    header.resize(SPI::HEADER_SIZE);
    for (LONG flags : {6, 7}) {
        SCOPED_TRACE(testing::Message() << "flags " << flags);
        Host host;
        Load(host, flags, folder.Path().c_str());
        ASSERT_GE(host.Plugins().size(), 2u);
        EXPECT_EQ(&host.Plugins()[0], Find(host, "picture.qqa", header.data()));
        std::string name;
        EXPECT_EQ(1, SpiCounters("sel_first.spi").IsSupportedCalls(&name));
        EXPECT_EQ("picture.qqa", name);
        EXPECT_TRUE(host.Plugins()[0].IsLoaded());
        if (flags == 6) {
            EXPECT_EQ(0, SpiCounters(second).IsSupportedCalls()) << "the later plug-in was not asked";
        } else {
            EXPECT_FALSE(host.Plugins()[1].IsLoaded());
            EXPECT_FALSE(Mapped(second)) << "the later plug-in was not even loaded";
        }
    }
}

TEST_F(Selection, EntriesLoadedForTheWalkThatDeclineAreUnloadedAndOthersKeepTheirState) {
    cwd_.Add("qqz", "walk_z1.spi");
    cwd_.Add("qqz", "walk_z2.spi");
    SpiFolder folder(Tag("accepting"));
    const std::string accepting = folder.Add("qqa", "walk_a.spi");
    Host host;
    Load(host, 7, folder.Path().c_str());
    ASSERT_GE(host.Plugins().size(), 3u);
    SPI::SpiInterface& loadedBefore = host.Plugins()[0];  // either of the two archive plug-ins
    const std::string other = testenv::Narrow(host.Plugins()[1].WidePath());
    ASSERT_TRUE(SPI::LoadOnDemand(loadedBefore));

    std::vector<BYTE> header = QqaBytes();
    header.resize(SPI::HEADER_SIZE);
    EXPECT_EQ(&host.Plugins()[2], Find(host, "x.qqa", header.data()));
    EXPECT_TRUE(loadedBefore.IsLoaded()) << "loaded before the walk: stays, though it declined";
    EXPECT_EQ(1, SpiCounters(testenv::Narrow(loadedBefore.WidePath())).IsSupportedCalls());
    EXPECT_FALSE(host.Plugins()[1].IsLoaded());
    SPI::DropWarmModules(nullptr);  // a module mapped after this, a binding holds
    EXPECT_FALSE(Mapped(other)) << "loaded for the walk and declining: unloaded again";
    EXPECT_TRUE(host.Plugins()[2].IsLoaded()) << "the chosen one stays loaded";
    EXPECT_TRUE(Mapped(accepting));

    // No plug-in takes it: every entry ends as it was.
    header[0] = 'X';
    EXPECT_EQ(nullptr, Find(host, "x.qqa", header.data()));
    EXPECT_TRUE(host.Plugins()[0].IsLoaded());
    EXPECT_FALSE(host.Plugins()[1].IsLoaded());
    EXPECT_TRUE(host.Plugins()[2].IsLoaded());
}

TEST_F(Selection, AMissingFileIsStillOfferedByName) {
    SpiFolder folder(Tag("byname"));
    const std::string byName = folder.Add("qqn");
    Host host;
    Load(host, 6, folder.Path().c_str());
    const std::string missing = folder.PathOf("no such picture.qqn");
    EXPECT_EQ(&host.Plugins()[0], FindFile(host, missing.c_str(), INVALID_HANDLE_VALUE, 0));
    std::string name;
    EXPECT_EQ(1, SpiCounters(byName).IsSupportedCalls(&name));
    EXPECT_EQ(missing, name);
    std::vector<BYTE> seen;
    EXPECT_NE(nullptr, SpiCounters(byName).LastHeader(seen));
    EXPECT_EQ(std::vector<BYTE>(SPI::HEADER_SIZE, 0), seen) << "an unread header is all zeros";
    EXPECT_EQ(nullptr, FindFile(host, folder.PathOf("other.qqa").c_str(), INVALID_HANDLE_VALUE, 0));
}

TEST_F(Selection, TheHeaderIsReadAtTheOffsetAndWhatTheFileLacksIsZero) {
    SpiFolder folder(Tag("header"));
    const std::string plugin = folder.Add("qqa");
    Host host;
    Load(host, 6, folder.Path().c_str());
    // A long file first, so a header left unfilled later would still hold its bytes.
    const std::string full = plugtest::WriteTemp("tamrix_header_full.bin", std::vector<BYTE>(4096, 0xEE));
    const std::vector<BYTE> qqa = QqaBytes();
    const std::string shortFile = plugtest::WriteTemp("tamrix_header_short.qqa", qqa, 128);
    auto walk = [&](const std::string& path, LONG offset) {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        SPI::SpiInterface* chosen = FindFile(host, path.c_str(), file, offset);
        CloseHandle(file);
        return chosen;
    };
    std::vector<BYTE> seen;
    EXPECT_EQ(nullptr, walk(full, 0));
    SpiCounters(plugin).LastHeader(seen);
    EXPECT_EQ(std::vector<BYTE>(SPI::HEADER_SIZE, 0xEE), seen);

    EXPECT_EQ(nullptr, walk(shortFile, 0)) << "the picture starts at 128";
    SpiCounters(plugin).LastHeader(seen);
    EXPECT_EQ(0xEE, seen[127]);
    EXPECT_EQ(0, std::memcmp(seen.data() + 128, qqa.data(), qqa.size()));
    EXPECT_EQ(std::vector<BYTE>(SPI::HEADER_SIZE - 128 - qqa.size(), 0),
              std::vector<BYTE>(seen.begin() + 128 + qqa.size(), seen.end()));

    EXPECT_EQ(&host.Plugins()[0], walk(shortFile, 128));
    SpiCounters(plugin).LastHeader(seen);
    EXPECT_EQ(0, std::memcmp(seen.data(), qqa.data(), qqa.size()));
    EXPECT_EQ(std::vector<BYTE>(SPI::HEADER_SIZE - qqa.size(), 0),
              std::vector<BYTE>(seen.begin() + qqa.size(), seen.end()));

    EXPECT_EQ(nullptr, walk(shortFile, 4096)) << "past the end: nothing read, all zeros";
    SpiCounters(plugin).LastHeader(seen);
    EXPECT_EQ(std::vector<BYTE>(SPI::HEADER_SIZE, 0), seen);
    DeleteFileA(full.c_str());
    DeleteFileA(shortFile.c_str());
}

TEST_F(Selection, AByteArrayShorterThanAHeaderIsShownAsAPaddedCopy) {
    SpiFolder folder(Tag("memory"));
    const std::string plugin = folder.Add("qqa");
    Host host;
    Load(host, 6, folder.Path().c_str());
    const std::vector<BYTE> qqa = QqaBytes();
    std::vector<BYTE> seen;

    plugtest::Variant shortArray;
    plugtest::SetArray(shortArray, qqa);
    SPI::Source source;
    ASSERT_EQ(S_OK, source.ConvertMemory(*shortArray.get()));
    EXPECT_EQ(&host.Plugins()[0], FindMemory(host, "a.qqa", source));
    EXPECT_NE(static_cast<const void*>(source.Buf()), SpiCounters(plugin).LastHeader(seen));
    EXPECT_EQ(0, std::memcmp(seen.data(), qqa.data(), qqa.size()));
    EXPECT_EQ(std::vector<BYTE>(SPI::HEADER_SIZE - qqa.size(), 0),
              std::vector<BYTE>(seen.begin() + qqa.size(), seen.end()));
    std::string name;
    SpiCounters(plugin).IsSupportedCalls(&name);
    EXPECT_EQ("a.qqa", name);
    source.Release();

    // A whole header's worth is shown where it is, and so is an address.
    std::vector<BYTE> big = qqa;
    big.resize(SPI::HEADER_SIZE, 0x77);
    plugtest::Variant bigArray;
    plugtest::SetArray(bigArray, big);
    SPI::Source bigSource;
    ASSERT_EQ(S_OK, bigSource.ConvertMemory(*bigArray.get()));
    EXPECT_EQ(&host.Plugins()[0], FindMemory(host, nullptr, bigSource));
    EXPECT_EQ(static_cast<const void*>(bigSource.Buf()), SpiCounters(plugin).LastHeader(seen));
    SpiCounters(plugin).IsSupportedCalls(&name);
    EXPECT_EQ("<null>", name);
    bigSource.Release();

    VARIANT address;
    V_VT(&address) = VT_I4;
    V_I4(&address) = static_cast<LONG>(reinterpret_cast<INT_PTR>(big.data()));
    SPI::Source addressSource;
    ASSERT_EQ(S_OK, addressSource.ConvertMemory(address));
    EXPECT_EQ(&host.Plugins()[0], FindMemory(host, nullptr, addressSource));
    EXPECT_EQ(static_cast<const void*>(big.data()), SpiCounters(plugin).LastHeader(seen));
}

// ---- Pictures composed in memory --------------------------------------------------------

using Composing = HostTest;

std::vector<BYTE> BlockBytes(HGLOBAL block) {
    std::vector<BYTE> bytes(GlobalSize(block));
    if (const void* p = GlobalLock(block)) {
        std::memcpy(bytes.data(), p, bytes.size());
        GlobalUnlock(block);
    }
    return bytes;
}

DWORD At(const std::vector<BYTE>& bytes, size_t offset) {
    DWORD v = 0;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

TEST_F(Composing, TheBitmapFileHasTheDataOffsetOfItsColourTable) {
    SpiFolder folder(Tag("pictures"));
    const std::string plugin = folder.Add("qqa");
    Host host;
    Load(host, 6, folder.Path().c_str());
    const struct {
        uint16_t bits;
        uint32_t clrUsed;
        DWORD dataOffset;
    } cases[] = {{24, 0, 54}, {8, 0, 1078}, {8, 16, 118}, {1, 0, 62}, {32, 0, 54}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.clrUsed << " colours used");
        testspi::QqaHeader q = plugtest::Qqa(5, 3, c.bits, c.clrUsed);
        const std::string file = plugtest::WriteTemp("tamrix_compose.qqa", plugtest::Bytes(q));
        plugtest::Variant src;
        plugtest::SetString(src, file);
        SPI::Source source;
        ASSERT_EQ(S_OK, source.Convert(*src.get(), 0));
        Tamrix::UniqueHglobal bitmap;
        ASSERT_EQ(S_OK, host.ComposePicture(source, bitmap));
        const std::vector<BYTE> bytes = BlockBytes(bitmap.get());
        const DWORD rowSize = (5 * c.bits + 31) / 32 * 4;
        const DWORD fileSize = c.dataOffset + rowSize * 3;
        ASSERT_GE(bytes.size(), fileSize);
        EXPECT_EQ('B', bytes[0]);
        EXPECT_EQ('M', bytes[1]);
        EXPECT_EQ(fileSize, At(bytes, 2));
        EXPECT_EQ(0u, At(bytes, 6)) << "reserved";
        EXPECT_EQ(c.dataOffset, At(bytes, 10));
        EXPECT_EQ(40u, At(bytes, 14)) << "biSize";
        EXPECT_EQ(5u, At(bytes, 18));
        EXPECT_EQ(3u, At(bytes, 22));
        bool colours = true, pixels = true;
        for (DWORD i = 54; i < c.dataOffset; ++i)
            colours = colours && bytes[i] == testspi::pattern_byte(q.seed + 0x40, i - 54);
        for (DWORD i = 0; i < rowSize * 3; ++i)
            pixels = pixels && bytes[c.dataOffset + i] == testspi::pattern_byte(q.seed, i);
        EXPECT_TRUE(colours);
        EXPECT_TRUE(pixels);
        EXPECT_EQ(0, SpiCounters(plugin).Outstanding()) << "both blocks were freed";
        DeleteFileA(file.c_str());
    }
}

TEST_F(Composing, RefusalsAndFailuresLeaveNoBlockBehind) {
    SpiFolder folder(Tag("failures"));
    const std::string plugin = folder.Add("qqa");
    Host host;
    Load(host, 6, folder.Path().c_str());
    auto compose = [&](const testspi::QqaHeader& q) {
        plugtest::Variant src;
        plugtest::SetArray(src, plugtest::Bytes(q));
        SPI::Source source;
        EXPECT_EQ(S_OK, source.Convert(*src.get(), sizeof q));
        Tamrix::UniqueHglobal bitmap;
        const HRESULT hr = host.ComposePicture(source, bitmap);
        EXPECT_EQ(FAILED(hr), !bitmap);
        EXPECT_EQ(0, SpiCounters(plugin).Outstanding());
        return hr;
    };
    testspi::QqaHeader q = plugtest::Qqa(64, 64, 24);
    EXPECT_EQ(S_OK, compose(q));
    q.pixelShortfall = 64 * 3 * 32;  // half the rows the header asks for
    EXPECT_EQ(E_FAIL, compose(q)) << "a header asking more than the pixel block holds";
    q = plugtest::Qqa(4, 4, 8);
    q.infoShortfall = 512;
    EXPECT_EQ(E_FAIL, compose(q)) << "a colour table larger than the information block";
    q = plugtest::Qqa(4, 4, 24);
    q.flags = testspi::QQA_NULL_PIXELS;
    EXPECT_EQ(E_OUTOFMEMORY, compose(q));
    q.flags = 0;
    q.resultCode = 1;
    EXPECT_EQ(E_ABORT, compose(q));
    q.resultCode = 4;
    EXPECT_EQ(E_OUTOFMEMORY, compose(q));
    q = plugtest::Qqa(4, 4, 24);
    q.magic[0] = 'X';
    EXPECT_EQ(E_FAIL, compose(q)) << "nobody takes it";
}

TEST_F(Composing, AnArchivePluginAcceptingFirstIsPassedByForThePicturePlugin) {
    cwd_.Add("qqz_greedy", "greedy_archive.spi");
    SpiFolder folder(Tag("picture"));
    const std::string picturePlugin = folder.Add("qqa", "greedy_picture.spi");
    Host host;
    Load(host, 6, folder.Path().c_str());
    ASSERT_GE(host.Plugins().size(), 2u);
    plugtest::Variant src;
    plugtest::SetArray(src, QqaBytes());
    SPI::Source source;
    ASSERT_EQ(S_OK, source.Convert(*src.get(), 104));
    Tamrix::UniqueHglobal bitmap;
    EXPECT_EQ(S_OK, host.ComposePicture(source, bitmap));
    EXPECT_TRUE(bitmap);
    EXPECT_EQ(1, SpiCounters("greedy_archive.spi").IsSupportedCalls());
    EXPECT_EQ(0, SpiCounters("greedy_archive.spi").DataCalls()) << "the archive plug-in is not asked to decode";
    EXPECT_EQ(1, SpiCounters(picturePlugin).DataCalls());
}

// ---- File filter -----------------------------------------------------------------------

using Filter = HostTest;

std::wstring Text(const SPI::FileFilter& filter) {
    std::wstring text(filter.Length(), L'?');
    filter.WriteTo(text.data());
    return text;
}

std::wstring Nuls(std::wstring s) {
    std::replace(s.begin(), s.end(), L'|', L'\0');
    return s;
}

TEST_F(Filter, TheWorkedExampleForEachTypeLeavesLoadStatesAsTheyWere) {
    cwd_.Add("qqa", "filter_qqa.spi");  // first in the list
    SpiFolder folder(Tag("archive"));
    const std::string archive = folder.Add("qqz", "filter_qqz.spi");
    Host host;
    Load(host, 7, folder.Path().c_str());
    ASSERT_EQ(Joined({"filter_qqa.spi", folder.PathOf("filter_qqz.spi")}, Baseline(7)), Paths(host));
    host.Plugins().resize(2);  // whatever the system directory adds has texts of its own
    ASSERT_TRUE(SPI::LoadOnDemand(host.Plugins()[1]));

    const std::wstring both = Nuls(L"All images|*.qqa;*.qqb;*.qqc;*.qqz|QQA picture|*.qqa|QQB picture|*.qqb;*.qqc|"
                                   L"QQZ archive|*.qqz|");
    const struct {
        LONG type;
        std::wstring text;
        size_t length;
    } cases[] = {
        {0, both, 95},
        {1, Nuls(L"All images|*.qqa;*.qqb;*.qqc|QQA picture|*.qqa|QQB picture|*.qqb;*.qqc|"), 71},
        {2, Nuls(L"All images|*.qqz|QQZ archive|*.qqz|"), 35},
        {3, both, 95},
        {4, Nuls(L"All images||"), 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type);
        const SPI::FileFilter filter = host.CollectFileFilter(c.type);
        EXPECT_EQ(c.length, filter.Length());
        EXPECT_EQ(c.text, Text(filter));
        EXPECT_FALSE(host.Plugins()[0].IsLoaded());
        SPI::DropWarmModules(nullptr);  // a module mapped after this, a binding holds
        EXPECT_FALSE(Mapped("filter_qqa.spi")) << "loaded for the call, unloaded again";
        EXPECT_TRUE(host.Plugins()[1].IsLoaded()) << "loaded before the call, still loaded";
    }
}

TEST_F(Filter, PluginsThatAnswerEveryNumberOrWriteNoNulStillGiveAFiniteText) {
    const struct {
        const char* spi;
        std::wstring text;
    } cases[] = {
        // A non-zero answer with nothing written ends the walk on the empty pattern.
        {"anyinfo", Nuls(L"All images|*.qqy|QQY picture|*.qqy|")},
        // Texts are taken from the buffer, never past it.
        {"nonul", Nuls(L"All images|*.qqa" + std::wstring(59, L'A') + L"|QQA picture" + std::wstring(53, L'A') +
                       L"|*.qqa" + std::wstring(59, L'A') + L"|")},
        // The description of the second pair answers 0: the pattern read before it goes.
        {"halfpair", Nuls(L"All images|*.qqh|QQH picture|*.qqh|")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.spi);
        SpiFolder folder(Tag(c.spi));
        folder.Add(c.spi);
        Host host;
        Load(host, 7, folder.Path().c_str());
        host.Plugins().resize(1);
        EXPECT_EQ(c.text, Text(host.CollectFileFilter(0)));
    }

    // Never an empty pattern and never a NUL: the pairs stop at the cap.
    SpiFolder folder(Tag("endless"));
    folder.Add("anyinfo_nonul");
    Host host;
    Load(host, 7, folder.Path().c_str());
    host.Plugins().resize(1);
    const SPI::FileFilter filter = host.CollectFileFilter(0);
    EXPECT_EQ(static_cast<size_t>(SPI::MAX_FILE_TYPES), filter.Pairs());
    const std::wstring text = Text(filter);
    const size_t pairs = SPI::MAX_FILE_TYPES;
    EXPECT_EQ(11 + (65 * pairs - 1) + 1 + 2 * 65 * pairs, text.size());
    const std::wstring firstPair = L"QQY picture" + std::wstring(53, L'A') + L'\0' + L"*.qqy" + std::wstring(59, L'A');
    EXPECT_NE(std::wstring::npos, text.find(firstPair));
}

// ---- Check -----------------------------------------------------------------------------

using Checking = HostTest;

// Each file a plug-in folder may hold that discovery leaves out says why; nothing stays loaded.
TEST_F(Checking, EveryFileDiscoveryLeavesOutSaysWhy) {
    SpiFolder folder(Tag("check"));
    std::string module(0x80, '\0');  // a module header of the machine this build is not
    module[0] = 'M', module[1] = 'Z', module[0x3C] = 0x40;
    module.replace(0x40, 4, std::string("PE\0\0", 4));
    const WORD other = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
    module[0x44] = static_cast<char>(other & 0xFF), module[0x45] = static_cast<char>(other >> 8);
    Host host;
    Load(host, SPI::SPI_PICTURE, nullptr);  // archive plug-ins left out
    const auto win32 = [](DWORD e) { return HRESULT_FROM_WIN32(e); };
    const struct {
        std::string path;
        HRESULT code;
        std::wstring detail;
    } cases[] = {
        {testenv::SpiPath("qqa"), S_OK, L"00IN"},
        {testenv::SpiPath("qqz"), S_FALSE, L"00AM"},
        {testenv::SpiPath("qqa_nopicture"), win32(ERROR_PROC_NOT_FOUND), L"GetPicture"},
        {testenv::SpiPath("qqz_nofileinfo"), win32(ERROR_PROC_NOT_FOUND), L"GetFileInfo"},
        {testenv::SpiPath("noissupported"), win32(ERROR_PROC_NOT_FOUND), L"IsSupported"},
        {testenv::SpiPath("badkind"), win32(ERROR_NOT_SUPPORTED), L"00XX"},
        {testenv::SpiPath("qqa_loadfails"), win32(ERROR_DLL_INIT_FAILED), L""},
        {folder.AddFile("notes.spi", "not a module"), win32(ERROR_BAD_EXE_FORMAT), L""},
        {folder.AddFile("other.spi", module), win32(ERROR_EXE_MACHINE_TYPE_MISMATCH),
         sizeof(void*) == 8 ? L"x86" : L"x64"},
        {folder.Add("qqa", "qqa.dll"), win32(ERROR_INVALID_NAME), sizeof(void*) == 8 ? L".spi .sph" : L".spi"},
        {folder.PathOf("missing.spi"), win32(ERROR_FILE_NOT_FOUND), L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const SPI::PluginCheck check = host.Check(testenv::Wide(c.path));
        EXPECT_EQ(c.code, check.code);
        EXPECT_EQ(c.detail, check.detail);
        EXPECT_EQ(nullptr, GetModuleHandleA(c.path.c_str()));
    }
}

// ---- Plug-ins no process could be had for ----------------------------------------------

// Isolated plug-ins whose process never comes: every load fails with the activation's code.
class Unserved final : public SPI::RemotePlugin {
public:
    explicit Unserved(HRESULT failure) : failure_(failure) {}
    std::unique_ptr<RemotePlugin> Clone() const override { return std::make_unique<Unserved>(failure_); }
    DWORD Load(const std::wstring&) noexcept override { return 0; }
    void Unload() noexcept override {}
    bool IsLoaded() const noexcept override { return false; }
    HRESULT LoadFailure() const noexcept override { return failure_; }
    DWORD Kind() const noexcept override { return 0; }
    HRESULT IsSupported(const SPI::PluginName&, const void*) noexcept override { return S_FALSE; }
    bool InfoText(int, int, std::wstring&) override { return false; }
    HRESULT Decode(SPI::Source&, SPI::DecodedPicture&) override { return failure_; }
    HRESULT ReadPictureProperties(SPI::Source&, SPI::PictureProperties&) override { return failure_; }
    HRESULT WritePicture(const std::wstring&, std::span<const BYTE>, std::span<const BYTE>) override {
        return failure_;
    }
    size_t CountDeclining(std::span<const std::wstring>, const SPI::PluginName&, const void*) noexcept override {
        return 0;
    }
    bool ServedWith(const RemotePlugin&) const noexcept override { return false; }
    HRESULT NewObject(const std::wstring&, REFIID, void**) noexcept override { return failure_; }

private:
    HRESULT failure_;
};

class UnservedPlugins final : public SPI::RemotePlugins {
public:
    explicit UnservedPlugins(HRESULT failure) : failure_(failure) {}
    std::unique_ptr<SPI::RemotePlugin> Bind(WORD, bool) const override { return std::make_unique<Unserved>(failure_); }

private:
    HRESULT failure_;
};

// A plug-in whose helper does not start, whose server is not registered or whose activation
// times out stays in the list, telling why; the walks pass it by; Check says the same.
TEST_F(Discovery, PluginsNoProcessCouldServeStayListedAndTheWalksPassThemBy) {
    SpiFolder folder(Tag("unserved"));
    const std::string qqa = folder.Add("qqa");
    const unsigned char header[SPI::HEADER_SIZE] = {'Q', 'Q', 'A', '1'};
    for (const HRESULT failure : {CO_E_SERVER_EXEC_FAILURE, REGDB_E_CLASSNOTREG}) {
        SCOPED_TRACE(testing::Message() << std::hex << failure);
        Host host(std::make_unique<UnservedPlugins>(failure));
        Load(host, SPI::SPI_ISOLATE | SPI::SPI_DEFAULT_FLAGS, folder.Path().c_str());
        ASSERT_FALSE(host.Plugins().empty());
        EXPECT_EQ(qqa, testenv::Narrow(host.Plugins()[0].WidePath()));
        ASSERT_TRUE(host.Plugins()[0].Remote());
        EXPECT_EQ(failure, host.Plugins()[0].Remote()->LoadFailure());
        EXPECT_EQ(nullptr, Find(host, "x.qqa", header));
        EXPECT_EQ(failure, host.Check(testenv::Wide(qqa)).code);
    }
}

}  // namespace
