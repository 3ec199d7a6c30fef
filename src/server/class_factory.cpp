#include "class_factory.h"

#include <new>

#include "module.h"

namespace tamrix {

HRESULT ClassFactory::Create(CreateInstanceFn create, REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto* factory = new (std::nothrow) ClassFactory(create);
    if (!factory) return E_OUTOFMEMORY;
    factory->AddRef();
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() {
    LONG n = InterlockedIncrement(&refs_);
    if (n == 2) Module().Lock();  // someone besides the class table holds us
    return static_cast<ULONG>(n);
}

STDMETHODIMP_(ULONG) ClassFactory::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 1) Module().Unlock();
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregated object can hand its outer object only its own inner IUnknown.
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return create_(outer, riid, ppv);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        Module().Lock();
    else
        Module().Unlock();
    return S_OK;
}

}  // namespace tamrix
