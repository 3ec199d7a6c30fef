// The server as the COM runtime sees it: class objects, instances plain and aggregated,
// and the lock count that DllCanUnloadNow reports.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "plugins/test_formats.h"
#include "server/server_dll.h"

using servertest::ComPtr;
using servertest::RefCount;
using servertest::ServerDll;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

// Each test loads the library afresh: nothing else in this process holds it.
class Server : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(nullptr, GetModuleHandleA(testenv::DllPath().c_str())) << "a previous test kept the library";
        dll_ = std::make_unique<ServerDll>();
        ASSERT_TRUE(dll_->Loaded());
        ASSERT_EQ(S_OK, dll_->CanUnloadNow()) << "a freshly loaded library holds no lock";
    }
    void TearDown() override {
        if (dll_) {
            EXPECT_EQ(S_OK, dll_->CanUnloadNow()) << "the test left something alive";
        }
        dll_.reset();
    }
    std::unique_ptr<ServerDll> dll_;
};

// An outer object for aggregation: counts what reaches it and hands other interfaces to
// the inner object, as a real aggregator does.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        ++queries;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }

    ULONG refs = 1;  // lives on the stack
    int queries = 0;
    IUnknown* inner = nullptr;
};

TEST_F(Server, ClassObjectsExistOnlyForTheTwoCreatableClasses) {
    for (const CLSID* clsid : {&CLSID_SpiFileInfo, &CLSID_SpiFileInfoCollection, &CLSID_SpiLocalHeap, &IID_ISusiePlugin}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, dll_->GetClassObject(*clsid, IID_IClassFactory, &p));
        EXPECT_EQ(nullptr, p);
    }
    EXPECT_EQ(E_POINTER, dll_->GetClassObject(CLSID_SusiePlugin, IID_IClassFactory, nullptr));

    // One cached class object per class, whatever it is asked for; it answers IUnknown and
    // IClassFactory only.
    ComPtr<IUnknown> a, b, host;
    ComPtr<IClassFactory> f;
    ASSERT_EQ(S_OK, dll_->GetClassObject(CLSID_SusiePlugin, IID_IUnknown, a.put_void()));
    ASSERT_EQ(S_OK, dll_->GetClassObject(CLSID_SusiePlugin, IID_IClassFactory, f.put_void()));
    ASSERT_EQ(S_OK, dll_->GetClassObject(CLSID_SusiePlugin, IID_IUnknown, b.put_void()));
    ASSERT_EQ(S_OK, dll_->GetClassObject(CLSID_TamrixHost, IID_IUnknown, host.put_void()));
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(a.get(), static_cast<IUnknown*>(f.get()));
    EXPECT_NE(a.get(), host.get());
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, dll_->GetClassObject(CLSID_TamrixHost, IID_IDispatch, &p));
    EXPECT_EQ(nullptr, p);
    ComPtr<IClassFactory> hostFactory;
    EXPECT_EQ(S_OK, host.query(hostFactory));
}

TEST_F(Server, CanUnloadNowTellsWhatIsInUse) {
    // A class object held by a client keeps the library; the cached one alone does not.
    ComPtr<IClassFactory> f = dll_->Factory(CLSID_SusiePlugin);
    ASSERT_TRUE(f);
    EXPECT_EQ(S_FALSE, dll_->CanUnloadNow());
    ComPtr<IClassFactory> again = dll_->Factory(CLSID_SusiePlugin);
    again.reset();
    EXPECT_EQ(S_FALSE, dll_->CanUnloadNow());
    f->LockServer(TRUE);
    f->LockServer(TRUE);
    f.reset();
    EXPECT_EQ(S_FALSE, dll_->CanUnloadNow()) << "LockServer(TRUE) holds the library";
    dll_->Factory(CLSID_SusiePlugin)->LockServer(FALSE);
    EXPECT_EQ(S_FALSE, dll_->CanUnloadNow()) << "one LockServer(TRUE) still outstanding";
    dll_->Factory(CLSID_SusiePlugin)->LockServer(FALSE);
    EXPECT_EQ(S_OK, dll_->CanUnloadNow());

    // Instances of both classes, plain and aggregated.
    for (const CLSID* clsid : {&CLSID_SusiePlugin, &CLSID_TamrixHost}) {
        ComPtr<IDispatch> plain = dll_->Create<IDispatch>(*clsid);
        ASSERT_TRUE(plain);
        EXPECT_EQ(S_FALSE, dll_->CanUnloadNow());
        plain.reset();
        EXPECT_EQ(S_OK, dll_->CanUnloadNow());

        Outer outer;
        ComPtr<IUnknown> inner;
        ASSERT_EQ(S_OK, dll_->Factory(*clsid)->CreateInstance(&outer, IID_IUnknown, inner.put_void()));
        EXPECT_EQ(S_FALSE, dll_->CanUnloadNow());
        inner.reset();
        EXPECT_EQ(S_OK, dll_->CanUnloadNow());
    }
}

