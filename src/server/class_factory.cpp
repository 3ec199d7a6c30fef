#include "class_factory.h"

#include <new>

#include "../common/boundary.h"
#include "../common/com_ptr.h"
#include "../common/module_lock.h"

namespace Tamrix {

HRESULT ClassFactory::Create(CreateInstanceFn create, REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return HandOut(ComPtr<ClassFactory>::adopt(new (std::nothrow) ClassFactory(create)), riid, ppv);
}

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    // COM asks for many interfaces a class object has not: no failure worth words.
    return Barrier([&] {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    });
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() {
    LONG n = InterlockedIncrement(&refs_);
    if (n == 2) module_lock::Add();  // someone besides the class table holds us
    return static_cast<ULONG>(n);
}

STDMETHODIMP_(ULONG) ClassFactory::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 1) module_lock::Remove();
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    return Boundary([&] {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        // An aggregated object can hand its outer object only its own inner IUnknown.
        if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        return create_(outer, riid, ppv);
    });
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    return Barrier([&] { lock ? module_lock::Add() : module_lock::Remove(); });
}

}  // namespace Tamrix
