#include "picture_object.h"

#include <ocidl.h>
#include <olectl.h>

#include <cstring>
#include <utility>
#include <vector>

#include "../common/com_ptr.h"
#include "../common/handles.h"
#include "../common/object.h"

namespace Tamrix {

namespace {

// The loader reads as many bytes as the composed file says it holds.
HRESULT LoadComposed(const SPI::DecodedPicture& picture, const SPI::bitmap::Layout& layout, IDispatch** out) {
    UniqueHglobal bitmap;
    if (HRESULT hr = picture.ComposeBitmap(bitmap); FAILED(hr)) return hr;
    ComPtr<IStream> stream;
    if (HRESULT hr = CreateStreamOnHGlobal(bitmap.get(), TRUE, stream.put()); FAILED(hr)) return hr;
    bitmap.release();  // the stream frees it
    return OleLoadPicture(stream.get(), static_cast<LONG>(layout.fileSize), TRUE, IID_IPictureDisp,
                          reinterpret_cast<void**>(out));
}

// The system's picture object made from a section, and what it leaves undone: it deletes
// its bitmap when it goes but never its palette, and under Wine its SaveAsFile writes only
// the bytes a picture was loaded from (nothing for one made from a handle) and its persisted
// form of a 32-bit section has the wrong pixels. This object is the picture for the client:
// it holds the palette, writes the bitmap file and the persisted form itself from the
// section's live pixels, and passes every other member to the system's object.
class SectionPicture : public IPictureDisp, public IPicture, public IPersistStream, public IConnectionPointContainer {
public:
    using Interfaces = InterfaceList<IPictureDisp, As<IDispatch, IPictureDisp>, IPicture, IPersistStream,
                                     As<IPersist, IPersistStream>, IConnectionPointContainer>;

    // `picture` is the system's object, which owns the section whose pixels are at `bits`
    // and holds `palette` (null for none) without owning it; `info` is the bitmap's header,
    // masks and colours as its file carries them.
    static HRESULT Create(ComPtr<IPicture> picture, UniquePalette palette, std::vector<BYTE> info,
                          const SPI::bitmap::Layout& layout, const void* bits, IDispatch** out) {
        ComPtr<Object<SectionPicture>> self = Make<SectionPicture>();
        if (!self) return E_OUTOFMEMORY;
        SectionPicture& p = *self.get();
        if (HRESULT hr = picture->QueryInterface(IID_IPictureDisp, p.disp_.put_void()); FAILED(hr)) return hr;
        if (HRESULT hr = picture->QueryInterface(IID_IPersistStream, p.persist_.put_void()); FAILED(hr)) return hr;
        if (HRESULT hr = picture->QueryInterface(IID_IConnectionPointContainer, p.points_.put_void()); FAILED(hr))
            return hr;
        p.picture_ = std::move(picture);
        p.palette_ = std::move(palette);
        p.info_ = std::move(info);
        p.layout_ = layout;
        p.bits_ = bits;
        return HandOut(std::move(self), IID_IPictureDisp, reinterpret_cast<void**>(out));
    }

