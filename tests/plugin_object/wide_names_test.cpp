// Names through the plug-in object: a plug-in's wide entries where it has them, with the
// caller's UTF-16 name as it is; the narrow ones with the name in the ANSI code page, or the
// file's short name for a name that page cannot hold, or a refusal (E_INVALIDARG) that never
// calls the plug-in; archive members with UTF-16 names; paths longer than MAX_PATH. The
// letters beyond ASCII are chosen at run time against this machine's code pages.
#include <iostream>
#include <map>

#include "archive_fixture.h"
#include "common/wide_names.h"

namespace plugtest {
namespace {

using testenv::DeepFolder;
using testenv::Extended;
using testenv::InCodePages;
using testenv::LetterInsideCodePages;
using testenv::LettersOutsideCodePages;
using testenv::ReadFileW;
using testenv::TempDirW;
using testenv::WriteFileW;

// What a loaded WIDE test plug-in saw through its wide entries.
struct WideCalls {
    int data = -1;         // GetPictureInfoW ... GetFileW
    int isSupported = -1;  // IsSupportedW
    int info = -1;         // GetPluginInfoW
    std::wstring lastName;
};

WideCalls WideCallsOf(const std::string& spi) {
    WideCalls w;
    using Fn = int(WINAPI*)(int*, int*, wchar_t*, int);
    auto f = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(LoadedModule(spi), "TestWideCalls")));
    EXPECT_NE(nullptr, f) << spi;
    if (!f) return w;
    wchar_t name[1024] = {};
    w.data = f(&w.isSupported, &w.info, name, 1024);
    w.lastName = name;
    return w;
}

Bstr BstrOf(const std::wstring& s) {
    return Bstr(SysAllocStringLen(s.data(), static_cast<UINT>(s.size())));
}

void SetName(Variant& v, const std::wstring& s) {
    V_VT(v.get()) = VT_BSTR;
    V_BSTR(v.get()) = BstrOf(s).release();
}

std::wstring Read(ISpiFileInfo* e, HRESULT (STDMETHODCALLTYPE ISpiFileInfo::*get)(BSTR*)) {
    Bstr b;
    EXPECT_EQ(S_OK, (e->*get)(b.put()));
    return b.get() ? std::wstring(b.get(), SysStringLen(b.get())) : L"<null>";
}

std::string Utf8(const std::wstring& s) {
    char out[256];
    const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out, sizeof out, nullptr, nullptr);
    return std::string(out, n > 0 ? static_cast<size_t>(n) : 0);
}

const std::vector<BYTE> PICTURE = Bytes(Qqa(6, 4, 24));

// Plug-ins loaded afresh for each test, so that their counters start at 0; every block they
// hand out is freed again by the end.
class WideNames : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* spi : {"qqa", "qqw", "qqz", "qqzw"}) {
            plugins_[spi] = LoadPlugin(spi);
            counters_[spi] = std::make_unique<Counters>(spi);
        }
    }
    void TearDown() override {
        for (auto& [name, c] : counters_) EXPECT_EQ(0, c->Outstanding()) << name;
        for (const std::wstring& file : files_) DeleteFileW(Extended(file).c_str());
    }
    ISusiePlugin* Plugin(const std::string& spi) { return plugins_[spi].get(); }
    int Calls(const std::string& spi) { return counters_[spi]->Calls(); }
    // A file in the scratch folder, removed again at the end.
    std::wstring Write(const std::wstring& name, const std::vector<BYTE>& data) {
        const std::wstring path = TempDirW() + name;
        EXPECT_TRUE(WriteFileW(path, data)) << Utf8(path);
        files_.push_back(path);
        return path;
    }
    std::wstring Scratch(const std::wstring& name) {
        files_.push_back(TempDirW() + name);
        return files_.back();
    }
    static LONG Width(ISusiePlugin* p, const VARIANT& src, HRESULT expected = S_OK) {
        PictureInfo info{};
        EXPECT_EQ(expected, p->GetPictureInfo(src, 0, &info));
        return info.width;
    }
    static ComPtr<ISpiFileInfo> FirstEntry(ISusiePlugin* p, const VARIANT& src) {
        ComPtr<IDispatch> list;
        EXPECT_EQ(S_OK, p->GetArchiveInfo(src, 0, list.put()));
        ComPtr<ISpiFileInfoCollection> c;
        ComPtr<IDispatch> item;
        ComPtr<ISpiFileInfo> entry;
        if (list && SUCCEEDED(list->QueryInterface(IID_ISpiFileInfoCollection, c.put_void())) &&
            SUCCEEDED(c->get_Item(1, item.put()))) {
            item->QueryInterface(IID_ISpiFileInfo, entry.put_void());
        }
        EXPECT_TRUE(entry);
        return entry;
    }

    std::map<std::string, ComPtr<ISusiePlugin>> plugins_;
    std::map<std::string, std::unique_ptr<Counters>> counters_;
    std::vector<std::wstring> files_;
};

