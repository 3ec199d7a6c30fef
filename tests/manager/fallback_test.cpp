// GetPicture's walk over the accepting plug-ins: when one fails to decode, the next that
// accepts is asked, the first picture made is the result, and only when every one fails does
// the call fail, with the first failure. The queries still answer the first acceptance, and
// the walk leaves loaded only the plug-in whose picture it kept. The plug-ins of the current
// directory come first, then those of the search folder.
#include <windows.h>
#include <olectl.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/failure_note.h"
#include "common/spi_folder.h"
#include "common/wide_names.h"
#include "manager/tamrix_host.h"
#include "plugin_object/susie_plugin.h"
#include "plugin_object/archive_fixture.h"
#include "server/server_dll.h"

using plugtest::Bstr;
using plugtest::MakeBstr;
using plugtest::Narrow;
using plugtest::Variant;
using servertest::ComPtr;
using testenv::CurrentDirectory;
using testenv::Mapped;
using testenv::SpiCounters;
using testenv::SpiFolder;
using Manager = Tamrix::Object<Tamrix::TamrixHost>;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

std::string TestName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::string AboutOf(IDispatch* object) {
    ComPtr<ISusiePlugin> plugin;
    if (!object || FAILED(object->QueryInterface(IID_ISusiePlugin, plugin.put_void()))) return "<not a plug-in>";
    Bstr about;
    if (FAILED(plugin->get_About(about.put()))) return "<no about>";
    return Narrow(about.get());
}

class Fallback : public ::testing::Test {
protected:
    Fallback() : cwd_(Tag("cwd")), here_(cwd_.Path()), folder_(Tag("search")) {}
    static std::string Tag(const std::string& what) { return "fallback_" + what + "_" + TestName(); }

    // `first` in the current directory (an empty name for none), `second` in the search
    // folder, listed with `flags`; whatever the system directory adds comes after them.
    ComPtr<Manager> Host(LONG flags, const std::string& first, const std::string& second) {
        if (!first.empty()) cwd_.Add(first, "first_" + first + ".spi");
        if (!second.empty()) secondPath_ = folder_.Add(second, "second_" + second + ".spi");
        ComPtr<Manager> host = Tamrix::Make<Tamrix::TamrixHost>();
        EXPECT_EQ(S_OK, host->Init(flags, MakeBstr(folder_.Path()).get()));
        return host;
    }
    std::string First(const std::string& spi) const { return "first_" + spi + ".spi"; }

    SpiFolder cwd_;
    CurrentDirectory here_;
    SpiFolder folder_;
    std::string secondPath_;
};

const std::vector<BYTE> PICTURE = plugtest::Bytes(plugtest::Qqa(8, 5, 24));

TEST_F(Fallback, WhenTheFirstAcceptingPluginFailsTheNextOneDecodesAndOnlyItStaysLoaded) {
    ComPtr<Manager> host = Host(15, "qqa_broken", "qqa");  // entries start unloaded
    const std::string file = plugtest::WriteTemp("tamrix_fallback.qqa", PICTURE, 32);
    Variant name, array;
    plugtest::SetString(name, file);
    plugtest::SetArray(array, PICTURE);
    for (auto [src, offsetOrLength] : {std::pair{name.get(), 32L}, std::pair{array.get(), 104L}}) {
        SCOPED_TRACE(src->vt == VT_BSTR ? "file" : "byte array");
        ComPtr<IDispatch> picture;
        ASSERT_EQ(S_OK, host->GetPicture(*src, offsetOrLength, picture.put()));
        ComPtr<IPicture> p;
        ASSERT_EQ(S_OK, picture.query(p));
        SHORT type = 0;
        EXPECT_EQ(S_OK, p->get_Type(&type));
        EXPECT_EQ(PICTYPE_BITMAP, type);
        EXPECT_FALSE(host->List().Plugins()[0].IsLoaded()) << "loaded for the walk and failing: unloaded again";
        SPI::DropWarmModules(nullptr);  // a module mapped after this, a binding holds
        EXPECT_FALSE(Mapped(First("qqa_broken")));
        EXPECT_TRUE(host->List().Plugins()[1].IsLoaded()) << "the plug-in whose picture is the result";
        EXPECT_EQ(0, SpiCounters(secondPath_).Outstanding());
    }
    EXPECT_EQ(0u, array->parray->cLocks) << "the array is unlocked after the whole walk";

    // The queries still answer the first acceptance, though it cannot decode.
    IDispatch* spi = nullptr;
    ASSERT_EQ(S_OK, host->QuerySpiFromFile(MakeBstr(file).get(), 32, &spi));
    EXPECT_EQ("QQA test plug-in that finds every picture broken", AboutOf(spi));
    spi->Release();
    ASSERT_EQ(S_OK, host->QuerySpi(nullptr, *array.get(), &spi));
    EXPECT_EQ("QQA test plug-in that finds every picture broken", AboutOf(spi));
    spi->Release();
    DeleteFileA(file.c_str());
}

