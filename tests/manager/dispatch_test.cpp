// Both ways IDispatch is served: the name table of TamrixHost (names, argument counts,
// conversions, results and failures) and the registered type library of SusiePlugin
// (declared defaults, named arguments).
#include <windows.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/automation_types.h"
#include "manager/tamrix_host.h"
#include "server/server_dll.h"

using servertest::ComPtr;
using servertest::RefCount;
using servertest::ServerDll;
using Tamrix::Bstr;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

// The manager with every member recording what reached it, so the tests see the values
// the name table converted.
class RecordingHost : public Tamrix::TamrixHost {
public:
    int calls = 0;
    LONG number = -1;
    std::wstring text;
    VARTYPE vt = VT_ILLEGAL;
    HRESULT countResult = S_OK;

    STDMETHODIMP get__NewEnum(IUnknown** p) override {
        ++calls;
        return GiveSelf(p);
    }
    STDMETHODIMP get_Item(LONG index, IDispatch** p) override {
        ++calls;
        number = index;
        if (index == 0) return FailWithErrorInfo(E_INVALIDARG, L"no item 0");
        return GiveSelf(p);
    }
    STDMETHODIMP get_Count(LONG* p) override {
        ++calls;
        *p = 42;
        return countResult;
    }
    STDMETHODIMP Init(LONG flags, BSTR path) override {
        ++calls;
        number = flags;
        text = path ? path : L"";
        return S_OK;
    }
    STDMETHODIMP QuerySpiFromFile(BSTR name, LONG offset, IDispatch** p) override {
        ++calls;
        text = name ? name : L"";
        number = offset;
        return GiveSelf(p);
    }
    STDMETHODIMP QuerySpi(BSTR name, VARIANT buffer, IDispatch** p) override {
        ++calls;
        text = name ? name : L"";
        vt = buffer.vt;
        return GiveSelf(p);
    }
    STDMETHODIMP GetPicture(VARIANT src, LONG offset, IDispatch** p) override {
        ++calls;
        vt = src.vt;
        number = offset;
        return GiveSelf(p);
    }
    STDMETHODIMP GetFileFilter(LONG type, BSTR* p) override {
        ++calls;
        number = type;
        *p = SysAllocString(L"filter");
        return S_OK;
    }

private:
    template <class I>
    HRESULT GiveSelf(I** p) {
        *p = static_cast<ITamrixHost*>(this);
        (*p)->AddRef();
        return S_OK;
    }
    static HRESULT FailWithErrorInfo(HRESULT hr, const wchar_t* description) {
        ComPtr<ICreateErrorInfo> create;
        if (SUCCEEDED(CreateErrorInfo(create.put()))) {
            create->SetDescription(const_cast<LPOLESTR>(description));
            create->SetSource(const_cast<LPOLESTR>(L"Tamrix.TamrixHost"));
            ComPtr<IErrorInfo> info;
            if (SUCCEEDED(create.query(info))) SetErrorInfo(0, info.get());
        }
        return hr;
    }
};

VARIANT I4(LONG v) {
    VARIANT r;
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}
VARIANT Str(const wchar_t* s) {
    VARIANT r;
    r.vt = VT_BSTR;
    r.bstrVal = SysAllocString(s);
    return r;
}

// One Invoke; args in rgvarg order (the last parameter first). The arguments are
// cleared afterwards.
struct Call {
    Call() = default;
    Call(std::vector<VARIANT> a, std::vector<DISPID> n = {}, WORD f = DISPATCH_METHOD, VARIANT* r = nullptr,
         UINT* e = nullptr, EXCEPINFO* x = nullptr)
        : args(std::move(a)), named(std::move(n)), flags(f), result(r), argErr(e), excep(x) {}
    std::vector<VARIANT> args;
    std::vector<DISPID> named;
    WORD flags = DISPATCH_METHOD;
    VARIANT* result = nullptr;
    UINT* argErr = nullptr;
    EXCEPINFO* excep = nullptr;
};
HRESULT Invoke(IDispatch* d, DISPID id, Call c) {
    DISPPARAMS params{c.args.data(), c.named.data(), static_cast<UINT>(c.args.size()),
                      static_cast<UINT>(c.named.size())};
    HRESULT hr = d->Invoke(id, IID_NULL, 0, c.flags, &params, c.result, c.excep, c.argErr);
    for (VARIANT& v : c.args) VariantClear(&v);
    return hr;
}