// ---- With and without the wide entries -------------------------------------------------

TEST_F(WideNames, APluginWithWideEntriesGetsEveryCallThroughThemAndTextsInFull) {
    const std::wstring file = Write(L"tamrix_wide_entries.qqa", PICTURE);
    Variant name, array;
    SetName(name, file);
    SetArray(array, PICTURE);
    for (const std::string spi : {"qqw", "qqa"}) {
        SCOPED_TRACE(spi);
        ISusiePlugin* p = Plugin(spi);
        EXPECT_EQ(6, Width(p, *name.get()));
        ComPtr<IDispatch> info, pixels;
        EXPECT_EQ(S_OK, p->GetPicture(*name.get(), 0, info.put(), pixels.put()));
        EXPECT_EQ(S_OK, p->GetPreview(*array.get(), static_cast<LONG>(PICTURE.size()), info.put(), pixels.put()));
        Bstr text;
        EXPECT_EQ(S_OK, p->GetPictureText(*name.get(), 0, text.put()));
        EXPECT_EQ(4, Calls(spi));
    }
    const WideCalls wide = WideCallsOf("qqw");
    EXPECT_EQ(4, wide.data) << "no call went to a narrow entry";
    EXPECT_EQ(file, wide.lastName);

    // Texts through GetPluginInfoW: the plug-in's UTF-8 bytes would read as other letters in
    // any single-byte code page.
    Bstr about, pattern, description, version;
    ASSERT_EQ(S_OK, Plugin("qqw")->get_About(about.put()));
    EXPECT_STREQ(L"QQW test plug-in, wide\u2026", about.get());
    ASSERT_EQ(S_OK, Plugin("qqw")->get_PluginInfo(3, description.put()));
    EXPECT_STREQ(L"QQA picture, wide\u2026", description.get());
    ASSERT_EQ(S_OK, Plugin("qqw")->get_Version(version.put()));
    EXPECT_STREQ(L"00IN", version.get());
    EXPECT_EQ(3, WideCallsOf("qqw").info);

    // An archive plug-in likewise.
    const std::vector<BYTE> archive = Qqz({{"QQZstore", "", "a.txt", {'a', 'b'}}});
    const std::wstring arc = Write(L"tamrix_wide_entries.qqz", archive);
    Variant arcName;
    SetName(arcName, arc);
    ComPtr<ISpiFileInfo> entry = FirstEntry(Plugin("qqzw"), *arcName.get());
    ComPtr<IDispatch> found, data;
    EXPECT_EQ(S_OK, Plugin("qqzw")->GetFileInfo(*arcName.get(), 0, BstrOf(L"a.txt").get(), found.put()));
    EXPECT_EQ(S_OK, Plugin("qqzw")->GetFile(*arcName.get(), entry.get(), data.put()));
    EXPECT_EQ(3, Calls("qqzw"));
    EXPECT_EQ(3, WideCallsOf("qqzw").data);
}

// ---- Names inside and outside the code page ----------------------------------------------

