#include "susie_plugin.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../common/automation_types.h"
#include "../common/boundary.h"
#include "../common/failure_note.h"
#include "../common/handles.h"
#include "../common/text.h"
#include "../common/value_width.h"
#include "../plugin/call_guard.h"
#include "../plugin/failure_words.h"
#include "../plugin/names.h"
#include "../plugin/plugin_list.h"
#include "../plugin/source.h"
#include "../results/spi_file_info.h"
#include "../results/spi_file_info_collection.h"
#include "../results/picture_properties.h"
#include "../results/spi_local_heap.h"

namespace Tamrix {
namespace {

// A block for the plug-in holding what `value` holds: a byte array, or the bytes of a
// memory object (ISpiLocalHeap, from this process or another). E_INVALIDARG for anything else.
HRESULT BlockOf(const VARIANT& value, UniqueHlocal& out) {
    const VARIANT* v = V_VT(&value) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(&value) : &value;
    VARIANT bytes;
    VariantInit(&bytes);
    struct Clear {
        VARIANT& v;
        ~Clear() { VariantClear(&v); }
    } const clear{bytes};
    if (V_VT(v) == VT_DISPATCH || V_VT(v) == VT_UNKNOWN) {
        ComPtr<ISpiLocalHeap> heap;
        if (!V_UNKNOWN(v) || FAILED(V_UNKNOWN(v)->QueryInterface(IID_ISpiLocalHeap, heap.put_void())))
            return E_INVALIDARG;
        if (HRESULT hr = heap->GetBytes(&bytes); FAILED(hr)) return hr;
        v = &bytes;
    }
    SAFEARRAY* array = nullptr;
    if (V_VT(v) == (VT_ARRAY | VT_UI1)) array = V_ARRAY(v);
    if (V_VT(v) == (VT_BYREF | VT_ARRAY | VT_UI1)) array = *V_ARRAYREF(v);
    if (!array || SafeArrayGetDim(array) != 1) return E_INVALIDARG;
    const size_t size = array->rgsabound[0].cElements;
    out.reset(LocalAlloc(LMEM_MOVEABLE, size ? size : 1));
    if (!out) return E_OUTOFMEMORY;
    void* data = nullptr;
    if (HRESULT hr = SafeArrayAccessData(array, &data); FAILED(hr)) return hr;
    std::memcpy(LocalLock(out.get()), data, size);
    LocalUnlock(out.get());
    SafeArrayUnaccessData(array);
    return S_OK;
}

// `write` (WritePictureFile or WritePictureInto) of the binding's writer to `path`, with
// blocks holding what `info` and `pixels` hold (as BlockOf takes them). The binding is a
// picture plug-in's.
HRESULT WriteBlocks(const SPI::SpiInterface& binding, BSTR path, const VARIANT& info, const VARIANT& pixels,
                    HRESULT (*write)(const SPI::SpiInterface&, const std::wstring&, HLOCAL, HLOCAL)) {
    UniqueHlocal infoBlock, pixelBlock;
    if (HRESULT hr = BlockOf(info, infoBlock); FAILED(hr)) return hr;
    if (HRESULT hr = BlockOf(pixels, pixelBlock); FAILED(hr)) return hr;
    return write(binding, SPI::TextOf(path), infoBlock.get(), pixelBlock.get());
}

}  // namespace

HRESULT SusiePlugin::Require(DWORD kind) const {
    if (binding_.IsBoundAs(kind)) return S_OK;
    const wchar_t* wanted = kind == SPI::KIND_PICTURE ? L"a picture plug-in" : L"an archive plug-in";
    if (!binding_.IsLoaded())
        NoteFailure(std::wstring(L"no plug-in is loaded: this member needs ") + wanted);
    else
        NoteFailure(FileNameOf(binding_.WidePath()) + L" is not " + wanted + L", which this member needs");
    return E_FAIL;
}

HRESULT SusiePlugin::InfoText(int infoNo, int size, BSTR* out) {
    if (!out) return E_POINTER;
    if (!binding_.IsLoaded() || !binding_.GetPluginInfoEntry()) return E_FAIL;
    // Whatever the plug-in answers, the text is what its buffer holds.
    std::wstring text;
    SPI::PluginInfoText(binding_, infoNo, size, text);
    return NewBstr(text, out);
}

STDMETHODIMP SusiePlugin::get_About(BSTR* pVal) {
    return Boundary([&] { return InfoText(1, SPI::TEXT_BUFFER_SIZE, pVal); });
}

STDMETHODIMP SusiePlugin::get_Version(BSTR* pVal) {
    return Boundary([&] { return InfoText(0, SPI::KIND_BUFFER_SIZE, pVal); });
}

STDMETHODIMP SusiePlugin::get_PluginInfo(LONG infoNo, BSTR* pVal) {
    return Boundary([&] { return InfoText(infoNo, SPI::TEXT_BUFFER_SIZE, pVal); });
}

STDMETHODIMP SusiePlugin::get_CanPreview(VARIANT_BOOL* pbCan) {
    return Boundary([&] {
        if (!pbCan) return E_POINTER;
        // The kind matters: for an archive plug-in the same entry holds GetFileInfo.
        const bool picture = binding_.IsBoundAs(SPI::KIND_PICTURE);
        *pbCan = picture && (binding_.GetPreviewEntry() || binding_.GetPreviewWEntry()) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::get_CanConfigDlg(VARIANT_BOOL* pbCan) {
    return Boundary([&] {
        if (!pbCan) return E_POINTER;
        *pbCan = binding_.Export(SPI::exports::ConfigurationDlg) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::ConfigurationDlg(LONG hParent, LONG function) {
    return Boundary([&] {
        // Looked up at every call: the binding does not keep optional exports.
        auto dialog = SPI::EntryAs<SPI::ConfigurationDlgFn>(binding_.Export(SPI::exports::ConfigurationDlg));
        if (!dialog) return SPI::MapResult(SPI::SPI_NOT_IMPLEMENTED);
        const HWND parent = reinterpret_cast<HWND>(static_cast<LONG_PTR>(hParent));
        const SPI::UntimedCalls untimed;  // a dialog waits for its user
        return SPI::MapResult(binding_.Invoke(dialog, parent, static_cast<int>(function)));
    });
}

STDMETHODIMP SusiePlugin::Load(BSTR spiPath, VARIANT_BOOL* pbOk) {
    return Boundary([&] {
        if (!pbOk) return E_POINTER;
        *pbOk = VARIANT_FALSE;
        // Not from inside one of this plug-in's calls: the library runs that call.
        if (binding_.InCall()) return SPI::E_PLUGIN_IN_CALL;
        std::wstring path = SPI::TextOf(spiPath);
        // The old library goes first, so a failed Load leaves nothing of it behind.
        binding_.Unload();
        binding_.SetPath(std::move(path));
        *pbOk = binding_.Probe() != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::Free() {
    return Boundary([&] {
        if (binding_.InCall()) return SPI::E_PLUGIN_IN_CALL;
        if (!binding_.IsLoaded()) return S_OK;
        return binding_.Free() ? S_OK : E_FAIL;
    });
}

namespace {

// IsSupported's question as it comes over: the name (null for none) and the header, a byte
// array that a shorter one is shown padded.
class SupportedQuestion {
public:
    HRESULT Convert(BSTR fileName, const VARIANT& header) {
        if (V_VT(&header) != (VT_ARRAY | VT_UI1)) return E_INVALIDARG;
        if (HRESULT hr = source_.ConvertMemory(header); FAILED(hr)) return hr;
        if (fileName) name_ = SPI::PluginName(SPI::TextOf(fileName));
        return S_OK;
    }
    HRESULT Ask(const SPI::SpiInterface& binding) {
        return SPI::AskSupported(binding, name_, SPI::ShownHeader(source_, copy_));
    }

private:
    SPI::Source source_;
    SPI::PluginName name_;
    BYTE copy_[SPI::HEADER_SIZE];
};

// Where a helper process hands decoded pixels over: file mappings kept mapped here for the
// helper's whole life and grown as pictures need (under Wine, writing into a view mapped
// anew costs as much again as the copy itself), one for each slot of the block shared with
// the client. A mapping handed over stays the client's until it clears its slot, so a call
// that comes in meanwhile (another apartment's, or one a window message makes while the
// client waits) takes another slot and never touches pixels the client has not read.
class PixelBuffer {
public:
    // A view of at least `size` bytes; null when none can be had.
    void* Reserve(size_t size) noexcept {
        if (size <= size_) return view_;
        Release();
        const ULONGLONG bytes = size;
        mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                          static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes), nullptr));
        if (mapping_) view_ = MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, size);
        if (view_) size_ = size;
        return view_;
    }
    void Release() noexcept {
        if (view_) UnmapViewOfFile(view_);
        view_ = nullptr;
        size_ = 0;
        mapping_.reset();
    }
    HANDLE Mapping() const noexcept { return mapping_.get(); }

private:
    UniqueKernelHandle mapping_;
    void* view_ = nullptr;
    size_t size_ = 0;
};

// `size` bytes of `pixels` copied into the mapping of a slot the client is not reading,
// marked handed: the mapping's handle in `out`. Only a helper's apartment thread decodes
// for a client. E_FAIL outside a helper, E_OUTOFMEMORY when no mapping can be had,
// ERROR_BUSY when the client has every slot.
HRESULT HandPixels(const void* pixels, size_t size, HANDLE& out) noexcept {
    static PixelBuffer buffers[PIXEL_SLOTS];
    HelperLink* link = SPI::SharedLink();
    if (!link) return E_FAIL;
    int slot = -1;
    for (int i = 0; i < PIXEL_SLOTS; ++i) {
        if (link->handed[i] != 0) continue;
        if (slot < 0) slot = i;
        else buffers[i].Release();  // needed only while calls overlapped
    }
    if (slot < 0) return HRESULT_FROM_WIN32(ERROR_BUSY);
    void* view = buffers[slot].Reserve(size);
    if (!view) return E_OUTOFMEMORY;
    std::memcpy(view, pixels, size);
    out = buffers[slot].Mapping();
    // Handle values fit in 32 bits on 64-bit Windows too.
    InterlockedExchange(&link->handed[slot], static_cast<LONG>(reinterpret_cast<LONG_PTR>(out)));
    return S_OK;
}

}  // namespace

STDMETHODIMP SusiePlugin::IsSupported(BSTR FileName, VARIANT Header, VARIANT_BOOL* pbSupported) {
    return Boundary([&] {
        if (!pbSupported) return E_POINTER;
        *pbSupported = VARIANT_FALSE;
        // Entries outlive an unloaded library: only a loaded binding may be asked.
        if (!binding_.IsLoaded()) return E_FAIL;
        SupportedQuestion question;
        ThrowIfFailed(question.Convert(FileName, Header));
        const HRESULT hr = question.Ask(binding_);
        if (FAILED(hr)) return hr;
        *pbSupported = hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::CountDeclining(SAFEARRAY* Paths, BSTR FileName, VARIANT Header, LONG* pCount) {
    return Boundary([&] {
        if (!pCount) return E_POINTER;
        *pCount = 0;
        VARTYPE type = VT_EMPTY;
        if (!Paths || SafeArrayGetDim(Paths) != 1 || FAILED(SafeArrayGetVartype(Paths, &type)) || type != VT_BSTR)
            return E_INVALIDARG;
        SupportedQuestion question;
        ThrowIfFailed(question.Convert(FileName, Header));
        SafeArrayDataAccess access;
        ThrowIfFailed(access.access(Paths));
        const auto* paths = static_cast<const BSTR*>(access.data());
        const LONG count = static_cast<LONG>(Paths->rgsabound[0].cElements);
        LONG declined = 0;
        // Each as a walk in the client's process takes it: loaded for the question, let go.
        for (; declined < count; ++declined) {
            SPI::NoteAsking(declined);
            SPI::SpiInterface binding;
            binding.SetPath(SPI::TextOf(paths[declined]));
            if (binding.Probe() != 0 && question.Ask(binding) != S_FALSE) break;
        }
        *pCount = declined;
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::PluginInfoText(LONG infoNo, LONG bufferLength, BSTR* pText, VARIANT_BOOL* pbAnswered) {
    return Boundary([&] {
        if (!pText || !pbAnswered) return E_POINTER;
        *pText = nullptr;
        *pbAnswered = VARIANT_FALSE;
        if (!binding_.IsLoaded() || !binding_.GetPluginInfoEntry()) return E_FAIL;
        if (bufferLength < 0 || bufferLength > SPI::TEXT_BUFFER_SIZE) return E_INVALIDARG;
        std::wstring text;
        const bool answered =
            SPI::PluginInfoText(binding_, static_cast<int>(infoNo), static_cast<int>(bufferLength), text);
        if (HRESULT hr = NewBstr(text, pText); FAILED(hr)) return hr;
        *pbAnswered = answered ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::NewPlugin(ISusiePlugin** ppSpi) {
    return Boundary([&] {
        if (!ppSpi) return E_POINTER;
        *ppSpi = nullptr;
        // A sibling made here costs the 64-bit server one call, where a new activation of the
        // class would cost it a start of the surrogate under Wine, which serves one per activation.
        ComPtr<Object<SusiePlugin>> made = Make<SusiePlugin>();
        if (made) {
            made->codePage_ = codePage_;
            made->binding_.FollowCodePage(binding_.FollowedCodePage());
        }
        return HandOut(std::move(made), IID_ISusiePlugin, reinterpret_cast<void**>(ppSpi));
    });
}

STDMETHODIMP SusiePlugin::UseCodePage(LONG codePage) {
    return Boundary([&] {
        if (!IsSettableCodePage(codePage)) return E_INVALIDARG;
        if (codePage_) {
            *codePage_ = codePage;
            return S_OK;
        }
        codePage_ = std::make_shared<volatile LONG>(codePage);
        binding_.FollowCodePage(codePage_);
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::UsePlugins(SAFEARRAY* Paths) {
    return Boundary([&] {
        VARTYPE type = VT_EMPTY;
        if (!Paths || SafeArrayGetDim(Paths) != 1 || FAILED(SafeArrayGetVartype(Paths, &type)) || type != VT_BSTR)
            return E_INVALIDARG;
        SafeArrayDataAccess access;
        ThrowIfFailed(access.access(Paths));
        const auto* paths = static_cast<const BSTR*>(access.data());
        std::vector<std::wstring> files;
        for (ULONG i = 0; i < Paths->rgsabound[0].cElements; ++i) files.push_back(SPI::TextOf(paths[i]));
        list_ = std::make_unique<SPI::PluginList>(files, SPI::NewHelperRemotePlugins());
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::ConvertThrough(BSTR Source, BSTR Destination, LONG From, LONG Failure, LONG* pNext,
                                         BSTR* pWords, LONG* pResult) {
    return Boundary([&] {
        if (!pNext || !pWords || !pResult) return E_POINTER;
        *pNext = -1;
        *pWords = nullptr;
        *pResult = E_FAIL;
        if (!list_ || From < 0) return E_INVALIDARG;
        VARIANT name;
        V_VT(&name) = VT_BSTR;
        V_BSTR(&name) = Source;
        SPI::Source source;
        ThrowIfFailed(source.Convert(name, 0));
        SPI::PluginList::WalkPoint point{static_cast<size_t>(From), Failure};
        SPI::DecodedPicture picture;
        HRESULT hr = list_->DecodeStretch(source, point, picture);
        if (SUCCEEDED(hr))
            hr = list_->WritePicture(SPI::TextOf(Destination), picture);
        else if (point.next < list_->Plugins().size())
            *pNext = static_cast<LONG>(point.next);
        if (FAILED(hr)) ThrowIfFailed(NewBstr(TakeFailureNote(), pWords));
        *pResult = hr;
        return S_OK;
    });
}

HRESULT SusiePlugin::QueryPictureInfo(const VARIANT& src, LONG offsetOrLength, SPI::PictureInfoRecord& record,
                                      int& code) {
    SPI::Source source;
    if (HRESULT hr = source.Convert(src, offsetOrLength); FAILED(hr)) return hr;
    if (SPI::GetPictureInfoWFn wide = binding_.GetPictureInfoWEntry()) {
        code = binding_.Invoke(wide, source.WideBuf(), source.Len(), source.Flag(), &record);
        return S_OK;
    }
    LPCSTR buf = nullptr;
    if (HRESULT hr = source.NarrowBuf(buf, binding_.CodePage()); FAILED(hr)) return hr;
    code = binding_.Invoke(binding_.GetPictureInfoEntry(), buf, source.Len(), source.Flag(), &record);
    return S_OK;
}

STDMETHODIMP SusiePlugin::GetPictureInfo(VARIANT src, LONG offsetOrLength, PictureInfo* pPictInfo) {
    return Boundary([&] {
        if (!pPictInfo) return E_POINTER;
        if (HRESULT hr = Require(SPI::KIND_PICTURE); FAILED(hr)) return hr;
        // The plug-in fills its own packed layout, never the caller's aligned record.
        SPI::PictureInfoRecord record{};
        int code = SPI::SPI_OK;
        ThrowIfFailed(QueryPictureInfo(src, offsetOrLength, record, code));
        // With a failure nothing of the record is used, its handle least of all: the plug-in
        // may have freed that block already.
        if (code != SPI::SPI_OK) return SPI::MapResult(code);
        // Handed on as a number; the caller decides about the text block. A handle that no
        // long holds whole (64-bit) fails the call, and the block goes, as nobody could free it.
        LONG hInfo = 0;
        if (HRESULT hr = LongOf(record.hInfo, hInfo); FAILED(hr)) {
            LocalFree(record.hInfo);
            return hr;
        }
        pPictInfo->left = record.left;
        pPictInfo->top = record.top;
        pPictInfo->width = record.width;
        pPictInfo->height = record.height;
        pPictInfo->x_density = static_cast<SHORT>(record.x_density);
        pPictInfo->y_density = static_cast<SHORT>(record.y_density);
        pPictInfo->colorDepth = record.colorDepth;
        pPictInfo->hInfo = hInfo;
        return S_OK;
    });
}

HRESULT SusiePlugin::DecodeToHeaps(SPI::Decoder which, const VARIANT& src, LONG offsetOrLength, IDispatch** ppInfo,
                                   IDispatch** ppPixels) {
    if (!ppInfo || !ppPixels) return E_POINTER;
    *ppInfo = nullptr;
    *ppPixels = nullptr;
    if (HRESULT hr = Require(SPI::KIND_PICTURE); FAILED(hr)) return hr;
    SPI::Source source;
    if (HRESULT hr = source.Convert(src, offsetOrLength); FAILED(hr)) return hr;
    SPI::DecodedPicture picture;
    if (HRESULT hr = picture.Decode(binding_, which, source); FAILED(hr)) return hr;
    // Both objects are made before either is handed out; one block handed back as both
    // outputs is shared by the two objects.
    ComPtr<IDispatch> info;
    ComPtr<IDispatch> pixels;
    if (HRESULT hr = SpiLocalHeap::Create(picture.Info(), info.put()); FAILED(hr)) return hr;
    if (HRESULT hr = SpiLocalHeap::Create(picture.Pixels(), pixels.put()); FAILED(hr)) return hr;
    *ppInfo = info.detach();
    *ppPixels = pixels.detach();
    return S_OK;
}

STDMETHODIMP SusiePlugin::GetPicture(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo, IDispatch** ppPixels) {
    return Boundary([&] { return DecodeToHeaps(SPI::Decoder::Picture, src, offsetOrLength, ppInfo, ppPixels); });
}

STDMETHODIMP SusiePlugin::GetPreview(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo, IDispatch** ppPixels) {
    return Boundary([&] { return DecodeToHeaps(SPI::Decoder::Preview, src, offsetOrLength, ppInfo, ppPixels); });
}

STDMETHODIMP SusiePlugin::DecodeShared(VARIANT src, LONG offsetOrLength, VARIANT_BOOL Preview, VARIANT* pInfo,
                                       LONG* pPixelSize, LONG* pSection) {
    return Boundary([&] {
        if (!pInfo || !pPixelSize || !pSection) return E_POINTER;
        VariantInit(pInfo);
        *pPixelSize = 0;
        *pSection = 0;
        if (HRESULT hr = Require(SPI::KIND_PICTURE); FAILED(hr)) return hr;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        SPI::DecodedPicture picture;
        ThrowIfFailed(picture.Decode(binding_, Preview ? SPI::Decoder::Preview : SPI::Decoder::Picture, source));
        const SharedLocalBlock& info = picture.Info();
        const SharedLocalBlock& pixels = picture.Pixels();
        if ((info && !info->Address()) || (pixels && !pixels->Address())) return E_FAIL;  // not lockable
        const size_t pixelSize = pixels ? pixels->Size() : 0;
        if (pixelSize > 0x7FFFFFFFu || (info && info->Size() > 0x7FFFFFFFu)) return E_EXCEEDS_32_BITS;
        Variant infoBytes;
        if (info) ThrowIfFailed(NewByteArray(info->Address(), info->Size(), *infoBytes.get()));
        // Handed last: nothing after it fails, so the client always gets the slot to clear.
        HANDLE section = nullptr;
        if (pixelSize > 0) ThrowIfFailed(HandPixels(pixels->Address(), pixelSize, section));
        infoBytes.detach(pInfo);
        *pPixelSize = static_cast<LONG>(pixelSize);
        *pSection = static_cast<LONG>(reinterpret_cast<LONG_PTR>(section));
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::GetPictureText(VARIANT src, LONG offsetOrLength, BSTR* pText) {
    return Boundary([&] {
        if (!pText) return E_POINTER;
        *pText = nullptr;
        if (HRESULT hr = Require(SPI::KIND_PICTURE); FAILED(hr)) return hr;
        SPI::PictureInfoRecord record{};
        int code = SPI::SPI_OK;
        ThrowIfFailed(QueryPictureInfo(src, offsetOrLength, record, code));
        // A failing plug-in gives no text: a handle that comes with a failure is not ours.
        if (code != SPI::SPI_OK || !record.hInfo) return S_OK;
        UniqueHlocal block(record.hInfo);
        const char* text = static_cast<const char*>(LocalLock(block.get()));
        if (!text) return E_OUTOFMEMORY;
        // Read no further than the block, even if the plug-in left out the NUL.
        return ToBstr(text, LocalSize(block.get()), pText, binding_.CodePage());
    });
}

STDMETHODIMP SusiePlugin::GetPictureToFile(VARIANT src, LONG offsetOrLength, BSTR destPath) {
    return Boundary([&] {
        if (HRESULT hr = Require(SPI::KIND_PICTURE); FAILED(hr)) return hr;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        SPI::DecodedPicture picture;
        ThrowIfFailed(picture.Decode(binding_, SPI::Decoder::Picture, source));
        return picture.WriteBitmapFile(SPI::TextOf(destPath));
    });
}

STDMETHODIMP SusiePlugin::GetArchiveInfo(VARIANT src, LONG offsetOrLength, IDispatch** ppCollection) {
    return Boundary([&] {
        if (!ppCollection) return E_POINTER;
        *ppCollection = nullptr;
        if (HRESULT hr = Require(SPI::KIND_ARCHIVE); FAILED(hr)) return hr;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        SPI::ArchiveListing listing;
        ThrowIfFailed(listing.Read(binding_, source));
        // A plug-in that succeeds without a listing gives no collection.
        return listing.HasListing() ? SpiFileInfoCollection::Create(listing, static_cast<ISusiePlugin2*>(this), ppCollection) : S_OK;
    });
}

STDMETHODIMP SusiePlugin::GetFileInfo(VARIANT src, LONG offsetOrLength, BSTR FileName, IDispatch** ppInfo) {
    return Boundary([&] {
        if (!ppInfo) return E_POINTER;
        *ppInfo = nullptr;
        if (HRESULT hr = Require(SPI::KIND_ARCHIVE); FAILED(hr)) return hr;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        // A missing name reaches the plug-in as an empty one, never as a null pointer.
        SPI::MemberRecord record;
        ThrowIfFailed(SPI::QueryMemberInfo(binding_, source, SPI::TextOf(FileName), record));
        ComPtr<ISpiFileInfo> entry;
        ThrowIfFailed(SpiFileInfo::Create(std::move(record), entry.put()));
        *ppInfo = entry.detach();  // ISpiFileInfo is the entry's IDispatch
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::ListingRecords(VARIANT src, LONG offsetOrLength, VARIANT_BOOL* pWide, LONG* pRecordSize,
                                         VARIANT* pRecords) {
    return Boundary([&] {
        if (!pWide || !pRecordSize || !pRecords) return E_POINTER;
        VariantInit(pRecords);
        if (HRESULT hr = Require(SPI::KIND_ARCHIVE); FAILED(hr)) return hr;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        SPI::ArchiveListing listing;
        ThrowIfFailed(listing.Read(binding_, source));
        *pWide = listing.IsWide() ? VARIANT_TRUE : VARIANT_FALSE;
        *pRecordSize = listing.IsWide() ? sizeof(SPI::fileInfoW) : sizeof(SPI::fileInfo);
        if (!listing.HasListing()) return S_OK;
        if (listing.RecordBytes() > 0x7FFFFFFFu) return E_EXCEEDS_32_BITS;
        return NewByteArray(listing.Block()->Address(), listing.RecordBytes(), *pRecords);
    });
}

STDMETHODIMP SusiePlugin::MemberRecordOf(VARIANT src, LONG offsetOrLength, BSTR FileName, VARIANT_BOOL* pWide,
                                         LONG* pRecordSize, VARIANT* pRecord) {
    return Boundary([&] {
        if (!pWide || !pRecordSize || !pRecord) return E_POINTER;
        VariantInit(pRecord);
        if (HRESULT hr = Require(SPI::KIND_ARCHIVE); FAILED(hr)) return hr;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        SPI::MemberRecord record;
        ThrowIfFailed(SPI::QueryMemberInfo(binding_, source, SPI::TextOf(FileName), record));
        *pWide = record.IsWide() ? VARIANT_TRUE : VARIANT_FALSE;
        *pRecordSize = record.IsWide() ? sizeof(SPI::fileInfoW) : sizeof(SPI::fileInfo);
        const void* bytes = record.IsWide() ? static_cast<const void*>(record.Wide()) : record.Narrow();
        return NewByteArray(bytes, static_cast<size_t>(*pRecordSize), *pRecord);
    });
}

HRESULT SusiePlugin::ExtractMember(const VARIANT& src, IDispatch* pInfo, SPI::ExtractedMember& member,
                                   SPI::RecordNumber& fileSize) {
    // Any object that implements the entry's interface names a member.
    ComPtr<ISpiFileInfo> entry;
    if (!pInfo || FAILED(pInfo->QueryInterface(IID_ISpiFileInfo, entry.put_void()))) return E_INVALIDARG;
    if (HRESULT hr = Require(SPI::KIND_ARCHIVE); FAILED(hr)) return hr;
    SPI::RecordNumber position = 0, compSize = 0;
    fileSize = 0;
    // An entry of ours gives its record's numbers whole; any other entry is taken at what its
    // properties answer, a reader that fails leaving 0.
    ComPtr<IMemberRecordSource> own;
    SPI::MemberRecord record;
    if (SUCCEEDED(pInfo->QueryInterface(__uuidof(IMemberRecordSource), own.put_void())) &&
        SUCCEEDED(own->GetRecord(&record)) && record) {
        position = record.Position();
        compSize = record.CompSize();
        fileSize = record.FileSize();
    } else {
        LONG number = 0;
        if (SUCCEEDED(entry->get_Position(&number))) position = static_cast<ULONG>(number);
        number = 0;
        if (SUCCEEDED(entry->get_CompSize(&number))) compSize = static_cast<ULONG>(number);
        number = 0;
        if (SUCCEEDED(entry->get_FileSize(&number))) fileSize = static_cast<ULONG>(number);
    }
    // For a memory source the member's stored size is the length the plug-in gets (cut, as
    // every length is, to a byte array's data); for a file source its position.
    SPI::Source source;
    if (HRESULT hr = source.Convert(src, static_cast<LONG_PTR>(compSize)); FAILED(hr)) return hr;
    const HRESULT hr = member.Extract(binding_, source, static_cast<LONG_PTR>(position));
    if (SUCCEEDED(hr) && member.Code() != SPI::SPI_OK && !SPI::NoteIfUnreadable(source)) {
        // The entry's own name says more than the member's position.
        Bstr path, file;
        entry->get_Path(path.put());
        entry->get_FileName(file.put());
        const std::wstring named = SPI::TextOf(path.get()) + SPI::TextOf(file.get());
        SPI::NotePluginCode(binding_.WidePath(), L"extract",
                            Quoted(named) + L" from " + (source.Flag() == SPI::FLAG_FILE ? SPI::SourceWords(source)
                                                                                          : L"the archive in memory"),
                            member.Code());
    }
    if (FAILED(hr) || member.Code() == SPI::SPI_OK || source.Flag() != SPI::FLAG_FILE) return hr;
    // Some plug-ins extract only from the archive they listed last, and forget that listing
    // when asked about another file (as every selection walk asks them): the archive is
    // listed again, from the file's start, and the member asked for once more. The first
    // answer stands, in its words too, unless the second one succeeds.
    const std::wstring firstWords = TakeFailureNote();
    SPI::Source listed;
    SPI::ArchiveListing listing;
    SPI::Source again;
    SPI::ExtractedMember retry;
    if (SUCCEEDED(listed.Convert(src, 0)) && SUCCEEDED(listing.Read(binding_, listed)) && listing.HasListing() &&
        SUCCEEDED(again.Convert(src, static_cast<LONG_PTR>(compSize))) &&
        SUCCEEDED(retry.Extract(binding_, again, static_cast<LONG_PTR>(position))) && retry.Code() == SPI::SPI_OK)
        member = std::move(retry);
    else if (!firstWords.empty())
        NoteFailure(firstWords);
    return hr;
}

STDMETHODIMP SusiePlugin::GetFile(VARIANT src, IDispatch* pInfo, IDispatch** ppDest) {
    return Boundary([&] {
        if (!ppDest) return E_POINTER;
        *ppDest = nullptr;
        SPI::ExtractedMember member;
        SPI::RecordNumber fileSize = 0;
        ThrowIfFailed(ExtractMember(src, pInfo, member, fileSize));
        // Any plug-in failure, or success without a block, is E_FAIL here.
        if (member.Code() == SPI::SPI_OK && !member.Block())
            NoteFailure(FileNameOf(binding_.WidePath()) + L" answered success but handed back no block");
        if (member.Code() != SPI::SPI_OK || !member.Block()) return E_FAIL;
        return SpiLocalHeap::Create(member.Block(), ppDest);
    });
}

STDMETHODIMP SusiePlugin::GetFileToFile(VARIANT src, IDispatch* pInfo, BSTR destPath) {
    return Boundary([&] {
        SPI::ExtractedMember member;
        SPI::RecordNumber fileSize = 0;
        ThrowIfFailed(ExtractMember(src, pInfo, member, fileSize));
        // The plug-in's own failure is reported as its code; success without a block writes nothing.
        if (member.Code() != SPI::SPI_OK || !member.Block()) return SPI::MapResult(member.Code());
        return member.WriteFile(SPI::TextOf(destPath), fileSize);
    });
}

STDMETHODIMP SusiePlugin::get_CanCreatePicture(VARIANT_BOOL* pbCan) {
    return Boundary([&] {
        if (!pbCan) return E_POINTER;
        const bool writes = binding_.CreatePictureEntry() || binding_.CreatePictureWEntry();
        *pbCan = binding_.IsBoundAs(SPI::KIND_PICTURE) && writes ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP SusiePlugin::CreatePicture(BSTR destPath, VARIANT info, VARIANT pixels) {
    return Boundary([&] {
        if (HRESULT hr = Require(SPI::KIND_PICTURE); FAILED(hr)) return hr;
        return WriteBlocks(binding_, destPath, info, pixels, SPI::WritePictureFile);
    });
}

STDMETHODIMP SusiePlugin::CreatePictureAt(BSTR Path, VARIANT info, VARIANT pixels) {
    return Boundary([&] {
        if (HRESULT hr = Require(SPI::KIND_PICTURE); FAILED(hr)) return hr;
        return WriteBlocks(binding_, Path, info, pixels, SPI::WritePictureInto);
    });
}

STDMETHODIMP SusiePlugin::GetPictureProperties(VARIANT src, LONG offsetOrLength, IDispatch** ppProperties) {
    return Boundary([&] {
        if (!ppProperties) return E_POINTER;
        *ppProperties = nullptr;
        if (HRESULT hr = Require(SPI::KIND_PICTURE); FAILED(hr)) return hr;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        SPI::PictureProperties facts;
        ThrowIfFailed(SPI::ReadPictureProperties(binding_, source, facts));
        return PictureProperties::Create(std::move(facts), ppProperties);
    });
}

}  // namespace Tamrix