class NameTable : public ::testing::Test {
protected:
    void SetUp() override {
        hostOwner_ = Tamrix::Make<RecordingHost>();
        ASSERT_TRUE(hostOwner_);
        host_ = hostOwner_.get();
        dispatch_ = ComPtr<IDispatch>(static_cast<ITamrixHost*>(host_));
    }
    DISPID Id(const wchar_t* name) {
        std::wstring copy = name;
        LPOLESTR names[] = {copy.data()};
        DISPID id = 12345;
        EXPECT_EQ(S_OK, dispatch_->GetIDsOfNames(IID_NULL, names, 1, 0, &id)) << copy;
        return id;
    }
    ComPtr<Tamrix::Object<RecordingHost>> hostOwner_;
    Tamrix::Object<RecordingHost>* host_ = nullptr;
    ComPtr<IDispatch> dispatch_;
};

TEST_F(NameTable, NamesFoldCaseAndPropertyReadersHaveGetNames) {
    const std::pair<const wchar_t*, DISPID> table[] = {
        {L"_NewEnum", DISPID_NEWENUM}, {L"get__NewEnum", DISPID_NEWENUM}, {L"Item", 0}, {L"get_Item", 0},
        {L"Count", 1}, {L"get_Count", 1}, {L"Init", 2}, {L"QuerySpiFromFile", 3}, {L"QuerySpi", 4},
        {L"GetPicture", 5}, {L"GetFileFilter", 6}, {L"count", 1}, {L"COUNT", 1}, {L"get_count", 1},
        {L"GETFILEFILTER", 6}, {L"_newenum", DISPID_NEWENUM}};
    for (const auto& [name, id] : table) EXPECT_EQ(id, Id(name)) << name;

    for (const wchar_t* unknown : {L"get_Init", L"Counts", L"Coun", L"", L"get_QuerySpi"}) {
        std::wstring copy = unknown;
        LPOLESTR names[] = {copy.data()};
        DISPID id = 12345;
        EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch_->GetIDsOfNames(IID_NULL, names, 1, 0, &id)) << copy;
    }
    // Parameter names are looked up in the same table: "Index" is not there.
    std::wstring item = L"Item", index = L"Index";
    LPOLESTR names[] = {item.data(), index.data()};
    DISPID ids[2] = {777, 777};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch_->GetIDsOfNames(IID_NULL, names, 2, 0, ids));
    EXPECT_EQ(0, ids[0]);
    EXPECT_EQ(777, ids[1]);
}

TEST_F(NameTable, CountsAndNamedArgumentsAreCheckedBeforeAnyMemberRuns) {
    EXPECT_EQ(DISP_E_BADVARTYPE, dispatch_->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));

    VARIANT result = I4(77);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              Invoke(dispatch_.get(), 1, {{I4(1), I4(2), I4(3), I4(4), I4(5)}, {}, DISPATCH_METHOD, &result}));
    EXPECT_EQ(VT_I4, result.vt) << "too many arguments leave the result alone";
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(dispatch_.get(), 999, {{I4(1), I4(2), I4(3), I4(4), I4(5)}}))
        << "the count is checked before the DISPID";
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(dispatch_.get(), 99, {{}, {}, DISPATCH_METHOD, &result}));
    EXPECT_EQ(VT_EMPTY, result.vt);
    for (DISPID id : {-1, -2, -3, 99, 100}) EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Invoke(dispatch_.get(), id, {})) << id;

    // Exact counts; no declared defaults on this path.
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(dispatch_.get(), 3, {{Str(L"a.qqa")}}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(dispatch_.get(), 6, {}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(dispatch_.get(), 0, {}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(dispatch_.get(), 2, {{I4(1)}}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Invoke(dispatch_.get(), DISPID_NEWENUM, {{I4(1)}}));
    // A property put of Count reaches the reader, which takes no argument.
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              Invoke(dispatch_.get(), 1, {{I4(5)}, {DISPID_PROPERTYPUT}, DISPATCH_PROPERTYPUT}));
    // Named arguments: only one DISPID_PROPERTYPUT is accepted, and it changes nothing.
    EXPECT_EQ(DISP_E_NONAMEDARGS, Invoke(dispatch_.get(), 0, {{I4(5)}, {0}}));
    EXPECT_EQ(DISP_E_NONAMEDARGS,
              Invoke(dispatch_.get(), 2, {{I4(5), I4(6)}, {DISPID_PROPERTYPUT, DISPID_PROPERTYPUT}}));
    EXPECT_EQ(0, host_->calls);

    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 0, {{I4(5)}, {DISPID_PROPERTYPUT}, DISPATCH_PROPERTYPUT, &result}));
    EXPECT_EQ(5, host_->number);
    VariantClear(&result);
}

