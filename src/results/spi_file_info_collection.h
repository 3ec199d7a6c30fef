// An archive's listing as a collection: one entry per record, counted, indexed from 1 and
// walked by an IEnumVARIANT enumerator (what a script's for-each uses). The entries are
// made once, so every call hands out the same entry objects. Each member is a Boundary;
// the helpers return HRESULTs (std::bad_alloc passes through them).
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <vector>

#include "Tamrix.h"
#include "../automation/typelib_dispatch.h"
#include "../common/com_ptr.h"
#include "../common/local_block.h"
#include "../common/object.h"
#include "../plugin/archive.h"

namespace Tamrix {

class SpiFileInfoCollection
    : public TypeLibDispatch<ISpiFileInfoCollection2, typelib::TID_FILE_INFO_COLLECTION>,
      public SupportsErrorInfo<SpiFileInfoCollection> {
public:
    using Interfaces =
        InterfaceList<ISpiFileInfoCollection2, As<ISpiFileInfoCollection, ISpiFileInfoCollection2>,
                      As<IDispatch, ISpiFileInfoCollection2>, ISupportErrorInfo>;
    using Entries = std::vector<ComPtr<ISpiFileInfo>>;

    SpiFileInfoCollection() = default;
    virtual ~SpiFileInfoCollection() = default;

    // A new collection of one entry per record of `listing`, made by the plug-in object
    // `plugin`, with the caller's reference. E_OUTOFMEMORY (and *out null) when it or an
    // entry cannot be made.
    static HRESULT Create(const SPI::ArchiveListing& listing, IDispatch* plugin, IDispatch** out);

    const Entries& Items() const noexcept { return entries_; }

    // ISpiFileInfoCollection
    STDMETHODIMP get__NewEnum(IUnknown** pVal) override;
    STDMETHODIMP get_Item(LONG Index, IDispatch** pVal) override;
    STDMETHODIMP get_Count(LONG* pVal) override;
    // ISpiFileInfoCollection2
    STDMETHODIMP get_Plugin(IDispatch** ppSpi) override;

private:
    HRESULT Fill(const SPI::ArchiveListing& listing);

    // The listing is held here as well as by every entry, so it goes with whichever of them
    // goes last.
    SharedLocalBlock listing_;
    Entries entries_;
    ComPtr<IDispatch> plugin_;
};

// The enumerator of a collection: a position over the collection's entries, holding a
// reference to the collection so that it outlives the client's own.
class FileInfoEnumerator : public IEnumVARIANT {
public:
    using Interfaces = InterfaceList<IEnumVARIANT>;

    FileInfoEnumerator(ComPtr<ISpiFileInfoCollection> owner, const SpiFileInfoCollection::Entries& entries,
                       size_t position) noexcept
        : owner_(std::move(owner)), entries_(entries), position_(position) {}
    virtual ~FileInfoEnumerator() = default;

    // IEnumVARIANT
    STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

private:
    ComPtr<ISpiFileInfoCollection> owner_;      // keeps `entries_` alive
    const SpiFileInfoCollection::Entries& entries_;
    size_t position_;
};

}  // namespace Tamrix