    // IDispatch (IPictureDisp)
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return disp_->GetTypeInfoCount(n); }
    STDMETHODIMP GetTypeInfo(UINT i, LCID lcid, ITypeInfo** info) override { return disp_->GetTypeInfo(i, lcid, info); }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT n, LCID lcid, DISPID* ids) override {
        return disp_->GetIDsOfNames(riid, names, n, lcid, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override {
        return disp_->Invoke(id, riid, lcid, flags, params, result, excep, argErr);
    }

    // IPicture
    STDMETHODIMP get_Handle(OLE_HANDLE* h) override { return picture_->get_Handle(h); }
    STDMETHODIMP get_hPal(OLE_HANDLE* h) override { return picture_->get_hPal(h); }
    STDMETHODIMP get_Type(SHORT* type) override { return picture_->get_Type(type); }
    STDMETHODIMP get_Width(OLE_XSIZE_HIMETRIC* width) override { return picture_->get_Width(width); }
    STDMETHODIMP get_Height(OLE_YSIZE_HIMETRIC* height) override { return picture_->get_Height(height); }
    STDMETHODIMP Render(HDC dc, LONG x, LONG y, LONG cx, LONG cy, OLE_XPOS_HIMETRIC xSrc, OLE_YPOS_HIMETRIC ySrc,
                        OLE_XSIZE_HIMETRIC cxSrc, OLE_YSIZE_HIMETRIC cySrc, LPCRECT bounds) override {
        return picture_->Render(dc, x, y, cx, cy, xSrc, ySrc, cxSrc, cySrc, bounds);
    }
    STDMETHODIMP set_hPal(OLE_HANDLE h) override { return picture_->set_hPal(h); }
    STDMETHODIMP get_CurDC(HDC* dc) override { return picture_->get_CurDC(dc); }
    STDMETHODIMP SelectPicture(HDC in, HDC* out, OLE_HANDLE* bitmap) override {
        return picture_->SelectPicture(in, out, bitmap);
    }
    STDMETHODIMP get_KeepOriginalFormat(BOOL* keep) override { return picture_->get_KeepOriginalFormat(keep); }
    STDMETHODIMP put_KeepOriginalFormat(BOOL keep) override { return picture_->put_KeepOriginalFormat(keep); }
    STDMETHODIMP PictureChanged() override { return picture_->PictureChanged(); }
    // The bitmap file of the section as it is now (a picture loaded anew is the system's to write).
    STDMETHODIMP SaveAsFile(IStream* stream, BOOL saveMemCopy, LONG* size) override {
        if (reloaded_) return picture_->SaveAsFile(stream, saveMemCopy, size);
        if (HRESULT hr = WriteBitmapFile(stream); FAILED(hr)) return hr;
        if (size) *size = static_cast<LONG>(layout_.fileSize);
        return S_OK;
    }
    STDMETHODIMP get_Attributes(DWORD* attributes) override { return picture_->get_Attributes(attributes); }

    // IPersistStream
    STDMETHODIMP GetClassID(CLSID* clsid) override { return persist_->GetClassID(clsid); }
    STDMETHODIMP IsDirty() override { return persist_->IsDirty(); }
    STDMETHODIMP Load(IStream* stream) override {
        reloaded_ = true;  // the section and its layout may be gone
        return persist_->Load(stream);
    }
    // The persisted form a picture loader reads back: the mark "lt\0\0" and the length of the
    // bitmap file that follows.
    STDMETHODIMP Save(IStream* stream, BOOL clearDirty) override {
        if (reloaded_) return persist_->Save(stream, clearDirty);
        if (!stream) return E_POINTER;
        const DWORD mark[2] = {PERSISTED_MARK, layout_.fileSize};
        ULONG written = 0;
        if (HRESULT hr = stream->Write(mark, sizeof mark, &written); FAILED(hr)) return hr;
        if (written != sizeof mark) return STG_E_MEDIUMFULL;
        return WriteBitmapFile(stream);
    }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override {
        if (reloaded_) return persist_->GetSizeMax(size);
        if (!size) return E_POINTER;
        size->QuadPart = 2 * sizeof(DWORD) + layout_.fileSize;
        return S_OK;
    }

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override {
        return points_->EnumConnectionPoints(points);
    }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
        return points_->FindConnectionPoint(riid, point);
    }

private:
    static constexpr DWORD PERSISTED_MARK = 0x0000746C;  // "lt\0\0"

    // Header, masks and colours as the file carries them, then the section's pixels.
    HRESULT WriteBitmapFile(IStream* stream) const {
        if (!stream) return E_POINTER;
        BYTE header[SPI::bitmap::FILE_HEADER_SIZE];
        SPI::bitmap::FileHeader(layout_, header);
        const std::pair<const void*, ULONG> parts[] = {
            {header, sizeof header}, {info_.data(), static_cast<ULONG>(info_.size())}, {bits_, layout_.pixelBytes}};
        for (const auto& [data, length] : parts) {
            ULONG written = 0;
            if (HRESULT hr = stream->Write(data, length, &written); FAILED(hr)) return hr;
            if (written != length) return STG_E_MEDIUMFULL;
        }
        return S_OK;
    }

    UniquePalette palette_;  // declared first: it goes after the system's object
    ComPtr<IPicture> picture_;
    ComPtr<IPictureDisp> disp_;
    ComPtr<IPersistStream> persist_;
    ComPtr<IConnectionPointContainer> points_;
    std::vector<BYTE> info_;
    SPI::bitmap::Layout layout_;
    const void* bits_ = nullptr;  // the section's, alive as long as the system's object
    bool reloaded_ = false;
};

// The palette of a colour table of `count` entries.
UniquePalette PaletteOf(const RGBQUAD* colours, DWORD count) {
    std::vector<BYTE> bytes(sizeof(LOGPALETTE) + count * sizeof(PALETTEENTRY));
    auto* palette = reinterpret_cast<LOGPALETTE*>(bytes.data());
    palette->palVersion = 0x300;
    palette->palNumEntries = static_cast<WORD>(count);
    for (DWORD i = 0; i < count; ++i)
        palette->palPalEntry[i] = PALETTEENTRY{colours[i].rgbRed, colours[i].rgbGreen, colours[i].rgbBlue, 0};
    return UniquePalette(CreatePalette(palette));
}

}  // namespace

HRESULT NewPictureObject(const SPI::DecodedPicture& picture, IDispatch** out) {
    *out = nullptr;
    SPI::bitmap::Layout layout;
    if (HRESULT hr = picture.Layout(layout); FAILED(hr)) return hr;
    const BITMAPINFOHEADER& header = layout.header;
    if (header.biCompression != BI_RGB && header.biCompression != BI_BITFIELDS) return LoadComposed(picture, layout, out);

    // The plug-in's header, masks and colours, with the header as the file carries it.
    std::vector<BYTE> info(static_cast<const BYTE*>(picture.Info()->Address()),
                           static_cast<const BYTE*>(picture.Info()->Address()) + layout.infoBytes);
    std::memcpy(info.data(), &header, sizeof header);
    void* bits = nullptr;
    UniqueBitmap section(CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(info.data()),
                                             DIB_RGB_COLORS, &bits, nullptr, 0));
    // What GDI does not take as a section (some larger headers), the loader may still read.
    if (!section || !bits) return LoadComposed(picture, layout, out);
    std::memcpy(bits, picture.Pixels()->Address(), layout.pixelBytes);

    UniquePalette palette;
    if (header.biBitCount <= 8) {
        const DWORD colours = header.biClrUsed != 0 ? header.biClrUsed : 1u << header.biBitCount;
        palette = PaletteOf(reinterpret_cast<const RGBQUAD*>(info.data() + header.biSize), colours);
        if (!palette) return E_OUTOFMEMORY;
    }
    PICTDESC desc{};
    desc.cbSizeofstruct = sizeof desc;
    desc.picType = PICTYPE_BITMAP;
    desc.bmp.hbitmap = section.get();
    desc.bmp.hpal = palette.get();
    ComPtr<IPicture> made;
    if (HRESULT hr = OleCreatePictureIndirect(&desc, IID_IPicture, TRUE, made.put_void()); FAILED(hr)) return hr;
    section.release();  // the picture object deletes it from now on
    return SectionPicture::Create(std::move(made), std::move(palette), std::move(info), layout, bits, out);
}

}  // namespace Tamrix
