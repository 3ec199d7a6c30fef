// The manager's enumerator: for-each over the plug-in list, one new plug-in object per
// element. It keeps the manager alive and walks the manager's live list, checking its
// position against that list on every call, so an Init meanwhile never leaves it reading
// entries that are gone.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "../common/com_ptr.h"
#include "../common/object.h"
#include "../plugin/plugin_list.h"

namespace Tamrix {

// A new plug-in object bound to a copy of `entry` (a library reference of its own), asked
// for riid. It is not probed: an unloaded entry gives an unloaded object. For a remote
// plug-in, a new plug-in object over there, loaded with the same file.
HRESULT NewPluginObject(const SPI::SpiInterface& entry, REFIID riid, void** out);

class PluginEnumerator : public IEnumVARIANT {
public:
    using Interfaces = InterfaceList<IEnumVARIANT>;

    // `owner` is the manager object that holds `list`; the enumerator keeps a reference on it.
    PluginEnumerator(ComPtr<IUnknown> owner, SPI::PluginList& list, size_t position = 0) noexcept
        : owner_(std::move(owner)), list_(list), position_(position) {}
    virtual ~PluginEnumerator() = default;

    STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

private:
    size_t Remaining() const noexcept;

    ComPtr<IUnknown> owner_;
    SPI::PluginList& list_;
    size_t position_;
};

}  // namespace Tamrix