TEST_F(NameTable, ArgumentsAreConvertedInTableOrder) {
    VARIANT result;
    VariantInit(&result);
    UINT argErr = 99;
    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 0, {{Str(L"2")}, {}, DISPATCH_PROPERTYGET, &result}));
    EXPECT_EQ(2, host_->number);
    ASSERT_EQ(VT_DISPATCH, result.vt);
    EXPECT_EQ(static_cast<IDispatch*>(static_cast<ITamrixHost*>(host_)), result.pdispVal);
    VariantClear(&result);

    LONG byRef = 9;
    VARIANT ref;
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &byRef;
    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 0, {{ref}, {}, DISPATCH_METHOD, &result}));
    EXPECT_EQ(9, host_->number);
    VariantClear(&result);

    const int callsBefore = host_->calls;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Invoke(dispatch_.get(), 0, {{Str(L"abc")}, {}, DISPATCH_METHOD, &result, &argErr}));
    EXPECT_EQ(0u, argErr);
    EXPECT_EQ(VT_EMPTY, result.vt);

    // Init converts loadFlags (rgvarg[1]) first: the failure names it, and searchPath,
    // which could not become a string either, is not looked at.
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 4);
    VARIANT bytes;
    bytes.vt = VT_ARRAY | VT_UI1;
    bytes.parray = array;
    argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Invoke(dispatch_.get(), 2, {{bytes, Str(L"abc")}, {}, DISPATCH_METHOD, nullptr, &argErr}));
    EXPECT_EQ(1u, argErr);
    EXPECT_EQ(callsBefore, host_->calls) << "no member ran";

    VARIANT shortFlags;
    shortFlags.vt = VT_I2;
    shortFlags.iVal = 7;
    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 2, {{I4(5), shortFlags}}));
    EXPECT_EQ(7, host_->number);
    EXPECT_EQ(L"5", host_->text);

    // Unconverted arguments arrive as they came, one by-reference VARIANT looked through.
    VARIANT inner;
    inner.vt = VT_ARRAY | VT_UI1;
    inner.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
    VARIANT outer;
    outer.vt = VT_BYREF | VT_VARIANT;
    outer.pvarVal = &inner;
    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 4, {{outer, I4(9)}, {}, DISPATCH_METHOD, &result}));
    EXPECT_EQ(VT_ARRAY | VT_UI1, host_->vt);
    EXPECT_EQ(L"9", host_->text);
    VariantClear(&inner);
    VariantClear(&result);

    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 5, {{Str(L"3"), Str(L"picture.qqa")}, {}, DISPATCH_METHOD, &result}));
    EXPECT_EQ(VT_BSTR, host_->vt);
    EXPECT_EQ(3, host_->number);
    VariantClear(&result);

    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 3, {{Str(L"4"), Str(L"a.qqa")}, {}, DISPATCH_METHOD, &result}));
    EXPECT_EQ(L"a.qqa", host_->text);
    EXPECT_EQ(4, host_->number);
    VariantClear(&result);
}

TEST_F(NameTable, ResultsArePackedOrReleased) {
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 1, {{}, {}, DISPATCH_PROPERTYGET, &result}));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(42, result.lVal);

    VARIANT oneDouble;
    oneDouble.vt = VT_R8;
    oneDouble.dblVal = 1.0;
    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 6, {{oneDouble}, {}, DISPATCH_METHOD, &result}));
    EXPECT_EQ(1, host_->number);
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_STREQ(L"filter", result.bstrVal);
    VariantClear(&result);

    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), DISPID_NEWENUM, {{}, {}, DISPATCH_PROPERTYGET, &result}));
    EXPECT_EQ(VT_UNKNOWN, result.vt);
    VariantClear(&result);

    // An object nobody takes is released again.
    const ULONG refs = RefCount(dispatch_.get());
    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), 0, {{I4(3)}}));
    EXPECT_EQ(S_OK, Invoke(dispatch_.get(), DISPID_NEWENUM, {}));
    EXPECT_EQ(refs, RefCount(dispatch_.get()));
}

