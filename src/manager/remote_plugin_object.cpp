#include "remote_plugin_object.h"

#include <cstring>
#include <utility>

#include "../common/automation_types.h"
#include "../common/boundary.h"
#include "../common/failure_note.h"
#include "../common/local_block.h"
#include "../plugin/archive.h"
#include "../plugin/file_output.h"
#include "../results/picture_properties.h"
#include "../results/spi_file_info.h"
#include "../results/spi_file_info_collection.h"
#include "../results/spi_local_heap.h"

namespace Tamrix {

HRESULT BlockBytes(IDispatch* block, std::vector<BYTE>& out) {
    out.clear();
    if (!block) return S_OK;
    ComPtr<ISpiLocalHeap> heap;
    if (HRESULT hr = block->QueryInterface(IID_ISpiLocalHeap, heap.put_void()); FAILED(hr)) return hr;
    Variant bytes;
    if (HRESULT hr = heap->GetBytes(bytes.get()); FAILED(hr)) return hr;
    if (V_VT(bytes.get()) != (VT_ARRAY | VT_UI1) || !V_ARRAY(bytes.get())) return E_FAIL;
    const SAFEARRAY* array = V_ARRAY(bytes.get());
    const size_t size = array->cDims == 1 ? array->rgsabound[0].cElements : 0;
    SafeArrayDataAccess access;
    if (HRESULT hr = access.access(V_ARRAY(bytes.get())); FAILED(hr)) return hr;
    const BYTE* data = static_cast<const BYTE*>(access.data());
    out.assign(data, data + size);
    return S_OK;
}

HRESULT LocalHeapCopy(IDispatch* remote, IDispatch** out) {
    *out = nullptr;
    if (!remote) return S_OK;
    std::vector<BYTE> bytes;
    if (HRESULT hr = BlockBytes(remote, bytes); FAILED(hr)) return hr;
    SharedLocalBlock shared;
    if (HRESULT hr = NewLocalBlock(bytes, shared); FAILED(hr)) return hr;
    // Its address would be one the client never had from a plug-in of its own process.
    return SpiLocalHeap::Create(std::move(shared), out, false);
}

std::wstring EndedWords(HRESULT hr, const std::wstring& path, const std::wstring& what) {
    const std::wstring on = what.empty() ? std::wstring() : L" while working on " + what;
    if (hr == E_PLUGIN_TIMEOUT)
        return FileNameOf(path) + L" did not answer within CallTimeout" + on + L" (its helper process was ended)";
    return FileNameOf(path) + L" crashed" + on + L" (its helper process ended)";
}

void NoteRemoteFailure(HRESULT hr, const std::wstring& path, const std::wstring& what, const HelperProcess* helper) {
    if (hr == E_PLUGIN_CRASHED || hr == E_PLUGIN_TIMEOUT) {
        NoteFailure(EndedWords(hr, path, what));
        return;
    }
    // What the object over there said: the system brings the words over with the call's
    // error object where it does (the thread's was cleared before the call), and a helper
    // leaves them in the block it shares with its client too.
    std::wstring words;
    ComPtr<IErrorInfo> error;
    Bstr description;
    if (GetErrorInfo(0, error.put()) == S_OK && error && SUCCEEDED(error->GetDescription(description.put())) &&
        description.get())
        words.assign(description.get(), description.length());
    if (words.empty() && helper) words = helper->LastFailure();
    // Without the name of the member over there: the member here says its own.
    const size_t cut = words.find(L": ");
    if (cut != std::wstring::npos && words.find(L'.') < cut && words.find(L' ') > cut) words.erase(0, cut + 2);
    if (!words.empty()) NoteFailure(std::move(words));
}

std::wstring SourceWordsOf(const VARIANT* src) {
    if (!src) return std::wstring();
    const VARIANT* v = V_VT(src) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(src) : src;
    if (V_VT(v) == VT_BSTR) return Quoted(std::wstring(V_BSTR(v) ? V_BSTR(v) : L""));
    const SAFEARRAY* array = V_VT(v) == (VT_ARRAY | VT_UI1)             ? V_ARRAY(v)
                             : V_VT(v) == (VT_BYREF | VT_ARRAY | VT_UI1) ? *V_ARRAYREF(v)
                                                                          : nullptr;
    if (array && array->cDims == 1) return std::to_wstring(array->rgsabound[0].cElements) + L" bytes in memory";
    return std::wstring();
}

template <class Call>
HRESULT RemotePluginObject::CallOverThere(Call&& call, const VARIANT* src) {
    SetErrorInfo(0, nullptr);  // what the call leaves is its own
    const HRESULT hr = helper_->Ended() ? helper_->EndCode() : helper_->Answer(call(remote_.get()));
    if (FAILED(hr)) NoteRemoteFailure(hr, path_, SourceWordsOf(src), helper_.get());
    return hr;
}

template <class Call>
HRESULT RemotePluginObject::Forward(Call&& call, const VARIANT* src, std::source_location where) noexcept {
    return Boundary([&] { return CallOverThere(call, src); }, where);
}

HRESULT CopyPictureProperties(IDispatch* remote, SPI::PictureProperties& out) {
    ComPtr<IPictureProperties> facts;
    if (!remote) return E_FAIL;
    if (HRESULT hr = remote->QueryInterface(IID_IPictureProperties, facts.put_void()); FAILED(hr)) return hr;
    using Getter = HRESULT (STDMETHODCALLTYPE IPictureProperties::*)(LONG*);
    const std::pair<Getter, LONG*> fields[] = {
        {&IPictureProperties::get_Left, &out.left},         {&IPictureProperties::get_Top, &out.top},
        {&IPictureProperties::get_Width, &out.width},       {&IPictureProperties::get_Height, &out.height},
        {&IPictureProperties::get_XDensity, &out.xDensity}, {&IPictureProperties::get_YDensity, &out.yDensity},
        {&IPictureProperties::get_ColorDepth, &out.colorDepth}};
    for (const auto& [get, field] : fields)
        if (HRESULT hr = (facts.get()->*get)(field); FAILED(hr)) return hr;
    Bstr text;
    if (HRESULT hr = facts->get_Text(text.put()); FAILED(hr)) return hr;
    out.text.assign(text.get() ? text.get() : L"", text.length());
    return S_OK;
}

template <class Call>
HRESULT RemotePluginObject::Forward2(Call&& call, const VARIANT* src, std::source_location where) noexcept {
    return Forward(
        [&](ISusiePlugin* p) {
            ComPtr<ISusiePlugin2> p2;
            const HRESULT hr = p->QueryInterface(IID_ISusiePlugin2, p2.put_void());
            return FAILED(hr) ? hr : call(p2.get());
        },
        src, where);
}

STDMETHODIMP RemotePluginObject::get_About(BSTR* pVal) {
    return Forward([&](ISusiePlugin* p) { return p->get_About(pVal); });
}

STDMETHODIMP RemotePluginObject::get_Version(BSTR* pVal) {
    return Forward([&](ISusiePlugin* p) { return p->get_Version(pVal); });
}

STDMETHODIMP RemotePluginObject::get_PluginInfo(LONG infoNo, BSTR* pVal) {
    return Forward([&](ISusiePlugin* p) { return p->get_PluginInfo(infoNo, pVal); });
}

STDMETHODIMP RemotePluginObject::get_CanPreview(VARIANT_BOOL* pbCan) {
    return Forward([&](ISusiePlugin* p) { return p->get_CanPreview(pbCan); });
}

STDMETHODIMP RemotePluginObject::get_CanConfigDlg(VARIANT_BOOL* pbCan) {
    return Forward([&](ISusiePlugin* p) { return p->get_CanConfigDlg(pbCan); });
}

STDMETHODIMP RemotePluginObject::ConfigurationDlg(LONG hParent, LONG function) {
    return Forward([&](ISusiePlugin* p) { return p->ConfigurationDlg(hParent, function); });
}

STDMETHODIMP RemotePluginObject::GetPictureInfo(VARIANT src, LONG offsetOrLength, PictureInfo* pPictInfo) {
    return Forward([&](ISusiePlugin* p) { return p->GetPictureInfo(src, offsetOrLength, pPictInfo); }, &src);
}

HRESULT DecodeShared(ISusiePlugin* object, const HelperProcess& helper, const VARIANT& src, LONG length,
                     bool preview, SharedLocalBlock& info, SharedLocalBlock& pixels) noexcept {
    info.reset();
    pixels.reset();
    ComPtr<ISusiePluginRemote2> remote;
    if (HRESULT hr = object->QueryInterface(IID_ISusiePluginRemote2, remote.put_void()); FAILED(hr)) return hr;
    Variant infoBytes;
    LONG pixelSize = 0, section = 0;
    if (HRESULT hr = remote->DecodeShared(src, length, preview ? VARIANT_TRUE : VARIANT_FALSE, infoBytes.get(),
                                          &pixelSize, &section);
        FAILED(hr))
        return hr;
    // The mapping is this call's until it says it has read it, whatever happens here.
    struct Read {
        const HelperProcess& helper;
        LONG section;
        ~Read() { helper.PixelsRead(section); }
    } const read{helper, section};
    UniqueKernelHandle mapping;
    if (section != 0)
        if (HRESULT hr = helper.DuplicateHandleOf(section, mapping); FAILED(hr)) return hr;
    if (V_VT(infoBytes.get()) == (VT_ARRAY | VT_UI1)) {
        const SAFEARRAY* array = V_ARRAY(infoBytes.get());
        SafeArrayDataAccess access;
        if (HRESULT hr = access.access(V_ARRAY(infoBytes.get())); FAILED(hr)) return hr;
        const size_t size = array->cDims == 1 ? array->rgsabound[0].cElements : 0;
        if (HRESULT hr = NewLocalBlock({static_cast<const BYTE*>(access.data()), size}, info); FAILED(hr)) return hr;
    }
    if (!mapping) return S_OK;
    if (pixelSize <= 0) return E_FAIL;
    const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(pixelSize));
    if (!view) return HRESULT_FROM_WIN32(GetLastError());
    const HRESULT hr = NewLocalBlock({static_cast<const BYTE*>(view), static_cast<size_t>(pixelSize)}, pixels);
    UnmapViewOfFile(view);
    return hr;
}