TEST_F(Server, BlocksHandedOutKeepTheLibraryAfterTheirPlugin) {
    // A memory block outlives the plug-in object that decoded it, and holds the library.
    ComPtr<ISusiePlugin> p = dll_->Create<ISusiePlugin>(CLSID_SusiePlugin);
    ASSERT_TRUE(p);
    BSTR path = SysAllocString(testenv::Wide(testenv::SpiPath("qqa")).c_str());
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(S_OK, p->Load(path, &ok));
    SysFreeString(path);
    ASSERT_EQ(VARIANT_TRUE, ok);
    testspi::QqaHeader h{};
    std::memcpy(h.magic, "QQA1", 4);
    h.width = h.height = 2;
    h.bitCount = 24;
    VARIANT src;
    src.vt = VT_I4;
    src.lVal = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(&h));
    ComPtr<IDispatch> info, pixels;
    ASSERT_EQ(S_OK, p->GetPicture(src, sizeof h, info.put(), pixels.put()));
    p.reset();
    EXPECT_EQ(S_FALSE, dll_->CanUnloadNow());
    info.reset();
    EXPECT_EQ(S_FALSE, dll_->CanUnloadNow());
    pixels.reset();
    EXPECT_EQ(S_OK, dll_->CanUnloadNow());
}

// Needs the registration: the collection dispatches through the registered library.
TEST_F(Server, ArchiveResultsKeepTheLibraryAndAnswerTheirOwnInterfaces) {
    ComPtr<ISusiePlugin> p = dll_->Create<ISusiePlugin>(CLSID_SusiePlugin);
    ASSERT_TRUE(p);
    BSTR path = SysAllocString(testenv::Wide(testenv::SpiPath("qqz")).c_str());
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(S_OK, p->Load(path, &ok));
    SysFreeString(path);
    ASSERT_EQ(VARIANT_TRUE, ok);
    // An archive of two empty members.
    std::vector<BYTE> archive(sizeof(testspi::QqzHeader) + 2 * sizeof(testspi::QqzMember), 0);
    testspi::QqzHeader h{{'Q', 'Q', 'Z', '1'}, 2, 0, 0, 0, 0};
    std::memcpy(archive.data(), &h, sizeof h);
    for (int i = 0; i < 2; ++i) archive[sizeof h + i * sizeof(testspi::QqzMember)] = static_cast<BYTE>('a' + i);  // method
    VARIANT src;
    src.vt = VT_I4;
    src.lVal = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(archive.data()));
    ComPtr<IDispatch> list;
    ASSERT_EQ(S_OK, p->GetArchiveInfo(src, static_cast<LONG>(archive.size()), list.put()));
    ASSERT_TRUE(list);

    // Late-bound: Count, Item(2) and _NewEnum, through the type library.
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, list->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(2, result.lVal);
    VARIANT index;
    index.vt = VT_BSTR;
    index.bstrVal = SysAllocString(L"2");  // converted as the type system converts
    DISPPARAMS one{&index, nullptr, 1, 0};
    ASSERT_EQ(S_OK, list->Invoke(0, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &one, &result, nullptr, nullptr));
    VariantClear(&index);
    ASSERT_EQ(VT_DISPATCH, result.vt);
    ComPtr<IDispatch> entry = ComPtr<IDispatch>::adopt(result.pdispVal);
    // Asked for as a method alone, as Wine's JScript asks when a script makes an Enumerator.
    ASSERT_EQ(S_OK, list->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr));
    ASSERT_EQ(VT_UNKNOWN, result.vt);
    ComPtr<IUnknown> enumerator = ComPtr<IUnknown>::adopt(result.punkVal);

    // Each answers its own interfaces and no other; the enumerator has no IDispatch.
    void* q = nullptr;
    ComPtr<IUnknown> own;
    EXPECT_EQ(S_OK, entry->QueryInterface(IID_ISpiFileInfo, own.put_void()));
    EXPECT_EQ(S_OK, list->QueryInterface(IID_ISpiFileInfoCollection, own.put_void()));
    EXPECT_EQ(S_OK, enumerator->QueryInterface(IID_IEnumVARIANT, own.put_void()));
    for (const IID* iid : {&IID_ISpiFileInfoCollection, &IID_ISusiePlugin, &IID_IEnumVARIANT})
        EXPECT_EQ(E_NOINTERFACE, entry->QueryInterface(*iid, &q));
    for (const IID* iid : {&IID_ISpiFileInfo, &IID_IEnumVARIANT, &IID_IProvideClassInfo})
        EXPECT_EQ(E_NOINTERFACE, list->QueryInterface(*iid, &q));
    for (const IID* iid : {&IID_IDispatch, &IID_ISpiFileInfoCollection, &IID_ISpiFileInfo})
        EXPECT_EQ(E_NOINTERFACE, enumerator->QueryInterface(*iid, &q));
    own.reset();

    // Each of them alone keeps the library in use.
    p.reset();
    list.reset();
    EXPECT_EQ(S_FALSE, dll_->CanUnloadNow()) << "the enumerator and the entry";
    enumerator.reset();
    EXPECT_EQ(S_FALSE, dll_->CanUnloadNow()) << "the entry";
    entry.reset();
}