TEST_F(Fallback, EachAcceptingPluginIsAskedOnceInOrderAndEntriesLoadedBeforeStayLoaded) {
    ComPtr<Manager> host = Host(14, "qqa_broken", "qqa");  // every entry loaded from the start
    Variant array;
    plugtest::SetArray(array, PICTURE);
    ComPtr<IDispatch> picture;
    ASSERT_EQ(S_OK, host->GetPicture(*array.get(), 104, picture.put()));
    EXPECT_EQ(1, SpiCounters(First("qqa_broken")).DataCalls());
    EXPECT_EQ(1, SpiCounters(secondPath_).DataCalls());
    EXPECT_TRUE(host->List().Plugins()[0].IsLoaded());
    EXPECT_TRUE(host->List().Plugins()[1].IsLoaded());
    EXPECT_EQ(0, SpiCounters(First("qqa_broken")).Outstanding());
}

TEST_F(Fallback, APictureTheFirstPluginDecodesNeverReachesTheNext) {
    ComPtr<Manager> host = Host(14, "qqa", "qqa_nomemory");
    Variant array;
    plugtest::SetArray(array, PICTURE);
    ComPtr<IDispatch> picture;
    ASSERT_EQ(S_OK, host->GetPicture(*array.get(), 104, picture.put()));
    EXPECT_EQ(1, SpiCounters(First("qqa")).DataCalls());
    EXPECT_EQ(0, SpiCounters(secondPath_).IsSupportedCalls());
}

TEST_F(Fallback, WhenEveryAcceptingPluginFailsTheFirstFailureIsTheAnswer) {
    Variant array;
    plugtest::SetArray(array, PICTURE);
    const struct {
        const char *first, *second;
        HRESULT expected;
    } orders[] = {
        {"qqa_broken", "qqa_nomemory", E_FAIL},         // 3 first, then 4
        {"qqa_nomemory", "qqa_broken", E_OUTOFMEMORY},  // 4 first, then 3
    };
    for (const auto& order : orders) {
        SCOPED_TRACE(std::string(order.first) + " then " + order.second);
        SpiFolder cwd(Tag(std::string("cwd_") + order.first));
        CurrentDirectory there(cwd.Path());
        SpiFolder search(Tag(std::string("search_") + order.first));
        cwd.Add(order.first, "all_first.spi");
        const std::string second = search.Add(order.second, "all_second.spi");
        ComPtr<Manager> host = Tamrix::Make<Tamrix::TamrixHost>();
        ASSERT_EQ(S_OK, host->Init(15, MakeBstr(search.Path()).get()));
        IDispatch* const untouched = reinterpret_cast<IDispatch*>(0x1234);
        IDispatch* picture = untouched;
        EXPECT_EQ(order.expected, host->GetPicture(*array.get(), 104, &picture));
        EXPECT_EQ(untouched, picture);
        for (const SPI::SpiInterface& entry : host->List().Plugins()) EXPECT_FALSE(entry.IsLoaded());
        SPI::DropWarmModules(nullptr);  // a module mapped after this, a binding holds
        EXPECT_FALSE(Mapped("all_first.spi"));
        EXPECT_FALSE(Mapped(second));
    }
}

TEST_F(Fallback, AnArchivePluginThatAcceptsIsPassedByForTheNextPicturePlugin) {
    // The list: qqa_broken, then an archive plug-in taking QQA1 too, then qqa. The first
    // fails; the archive plug-in accepts and is not asked to decode; qqa decodes.
    SpiFolder elsewhere(Tag("archive"));
    const std::string greedy = elsewhere.Add("qqz_greedy", "greedy.spi");
    ComPtr<Manager> host = Host(14, "qqa_broken", "qqa");
    SPI::SpiInterface archive{testenv::Wide(greedy)};
    ASSERT_EQ(SPI::KIND_ARCHIVE, archive.Probe());
    host->List().Plugins().insert(host->List().Plugins().begin() + 1, std::move(archive));
    ASSERT_EQ(secondPath_, testenv::Narrow(host->List().Plugins()[2].WidePath()));
    Variant array;
    plugtest::SetArray(array, PICTURE);
    ComPtr<IDispatch> picture;
    EXPECT_EQ(S_OK, host->GetPicture(*array.get(), 104, picture.put()));
    EXPECT_NE(nullptr, picture.get());
    EXPECT_EQ(1, SpiCounters(First("qqa_broken")).DataCalls());
    EXPECT_EQ(1, SpiCounters(greedy).IsSupportedCalls());
    EXPECT_EQ(0, SpiCounters(greedy).DataCalls());
    EXPECT_EQ(1, SpiCounters(secondPath_).DataCalls());

    // Without the picture plug-ins, the archive plug-in's acceptance alone gives E_FAIL.
    host->List().Plugins().erase(host->List().Plugins().begin() + 2);
    host->List().Plugins().erase(host->List().Plugins().begin());
    EXPECT_EQ(E_FAIL, host->GetPicture(*array.get(), 104, picture.put()));
}

