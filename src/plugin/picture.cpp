#include "picture.h"

#include <cstring>

#include "../common/failure_note.h"
#include "../common/text.h"
#include "failure_words.h"
#include "file_output.h"
#include "names.h"

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
        if (HRESULT hr = source.NarrowBuf(buf, plugin.CodePage()); FAILED(hr)) {
            NoteNameRefused(plugin.WidePath(), SourceWords(source));
            return hr;
        }
        code = plugin.Invoke(narrow, buf, source.Len(), source.Flag(), &infoHandle, &pixelHandle, IgnoreProgress, 0);
    }
    SetOrigin(plugin, source);
    // A plug-in hands no blocks back on failure; whatever the handles hold is not ours.
    if (code != SPI_OK) {
        if (!NoteIfUnreadable(source))
            NotePluginCode(plugin.WidePath(), preview ? L"decode a preview of" : L"decode", SourceWords(source), code);
        return MapResult(code);
    }

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

HRESULT DecodedPicture::Adopt(std::span<const BYTE> info, std::span<const BYTE> pixels) noexcept {
    info_.reset();
    pixels_.reset();
    if (info.empty() || pixels.empty()) return E_OUTOFMEMORY;
    if (HRESULT hr = Tamrix::NewLocalBlock(info, info_); FAILED(hr)) return hr;
    return Tamrix::NewLocalBlock(pixels, pixels_);
}

void DecodedPicture::Adopt(Tamrix::SharedLocalBlock info, Tamrix::SharedLocalBlock pixels) noexcept {
    info_ = std::move(info);
    pixels_ = std::move(pixels);
}

bool DecodedPicture::HasBothBlocks() const noexcept {
    return info_ && info_->Address() && pixels_ && pixels_->Address();
}

HRESULT DecodedPicture::Layout(bitmap::Layout& out) const noexcept {
    if (!HasBothBlocks()) {
        NoteOrigin(L"a block is missing or cannot be read");
        return E_FAIL;
    }
    // Sizes are checked against what the blocks really hold, not only the header.
    if (bitmap::ComputeLayout(info_->Address(), info_->Size(), pixels_->Size(), out)) return S_OK;
    NoteOrigin(L"bad bitmap header (one that readers refuse, or that asks for more bytes than the blocks hold)");
    return E_FAIL;
}

void DecodedPicture::SetOrigin(const SpiInterface& plugin, const Source& source) {
    origin_ = Tamrix::FileNameOf(plugin.WidePath()) + L"'s picture of " + SourceWords(source);
}

void DecodedPicture::NoteOrigin(const wchar_t* why) const noexcept {
    try {
        Tamrix::NoteFailure((origin_.empty() ? std::wstring(L"the picture") : origin_) + L": " + why);
    } catch (...) {
        // Without memory no words; the code tells.
    }
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

HRESULT ReadPictureProperties(const SpiInterface& plugin, Source& source, PictureProperties& out) {
    out = PictureProperties{};
    if (!plugin.IsBoundAs(KIND_PICTURE)) return E_FAIL;
    // The plug-in fills its own packed layout.
    PictureInfoRecord record{};
    int code = SPI_OK;
    if (GetPictureInfoWFn wide = plugin.GetPictureInfoWEntry()) {
        code = plugin.Invoke(wide, source.WideBuf(), source.Len(), source.Flag(), &record);
    } else {
        LPCSTR buf = nullptr;
        if (HRESULT hr = source.NarrowBuf(buf, plugin.CodePage()); FAILED(hr)) {
            NoteNameRefused(plugin.WidePath(), SourceWords(source));
            return hr;
        }
        code = plugin.Invoke(plugin.GetPictureInfoEntry(), buf, source.Len(), source.Flag(), &record);
    }
    if (code != SPI_OK) {
        if (!NoteIfUnreadable(source))
            NotePluginCode(plugin.WidePath(), L"read the picture facts of", SourceWords(source), code);
        return MapResult(code);
    }
    Tamrix::UniqueHlocal text(record.hInfo);
    out.left = record.left;
    out.top = record.top;
    out.width = record.width;
    out.height = record.height;
    out.xDensity = record.x_density;
    out.yDensity = record.y_density;
    out.colorDepth = record.colorDepth;
    if (!text) return S_OK;
    const char* bytes = static_cast<const char*>(LocalLock(text.get()));
    if (!bytes) return E_OUTOFMEMORY;
    // No further than the block, nor past its first NUL.
    const size_t size = LocalSize(text.get());
    size_t length = 0;
    while (length < size && bytes[length]) ++length;
    const HRESULT hr = Tamrix::ToWide(bytes, length, out.text, plugin.CodePage());
    LocalUnlock(text.get());
    return hr;
}

HRESULT WritePictureFile(const SpiInterface& plugin, const std::wstring& destPath, HLOCAL info, HLOCAL pixels) {
    if (!plugin.IsBoundAs(KIND_PICTURE)) return E_FAIL;
    if (!plugin.CreatePictureWEntry() && !plugin.CreatePictureEntry()) return E_TYPE_NOT_WRITTEN;
    return WriteThroughReplacing(destPath,
                                 [&](const std::wstring& temp) { return WritePictureInto(plugin, temp, info, pixels); });
}

HRESULT WritePictureInto(const SpiInterface& plugin, const std::wstring& path, HLOCAL info, HLOCAL pixels) {
    if (!plugin.IsBoundAs(KIND_PICTURE)) return E_FAIL;
    CreatePictureWFn wide = plugin.CreatePictureWEntry();
    CreatePictureFn narrow = plugin.CreatePictureEntry();
    if (!wide && !narrow) return E_TYPE_NOT_WRITTEN;
    // A writer reads as many pixels as the header describes: blocks that do not hold them
    // never reach it.
    bitmap::Layout layout;
    const void* header = info && pixels ? LocalLock(info) : nullptr;
    const bool whole = header && bitmap::ComputeLayout(header, LocalSize(info), LocalSize(pixels), layout);
    if (header) LocalUnlock(info);
    if (!whole) {
        Tamrix::NoteFailure(L"the blocks do not hold the picture their header describes: no writer is given them");
        return E_FAIL;
    }
    // The plug-in gets the handles' own addresses: it reads the blocks and keeps none.
    HLOCAL infoHandle = info;
    HLOCAL pixelHandle = pixels;
    constexpr UINT flag = FLAG_REJECT_UNKNOWN_TYPE;  // to a file
    int code = SPI_NOT_IMPLEMENTED;
    PluginName name(path);
    if (wide) {
        code = plugin.Invoke(wide, name.Wide(), flag, &infoHandle, &pixelHandle, nullptr, IgnoreProgress, 0);
    } else {
        LPCSTR text = nullptr;
        if (HRESULT hr = name.Narrow(text, plugin.CodePage()); FAILED(hr)) {
            NoteNameRefused(plugin.WidePath(), Tamrix::Quoted(path));
            return hr;
        }
        code = plugin.Invoke(narrow, text, flag, &infoHandle, &pixelHandle, nullptr, IgnoreProgress, 0);
    }
    if (code == SPI_UNKNOWN_FORMAT || code == SPI_NOT_IMPLEMENTED) return E_TYPE_NOT_WRITTEN;
    if (code != SPI_OK) NotePluginCode(plugin.WidePath(), L"write", L"the picture", code);
    return MapResult(code);
}

}  // namespace SPI
