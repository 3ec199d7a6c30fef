#include "plugin_enumerator.h"

#include "../plugin_object/susie_plugin.h"

namespace Tamrix {

HRESULT NewPluginObject(const SPI::SpiInterface& entry, REFIID riid, void** out) noexcept {
    // A plug-in served in another process: a plug-in object of the server there.
    if (SPI::ForeignPlugin* foreign = entry.Foreign()) return foreign->NewObject(entry.WidePath(), riid, out);
    return HandOut(Make<SusiePlugin>(entry), riid, out);
}

size_t PluginEnumerator::Remaining() const noexcept {
    const size_t size = host_.Plugins().size();
    return position_ < size ? size - position_ : 0;
}

STDMETHODIMP PluginEnumerator::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
    if (!rgVar || (celt != 1 && !pCeltFetched)) return E_POINTER;
    if (pCeltFetched) *pCeltFetched = 0;
    ULONG fetched = 0;
    while (fetched < celt && Remaining() > 0) {
        IDispatch* plugin = nullptr;
        HRESULT hr = NewPluginObject(host_.Plugins()[position_], IID_IDispatch, reinterpret_cast<void**>(&plugin));
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
}

STDMETHODIMP PluginEnumerator::Skip(ULONG celt) {
    const size_t remaining = Remaining();
    if (celt > remaining) {
        position_ += remaining;
        return S_FALSE;
    }
    position_ += celt;
    return S_OK;
}

STDMETHODIMP PluginEnumerator::Reset() {
    position_ = 0;
    return S_OK;
}

STDMETHODIMP PluginEnumerator::Clone(IEnumVARIANT** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return HandOut(Make<PluginEnumerator>(owner_, host_, position_), ppEnum);
}

}  // namespace Tamrix
