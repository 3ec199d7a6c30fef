#include "plugin_enumerator.h"

#include "../common/boundary.h"
#include "../plugin_object/susie_plugin.h"

namespace Tamrix {

HRESULT NewPluginObject(const SPI::SpiInterface& entry, REFIID riid, void** out) {
    // A remote plug-in: a plug-in object of the server over there.
    if (SPI::RemotePlugin* remote = entry.Remote()) return remote->NewObject(entry.WidePath(), riid, out);
    return HandOut(Make<SusiePlugin>(entry), riid, out);
}

size_t PluginEnumerator::Remaining() const noexcept {
    const size_t size = list_.Plugins().size();
    return position_ < size ? size - position_ : 0;
}

STDMETHODIMP PluginEnumerator::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
    return Boundary([&] {
        if (!rgVar || (celt != 1 && !pCeltFetched)) return E_POINTER;
        if (pCeltFetched) *pCeltFetched = 0;
        ULONG fetched = 0;
        while (fetched < celt && Remaining() > 0) {
            IDispatch* plugin = nullptr;
            HRESULT hr = NewPluginObject(list_.Plugins()[position_], IID_IDispatch, reinterpret_cast<void**>(&plugin));
            if (FAILED(hr)) {
                // Nothing of a failed call stays with the caller.
                for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
                return hr;
            }
            VariantClear(&rgVar[fetched]);
            V_VT(&rgVar[fetched]) = VT_DISPATCH;
            V_DISPATCH(&rgVar[fetched]) = plugin;
            ++fetched;
            ++position_;
        }
        if (pCeltFetched) *pCeltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    });
}

STDMETHODIMP PluginEnumerator::Skip(ULONG celt) {
    return Boundary([&] {
        const size_t remaining = Remaining();
        position_ += celt > remaining ? remaining : celt;
        return celt > remaining ? S_FALSE : S_OK;
    });
}

STDMETHODIMP PluginEnumerator::Reset() {
    return Boundary([&] { position_ = 0; });
}

STDMETHODIMP PluginEnumerator::Clone(IEnumVARIANT** ppEnum) {
    return Boundary([&] {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        return HandOut(Make<PluginEnumerator>(owner_, list_, position_), ppEnum);
    });
}

}  // namespace Tamrix