TEST_F(Server, CreateInstanceFailuresLeaveNothingBehind) {
    for (const CLSID* clsid : {&CLSID_SusiePlugin, &CLSID_TamrixHost}) {
        ComPtr<IClassFactory> f = dll_->Factory(*clsid);
        ASSERT_TRUE(f);
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_POINTER, f->CreateInstance(nullptr, IID_IUnknown, nullptr));
        EXPECT_EQ(E_NOINTERFACE, f->CreateInstance(nullptr, IID_ISpiFileInfo, &p));
        EXPECT_EQ(nullptr, p);
        Outer outer;
        p = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_NOAGGREGATION, f->CreateInstance(&outer, IID_IDispatch, &p));
        EXPECT_EQ(nullptr, p);
        EXPECT_EQ(1u, outer.refs);
        f.reset();
        // The instance that lacked the interface was destroyed with its module lock.
        EXPECT_EQ(S_OK, dll_->CanUnloadNow());
    }
}

TEST_F(Server, InstancesAnswerTheirOwnInterfacesOnly) {
    struct Case {
        const CLSID* clsid;
        const IID* own;
        const IID* foreign;
    };
    for (const Case& c : {Case{&CLSID_SusiePlugin, &IID_ISusiePlugin, &IID_ITamrixHost},
                          Case{&CLSID_TamrixHost, &IID_ITamrixHost, &IID_ISusiePlugin}}) {
        ComPtr<IUnknown> unk = dll_->Create<IUnknown>(*c.clsid);
        ASSERT_TRUE(unk);
        ComPtr<IUnknown> own, dispatch, classInfo, identity;
        EXPECT_EQ(S_OK, unk->QueryInterface(*c.own, own.put_void()));
        EXPECT_EQ(S_OK, unk->QueryInterface(IID_IDispatch, dispatch.put_void()));
        EXPECT_EQ(own.get(), dispatch.get()) << "IDispatch is the object's own dual interface";
        EXPECT_EQ(S_OK, unk->QueryInterface(IID_IProvideClassInfo, classInfo.put_void()));
        EXPECT_EQ(S_OK, classInfo->QueryInterface(IID_IUnknown, identity.put_void()));
        EXPECT_EQ(unk.get(), identity.get());
        void* p = reinterpret_cast<void*>(1);
        for (const IID* iid : {c.foreign, &IID_ISpiFileInfo, &IID_IClassFactory, &IID_IEnumVARIANT}) {
            EXPECT_EQ(E_NOINTERFACE, unk->QueryInterface(*iid, &p));
            EXPECT_EQ(nullptr, p);
        }
    }
}

