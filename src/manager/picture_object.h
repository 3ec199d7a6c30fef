// The OLE picture object that TamrixHost.GetPicture hands out for a decoded picture.
// Uncompressed bitmaps become a DIB section filled with one copy of the pixels, owned by the
// system's picture object, around which an object of ours holds the palette of a picture of
// 8 bits or fewer (hPal) and writes the bitmap file (SaveAsFile) and the persisted form
// (IPersistStream::Save). Compressed ones (RLE, JPEG or PNG inside) go through the system's
// picture loader, which expands them.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "../plugin/picture.h"

namespace Tamrix {

// An IPictureDisp for `picture`: E_FAIL for a layout refused, or whatever the system
// answers. Throws only std::bad_alloc.
HRESULT NewPictureObject(const SPI::DecodedPicture& picture, IDispatch** out);

}  // namespace Tamrix
