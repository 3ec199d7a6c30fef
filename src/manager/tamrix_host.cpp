#include "tamrix_host.h"

namespace Tamrix {

// The name table's Invoke rows: exact argument counts, no declared defaults.
HRESULT TamrixHost::InvokeMember(DISPID id, DispatchCall& call) {
    HRESULT hr = S_OK;
    LONG number = 0;
    BSTR text = nullptr;
    VARIANT value;
    switch (id) {
    case DISPID_NEWENUM: {
        if (FAILED(hr = call.Expect(0))) return hr;
        IUnknown* out = nullptr;
        hr = get__NewEnum(&out);
        return call.ReturnUnknown(hr, out);
    }
    case 0: {
        if (FAILED(hr = call.Expect(1)) || FAILED(hr = call.Long(0, &number))) return hr;
        IDispatch* out = nullptr;
        hr = get_Item(number, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 1: {
        if (FAILED(hr = call.Expect(0))) return hr;
        LONG out = 0;
        hr = get_Count(&out);
        return call.ReturnLong(hr, out);
    }
    case 2:
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.Long(1, &number)) ||
            FAILED(hr = call.String(0, &text)))
            return hr;
        return call.Return(Init(number, text));
    case 3: {
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.String(1, &text)) ||
            FAILED(hr = call.Long(0, &number)))
            return hr;
        IDispatch* out = nullptr;
        hr = QuerySpiFromFile(text, number, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 4: {
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.String(1, &text)) ||
            FAILED(hr = call.Unconverted(0, &value)))
            return hr;
        IDispatch* out = nullptr;
        hr = QuerySpi(text, value, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 5: {
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.Unconverted(1, &value)) ||
            FAILED(hr = call.Long(0, &number)))
            return hr;
        IDispatch* out = nullptr;
        hr = GetPicture(value, number, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 6: {
        if (FAILED(hr = call.Expect(1)) || FAILED(hr = call.Long(0, &number))) return hr;
        BSTR out = nullptr;
        hr = GetFileFilter(number, &out);
        return call.ReturnString(hr, out);
    }
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

// The plug-in list and its operations come with the manager's own work; until then every
// member answers that it is not there yet.
STDMETHODIMP TamrixHost::get__NewEnum(IUnknown**) {
    return E_NOTIMPL;
}
STDMETHODIMP TamrixHost::get_Item(LONG, IDispatch**) {
    return E_NOTIMPL;
}
STDMETHODIMP TamrixHost::get_Count(LONG*) {
    return E_NOTIMPL;
}
STDMETHODIMP TamrixHost::Init(LONG, BSTR) {
    return E_NOTIMPL;
}
STDMETHODIMP TamrixHost::QuerySpiFromFile(BSTR, LONG, IDispatch**) {
    return E_NOTIMPL;
}
STDMETHODIMP TamrixHost::QuerySpi(BSTR, VARIANT, IDispatch**) {
    return E_NOTIMPL;
}
STDMETHODIMP TamrixHost::GetPicture(VARIANT, LONG, IDispatch**) {
    return E_NOTIMPL;
}
STDMETHODIMP TamrixHost::GetFileFilter(LONG, BSTR*) {
    return E_NOTIMPL;
}

}  // namespace Tamrix