TEST_F(WideNames, NamesInsideTheCodePageReachEveryPluginAndOthersOnlyWidePlugins) {
    const std::wstring inside = LetterInsideCodePages();
    if (!inside.empty()) {
        SCOPED_TRACE("inside: U+" + std::to_string(static_cast<int>(inside[0])));
        Variant name;
        const std::wstring file = Write(L"tamrix_inside_" + inside + L".qqa", PICTURE);
        SetName(name, file);
        EXPECT_EQ(6, Width(Plugin("qqa"), *name.get())) << "the narrow plug-in opened the file by its ANSI name";
        EXPECT_EQ(6, Width(Plugin("qqw"), *name.get()));
        EXPECT_EQ(file, WideCallsOf("qqw").lastName);
    }

    const std::wstring outside = LettersOutsideCodePages();
    if (outside.empty()) GTEST_SKIP() << "this machine's ANSI code page holds every candidate letter";
    Variant name;
    const std::wstring file = Write(L"tamrix_outside_" + outside + L".qqa", PICTURE);
    SetName(name, file);
    EXPECT_EQ(6, Width(Plugin("qqw"), *name.get()));
    EXPECT_EQ(file, WideCallsOf("qqw").lastName) << "the name as the caller gave it";

    // The bitmap file goes to a destination of such a name too.
    const std::wstring bmp = Scratch(L"tamrix_outside_" + outside + L".bmp");
    ASSERT_EQ(S_OK, Plugin("qqw")->GetPictureToFile(*name.get(), 0, BstrOf(bmp).get()));
    const std::vector<BYTE> written = ReadFileW(bmp);
    ASSERT_EQ(54u + 20 * 4, written.size());
    EXPECT_EQ('B', written[0]);
}

// What the system does about short names decides what a narrow plug-in gets for a name
// outside the code page. Wine makes one up for every existing file whose name is no 8.3
// name, of ASCII letters alone ("___~~WNV.QQA"), so under Wine an existing file always has
// one; Windows has them only on volumes that keep 8.3 names. A file that does not exist has
// none anywhere, and neither has an archive member's name.
TEST_F(WideNames, ANarrowPluginGetsTheShortNameOfAFileTheCodePageCannotNameOrIsNeverCalled) {
    const std::wstring outside = LettersOutsideCodePages();
    if (outside.empty()) GTEST_SKIP() << "this machine's ANSI code page holds every candidate letter";
    const std::wstring file = Write(L"tamrix_short_" + outside + L".qqa", PICTURE);
    wchar_t shortName[MAX_PATH] = {};
    const DWORD n = GetShortPathNameW(file.c_str(), shortName, MAX_PATH);
    const bool hasShortName = n > 0 && n < MAX_PATH && InCodePages(std::wstring(shortName, n));
    std::cout << "short name of the file: " << (hasShortName ? Utf8(shortName) : "none") << "\n";
    Variant name;
    SetName(name, file);
    if (hasShortName) {
        EXPECT_EQ(6, Width(Plugin("qqa"), *name.get())) << "opened by its short name";
        EXPECT_EQ(1, Calls("qqa"));
    } else {
        Width(Plugin("qqa"), *name.get(), E_INVALIDARG);
        EXPECT_EQ(0, Calls("qqa"));
    }

    // No such file: a narrow plug-in is never handed a name with replacement characters; a
    // wide one is asked and answers that it cannot read the file.
    Variant missing;
    SetName(missing, TempDirW() + L"tamrix_missing_" + outside + L".qqa");
    ComPtr<IDispatch> info, pixels;
    Width(Plugin("qqa"), *missing.get(), E_INVALIDARG);
    EXPECT_EQ(E_INVALIDARG, Plugin("qqa")->GetPicture(*missing.get(), 0, info.put(), pixels.put()));
    EXPECT_EQ(E_INVALIDARG, Plugin("qqa")->GetPictureToFile(*missing.get(), 0, BstrOf(Scratch(L"x.bmp")).get()));
    ComPtr<IDispatch> list;
    EXPECT_EQ(E_INVALIDARG, Plugin("qqz")->GetArchiveInfo(*missing.get(), 0, list.put()));
    EXPECT_EQ(hasShortName ? 1 : 0, Calls("qqa"));
    EXPECT_EQ(0, Calls("qqz"));
    Width(Plugin("qqw"), *missing.get(), E_FAIL);
    EXPECT_EQ(1, Calls("qqw"));

    // A member's name outside the code page: only a wide plug-in can be asked for it.
    const std::string member = Utf8(outside) + ".txt";
    const std::vector<BYTE> archive = Qqz({{"QQZstore", "", member, {'x'}}});
    Variant bytes;
    SetArray(bytes, archive);
    ComPtr<IDispatch> entry;
    EXPECT_EQ(E_INVALIDARG, Plugin("qqz")->GetFileInfo(*bytes.get(), static_cast<LONG>(archive.size()),
                                                       BstrOf(outside + L".txt").get(), entry.put()));
    EXPECT_EQ(0, Calls("qqz"));
    ASSERT_EQ(S_OK, Plugin("qqzw")->GetFileInfo(*bytes.get(), static_cast<LONG>(archive.size()),
                                                BstrOf(outside + L".txt").get(), entry.put()));
    ComPtr<ISpiFileInfo> e;
    ASSERT_EQ(S_OK, entry->QueryInterface(IID_ISpiFileInfo, e.put_void()));
    EXPECT_EQ(outside + L".txt", Read(e.get(), &ISpiFileInfo::get_FileName));
}