TEST_F(NameTable, MemberFailuresComeBackWithTheirErrorInformation) {
    VARIANT result = I4(77);
    EXCEPINFO excep{};
    excep.wCode = 5;
    // Handed over as an exception, where clients look for its words; its code is the member's.
    EXPECT_EQ(DISP_E_EXCEPTION, Invoke(dispatch_.get(), 0, {{I4(0)}, {}, DISPATCH_METHOD, &result, nullptr, &excep}));
    EXPECT_EQ(VT_EMPTY, result.vt);
    EXPECT_EQ(E_INVALIDARG, excep.scode);
    EXPECT_EQ(5, excep.wCode) << "fields the error object does not give are not written";
    ASSERT_NE(nullptr, excep.bstrDescription);
    EXPECT_STREQ(L"no item 0", excep.bstrDescription);
    ASSERT_NE(nullptr, excep.bstrSource);
    EXPECT_STREQ(L"Tamrix.TamrixHost", excep.bstrSource);
    ComPtr<IErrorInfo> left;
    EXPECT_EQ(S_FALSE, GetErrorInfo(0, left.put())) << "the error object was taken";
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrHelpFile);

    // A failure without an error object leaves the text fields as they were.
    host_->countResult = E_FAIL;
    EXCEPINFO bare{};
    EXPECT_EQ(DISP_E_EXCEPTION, Invoke(dispatch_.get(), 1, {{}, {}, DISPATCH_PROPERTYGET, &result, nullptr, &bare}));
    EXPECT_EQ(E_FAIL, bare.scode);
    EXPECT_EQ(nullptr, bare.bstrDescription);
    EXPECT_EQ(VT_EMPTY, result.vt) << "a failed member's value is not handed out";
    // With nowhere to put them, the member's own code.
    EXPECT_EQ(E_FAIL, Invoke(dispatch_.get(), 1, {{}, {}, DISPATCH_PROPERTYGET, &result}));
}

// Type information of the name-table class comes from the library file, not the
// registration.
TEST(NameTableTypeInfo, LoadedFromTheServerFile) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComPtr<IDispatch> host = dll.Create<IDispatch>(CLSID_TamrixHost);
    ASSERT_TRUE(host);
    UINT count = 0;
    EXPECT_EQ(E_POINTER, host->GetTypeInfoCount(nullptr));
    EXPECT_EQ(S_OK, host->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(DISP_E_BADINDEX, host->GetTypeInfo(1, 0, info.put()));
    EXPECT_EQ(E_POINTER, host->GetTypeInfo(0, 0, nullptr));
    ASSERT_EQ(S_OK, host->GetTypeInfo(0, 0, info.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(IID_ITamrixHost4, attr->guid));
    info->ReleaseTypeAttr(attr);
}

// The type-library path of SusiePlugin: declared defaults and named arguments.
TEST(TypeLibDispatch, DeclaredDefaultsAndNamedArgumentsReachThePlugin) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComPtr<ISusiePlugin> plugin = dll.Create<ISusiePlugin>(CLSID_SusiePlugin);
    ASSERT_TRUE(plugin);
    Bstr path(SysAllocString(testenv::Wide(testenv::SpiPath("qqa")).c_str()));
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(S_OK, plugin->Load(path.get(), &ok));
    ASSERT_EQ(VARIANT_TRUE, ok);
    using LastConfigFn = int(WINAPI*)(int*, int*);
    auto lastConfig = reinterpret_cast<LastConfigFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA(testenv::SpiPath("qqa").c_str()), "TestLastConfig")));
    ASSERT_NE(nullptr, lastConfig);

    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, plugin.query(dispatch));
    std::wstring method = L"ConfigurationDlg", param = L"function", lower = L"configurationdlg";
    LPOLESTR names[] = {method.data(), param.data()};
    DISPID ids[2] = {0, 0};
    ASSERT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 2, 0, ids));
    EXPECT_EQ(10, ids[0]);
    LPOLESTR lowerNames[] = {lower.data()};
    DISPID lowerId = 0;
    EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, lowerNames, 1, 0, &lowerId));
    EXPECT_EQ(10, lowerId);

    const int callsBefore = lastConfig(nullptr, nullptr);
    EXPECT_EQ(S_OK, Invoke(dispatch.get(), 10, {}));
    int hParent = -1, function = -1;
    EXPECT_EQ(callsBefore + 1, lastConfig(&hParent, &function));
    EXPECT_EQ(0, hParent);
    EXPECT_EQ(1, function);

    EXPECT_EQ(S_OK, Invoke(dispatch.get(), 10, {{I4(7)}, {ids[1]}}));
    EXPECT_EQ(callsBefore + 2, lastConfig(&hParent, &function));
    EXPECT_EQ(0, hParent);
    EXPECT_EQ(7, function);

    EXPECT_EQ(S_OK, plugin->Free());
}

}  // namespace
