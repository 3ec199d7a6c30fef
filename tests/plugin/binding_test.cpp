// Binding a plug-in file: probing, kinds, entries and library references, against the
// test plug-ins.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/spi_folder.h"
#include "plugin/spi_interface.h"

using SPI::SpiInterface;

namespace {

using testenv::Mapped;

// A binding of the test plug-in at `path`.
SpiInterface Binding(const std::string& path) {
    return SpiInterface(testenv::Wide(path));
}

DWORD KindOf(const char (&text)[5]) {
    return static_cast<DWORD>(text[0]) | static_cast<DWORD>(text[1]) << 8 |
           static_cast<DWORD>(text[2]) << 16 | static_cast<DWORD>(text[3]) << 24;
}

TEST(Binding, NewBindingIsEmptyAndUnloaded) {
    SpiInterface b;
    EXPECT_TRUE(b.WidePath().empty());
    EXPECT_FALSE(b.IsLoaded());
    EXPECT_EQ(nullptr, b.GetPluginInfoEntry());
    EXPECT_EQ(nullptr, b.IsSupportedEntry());
    EXPECT_EQ(nullptr, b.GetPictureEntry());
    EXPECT_EQ(0u, b.Kind());
}

TEST(Binding, ProbeClassifiesAndResolvesByKind) {
    const std::string qqa = testenv::SpiPath("qqa");
    SpiInterface pic = Binding(qqa);
    EXPECT_EQ(SPI::KIND_PICTURE, pic.Probe());
    EXPECT_EQ(KindOf("00IN"), SPI::KIND_PICTURE);
    EXPECT_TRUE(pic.IsLoaded());
    HMODULE m = pic.Module();
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(m, "GetPictureInfo")), reinterpret_cast<void*>(pic.GetPictureInfoEntry()));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(m, "GetPicture")), reinterpret_cast<void*>(pic.GetPictureEntry()));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(m, "GetPreview")), reinterpret_cast<void*>(pic.GetPreviewEntry()));
    EXPECT_NE(nullptr, pic.GetPreviewEntry());

    SpiInterface arc = Binding(testenv::SpiPath("qqz"));
    EXPECT_EQ(SPI::KIND_ARCHIVE, arc.Probe());
    EXPECT_EQ(KindOf("00AM"), SPI::KIND_ARCHIVE);
    m = arc.Module();
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(m, "GetArchiveInfo")), reinterpret_cast<void*>(arc.GetArchiveInfoEntry()));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(m, "GetFile")), reinterpret_cast<void*>(arc.GetFileEntry()));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(m, "GetFileInfo")), reinterpret_cast<void*>(arc.GetFileInfoEntry()));
}

TEST(Binding, PictureWithoutPreviewStillProbes) {
    SpiInterface b = Binding(testenv::SpiPath("qqa_plain"));
    EXPECT_EQ(SPI::KIND_PICTURE, b.Probe());
    EXPECT_EQ(nullptr, b.GetPreviewEntry());
    EXPECT_NE(nullptr, b.GetPictureEntry());
}

TEST(Binding, FailedProbesKeepTheLibraryLoaded) {
    for (const char* name : {"qqz_noarchiveinfo", "qqz_nofileinfo", "qqz_nofile", "badkind", "noissupported"}) {
        SCOPED_TRACE(name);
        const std::string path = testenv::SpiPath(name);
        {
            SpiInterface b = Binding(path);
            EXPECT_EQ(0u, b.Probe());
            EXPECT_TRUE(b.IsLoaded());
            EXPECT_TRUE(Mapped(path));
        }
        EXPECT_FALSE(Mapped(path)) << "destruction frees what the failed probe loaded";
    }
}

TEST(Binding, MissingFileProbesAsZeroAndStaysUnloaded) {
    SpiInterface b = Binding(testenv::SpiDir() + "\\no_such_plugin.spi");
    EXPECT_EQ(0u, b.Probe());
    EXPECT_FALSE(b.IsLoaded());
}

TEST(Binding, ProbeOnLoadedBindingOnlyAsksTheKindAgain) {
    const std::string path = testenv::SpiPath("badkind");
    SpiInterface b = Binding(path);
    ASSERT_EQ(0u, b.Probe());
    // Loaded now: the second probe reports the bytes as they are, unjudged...
    EXPECT_EQ(KindOf("00XX"), b.Probe());
    // ...and took no second library reference: one unload frees it.
    b.Unload();
    EXPECT_FALSE(Mapped(path));
}