HRESULT RemotePluginObject::DecodeHere(const VARIANT& src, LONG offsetOrLength, bool preview, IDispatch** ppInfo,
                                       IDispatch** ppPixels, std::source_location where) noexcept {
    return Boundary([&] {
        if (!ppInfo || !ppPixels) return E_POINTER;
        *ppInfo = *ppPixels = nullptr;
        SharedLocalBlock infoBlock, pixelBlock;
        ThrowIfFailed(CallOverThere(
            [&](ISusiePlugin* p) {
                return DecodeShared(p, *helper_, src, offsetOrLength, preview, infoBlock, pixelBlock);
            },
            &src));
        // Their addresses would be ones the client never had from a plug-in of its own process.
        ComPtr<IDispatch> info, pixels;
        if (infoBlock) ThrowIfFailed(SpiLocalHeap::Create(std::move(infoBlock), info.put(), false));
        if (pixelBlock) ThrowIfFailed(SpiLocalHeap::Create(std::move(pixelBlock), pixels.put(), false));
        *ppInfo = info.detach();
        *ppPixels = pixels.detach();
        return S_OK;
    }, where);
}

STDMETHODIMP RemotePluginObject::GetPicture(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo,
                                            IDispatch** ppPixels) {
    return DecodeHere(src, offsetOrLength, false, ppInfo, ppPixels);
}

