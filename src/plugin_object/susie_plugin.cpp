#include "susie_plugin.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "../common/handles.h"
#include "../common/text.h"
#include "../results/spi_local_heap.h"
#include "bitmap.h"
#include "source.h"

namespace Tamrix {

using tamrix::MapSpiResult;
using tamrix::SpiSource;
using tamrix::UniqueHlocal;

bool SusiePlugin::IsBoundAs(DWORD kind) const noexcept {
    // The kind is asked again: stale entries of an earlier binding must never be called.
    return IsLoaded() && HasEntriesFor(kind) && Kind() == kind;
}

HRESULT SusiePlugin::InfoText(int infoNo, int size, BSTR* out) noexcept {
    if (!out) return E_POINTER;
    if (!IsLoaded() || !GetPluginInfoEntry()) return E_FAIL;
    // Cleared, and read only up to its size: a plug-in that writes nothing gives an empty
    // text, one that writes no NUL cannot make us read past the buffer.
    char buffer[SPI::TEXT_BUFFER_SIZE] = {};
    GetPluginInfoEntry()(infoNo, buffer, size);
    BSTR text = nullptr;
    HRESULT hr = tamrix::ToBstr(buffer, static_cast<size_t>(size), &text);
    if (FAILED(hr)) return hr;
    *out = text;
    return S_OK;
}

STDMETHODIMP SusiePlugin::get_About(BSTR* pVal) {
    return InfoText(1, SPI::TEXT_BUFFER_SIZE, pVal);
}

STDMETHODIMP SusiePlugin::get_Version(BSTR* pVal) {
    return InfoText(0, SPI::KIND_BUFFER_SIZE, pVal);
}

STDMETHODIMP SusiePlugin::get_PluginInfo(LONG infoNo, BSTR* pVal) {
    return InfoText(infoNo, SPI::TEXT_BUFFER_SIZE, pVal);
}

STDMETHODIMP SusiePlugin::get_CanPreview(VARIANT_BOOL* pbCan) {
    if (!pbCan) return E_POINTER;
    // The kind matters: for an archive plug-in the same entry holds GetFileInfo.
    *pbCan = IsBoundAs(SPI::KIND_PICTURE) && GetPreviewEntry() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP SusiePlugin::get_CanConfigDlg(VARIANT_BOOL* pbCan) {
    if (!pbCan) return E_POINTER;
    *pbCan = Export(SPI::exports::ConfigurationDlg) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP SusiePlugin::ConfigurationDlg(LONG hParent, LONG function) {
    // Looked up at every call: the binding does not keep optional exports.
    auto dialog = SPI::EntryAs<SPI::ConfigurationDlgFn>(Export(SPI::exports::ConfigurationDlg));
    const int code = dialog ? dialog(reinterpret_cast<HWND>(static_cast<LONG_PTR>(hParent)),
                                     static_cast<int>(function))
                            : SPI::SPI_NOT_IMPLEMENTED;
    return MapSpiResult(code);
}

STDMETHODIMP SusiePlugin::Load(BSTR spiPath, VARIANT_BOOL* pbOk) {
    if (!pbOk) return E_POINTER;
    *pbOk = VARIANT_TRUE;
    try {
        std::string path;
        if (HRESULT hr = tamrix::ToNarrow(spiPath, path); FAILED(hr)) return hr;
        // The old library goes first, so a failed Load leaves nothing of it behind.
        Unload();
        SetPath(std::move(path));
        if (Probe() == 0) *pbOk = VARIANT_FALSE;
        return S_OK;
    } catch (...) {
        *pbOk = VARIANT_FALSE;
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP SusiePlugin::Free() {
    if (!IsLoaded()) return S_OK;
    return SPI::SpiInterface::Free() ? S_OK : E_FAIL;
}

HRESULT SusiePlugin::QueryPictureInfo(const VARIANT& src, LONG offsetOrLength, SPI::PictureInfoRecord& record,
                                      int& code) noexcept {
    SpiSource source;
    if (HRESULT hr = source.Convert(src, offsetOrLength); FAILED(hr)) return hr;
    code = GetPictureInfoEntry()(source.Buf(), source.Len(), source.Flag(), &record);
    source.Release();
    return S_OK;
}

STDMETHODIMP SusiePlugin::GetPictureInfo(VARIANT src, LONG offsetOrLength, PictureInfo* pPictInfo) {
    if (!pPictInfo) return E_POINTER;
    if (!IsBoundAs(SPI::KIND_PICTURE)) return E_FAIL;
    // The plug-in fills its own packed layout, never the caller's aligned record.
    SPI::PictureInfoRecord record{};
    int code = SPI::SPI_OK;
    if (HRESULT hr = QueryPictureInfo(src, offsetOrLength, record, code); FAILED(hr)) return hr;
    if (code == SPI::SPI_OK) {
        pPictInfo->left = record.left;
        pPictInfo->top = record.top;
        pPictInfo->width = record.width;
        pPictInfo->height = record.height;
        pPictInfo->x_density = static_cast<SHORT>(record.x_density);
        pPictInfo->y_density = static_cast<SHORT>(record.y_density);
        pPictInfo->colorDepth = record.colorDepth;
        // Handed on as a number; the caller decides about the text block.
        pPictInfo->hInfo = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(record.hInfo));
    }
    return MapSpiResult(code);
}

HRESULT SusiePlugin::Decode(SPI::GetPictureFn decode, const VARIANT& src, LONG offsetOrLength,
                            UniqueHlocal& info, UniqueHlocal& pixels) noexcept {
    SpiSource source;
    if (HRESULT hr = source.Convert(src, offsetOrLength); FAILED(hr)) return hr;
    HLOCAL infoHandle = nullptr;
    HLOCAL pixelHandle = nullptr;
    const int code = decode ? decode(source.Buf(), source.Len(), source.Flag(), &infoHandle, &pixelHandle,
                                     tamrix::IgnoreProgress, 0)
                            : SPI::SPI_NOT_IMPLEMENTED;
    source.Release();
    // A plug-in hands no blocks back on failure; whatever the handles hold is not ours.
    if (code != SPI::SPI_OK) return MapSpiResult(code);
    info.reset(infoHandle);
    pixels.reset(pixelHandle);
    return S_OK;
}

HRESULT SusiePlugin::DecodeToHeaps(bool preview, VARIANT& src, LONG offsetOrLength,
                                   IDispatch** ppInfo, IDispatch** ppPixels) noexcept {
    if (!ppInfo || !ppPixels) return E_POINTER;
    *ppInfo = nullptr;
    *ppPixels = nullptr;
    if (!IsBoundAs(SPI::KIND_PICTURE)) return E_FAIL;
    UniqueHlocal infoBlock;
    UniqueHlocal pixelBlock;
    HRESULT hr = Decode(preview ? GetPreviewEntry() : GetPictureEntry(), src, offsetOrLength, infoBlock,
                        pixelBlock);
    if (FAILED(hr)) return hr;

    tamrix::Object<SpiLocalHeap>* infoHeap = tamrix::Object<SpiLocalHeap>::New();
    tamrix::Object<SpiLocalHeap>* pixelHeap = tamrix::Object<SpiLocalHeap>::New();
    if (!infoHeap || !pixelHeap) {
        delete infoHeap;
        delete pixelHeap;
        return E_FAIL;  // both blocks freed by their owners
    }
    infoHeap->Attach(std::move(infoBlock));
    infoHeap->AddRef();
    *ppInfo = static_cast<ISpiLocalHeap*>(infoHeap);
    pixelHeap->Attach(std::move(pixelBlock));
    pixelHeap->AddRef();
    *ppPixels = static_cast<ISpiLocalHeap*>(pixelHeap);
    return S_OK;
}

STDMETHODIMP SusiePlugin::GetPicture(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo,
                                     IDispatch** ppPixels) {
    return DecodeToHeaps(false, src, offsetOrLength, ppInfo, ppPixels);
}

STDMETHODIMP SusiePlugin::GetPreview(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo,
                                     IDispatch** ppPixels) {
    return DecodeToHeaps(true, src, offsetOrLength, ppInfo, ppPixels);
}

STDMETHODIMP SusiePlugin::GetPictureText(VARIANT src, LONG offsetOrLength, BSTR* pText) {
    if (!pText) return E_POINTER;
    if (!IsBoundAs(SPI::KIND_PICTURE)) return E_FAIL;
    SPI::PictureInfoRecord record{};
    record.hInfo = nullptr;
    // The result code does not matter: only a text handle decides the outcome.
    int code = SPI::SPI_OK;
    if (HRESULT hr = QueryPictureInfo(src, offsetOrLength, record, code); FAILED(hr)) return hr;
    UniqueHlocal block(record.hInfo);
    if (!block) {
        *pText = nullptr;
        return S_OK;
    }
    const char* text = static_cast<const char*>(LocalLock(block.get()));
    if (!text) return E_OUTOFMEMORY;
    // Read no further than the block, even if the plug-in left out the NUL.
    BSTR result = nullptr;
    if (HRESULT hr = tamrix::ToBstr(text, LocalSize(block.get()), &result); FAILED(hr)) return hr;
    *pText = result;
    return S_OK;
}

STDMETHODIMP SusiePlugin::GetPictureToFile(VARIANT src, LONG offsetOrLength, BSTR destPath) {
    if (!IsBoundAs(SPI::KIND_PICTURE)) return E_FAIL;
    try {
        UniqueHlocal infoBlock;
        UniqueHlocal pixelBlock;
        if (HRESULT hr = Decode(GetPictureEntry(), src, offsetOrLength, infoBlock, pixelBlock); FAILED(hr))
            return hr;

        const void* infoBytes = infoBlock ? LocalLock(infoBlock.get()) : nullptr;
        const void* pixelBytes = pixelBlock ? LocalLock(pixelBlock.get()) : nullptr;
        if (!infoBytes || !pixelBytes) return E_FAIL;
        // Sizes are checked against what the blocks really hold, not only the header.
        tamrix::bitmap::Layout layout;
        if (!tamrix::bitmap::ComputeLayout(infoBytes, LocalSize(infoBlock.get()),
                                           LocalSize(pixelBlock.get()), layout))
            return E_FAIL;
        std::string path;
        if (FAILED(tamrix::ToNarrow(destPath, path))) return E_FAIL;
        return tamrix::bitmap::WriteFile(path, layout, infoBytes, pixelBytes);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

// Archive members: not available yet.
STDMETHODIMP SusiePlugin::GetFileInfo(VARIANT, LONG, BSTR, IDispatch** ppInfo) {
    if (ppInfo) *ppInfo = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP SusiePlugin::GetArchiveInfo(VARIANT, LONG, IDispatch** ppCollection) {
    if (ppCollection) *ppCollection = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP SusiePlugin::GetFile(VARIANT, IDispatch*, IDispatch** ppDest) {
    if (ppDest) *ppDest = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP SusiePlugin::GetFileToFile(VARIANT, IDispatch*, BSTR) {
    return E_NOTIMPL;
}

}  // namespace Tamrix
