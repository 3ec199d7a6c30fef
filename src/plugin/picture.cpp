#include "picture.h"

#include <span>

#include "file_output.h"

namespace SPI {

HRESULT DecodedPicture::Decode(const SpiInterface& plugin, Decoder which, Source& source) {
    const HRESULT hr = DecodeHeld(plugin, which, source);
    source.Release();
    return hr;
}

HRESULT DecodedPicture::DecodeHeld(const SpiInterface& plugin, Decoder which, Source& source) {
    info_.reset();
    pixels_.reset();
    if (!plugin.IsBoundAs(KIND_PICTURE)) return E_FAIL;
    const bool preview = which == Decoder::Preview;
    GetPictureWFn wide = preview ? plugin.GetPreviewWEntry() : plugin.GetPictureWEntry();
    GetPictureFn narrow = preview ? plugin.GetPreviewEntry() : plugin.GetPictureEntry();
    HLOCAL infoHandle = nullptr;
    HLOCAL pixelHandle = nullptr;
    int code = SPI_NOT_IMPLEMENTED;
    if (wide) {
        code = plugin.Invoke(wide, source.WideBuf(), source.Len(), source.Flag(), &infoHandle, &pixelHandle,
                             IgnoreProgress, 0);
    } else if (narrow) {
        LPCSTR buf = nullptr;
        if (HRESULT hr = source.NarrowBuf(buf); FAILED(hr)) return hr;
        code = plugin.Invoke(narrow, buf, source.Len(), source.Flag(), &infoHandle, &pixelHandle, IgnoreProgress, 0);
    }
    // A plug-in hands no blocks back on failure; whatever the handles hold is not ours.
    if (code != SPI_OK) return MapResult(code);

    Tamrix::UniqueHlocal infoBlock(infoHandle);
    // One block as both outputs must be freed once: it is owned once and shared.
    Tamrix::UniqueHlocal pixelBlock(pixelHandle != infoHandle ? pixelHandle : nullptr);
    if (HRESULT hr = Tamrix::ShareLocalBlock(std::move(infoBlock), info_); FAILED(hr)) return hr;
    if (pixelHandle == infoHandle) {
        pixels_ = info_;
        return S_OK;
    }
    if (HRESULT hr = Tamrix::ShareLocalBlock(std::move(pixelBlock), pixels_); FAILED(hr)) {
        info_.reset();
        return hr;
    }
    return S_OK;
}

bool DecodedPicture::HasBothBlocks() const noexcept {
    return info_ && info_->Address() && pixels_ && pixels_->Address();
}

HRESULT DecodedPicture::Layout(bitmap::Layout& out) const noexcept {
    if (!HasBothBlocks()) return E_FAIL;
    // Sizes are checked against what the blocks really hold, not only the header.
    return bitmap::ComputeLayout(info_->Address(), info_->Size(), pixels_->Size(), out) ? S_OK : E_FAIL;
}

HRESULT DecodedPicture::WriteBitmapFile(const std::wstring& destPath) const {
    bitmap::Layout layout;
    if (HRESULT hr = Layout(layout); FAILED(hr)) return hr;
    BYTE header[bitmap::FILE_HEADER_SIZE];
    bitmap::FileHeader(layout, header);
    const BYTE* info = static_cast<const BYTE*>(info_->Address());
    return WriteFileReplacing(destPath, {std::span<const BYTE>(header),
                                         {reinterpret_cast<const BYTE*>(&layout.header), bitmap::INFO_HEADER_SIZE},
                                         {info + bitmap::INFO_HEADER_SIZE, layout.infoBytes - bitmap::INFO_HEADER_SIZE},
                                         {static_cast<const BYTE*>(pixels_->Address()), layout.pixelBytes}});
}

HRESULT DecodedPicture::ComposeBitmap(Tamrix::UniqueHglobal& out) const noexcept {
    if (!HasBothBlocks()) return E_FAIL;
    return ComposeBitmapFile(info_->Address(), info_->Size(), pixels_->Address(), pixels_->Size(), out);
}

HRESULT ComposeBitmapFile(const void* info, size_t infoSize, const void* pixels, size_t pixelSize,
                          Tamrix::UniqueHglobal& out) noexcept {
    bitmap::Layout layout;
    // Sizes are checked against what the blocks really hold, not only the header.
    if (!info || !pixels || !bitmap::ComputeLayout(info, infoSize, pixelSize, layout)) return E_FAIL;
    Tamrix::UniqueHglobal block(GlobalAlloc(GMEM_MOVEABLE, layout.fileSize));
    if (!block) return E_OUTOFMEMORY;
    void* dest = GlobalLock(block.get());
    if (!dest) return E_OUTOFMEMORY;
    bitmap::Compose(layout, info, pixels, dest);
    GlobalUnlock(block.get());
    out = std::move(block);
    return S_OK;
}

}  // namespace SPI
