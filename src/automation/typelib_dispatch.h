// IDispatch served by the registered type library, and IProvideClassInfo from it.
// The library is found through its registration (LIBID, version 1.0); each interface's
// type information is loaded once, on first use, and kept until the module unloads.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

namespace tamrix {

namespace typelib {
// Type information of an interface or coclass of the registered library, with a
// reference for the caller. Cached per GUID.
HRESULT GetInfo(REFGUID guid, LCID lcid, ITypeInfo** out) noexcept;
HRESULT GetIDsOfNames(REFGUID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) noexcept;
HRESULT Invoke(REFGUID iid, void* instance, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
               VARIANT* result, EXCEPINFO* excep, UINT* argErr) noexcept;
// Releases every cached type information; run once when the module terminates.
void ReleaseCache() noexcept;
}  // namespace typelib

template <class I>
class TypeLibDispatch : public I {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID lcid, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        return typelib::GetInfo(__uuidof(I), lcid, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
        return typelib::GetIDsOfNames(__uuidof(I), names, count, lcid, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override {
        return typelib::Invoke(__uuidof(I), static_cast<I*>(this), id, lcid, flags, params, result,
                               excep, argErr);
    }
};

// IProvideClassInfo answering the coclass description of *Clsid.
template <const CLSID* Clsid>
class ProvideClassInfo : public IProvideClassInfo {
public:
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        return typelib::GetInfo(*Clsid, LOCALE_SYSTEM_DEFAULT, info);
    }
};

}  // namespace tamrix
