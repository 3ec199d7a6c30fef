#include "picture_properties.h"

#include <utility>

#include "../common/boundary.h"

namespace Tamrix {
namespace {

HRESULT Number(LONG value, LONG* pVal) noexcept {
    if (!pVal) return E_POINTER;
    *pVal = value;
    return S_OK;
}

}  // namespace

HRESULT PictureProperties::Create(SPI::PictureProperties facts, IDispatch** out) noexcept {
    *out = nullptr;
    return Boundary([&] {
        return HandOut(Make<PictureProperties>(std::move(facts)), IID_IDispatch, reinterpret_cast<void**>(out));
    });
}

STDMETHODIMP PictureProperties::get_Left(LONG* pVal) { return Number(facts_.left, pVal); }
STDMETHODIMP PictureProperties::get_Top(LONG* pVal) { return Number(facts_.top, pVal); }
STDMETHODIMP PictureProperties::get_Width(LONG* pVal) { return Number(facts_.width, pVal); }
STDMETHODIMP PictureProperties::get_Height(LONG* pVal) { return Number(facts_.height, pVal); }
STDMETHODIMP PictureProperties::get_XDensity(LONG* pVal) { return Number(facts_.xDensity, pVal); }
STDMETHODIMP PictureProperties::get_YDensity(LONG* pVal) { return Number(facts_.yDensity, pVal); }
STDMETHODIMP PictureProperties::get_ColorDepth(LONG* pVal) { return Number(facts_.colorDepth, pVal); }

STDMETHODIMP PictureProperties::get_Text(BSTR* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = SysAllocStringLen(facts_.text.data(), static_cast<UINT>(facts_.text.size()));
        return *pVal ? S_OK : E_OUTOFMEMORY;
    });
}

// The name table's Invoke rows: every member is a reader that takes no argument.
HRESULT PictureProperties::InvokeMember(DISPID id, DispatchCall& call) {
    if (id < 1 || id > 8) return DISP_E_MEMBERNOTFOUND;
    if (HRESULT hr = call.Expect(0); FAILED(hr)) return hr;
    if (id == 8) {
        BSTR text = nullptr;
        const HRESULT hr = get_Text(&text);
        return call.ReturnString(hr, text);
    }
    const LONG values[] = {facts_.left,     facts_.top,      facts_.width,     facts_.height,
                           facts_.xDensity, facts_.yDensity, facts_.colorDepth};
    return call.ReturnLong(S_OK, values[id - 1]);
}

}  // namespace Tamrix
