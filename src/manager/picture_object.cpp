#include "picture_object.h"

#include <olectl.h>

#include <cstring>
#include <vector>

#include "../common/com_ptr.h"
#include "../common/handles.h"

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

}  // namespace

HRESULT NewPictureObject(const SPI::DecodedPicture& picture, IDispatch** out) {
    *out = nullptr;
    SPI::bitmap::Layout layout;
    if (HRESULT hr = picture.Layout(layout); FAILED(hr)) return hr;
    const BITMAPINFOHEADER& header = layout.header;
    // 32-bit pictures too: Wine persists a picture made from a 32-bit section wrongly.
    if ((header.biCompression != BI_RGB && header.biCompression != BI_BITFIELDS) || header.biBitCount <= 8 ||
        header.biBitCount == 32)
        return LoadComposed(picture, layout, out);

    // The plug-in's header and masks, with the header as the file carries it.
    std::vector<BYTE> info(static_cast<const BYTE*>(picture.Info()->Address()),
                           static_cast<const BYTE*>(picture.Info()->Address()) + layout.infoBytes);
    std::memcpy(info.data(), &header, sizeof header);
    void* bits = nullptr;
    UniqueBitmap section(CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(info.data()),
                                             DIB_RGB_COLORS, &bits, nullptr, 0));
    // What GDI does not take as a section (some larger headers), the loader may still read.
    if (!section || !bits) return LoadComposed(picture, layout, out);
    std::memcpy(bits, picture.Pixels()->Address(), layout.pixelBytes);

    PICTDESC desc{};
    desc.cbSizeofstruct = sizeof desc;
    desc.picType = PICTYPE_BITMAP;
    desc.bmp.hbitmap = section.get();
    if (HRESULT hr = OleCreatePictureIndirect(&desc, IID_IPictureDisp, TRUE, reinterpret_cast<void**>(out));
        FAILED(hr))
        return hr;
    section.release();  // the picture object deletes it from now on
    return S_OK;
}

}  // namespace Tamrix
