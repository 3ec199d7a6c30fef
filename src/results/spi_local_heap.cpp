#include "spi_local_heap.h"

#include <cstring>
#include <utility>

#include "../common/automation_types.h"
#include "../common/boundary.h"
#include "../common/surrogate_process.h"
#include "../common/value_width.h"

namespace Tamrix {

HRESULT SpiLocalHeap::Create(SharedLocalBlock block, IDispatch** out, bool handsOutAddress) noexcept {
    *out = nullptr;
    auto heap = Make<SpiLocalHeap>();
    if (!heap) return E_OUTOFMEMORY;
    heap->Attach(std::move(block));
    heap->handsOutAddress_ = handsOutAddress;
    return HandOut(std::move(heap), out);
}

STDMETHODIMP SpiLocalHeap::get_Buffer(LONG* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = 0;
        // The block lives in the surrogate; its address means nothing to the client.
        if (InSurrogate() || !handsOutAddress_) return E_ADDRESS_ACROSS_PROCESSES;
        // A 64-bit address never goes through a long, whatever its value: a script gets the
        // same answer on every 64-bit system, and GetBytes is the way to the bytes.
        if constexpr (!ADDRESSES_FIT_A_LONG) return E_EXCEEDS_32_BITS;
        *pVal = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(block_ ? block_->Address() : nullptr));
        return S_OK;
    });
}

STDMETHODIMP SpiLocalHeap::get_Length(LONG* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = 0;
        if (!block_) return S_OK;
        // A block of 2 GB or more (only a 64-bit plug-in can hand one back) has no long length.
        if (block_->Size() > 0x7FFFFFFFu) return E_EXCEEDS_32_BITS;
        *pVal = static_cast<LONG>(block_->Size());
        return S_OK;
    });
}

STDMETHODIMP SpiLocalHeap::GetBytes(VARIANT* pArray) {
    return Boundary([&] {
        const SIZE_T n = block_ ? block_->Size() : 0;
        const void* address = block_ ? block_->Address() : nullptr;
        if (n > 0 && !address) return E_FAIL;  // a block that could not be locked has no bytes to read
        if (n > 0x7FFFFFFFu) return E_EXCEEDS_32_BITS;  // an array's bounds are 32-bit
        UniqueSafeArray array;
        ThrowIfFailed(NewByteArray(address, n, array));
        if (!pArray) return E_POINTER;
        ThrowIfFailed(VariantClear(pArray));
        V_VT(pArray) = VT_ARRAY | VT_UI1;
        V_ARRAY(pArray) = array.release();
        return S_OK;
    });
}

HRESULT SpiLocalHeap::InvokeMember(DISPID id, DispatchCall& call) {
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
        Variant v;
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
