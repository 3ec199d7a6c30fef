// One block of local memory handed back by a plug-in (bitmap information, pixels, or an
// extracted archive member). The block is locked once and freed once, when its last owner
// goes: this object, or another result object made from the same block.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "Tamrix.h"
#include "../common/local_block.h"
#include "../common/object.h"
#include "../automation/name_table_dispatch.h"

namespace Tamrix {

class SpiLocalHeap : public NameTableDispatch<SpiLocalHeap, ISpiLocalHeap>, public SupportsErrorInfo<SpiLocalHeap> {
public:
    using Interfaces = InterfaceList<ISpiLocalHeap, As<IDispatch, ISpiLocalHeap>, ISupportErrorInfo>;

    // Late-bound names; "pVal" and "pArray" are parameter names, answered as DISPID 0.
    static constexpr DispName NAMES[] = {
        {L"Buffer", 0}, {L"pVal", 0},     {L"get_Buffer", 0}, {L"pArray", 0},
        {L"GetBytes", 1}, {L"Length", 2}, {L"get_Length", 2},
    };
    static constexpr UINT MAX_ARGS = 1;
    static constexpr bool CHECKS_NAMED_ARGS = false;
    HRESULT InvokeMember(DISPID id, DispatchCall& call);

    SpiLocalHeap() = default;
    virtual ~SpiLocalHeap() = default;

    // Takes a share of `block` (letting go of a block held before). A null block, or one
    // that could not be locked, has no address and no length.
    void Attach(SharedLocalBlock block) noexcept { block_ = std::move(block); }

    // A new object holding `block`, handed out with the caller's reference; E_OUTOFMEMORY
    // (and *out null) when it cannot be made. Without `handsOutAddress` (a copy of a block
    // that a plug-in made in a helper process) Buffer answers as it does in a surrogate.
    static HRESULT Create(SharedLocalBlock block, IDispatch** out, bool handsOutAddress = true) noexcept;

    // ISpiLocalHeap
    STDMETHODIMP get_Buffer(LONG* pVal) override;
    STDMETHODIMP GetBytes(VARIANT* pArray) override;
    STDMETHODIMP get_Length(LONG* pVal) override;

private:
    SharedLocalBlock block_;
    bool handsOutAddress_ = true;
};

}  // namespace Tamrix
