// Binding and unbinding, library references, the information texts and the
// configuration dialog; members refusing an object that is not bound as they need.
#include "plugin_fixture.h"

namespace plugtest {
namespace {

// GetPluginInfo asked directly, as the oracle for the object's texts.
std::string DirectInfo(const std::string& name, int infoNo, int size) {
    HMODULE m = LoadLibraryA(testenv::SpiPath(name).c_str());
    EXPECT_NE(nullptr, m);
    auto fn = SPI::EntryAs<SPI::GetPluginInfoFn>(GetProcAddress(m, "GetPluginInfo"));
    std::vector<char> buf(static_cast<size_t>(size) + 1, 0);
    fn(infoNo, buf.data(), size);
    FreeLibrary(m);
    return std::string(buf.data(), strnlen(buf.data(), static_cast<size_t>(size)));
}

std::string Text(HRESULT (STDMETHODCALLTYPE ISusiePlugin::*get)(BSTR*), ISusiePlugin* p) {
    Bstr s;
    EXPECT_EQ(S_OK, (p->*get)(s.put()));
    EXPECT_NE(nullptr, s.get());  // an empty answer is still a string
    return Narrow(s.get());
}

TEST(Identity, TextsAreThePluginsOwn) {
    for (const char* name : {"qqa", "qqz"}) {
        SCOPED_TRACE(name);
        ComPtr<ISusiePlugin> p = LoadPlugin(name);
        EXPECT_EQ(DirectInfo(name, 0, 8), Text(&ISusiePlugin::get_Version, p.get()));
        EXPECT_EQ(DirectInfo(name, 1, 260), Text(&ISusiePlugin::get_About, p.get()));
        for (LONG n : {2L, 3L, 999L}) {
            Bstr s;
            EXPECT_EQ(S_OK, p->get_PluginInfo(n, s.put()));
            EXPECT_EQ(DirectInfo(name, n, 260), Narrow(s.get())) << n;
        }
        // A number the plug-in knows nothing about gives an empty string.
        Bstr none;
        EXPECT_EQ(S_OK, p->get_PluginInfo(999, none.put()));
        EXPECT_EQ(0u, none.length());
    }
    EXPECT_EQ("00IN", Text(&ISusiePlugin::get_Version, LoadPlugin("qqa").get()));
    EXPECT_EQ("00AM", Text(&ISusiePlugin::get_Version, LoadPlugin("qqz").get()));
}

TEST(Identity, BuffersWithoutTerminatorAreReadOnlyToTheirLength) {
    ComPtr<ISusiePlugin> p = LoadPlugin("nonul");
    const std::string version = Text(&ISusiePlugin::get_Version, p.get());
    EXPECT_EQ(8u, version.size());
    EXPECT_EQ("00IN", version.substr(0, 4));
    const std::string about = Text(&ISusiePlugin::get_About, p.get());
    EXPECT_EQ(260u, about.size());
    EXPECT_EQ(0u, about.find("NONUL test plug-in"));
    Bstr info;
    EXPECT_EQ(S_OK, p->get_PluginInfo(2, info.put()));
    EXPECT_EQ(260u, info.length());
}

TEST(Identity, UnboundObjectCallsNothing) {
    ComPtr<ISusiePlugin> p = NewPlugin();
    EXPECT_EQ(S_OK, p->Free());
    VARIANT_BOOL can = VARIANT_TRUE;
    EXPECT_EQ(S_OK, p->get_CanConfigDlg(&can));
    EXPECT_EQ(VARIANT_FALSE, can);
    can = VARIANT_TRUE;
    EXPECT_EQ(S_OK, p->get_CanPreview(&can));
    EXPECT_EQ(VARIANT_FALSE, can);
    EXPECT_EQ(E_NOTIMPL, p->ConfigurationDlg(0, 1));
    Bstr s;
    EXPECT_EQ(E_FAIL, p->get_About(s.put()));
    EXPECT_EQ(E_FAIL, p->get_Version(s.put()));
    EXPECT_EQ(E_FAIL, p->get_PluginInfo(1, s.put()));
    EXPECT_EQ(nullptr, s.get());

    // Null out-pointers.
    EXPECT_EQ(E_POINTER, p->get_About(nullptr));
    EXPECT_EQ(E_POINTER, p->get_Version(nullptr));
    EXPECT_EQ(E_POINTER, p->get_PluginInfo(1, nullptr));
    EXPECT_EQ(E_POINTER, p->get_CanPreview(nullptr));
    EXPECT_EQ(E_POINTER, p->get_CanConfigDlg(nullptr));
    Bstr path = MakeBstr(testenv::SpiPath("qqa"));
    EXPECT_EQ(E_POINTER, p->Load(path.get(), nullptr));
    EXPECT_EQ(nullptr, LoadedModule("qqa"));  // the null pointer changed nothing
    Variant src;
    SetString(src, "x.qqa");
    EXPECT_EQ(E_POINTER, p->GetPictureInfo(*src.get(), 0, nullptr));
    IDispatch* d = nullptr;
    EXPECT_EQ(E_POINTER, p->GetPicture(*src.get(), 0, &d, nullptr));
    EXPECT_EQ(E_POINTER, p->GetPreview(*src.get(), 0, nullptr, &d));
    EXPECT_EQ(E_POINTER, p->GetPictureText(*src.get(), 0, nullptr));
}

TEST(Identity, MembersNeedAPictureBinding) {
    // Unbound, freed, an archive plug-in, and a library of unknown kind: the picture
    // members answer E_FAIL without entering the plug-in.
    testspi::QqaHeader h = Qqa(2, 2, 24);
    Variant src;
    SetArray(src, Bytes(h));
    const std::string dest = testenv::TempDir() + "wrongkind.bmp";
    Bstr destB = MakeBstr(dest);

    ComPtr<ISusiePlugin> picture = LoadPlugin("qqa");
    Counters qqa("qqa");
    ComPtr<ISusiePlugin> archive = LoadPlugin("qqz");
    Counters qqz("qqz");
    ComPtr<ISusiePlugin> freed = LoadPlugin("qqa_plain");
    EXPECT_EQ(S_OK, freed->Free());
    ComPtr<ISusiePlugin> unknown = NewPlugin();
    VARIANT_BOOL ok = VARIANT_TRUE;
    Bstr badPath = MakeBstr(testenv::SpiPath("badkind"));
    EXPECT_EQ(S_OK, unknown->Load(badPath.get(), &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    // Bound to qqa before, the object must not fall back on qqa's entries.
    ComPtr<ISusiePlugin> rebound = LoadPlugin("qqa");
    EXPECT_EQ(S_OK, rebound->Load(badPath.get(), &ok));

    // A picture plug-in that fails its probe (no IsSupported) says "00IN" all the same: on
    // its own, and after an earlier binding whose library is gone.
    Bstr unusablePath = MakeBstr(testenv::SpiPath("noissupported"));
    ComPtr<ISusiePlugin> unusable = NewPlugin();
    EXPECT_EQ(S_OK, unusable->Load(unusablePath.get(), &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    ComPtr<ISusiePlugin> reboundUnusable = LoadPlugin("qqa_plain");
    EXPECT_EQ(S_OK, reboundUnusable->Load(unusablePath.get(), &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);

    ComPtr<ISusiePlugin> fresh = NewPlugin();
    for (ISusiePlugin* p : {fresh.get(), freed.get(), archive.get(), unknown.get(), rebound.get(),
                            unusable.get(), reboundUnusable.get()}) {
        PictureInfo info{};
        EXPECT_EQ(E_FAIL, p->GetPictureInfo(*src.get(), sizeof h, &info));
        ComPtr<IDispatch> a, b;
        EXPECT_EQ(E_FAIL, p->GetPicture(*src.get(), sizeof h, a.put(), b.put()));
        EXPECT_EQ(nullptr, a.get());
        EXPECT_EQ(E_FAIL, p->GetPreview(*src.get(), sizeof h, a.put(), b.put()));
        Bstr text;
        EXPECT_EQ(E_FAIL, p->GetPictureText(*src.get(), sizeof h, text.put()));
        EXPECT_EQ(E_FAIL, p->GetPictureToFile(*src.get(), sizeof h, destB.get()));
        EXPECT_FALSE(FileExists(dest));
        VARIANT_BOOL can = VARIANT_TRUE;
        EXPECT_EQ(S_OK, p->get_CanPreview(&can));
        EXPECT_EQ(VARIANT_FALSE, can);
    }
    EXPECT_EQ(0, qqa.Calls());
    EXPECT_EQ(0, qqz.Calls());
}

TEST(Identity, LoadAndFreeManageTheLibrary) {
    ComPtr<ISusiePlugin> p = LoadPlugin("qqa");
    EXPECT_NE(nullptr, LoadedModule("qqa"));

    // Loading another plug-in releases the first.
    Bstr plain = MakeBstr(testenv::SpiPath("qqa_plain"));
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(S_OK, p->Load(plain.get(), &ok));
    EXPECT_EQ(VARIANT_TRUE, ok);
    EXPECT_EQ(nullptr, LoadedModule("qqa"));
    EXPECT_NE(nullptr, LoadedModule("qqa_plain"));

    // A path that does not exist: not bound, and the previous plug-in is gone too.
    Bstr missing = MakeBstr(testenv::SpiDir() + "\\missing.spi");
    EXPECT_EQ(S_OK, p->Load(missing.get(), &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    EXPECT_EQ(nullptr, LoadedModule("qqa_plain"));
    Bstr s;
    EXPECT_EQ(E_FAIL, p->get_About(s.put()));

    // A library of an unknown kind stays loaded until Free; its texts are still readable.
    Bstr bad = MakeBstr(testenv::SpiPath("badkind"));
    ok = VARIANT_TRUE;
    EXPECT_EQ(S_OK, p->Load(bad.get(), &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    EXPECT_NE(nullptr, LoadedModule("badkind"));
    EXPECT_EQ("00XX", Text(&ISusiePlugin::get_Version, p.get()));
    EXPECT_EQ(S_OK, p->Free());
    EXPECT_EQ(nullptr, LoadedModule("badkind"));
    EXPECT_EQ(S_OK, p->Free());  // twice: nothing to do

    // A null path binds nothing.
    EXPECT_EQ(S_OK, p->Load(nullptr, &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);

    // Destruction releases the library.
    p = LoadPlugin("qqa");
    EXPECT_NE(nullptr, LoadedModule("qqa"));
    p.reset();
    EXPECT_EQ(nullptr, LoadedModule("qqa"));
}

TEST(Identity, ObjectsOnOnePluginNeverUnloadEachOther) {
    ComPtr<ISusiePlugin> a = LoadPlugin("qqa");
    ComPtr<ISusiePlugin> b = LoadPlugin("qqa");
    // A third, bound as the manager binds: from a copy of a binding.
    SPI::SpiInterface binding(testenv::Wide(testenv::SpiPath("qqa")));
    ASSERT_EQ(SPI::KIND_PICTURE, binding.Probe());
    ComPtr<ISusiePlugin> c;
    ASSERT_EQ(S_OK, Tamrix::CreateInstance<Tamrix::SusiePlugin>(IID_ISusiePlugin, c.put_void(),
                                                                  binding));
    binding.Unload();

    EXPECT_EQ(S_OK, a->Free());
    EXPECT_EQ(S_OK, a->Free());
    EXPECT_NE(nullptr, LoadedModule("qqa"));
    EXPECT_EQ("00IN", Text(&ISusiePlugin::get_Version, b.get()));
    c.reset();
    EXPECT_EQ("00IN", Text(&ISusiePlugin::get_Version, b.get()));
    EXPECT_EQ(S_OK, b->Free());
    EXPECT_EQ(nullptr, LoadedModule("qqa"));
}

TEST(Identity, PreviewAndConfigurationAbilities) {
    const struct {
        const char* name;
        VARIANT_BOOL preview, config;
    } rows[] = {
        {"qqa", VARIANT_TRUE, VARIANT_TRUE},
        {"qqa_plain", VARIANT_FALSE, VARIANT_FALSE},
        {"qqz", VARIANT_FALSE, VARIANT_TRUE},  // exports GetFileInfo in the preview slot
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ComPtr<ISusiePlugin> p = LoadPlugin(row.name);
        VARIANT_BOOL can = 1;
        EXPECT_EQ(S_OK, p->get_CanPreview(&can));
        EXPECT_EQ(row.preview, can);
        EXPECT_EQ(S_OK, p->get_CanConfigDlg(&can));
        EXPECT_EQ(row.config, can);
        if (!row.config) {
            EXPECT_EQ(E_NOTIMPL, p->ConfigurationDlg(0, 1));
        }
    }

    // The dialog gets both arguments unchanged.
    ComPtr<ISusiePlugin> p = LoadPlugin("qqa");
    Counters counters("qqa");
    int before = counters.LastConfig(nullptr, nullptr);
    EXPECT_EQ(S_OK, p->ConfigurationDlg(0, 5));
    int hParent = -1, function = -1;
    EXPECT_EQ(before + 1, counters.LastConfig(&hParent, &function));
    EXPECT_EQ(0, hParent);
    EXPECT_EQ(5, function);
}

TEST(Identity, AnswersItsInterfacesOnly) {
    ComPtr<ISusiePlugin> p = NewPlugin();
    ComPtr<IDispatch> d;
    ASSERT_EQ(S_OK, p->QueryInterface(IID_IDispatch, d.put_void()));
    EXPECT_EQ(static_cast<void*>(p.get()), static_cast<void*>(d.get()));
    ComPtr<IProvideClassInfo> ci;
    EXPECT_EQ(S_OK, p->QueryInterface(IID_IProvideClassInfo, ci.put_void()));
    ComPtr<IUnknown> u1, u2;
    EXPECT_EQ(S_OK, p->QueryInterface(IID_IUnknown, u1.put_void()));
    EXPECT_EQ(S_OK, ci->QueryInterface(IID_IUnknown, u2.put_void()));
    EXPECT_EQ(u1.get(), u2.get());
    ComPtr<ISpiLocalHeap> wrong;
    EXPECT_EQ(E_NOINTERFACE, p->QueryInterface(IID_ISpiLocalHeap, wrong.put_void()));
}

}  // namespace
}  // namespace plugtest