STDMETHODIMP RemotePluginObject::GetPreview(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo,
                                            IDispatch** ppPixels) {
    return DecodeHere(src, offsetOrLength, true, ppInfo, ppPixels);
}

template <class Ask>
HRESULT RemotePluginObject::RecordsOverThere(ISusiePlugin* remote, Ask&& ask, std::vector<BYTE>& records, bool& wide,
                                             bool& handed) {
    records.clear();
    handed = false;
    ComPtr<ISusiePluginRemote2> records2;
    if (HRESULT hr = remote->QueryInterface(IID_ISusiePluginRemote2, records2.put_void()); FAILED(hr)) return hr;
    VARIANT_BOOL isWide = VARIANT_FALSE;
    LONG recordSize = 0;
    Variant bytes;
    if (HRESULT hr = ask(records2.get(), &isWide, &recordSize, bytes.get()); FAILED(hr)) return hr;
    wide = isWide != VARIANT_FALSE;
    if (V_VT(bytes.get()) == VT_EMPTY) return S_OK;
    if (V_VT(bytes.get()) != (VT_ARRAY | VT_UI1) || recordSize <= 0) return E_FAIL;
    handed = true;
    const SAFEARRAY* array = V_ARRAY(bytes.get());
    SafeArrayDataAccess access;
    if (HRESULT hr = access.access(V_ARRAY(bytes.get())); FAILED(hr)) return hr;
    const size_t size = array->cDims == 1 ? array->rgsabound[0].cElements : 0;
    // A 32-bit helper's records, seen from the 64-bit server, are widened.
    return SPI::RecordsOfThisWidth({static_cast<const BYTE*>(access.data()), size}, static_cast<size_t>(recordSize),
                                   wide, records);
}

