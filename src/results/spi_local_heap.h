// One block of local memory handed back by a plug-in (bitmap information, pixels, or an
// extracted archive member), owned by this object alone: locked once when attached,
// freed once when replaced or when the object dies.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "Tamrix.h"
#include "../common/handles.h"
#include "../common/object.h"
#include "../automation/name_table_dispatch.h"

namespace Tamrix {

class SpiLocalHeap : public tamrix::NameTableDispatch<SpiLocalHeap, ISpiLocalHeap> {
public:
    using Interfaces = tamrix::InterfaceList<ISpiLocalHeap, tamrix::As<IDispatch, ISpiLocalHeap>>;

    // Late-bound names; "pVal" and "pArray" are parameter names, answered as DISPID 0.
    static constexpr tamrix::DispName kNames[] = {
        {L"Buffer", 0}, {L"pVal", 0},     {L"get_Buffer", 0}, {L"pArray", 0},
        {L"GetBytes", 1}, {L"Length", 2}, {L"get_Length", 2},
    };
    static constexpr UINT kMaxArgs = 1;
    static constexpr bool kChecksNamedArgs = false;
    HRESULT InvokeMember(DISPID id, tamrix::DispatchCall& call);

    SpiLocalHeap() = default;
    virtual ~SpiLocalHeap() = default;

    // Takes ownership of `block` (freeing a block held before) and locks it once.
    // A null block, or one that cannot be locked, leaves the address null.
    void Attach(tamrix::UniqueHlocal block) noexcept;

    // A new object owning `block`, handed out with one reference. On failure the block
    // is freed and *out is null.
    static HRESULT Create(tamrix::UniqueHlocal block, IDispatch** out) noexcept;

    // ISpiLocalHeap
    STDMETHODIMP get_Buffer(LONG* pVal) override;
    STDMETHODIMP GetBytes(VARIANT* pArray) override;
    STDMETHODIMP get_Length(LONG* pVal) override;

private:
    tamrix::UniqueHlocal handle_;
    void* address_ = nullptr;
};

}  // namespace Tamrix
