#include "name_table_dispatch.h"

#include <Tamrix.h>

#include "../common/com_ptr.h"
#include "../common/this_module.h"
#include "dispatch_words.h"

namespace Tamrix {

HRESULT DispatchCall::Convert(UINT slot, VARTYPE vt, VARIANT** out) noexcept {
    VARIANT& arg = params_->rgvarg[slot];
    if (arg.vt == vt) {
        *out = &arg;
        return S_OK;
    }
    if (usedTemps_ < std::size(temps_)) {
        VARIANT* temp = temps_[usedTemps_++].get();
        if (SUCCEEDED(VariantCopy(temp, &arg)) && SUCCEEDED(VariantChangeType(temp, temp, 0, vt))) {
            *out = temp;
            return S_OK;
        }
    }
    if (argErr_) *argErr_ = slot;
    failedSlot_ = slot;
    return DISP_E_TYPEMISMATCH;
}

HRESULT DispatchCall::Long(UINT slot, LONG* out) noexcept {
    VARIANT* v = nullptr;
    HRESULT hr = Convert(slot, VT_I4, &v);
    if (SUCCEEDED(hr)) *out = v->lVal;
    return hr;
}

HRESULT DispatchCall::String(UINT slot, BSTR* out) noexcept {
    VARIANT* v = nullptr;
    HRESULT hr = Convert(slot, VT_BSTR, &v);
    if (SUCCEEDED(hr)) *out = v->bstrVal;
    return hr;
}

HRESULT DispatchCall::Unconverted(UINT slot, VARIANT* out) noexcept {
    const VARIANT& arg = params_->rgvarg[slot];
    *out = arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal ? *arg.pvarVal : arg;
    return S_OK;
}

void DispatchCall::Store(HRESULT hr, VARIANT& v) noexcept {
    memberCalled_ = true;
    if (SUCCEEDED(hr) && result_) {
        *result_ = v;  // pVarResult was set to VT_EMPTY before the call
    } else {
        VariantClear(&v);  // releases an object, string or array nobody takes
    }
}

HRESULT DispatchCall::Return(HRESULT hr) noexcept {
    memberCalled_ = true;
    return hr;
}

HRESULT DispatchCall::ReturnLong(HRESULT hr, LONG v) noexcept {
    VARIANT r;
    r.vt = VT_I4;
    r.lVal = v;
    Store(hr, r);
    return hr;
}

HRESULT DispatchCall::ReturnDate(HRESULT hr, DATE v) noexcept {
    VARIANT r;
    r.vt = VT_DATE;
    r.date = v;
    Store(hr, r);
    return hr;
}

HRESULT DispatchCall::ReturnString(HRESULT hr, BSTR v) noexcept {
    VARIANT r;
    r.vt = VT_BSTR;
    r.bstrVal = v;
    Store(hr, r);
    return hr;
}

HRESULT DispatchCall::ReturnDispatch(HRESULT hr, IDispatch* v) noexcept {
    VARIANT r;
    r.vt = VT_DISPATCH;
    r.pdispVal = v;
    Store(hr, r);
    return hr;
}

HRESULT DispatchCall::ReturnUnknown(HRESULT hr, IUnknown* v) noexcept {
    VARIANT r;
    r.vt = VT_UNKNOWN;
    r.punkVal = v;
    Store(hr, r);
    return hr;
}

HRESULT DispatchCall::ReturnVariant(HRESULT hr, VARIANT* v) noexcept {
    VARIANT r = *v;
    VariantInit(v);
    Store(hr, r);
    return hr;
}

namespace nametable {
namespace {

bool SameName(const wchar_t* a, const wchar_t* b) noexcept {
    // ASCII letters fold; nothing else does.
    for (;; ++a, ++b) {
        wchar_t x = *a, y = *b;
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y) return false;
        if (x == 0) return true;
    }
}

}  // namespace

HRESULT LoadTypeInfo(REFIID iid, ITypeInfo** out) noexcept {
    // The wide name: a folder the ANSI code page cannot name still holds the library.
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(ThisModule(), path, MAX_PATH);
    if (n == 0 || n == MAX_PATH) return E_FAIL;
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLib(path, lib.put());
    if (FAILED(hr)) return hr;
    return lib->GetTypeInfoOfGuid(iid, out);
}

HRESULT GetTypeInfoCount(REFIID iid, UINT* count) noexcept {
    if (!count) return E_POINTER;
    ComPtr<ITypeInfo> info;
    *count = SUCCEEDED(LoadTypeInfo(iid, info.put())) ? 1 : 0;
    return S_OK;
}

HRESULT GetTypeInfo(REFIID iid, UINT index, ITypeInfo** out) noexcept {
    if (index != 0) return DISP_E_BADINDEX;
    if (!out) return E_POINTER;
    *out = nullptr;
    return LoadTypeInfo(iid, out);
}

HRESULT GetIDsOfNames(const DispName* table, size_t size, LPOLESTR* names, UINT count,
                      DISPID* ids) noexcept {
    if (count > 0 && (!names || !ids)) return E_POINTER;
    for (UINT i = 0; i < count; ++i) {
        const DispName* hit = nullptr;
        for (size_t t = 0; t < size && names[i] && !hit; ++t)
            if (SameName(names[i], table[t].name)) hit = &table[t];
        if (!hit) return DISP_E_UNKNOWNNAME;
        ids[i] = hit->id;
    }
    return S_OK;
}

HRESULT BeginInvoke(DISPPARAMS* params, VARIANT* result, UINT maxArgs, bool checksNamedArgs) noexcept {
    if (!params) return DISP_E_BADVARTYPE;
    if (params->cArgs > maxArgs) return DISP_E_BADPARAMCOUNT;
    if (result) VariantInit(result);
    if (checksNamedArgs && params->cNamedArgs != 0 &&
        !(params->cNamedArgs == 1 && params->rgdispidNamedArgs &&
          params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT))
        return DISP_E_NONAMEDARGS;
    return S_OK;
}

HRESULT MemberFailed(HRESULT hr, EXCEPINFO* excep) noexcept {
    if (!excep) return hr;
    excep->scode = hr;
    excep->pfnDeferredFillIn = nullptr;
    ComPtr<IErrorInfo> error;
    if (GetErrorInfo(0, error.put()) == S_OK && error) {
        error->GetSource(&excep->bstrSource);
        error->GetDescription(&excep->bstrDescription);
        error->GetHelpFile(&excep->bstrHelpFile);
        error->GetHelpContext(&excep->dwHelpContext);
    }
    return DISP_E_EXCEPTION;
}

HRESULT ArgumentsRefused(REFIID iid, DISPID id, WORD flags, const DISPPARAMS* params, HRESULT hr, UINT slot,
                         EXCEPINFO* excep) noexcept {
    if (!excep || !dispatch::RefusesArguments(hr)) return hr;
    ComPtr<ITypeInfo> info;
    if (FAILED(LoadTypeInfo(iid, info.put()))) return hr;
    return dispatch::ArgumentsRefused(info.get(), id, flags, params, hr, slot, excep);
}

}  // namespace nametable
}  // namespace Tamrix