TEST(Binding, UnloadKeepsPathAndEntries) {
    SpiInterface b = Binding(testenv::SpiPath("qqa"));
    ASSERT_EQ(SPI::KIND_PICTURE, b.Probe());
    auto entry = b.GetPictureEntry();
    b.Unload();
    EXPECT_FALSE(b.IsLoaded());
    EXPECT_EQ(entry, b.GetPictureEntry());
    EXPECT_EQ(testenv::Wide(testenv::SpiPath("qqa")), b.WidePath());
    EXPECT_EQ(0u, b.Kind()) << "an unloaded binding is not asked";
}

TEST(Binding, CopiesOwnTheirOwnLibraryReference) {
    const std::string path = testenv::SpiPath("qqa");
    SpiInterface unloaded = Binding(path);
    SpiInterface copyOfUnloaded(unloaded);
    EXPECT_FALSE(copyOfUnloaded.IsLoaded());

    auto* source = new SpiInterface(testenv::Wide(path));
    ASSERT_EQ(SPI::KIND_PICTURE, source->Probe());
    source->Unload();
    ASSERT_EQ(SPI::KIND_PICTURE, source->Probe());
    SpiInterface copy(*source);
    SpiInterface assigned;
    assigned = *source;
    EXPECT_TRUE(copy.IsLoaded());
    EXPECT_TRUE(assigned.IsLoaded());
    EXPECT_EQ(source->GetPictureEntry(), copy.GetPictureEntry());
    delete source;
    EXPECT_TRUE(Mapped(path)) << "destroying the source leaves the copies' library loaded";
    EXPECT_EQ(SPI::KIND_PICTURE, copy.Kind());
    copy.Unload();
    EXPECT_TRUE(Mapped(path)) << "the assigned copy holds a reference of its own";
    EXPECT_EQ(SPI::KIND_PICTURE, assigned.Kind());
    assigned.Unload();
    EXPECT_FALSE(Mapped(path));

    // A copy of an unloaded binding carries the same entries, unloaded.
    SpiInterface stale = Binding(path);
    ASSERT_EQ(SPI::KIND_PICTURE, stale.Probe());
    stale.Unload();
    SpiInterface staleCopy(stale);
    EXPECT_FALSE(staleCopy.IsLoaded());
    EXPECT_EQ(stale.GetPictureEntry(), staleCopy.GetPictureEntry());
}

TEST(Binding, ACopyTakesTheModuleOfItsOriginalWhereverTheCurrentFolderIs) {
    // Bound by a relative path; from the next current folder the same path names an archive
    // plug-in, which a copy must never mistake for the original.
    testenv::SpiFolder folder("relative");
    const std::string a = folder.AddFolder("a"), b = folder.AddFolder("b"), ba = folder.AddFolder("b\\a");
    folder.Add("qqa", "a\\rel.spi");
    folder.Add("qqz", "b\\a\\rel.spi");
    {
        testenv::CurrentDirectory first(folder.Path());
        SpiInterface original(L"a\\rel.spi");
        ASSERT_EQ(SPI::KIND_PICTURE, original.Probe());
        testenv::CurrentDirectory second(b);
        const SpiInterface copy(original);
        EXPECT_EQ(original.Module(), copy.Module());
        EXPECT_TRUE(copy.IsBoundAs(SPI::KIND_PICTURE));
    }
    // The folder removes one level of its own; the deeper one goes first.
    for (const std::string& file : {a + "\\rel.spi", ba + "\\rel.spi"}) DeleteFileA(file.c_str());
    RemoveDirectoryA(ba.c_str());
}

TEST(Binding, GrowingListKeepsLibrariesLoaded) {
    const std::string path = testenv::SpiPath("qqa");
    std::vector<SpiInterface> list;
    for (int i = 0; i < 20; ++i) {
        SpiInterface b = Binding(path);
        ASSERT_EQ(SPI::KIND_PICTURE, b.Probe());
        list.push_back(b);
        for (const SpiInterface& e : list) ASSERT_TRUE(e.IsLoaded());
    }
    EXPECT_EQ(SPI::KIND_PICTURE, list.front().Kind());
    list.clear();
    EXPECT_FALSE(Mapped(path)) << "every reference taken by the list was given back";
}

}  // namespace