STDMETHODIMP RemotePluginObject::GetFileInfo(VARIANT src, LONG offsetOrLength, BSTR FileName, IDispatch** ppInfo) {
    return Forward([&](ISusiePlugin* p) {
        if (!ppInfo) return E_POINTER;
        *ppInfo = nullptr;
        std::vector<BYTE> record;
        bool wide = false, found = false;
        HRESULT hr = RecordsOverThere(
            p, [&](ISusiePluginRemote2* r, VARIANT_BOOL* w, LONG* size, VARIANT* out) {
                return r->MemberRecordOf(src, offsetOrLength, FileName, w, size, out);
            },
            record, wide, found);
        if (FAILED(hr)) return hr;
        if (!found || record.empty()) return E_FAIL;
        ComPtr<ISpiFileInfo> entry;
        if (wide) {
            auto copy = std::make_shared<SPI::fileInfoW>();
            std::memcpy(copy.get(), record.data(), sizeof *copy);
            hr = SpiFileInfo::Create(SPI::MemberRecord(std::shared_ptr<const SPI::fileInfoW>(std::move(copy))),
                                     entry.put());
        } else {
            auto copy = std::make_shared<SPI::fileInfo>();
            std::memcpy(copy.get(), record.data(), sizeof *copy);
            // Its names read in the code page they were written in over there.
            hr = SpiFileInfo::Create(
                SPI::MemberRecord(std::shared_ptr<const SPI::fileInfo>(std::move(copy)), helper_->CodePage()),
                entry.put());
        }
        if (FAILED(hr)) return hr;
        *ppInfo = entry.detach();  // ISpiFileInfo is the entry's IDispatch
        return S_OK;
    }, &src);
}

STDMETHODIMP RemotePluginObject::GetArchiveInfo(VARIANT src, LONG offsetOrLength, IDispatch** ppCollection) {
    return Forward([&](ISusiePlugin* p) {
        if (!ppCollection) return E_POINTER;
        *ppCollection = nullptr;
        std::vector<BYTE> records;
        bool wide = false, listed = false;
        HRESULT hr = RecordsOverThere(
            p, [&](ISusiePluginRemote2* r, VARIANT_BOOL* w, LONG* size, VARIANT* out) {
                return r->ListingRecords(src, offsetOrLength, w, size, out);
            },
            records, wide, listed);
        if (FAILED(hr) || !listed) return hr;  // no listing, no collection
        // Ended by a record whose first byte is 0, as a plug-in ends its listing.
        records.resize(records.size() + (wide ? sizeof(SPI::fileInfoW) : sizeof(SPI::fileInfo)));
        SharedLocalBlock block;
        if (FAILED(hr = NewLocalBlock(records, block))) return hr;
        SPI::ArchiveListing listing;
        listing.Adopt(std::move(block), wide, helper_->CodePage());
        return SpiFileInfoCollection::Create(listing, static_cast<ISusiePlugin2*>(this), ppCollection);
    }, &src);
}

STDMETHODIMP RemotePluginObject::GetFile(VARIANT src, IDispatch* pInfo, IDispatch** ppDest) {
    return Forward([&](ISusiePlugin* p) {
        if (!ppDest) return E_POINTER;
        ComPtr<IDispatch> remote;
        if (HRESULT hr = p->GetFile(src, pInfo, remote.put()); FAILED(hr)) return hr;
        return LocalHeapCopy(remote.get(), ppDest);
    }, &src);
}

