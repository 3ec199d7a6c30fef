#include "spi_file_info_collection.h"

#include <utility>

#include "../common/boundary.h"
#include "spi_file_info.h"

namespace Tamrix {
namespace {

// The VARIANT form of handing out an entry: the destination is treated as initialised and
// cleared first; it then holds the entry itself with one more reference.
HRESULT CopyEntry(ISpiFileInfo* entry, VARIANT* dest) noexcept {
    if (HRESULT hr = VariantClear(dest); FAILED(hr)) return hr;
    entry->AddRef();
    V_VT(dest) = VT_DISPATCH;
    V_DISPATCH(dest) = entry;
    return S_OK;
}

}  // namespace

HRESULT SpiFileInfoCollection::Create(const SPI::ArchiveListing& listing, IDispatch* plugin, IDispatch** out) {
    *out = nullptr;
    auto collection = Make<SpiFileInfoCollection>();
    if (!collection) return E_OUTOFMEMORY;
    collection->plugin_ = ComPtr<IDispatch>(plugin);
    if (HRESULT hr = collection->Fill(listing); FAILED(hr)) return hr;  // the entries made so far go with it
    return HandOut(std::move(collection), out);
}

HRESULT SpiFileInfoCollection::Fill(const SPI::ArchiveListing& listing) {
    listing_ = listing.Block();
    entries_.reserve(listing.Count());
    for (size_t i = 0; i < listing.Count(); ++i) {
        ComPtr<ISpiFileInfo> entry;
        if (HRESULT hr = SpiFileInfo::Create(listing.Record(i), entry.put()); FAILED(hr)) return hr;
        entries_.push_back(std::move(entry));  // room was reserved: cannot throw
    }
    return S_OK;
}

STDMETHODIMP SpiFileInfoCollection::get_Count(LONG* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = static_cast<LONG>(entries_.size());
        return S_OK;
    });
}

STDMETHODIMP SpiFileInfoCollection::get_Plugin(IDispatch** ppSpi) {
    return Boundary([&] {
        if (!ppSpi) return E_POINTER;
        *ppSpi = ComPtr<IDispatch>(plugin_).detach();
        return S_OK;
    });
}

STDMETHODIMP SpiFileInfoCollection::get_Item(LONG Index, IDispatch** pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        if (Index < 1) return E_INVALIDARG;
        if (static_cast<ULONG>(Index) > entries_.size()) return E_FAIL;
        return entries_[static_cast<size_t>(Index) - 1]->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(pVal));
    });
}

STDMETHODIMP SpiFileInfoCollection::get__NewEnum(IUnknown** pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = nullptr;
        return HandOut(Make<FileInfoEnumerator>(ComPtr<ISpiFileInfoCollection>(this), entries_, 0), pVal);
    });
}

STDMETHODIMP FileInfoEnumerator::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
    return Boundary([&] {
        if (!rgVar || (celt != 1 && !pCeltFetched)) return E_POINTER;
        if (pCeltFetched) *pCeltFetched = 0;
        ULONG fetched = 0;
        while (fetched < celt && position_ < entries_.size()) {
            if (HRESULT hr = CopyEntry(entries_[position_].get(), &rgVar[fetched]); FAILED(hr)) {
                // Nothing of a failed call stays with the caller.
                for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
                return hr;
            }
            ++fetched;
            ++position_;
        }
        if (pCeltFetched) *pCeltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    });
}

STDMETHODIMP FileInfoEnumerator::Skip(ULONG celt) {
    return Boundary([&] {
        const size_t left = entries_.size() - position_;
        position_ += celt > left ? left : celt;
        return celt > left ? S_FALSE : S_OK;
    });
}

STDMETHODIMP FileInfoEnumerator::Reset() {
    return Boundary([&] { position_ = 0; });
}

STDMETHODIMP FileInfoEnumerator::Clone(IEnumVARIANT** ppEnum) {
    return Boundary([&] {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        return HandOut(Make<FileInfoEnumerator>(owner_, entries_, position_), ppEnum);
    });
}

}  // namespace Tamrix