TEST_F(WideNames, APluginLoadsFromAPathOutsideTheCodePage) {
    const std::wstring outside = LettersOutsideCodePages();
    if (outside.empty()) GTEST_SKIP() << "this machine's ANSI code page holds every candidate letter";
    const std::wstring copy = Scratch(L"tamrix_" + outside + L".spi");
    ASSERT_TRUE(CopyFileW(testenv::Wide(testenv::SpiPath("qqa")).c_str(), copy.c_str(), FALSE));
    {
        ComPtr<ISusiePlugin> p = NewPlugin();
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(S_OK, p->Load(BstrOf(copy).get(), &ok));
        EXPECT_EQ(VARIANT_TRUE, ok);
        EXPECT_NE(nullptr, GetModuleHandleW(copy.c_str()));
        Bstr about;
        EXPECT_EQ(S_OK, p->get_About(about.put()));
        EXPECT_STREQ(L"QQA test plug-in", about.get());
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(copy.c_str()));
}

// ---- Archive members with wide names ------------------------------------------------------

TEST_F(WideNames, MembersListedThroughTheWideEntryKeepTheirNamesAndExtractToWideNames) {
    const std::wstring outside = LettersOutsideCodePages(3);
    if (outside.empty()) GTEST_SKIP() << "this machine's ANSI code page holds every candidate letter";
    const std::wstring folder = outside.substr(0, 1) + L"\\";
    const std::wstring member = outside.substr(1) + L".bin";
    const std::vector<BYTE> data = Pattern(5, 300);
    const std::vector<QqzMemberDesc> members = {{"QQZstore", "docs\\", "first.txt", {'1'}},
                                                {"raw", Utf8(folder), Utf8(member), data, 1000, 77}};
    const std::vector<BYTE> archive = Qqz(members);
    const std::wstring arc = Write(L"tamrix_members_" + outside + L".qqz", archive);
    Variant name;
    SetName(name, arc);

    ComPtr<IDispatch> list;
    ASSERT_EQ(S_OK, Plugin("qqzw")->GetArchiveInfo(*name.get(), 0, list.put()));
    ComPtr<ISpiFileInfoCollection> c;
    ASSERT_EQ(S_OK, list->QueryInterface(IID_ISpiFileInfoCollection, c.put_void()));
    LONG count = 0;
    EXPECT_EQ(S_OK, c->get_Count(&count));
    EXPECT_EQ(2, count) << "records of 828 bytes, counted as such";
    ComPtr<IDispatch> item;
    ASSERT_EQ(S_OK, c->get_Item(2, item.put()));
    ComPtr<ISpiFileInfo> e;
    ASSERT_EQ(S_OK, item->QueryInterface(IID_ISpiFileInfo, e.put_void()));
    EXPECT_EQ(folder, Read(e.get(), &ISpiFileInfo::get_Path));
    EXPECT_EQ(member, Read(e.get(), &ISpiFileInfo::get_FileName));
    EXPECT_EQ(L"raw", Read(e.get(), &ISpiFileInfo::get_Method));
    LONG position = 0, size = 0, crc = 0;
    EXPECT_EQ(S_OK, e->get_Position(&position));
    EXPECT_EQ(S_OK, e->get_FileSize(&size));
    EXPECT_EQ(S_OK, e->get_CRC(&crc));
    EXPECT_EQ(static_cast<LONG>(QqzDataOffset(members, 1)), position);
    EXPECT_EQ(300, size);
    EXPECT_EQ(77, crc);

    // Extracted from the archive of that name to a file of that name.
    const std::wstring dest = Scratch(L"tamrix_extracted_" + member);
    ASSERT_EQ(S_OK, Plugin("qqzw")->GetFileToFile(*name.get(), e.get(), BstrOf(dest).get()));
    EXPECT_EQ(data, ReadFileW(dest));
    EXPECT_EQ(arc, WideCallsOf("qqzw").lastName);

    // The entry the wide lookup gives reads the same.
    ComPtr<IDispatch> found;
    ASSERT_EQ(S_OK, Plugin("qqzw")->GetFileInfo(*name.get(), 0, BstrOf(folder + member).get(), found.put()));
    ComPtr<ISpiFileInfo> f;
    ASSERT_EQ(S_OK, found->QueryInterface(IID_ISpiFileInfo, f.put_void()));
    EXPECT_EQ(member, Read(f.get(), &ISpiFileInfo::get_FileName));
    EXPECT_EQ(position, [&] {
        LONG p = 0;
        f->get_Position(&p);
        return p;
    }());
}