TEST_F(Server, AggregatedInstanceForwardsToTheOuterObject) {
    for (const CLSID* clsid : {&CLSID_SusiePlugin, &CLSID_TamrixHost}) {
        const IID& own = IsEqualCLSID(*clsid, CLSID_SusiePlugin) ? IID_ISusiePlugin : IID_ITamrixHost;
        Outer outer;
        IUnknown* inner = nullptr;
        ASSERT_EQ(S_OK, dll_->Factory(*clsid)->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
        outer.inner = inner;
        EXPECT_EQ(1u, outer.refs) << "creation does not count on the outer object";

        // The inner IUnknown is the wrapper's own: it answers IUnknown with itself.
        IUnknown* self = nullptr;
        ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)));
        EXPECT_EQ(inner, self);
        EXPECT_EQ(1u, self->Release()) << "the creator's reference is the only one left";
        EXPECT_EQ(1u, outer.refs);

        // The class's interfaces count on, and ask, the outer object.
        IDispatch* dispatch = nullptr;
        ASSERT_EQ(S_OK, inner->QueryInterface(own, reinterpret_cast<void**>(&dispatch)));
        EXPECT_EQ(2u, outer.refs);
        EXPECT_EQ(1u, RefCount(inner)) << "interfaces handed out do not count on the wrapper";
        dispatch->AddRef();
        EXPECT_EQ(3u, outer.refs);
        dispatch->Release();
        IUnknown* viaOuter = nullptr;
        const int queries = outer.queries;
        ASSERT_EQ(S_OK, dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaOuter)));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), viaOuter);
        EXPECT_EQ(queries + 1, outer.queries);
        viaOuter->Release();

        // The contained object still dispatches by itself.
        wchar_t name[] = L"Free";
        LPOLESTR names[] = {name};
        DISPID id = 0;
        if (IsEqualIID(own, IID_ITamrixHost)) wcscpy(name, L"Init");
        EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
        EXPECT_EQ(IsEqualIID(own, IID_ITamrixHost) ? 2 : 21, id);

        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, inner->QueryInterface(IID_ISpiLocalHeap, &p));
        EXPECT_EQ(nullptr, p);
        EXPECT_EQ(E_POINTER, inner->QueryInterface(own, nullptr));

        dispatch->Release();
        EXPECT_EQ(1u, outer.refs);
        EXPECT_EQ(S_FALSE, dll_->CanUnloadNow());
        EXPECT_EQ(0u, inner->Release());
    }
}

TEST_F(Server, ConcurrentRequestsShareOneClassObject) {
    // Eight threads, released together, each ask for a class object not made yet.
    constexpr int THREADS = 8;
    for (const CLSID* clsid : {&CLSID_SusiePlugin, &CLSID_TamrixHost}) {
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(nullptr, go);
        std::vector<IUnknown*> got(THREADS, nullptr);
        std::vector<HRESULT> results(THREADS, E_FAIL);
        std::vector<std::thread> threads;
        for (int i = 0; i < THREADS; ++i)
            threads.emplace_back([&, i] {
                WaitForSingleObject(go, INFINITE);
                results[i] = dll_->GetClassObject(*clsid, IID_IUnknown, reinterpret_cast<void**>(&got[i]));
            });
        Sleep(50);
        SetEvent(go);
        for (auto& t : threads) t.join();
        CloseHandle(go);
        for (int i = 0; i < THREADS; ++i) {
            EXPECT_EQ(S_OK, results[i]);
            EXPECT_EQ(got[0], got[i]) << "thread " << i;
        }
        // The table's reference plus one per thread: nothing was made twice or lost.
        EXPECT_EQ(static_cast<ULONG>(THREADS + 1), RefCount(got[0]));
        for (IUnknown* p : got)
            if (p) p->Release();
        EXPECT_EQ(S_OK, dll_->CanUnloadNow());
    }
}

// Needs the registration: the class description comes from the registered library.
TEST_F(Server, ProvideClassInfoDescribesTheCoclass) {
    for (const CLSID* clsid : {&CLSID_SusiePlugin, &CLSID_TamrixHost}) {
        ComPtr<IProvideClassInfo> pci = dll_->Create<IProvideClassInfo>(*clsid);
        ASSERT_TRUE(pci);
        EXPECT_EQ(E_POINTER, pci->GetClassInfo(nullptr));
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, pci->GetClassInfo(info.put()));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(TKIND_COCLASS, attr->typekind);
        EXPECT_TRUE(IsEqualGUID(*clsid, attr->guid));
        info->ReleaseTypeAttr(attr);
    }
}

}  // namespace
