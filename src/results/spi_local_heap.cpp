#include "spi_local_heap.h"

#include <cstring>
#include <utility>

#include "../common/automation_types.h"

namespace Tamrix {

void SpiLocalHeap::Attach(tamrix::UniqueHlocal block) noexcept {
    // The old block is freed as it is (still locked); its address goes with it.
    address_ = nullptr;
    handle_ = std::move(block);
    if (handle_) address_ = LocalLock(handle_.get());
}

HRESULT SpiLocalHeap::Create(tamrix::UniqueHlocal block, IDispatch** out) noexcept {
    *out = nullptr;
    tamrix::Object<SpiLocalHeap>* obj = tamrix::Object<SpiLocalHeap>::New();
    if (!obj) return E_OUTOFMEMORY;  // `block` is freed on the way out
    obj->Attach(std::move(block));
    obj->AddRef();
    *out = static_cast<ISpiLocalHeap*>(obj);
    return S_OK;
}

STDMETHODIMP SpiLocalHeap::get_Buffer(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(address_));
    return S_OK;
}

STDMETHODIMP SpiLocalHeap::get_Length(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = handle_ ? static_cast<LONG>(LocalSize(handle_.get())) : 0;
    return S_OK;
}

STDMETHODIMP SpiLocalHeap::GetBytes(VARIANT* pArray) {
    const SIZE_T n = handle_ ? LocalSize(handle_.get()) : 0;
    if (n > 0 && !address_) return E_FAIL;  // a block that could not be locked has no bytes to read
    SAFEARRAYBOUND bound{static_cast<ULONG>(n), 0};
    tamrix::UniqueSafeArray array(SafeArrayCreate(VT_UI1, 1, &bound));
    if (!array.get()) return E_OUTOFMEMORY;
    if (n > 0) {
        HRESULT hr = SafeArrayLock(array.get());
        if (FAILED(hr)) return hr;
        std::memcpy(array.get()->pvData, address_, n);
        SafeArrayUnlock(array.get());
    }
    if (!pArray) return E_POINTER;
    HRESULT hr = VariantClear(pArray);
    if (FAILED(hr)) return hr;
    V_VT(pArray) = VT_ARRAY | VT_UI1;
    V_ARRAY(pArray) = array.release();
    return S_OK;
}

}  // namespace Tamrix

namespace Tamrix {

HRESULT SpiLocalHeap::InvokeMember(DISPID id, tamrix::DispatchCall& call) {
    ISpiLocalHeap* self = this;
    switch (id) {
    case 0: {
        if (HRESULT hr = call.Expect(0); FAILED(hr)) return hr;
        LONG v = 0;
        const HRESULT hr = self->get_Buffer(&v);  // before v is read
        return call.ReturnLong(hr, v);
    }
    case 1: {
        if (HRESULT hr = call.Expect(0); FAILED(hr)) return hr;
        tamrix::Variant v;
        const HRESULT hr = self->GetBytes(v.get());
        return call.ReturnVariant(hr, v.get());
    }
    case 2: {
        if (HRESULT hr = call.Expect(0); FAILED(hr)) return hr;
        LONG v = 0;
        const HRESULT hr = self->get_Length(&v);
        return call.ReturnLong(hr, v);
    }
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace Tamrix