// The words a failure leaves for an early-bound client: the thread's error object, which the
// object says its interface `iid` sets.
std::wstring Description(IUnknown* object, REFIID iid) {
    ComPtr<ISupportErrorInfo> supports;
    if (FAILED(object->QueryInterface(IID_ISupportErrorInfo, supports.put_void())) ||
        supports->InterfaceSupportsErrorInfo(iid) != S_OK)
        return L"<no ISupportErrorInfo for the interface>";
    ComPtr<IErrorInfo> error;
    Bstr text;
    if (GetErrorInfo(0, error.put()) != S_OK || FAILED(error->GetDescription(text.put()))) return L"<no error object>";
    return std::wstring(text.get(), SysStringLen(text.get()));
}

TEST_F(Fallback, ArchivesAreListedByTheNextAcceptingPluginWhenOneFailsAndTheListingNamesIt) {
    ComPtr<Manager> host = Host(15, "qqz_broken", "qqz");
    const std::vector<plugtest::QqzMemberDesc> members = {{"m", "", "a.qqa", PICTURE}, {"m", "d\\", "b.txt", {1, 2}}};
    const std::string file = plugtest::WriteTemp("tamrix_fallback.qqz", plugtest::Qqz(members));
    Variant name;
    plugtest::SetString(name, file);
    ComPtr<IDispatch> listed;
    ASSERT_EQ(S_OK, host->GetArchiveInfo(*name.get(), 0, listed.put()));
    ComPtr<ISpiFileInfoCollection2> list;
    ASSERT_EQ(S_OK, listed.query(list));
    LONG count = 0;
    EXPECT_EQ(S_OK, list->get_Count(&count));
    EXPECT_EQ(2, count);
    // The plug-in that listed extracts: the member's bytes come back whole.
    ComPtr<IDispatch> plugin, entry, data;
    ASSERT_EQ(S_OK, list->get_Plugin(plugin.put()));
    EXPECT_EQ("QQZ test plug-in", AboutOf(plugin.get()));
    ComPtr<ISusiePlugin> reader;
    ASSERT_EQ(S_OK, plugin.query(reader));
    ASSERT_EQ(S_OK, list->get_Item(1, entry.put()));
    ASSERT_EQ(S_OK, reader->GetFile(*name.get(), entry.get(), data.put()));
    ComPtr<ISpiLocalHeap> heap;
    ASSERT_EQ(S_OK, data.query(heap));
    LONG length = 0;
    EXPECT_EQ(S_OK, heap->get_Length(&length));
    EXPECT_EQ(static_cast<LONG>(PICTURE.size()), length);

    // With every accepting plug-in failing, the first failure, in words.
    host->List().Plugins().erase(host->List().Plugins().begin() + 1);
    IDispatch* none = nullptr;
    EXPECT_EQ(E_FAIL, host->GetArchiveInfo(*name.get(), 0, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(L"TamrixHost.GetArchiveInfo: first_qqz_broken.spi could not list \"" + testenv::Wide(file) +
                  L"\": broken data (plug-in code 3)",
              Description(static_cast<ITamrixHost3*>(host.get()), IID_ITamrixHost3));
    DeleteFileA(file.c_str());
}

TEST_F(Fallback, FailuresSayWhichMemberPluginAndFileAndWhatHappened) {
    ComPtr<Manager> host = Host(15, "qqa_broken", "");
    const std::string picture = plugtest::WriteTemp("tamrix_words.qqa", PICTURE);
    const std::string text = plugtest::WriteTemp("tamrix_words.txt", {'t', 'e', 'x', 't'});
    const std::wstring quoted = L"\"" + testenv::Wide(picture) + L"\"";
    ComPtr<Tamrix::Object<Tamrix::SusiePlugin>> unloaded = Tamrix::Make<Tamrix::SusiePlugin>();
    Variant src, gone;
    plugtest::SetString(src, picture);
    plugtest::SetString(gone, testenv::TempDir() + "tamrix_words_missing.bmp");
    const std::wstring unread = L"cannot read \"" + std::wstring(V_BSTR(gone.get())) + L"\": " +
                                Tamrix::ResultText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    ComPtr<IDispatch> out, more;
    const ComPtr<ISusiePlugin> qqa = plugtest::LoadPlugin("qqa"), qqz = plugtest::LoadPlugin("qqz");
    struct Case {
        const char* what;
        std::function<HRESULT()> call;
        IUnknown* object;
        const IID* iid;
        HRESULT code;
        std::wstring words;
    };
    std::vector<Case> cases = {
        {"decoding fails", [&] { return host->GetPicture(*src.get(), 0, out.put()); },
         static_cast<ITamrixHost3*>(host.get()), &IID_ITamrixHost, E_FAIL,
         L"TamrixHost.GetPicture: first_qqa_broken.spi could not decode " + quoted + L": broken data (plug-in code 3)"},
        {"no plug-in takes it", [&] { return host->QuerySpiFromFile(MakeBstr(text).get(), 0, out.put()); },
         static_cast<ITamrixHost3*>(host.get()), &IID_ITamrixHost, E_FAIL,
         L"TamrixHost.QuerySpiFromFile: no plug-in reads \"" + testenv::Wide(text) + L"\""},
        {"a picture is no archive", [&] { return host->GetArchiveInfo(*src.get(), 0, out.put()); },
         static_cast<ITamrixHost3*>(host.get()), &IID_ITamrixHost3, E_FAIL,
         L"TamrixHost.GetArchiveInfo: no archive plug-in reads " + quoted},
        {"a missing file, asked", [&] { return host->QuerySpiFromFile(V_BSTR(gone.get()), 0, out.put()); },
         static_cast<ITamrixHost3*>(host.get()), &IID_ITamrixHost, E_FAIL, L"TamrixHost.QuerySpiFromFile: " + unread},
        {"a missing file, decoded", [&] { return host->GetPicture(*gone.get(), 0, out.put()); },
         static_cast<ITamrixHost3*>(host.get()), &IID_ITamrixHost, E_FAIL, L"TamrixHost.GetPicture: " + unread},
        {"a missing file, converted", [&] { return host->ConvertFile(*gone.get(), 0, V_BSTR(gone.get())); },
         static_cast<ITamrixHost3*>(host.get()), &IID_ITamrixHost2, E_FAIL, L"TamrixHost.ConvertFile: " + unread},
        {"a missing file, decoded by a plug-in", [&] { return qqa->GetPicture(*gone.get(), 0, out.put(), more.put()); },
         qqa.get(), &IID_ISusiePlugin, E_FAIL, L"SusiePlugin.GetPicture: " + unread},
        {"a missing file, listed by a plug-in", [&] { return qqz->GetArchiveInfo(*gone.get(), 0, out.put()); },
         qqz.get(), &IID_ISusiePlugin, E_FAIL, L"SusiePlugin.GetArchiveInfo: " + unread},
        {"nothing loaded", [&] { return unloaded->GetPicture(*src.get(), 0, out.put(), more.put()); },
         static_cast<ISusiePlugin2*>(unloaded.get()), &IID_ISusiePlugin, E_FAIL,
         L"SusiePlugin.GetPicture: no plug-in is loaded: this member needs a picture plug-in"},
    };
    // A missing file (so without a short name) whose name the narrow plug-in cannot be given.
    const std::wstring outside = testenv::LettersOutsideCodePages();
    Variant unnamable;
    if (!outside.empty()) {
        const std::wstring path = testenv::Wide(testenv::TempDir()) + L"tamrix_words_" + outside + L".qqa";
        V_VT(unnamable.get()) = VT_BSTR;
        V_BSTR(unnamable.get()) = SysAllocString(path.c_str());
        const std::wstring refused = L"the name of \"" + path +
                                     L"\" cannot be given to the plug-ins that take names in the ANSI code page "
                                     L"only, and the file has no short name that it holds";
        IUnknown* manager = static_cast<ITamrixHost3*>(host.get());
        cases.push_back({"a name no plug-in can be given, asked",
                         [&] { return host->QuerySpiFromFile(V_BSTR(unnamable.get()), 0, out.put()); }, manager,
                         &IID_ITamrixHost, E_INVALIDARG, L"TamrixHost.QuerySpiFromFile: " + refused});
        cases.push_back({"a name no plug-in can be given, decoded",
                         [&] { return host->GetPicture(*unnamable.get(), 0, out.put()); }, manager, &IID_ITamrixHost,
                         E_INVALIDARG, L"TamrixHost.GetPicture: " + refused});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.code, c.call());
        EXPECT_EQ(c.words, Description(c.object, *c.iid));
    }
    DeleteFileA(picture.c_str());
    DeleteFileA(text.c_str());
}

}  // namespace