STDMETHODIMP RemotePluginObject::GetFileToFile(VARIANT src, IDispatch* pInfo, BSTR destPath) {
    return Forward([&](ISusiePlugin* p) { return p->GetFileToFile(src, pInfo, destPath); }, &src);
}

STDMETHODIMP RemotePluginObject::GetPictureToFile(VARIANT src, LONG offsetOrLength, BSTR destPath) {
    return Forward([&](ISusiePlugin* p) { return p->GetPictureToFile(src, offsetOrLength, destPath); }, &src);
}

STDMETHODIMP RemotePluginObject::GetPictureText(VARIANT src, LONG offsetOrLength, BSTR* pText) {
    return Forward([&](ISusiePlugin* p) { return p->GetPictureText(src, offsetOrLength, pText); }, &src);
}

STDMETHODIMP RemotePluginObject::Load(BSTR spiPath, VARIANT_BOOL* pbOk) {
    return Forward([&](ISusiePlugin* p) { return p->Load(spiPath, pbOk); });
}

STDMETHODIMP RemotePluginObject::Free() {
    return Forward([&](ISusiePlugin* p) { return p->Free(); });
}

STDMETHODIMP RemotePluginObject::get_CanCreatePicture(VARIANT_BOOL* pbCan) {
    return Forward2([&](ISusiePlugin2* p) { return p->get_CanCreatePicture(pbCan); });
}

STDMETHODIMP RemotePluginObject::CreatePicture(BSTR destPath, VARIANT info, VARIANT pixels) {
    return Boundary([&] {
        // A block object of this process cannot be read over there: its bytes go instead.
        Variant blocks[2];
        VARIANT* given[2] = {&info, &pixels};
        for (int i = 0; i < 2; ++i) {
            if (V_VT(given[i]) != VT_DISPATCH || !V_DISPATCH(given[i])) {
                ThrowIfFailed(VariantCopy(blocks[i].get(), given[i]));
                continue;
            }
            std::vector<BYTE> bytes;
            ThrowIfFailed(BlockBytes(V_DISPATCH(given[i]), bytes));
            ThrowIfFailed(NewByteArray(bytes.data(), bytes.size(), *blocks[i].get()));
        }
        if (helper_->Ended()) return helper_->EndCode();
        return WriteOverThere(remote_.get(), helper_.get(), SPI::TextOf(destPath), *blocks[0].get(), *blocks[1].get());
    });
}

HRESULT WriteOverThere(ISusiePlugin* object, const HelperProcess* helper, const std::wstring& destPath,
                       const VARIANT& info, const VARIANT& pixels) {
    ComPtr<ISusiePluginRemote3> writer;
    if (HRESULT hr = object->QueryInterface(IID_ISusiePluginRemote3, writer.put_void()); FAILED(hr)) return hr;
    // Written into a file made here, which this process moves over the destination or
    // removes, so that a writer that crashes or hangs over there leaves nothing behind.
    return SPI::WriteThroughReplacing(destPath, [&](const std::wstring& temp) {
        Bstr path;
        if (HRESULT hr = NewBstr(temp, path); FAILED(hr)) return hr;
        const HRESULT hr = writer->CreatePictureAt(path.get(), info, pixels);
        // Answered once the helper has ended, should it have: its handles to the file are gone.
        return helper ? helper->Answer(hr) : hr;
    });
}

STDMETHODIMP RemotePluginObject::GetPictureProperties(VARIANT src, LONG offsetOrLength, IDispatch** ppProperties) {
    return Boundary([&] {
        if (!ppProperties) return E_POINTER;
        *ppProperties = nullptr;
        ComPtr<IDispatch> remote;
        ThrowIfFailed(
            Forward2([&](ISusiePlugin2* p) { return p->GetPictureProperties(src, offsetOrLength, remote.put()); }, &src));
        // Copied here, so that the facts outlive the helper.
        SPI::PictureProperties facts;
        ThrowIfFailed(Forward([&](ISusiePlugin*) { return CopyPictureProperties(remote.get(), facts); }));
        return PictureProperties::Create(std::move(facts), ppProperties);
    });
}

}  // namespace Tamrix
