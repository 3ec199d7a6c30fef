// Tamrix.dll loaded by the test, as the COM runtime loads it: LoadLibrary and the exports.
// Every ServerDll is a load of its own; when the last one goes the library is unloaded, so
// the next one sees freshly built module records.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <gtest/gtest.h>

#include <string>

#include "common/com_ptr.h"
#include "common/test_env.h"

namespace servertest {

using Tamrix::ComPtr;

class ServerDll {
public:
    explicit ServerDll(const std::string& path = testenv::DllPath()) : ServerDll(LoadLibraryA(path.c_str())) {}
    explicit ServerDll(const std::wstring& path) : ServerDll(LoadLibraryW(path.c_str())) {}
    explicit ServerDll(HMODULE module) : module_(module) {
        if (!module_) return;
        canUnloadNow_ = Export<CanUnloadNowFn>("DllCanUnloadNow");
        getClassObject_ = Export<GetClassObjectFn>("DllGetClassObject");
        register_ = Export<CanUnloadNowFn>("DllRegisterServer");
        unregister_ = Export<CanUnloadNowFn>("DllUnregisterServer");
    }
    ~ServerDll() {
        if (module_) FreeLibrary(module_);
    }
    ServerDll(const ServerDll&) = delete;
    ServerDll& operator=(const ServerDll&) = delete;

    bool Loaded() const { return module_ && canUnloadNow_ && getClassObject_ && register_ && unregister_; }
    HMODULE Module() const { return module_; }

    HRESULT CanUnloadNow() const { return canUnloadNow_(); }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const { return getClassObject_(clsid, iid, ppv); }
    HRESULT Register() const { return register_(); }
    HRESULT Unregister() const { return unregister_(); }

    ComPtr<IClassFactory> Factory(REFCLSID clsid) const {
        ComPtr<IClassFactory> f;
        EXPECT_EQ(S_OK, GetClassObject(clsid, IID_IClassFactory, f.put_void()));
        return f;
    }
    // A plain instance asked for I.
    template <class I>
    ComPtr<I> Create(REFCLSID clsid) const {
        ComPtr<I> out;
        if (ComPtr<IClassFactory> f = Factory(clsid)) {
            EXPECT_EQ(S_OK, f->CreateInstance(nullptr, __uuidof(I), out.put_void()));
        }
        return out;
    }

private:
    template <class F>
    F Export(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

    HMODULE module_;
    CanUnloadNowFn canUnloadNow_ = nullptr;
    GetClassObjectFn getClassObject_ = nullptr;
    CanUnloadNowFn register_ = nullptr;
    CanUnloadNowFn unregister_ = nullptr;
};

// The test threads live in a single-threaded apartment, as script hosts do.
class ComApartment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

inline ULONG RefCount(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

}  // namespace servertest