// ---- Paths longer than MAX_PATH -----------------------------------------------------------

TEST_F(WideNames, BitmapAndMemberFilesGoToDestinationsLongerThanMaxPath) {
    DeepFolder deep(L"deep_destination", MAX_PATH + 20);
    ASSERT_GT(deep.Path().size(), static_cast<size_t>(MAX_PATH)) << "the folder alone is too long for a path";
    Variant picture;
    SetArray(picture, PICTURE);
    // As the caller may write it, and in the extended-length form.
    for (const std::wstring& dest : {deep.PathOf(L"picture.bmp"), Extended(deep.PathOf(L"again.bmp"))}) {
        SCOPED_TRACE(Utf8(dest.substr(0, 8)));
        ASSERT_EQ(S_OK, Plugin("qqa")->GetPictureToFile(*picture.get(), static_cast<LONG>(PICTURE.size()),
                                                        BstrOf(dest).get()));
        const std::vector<BYTE> written = ReadFileW(dest);
        ASSERT_EQ(54u + 20 * 4, written.size());
        EXPECT_EQ('M', written[1]);
    }
    const std::vector<BYTE> data = Pattern(2, 64);
    Variant arc;
    SetName(arc, Write(L"tamrix_deep_destination.qqz", Qqz({{"raw", "", "m.bin", data}})));
    ComPtr<ISpiFileInfo> entry = FirstEntry(Plugin("qqz"), *arc.get());
    ASSERT_TRUE(entry);
    ASSERT_EQ(S_OK, Plugin("qqz")->GetFileToFile(*arc.get(), entry.get(), BstrOf(deep.PathOf(L"m.bin")).get()));
    EXPECT_EQ(data, ReadFileW(deep.PathOf(L"m.bin")));

    WIN32_FIND_DATAW found;
    HANDLE leftovers = FindFirstFileW(Extended(deep.PathOf(L"tmx*.tmp")).c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, leftovers) << "no temporary file stays behind";
    if (leftovers != INVALID_HANDLE_VALUE) FindClose(leftovers);
    // A folder that is not there still fails cleanly.
    EXPECT_EQ(E_FAIL, Plugin("qqa")->GetPictureToFile(*picture.get(), static_cast<LONG>(PICTURE.size()),
                                                      BstrOf(deep.PathOf(L"none\\picture.bmp")).get()));
}

// A name the caller gives in the extended-length form reaches a wide plug-in as it is, and
// its system opens it at any length; a narrow plug-in's system cannot.
TEST_F(WideNames, AWidePluginReadsSourcesLongerThanMaxPath) {
    DeepFolder deep(L"deep_source", MAX_PATH + 20);
    const std::wstring file = Extended(deep.PathOf(L"long.qqa"));
    ASSERT_TRUE(WriteFileW(file, PICTURE));
    Variant name;
    SetName(name, file);
    EXPECT_EQ(6, Width(Plugin("qqw"), *name.get()));
    EXPECT_EQ(file, WideCallsOf("qqw").lastName);
    Width(Plugin("qqa"), *name.get(), E_FAIL);  // its CreateFileA answers "name too long": 6
    EXPECT_EQ(1, Calls("qqa"));

    const std::vector<BYTE> data = Pattern(8, 40);
    const std::wstring arc = Extended(deep.PathOf(L"long.qqz"));
    ASSERT_TRUE(WriteFileW(arc, Qqz({{"raw", "", "m.bin", data}})));
    Variant arcName;
    SetName(arcName, arc);
    ComPtr<ISpiFileInfo> entry = FirstEntry(Plugin("qqzw"), *arcName.get());
    ASSERT_TRUE(entry);
    ASSERT_EQ(S_OK, Plugin("qqzw")->GetFileToFile(*arcName.get(), entry.get(), BstrOf(deep.PathOf(L"m.bin")).get()));
    EXPECT_EQ(data, ReadFileW(deep.PathOf(L"m.bin")));
}

}  // namespace
}  // namespace plugtest
