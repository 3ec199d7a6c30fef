// IDispatch served by the registered type library, and IProvideClassInfo from it.
// The library is found through its registration (LIBID, version 1.0). Each interface or
// class has one slot, filled once on first use and kept until the server unloads; what
// Invoke needs to know about a member is worked out when the slot is filled, not per call.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include "../common/boundary.h"

namespace Tamrix {

namespace typelib {

// One slot per type description the server serves from the registered library.
enum Tid : int {
    TID_SUSIE_PLUGIN,          // interface ISusiePlugin2 (ISusiePlugin's members too)
    TID_FILE_INFO_COLLECTION,  // interface ISpiFileInfoCollection2 (ISpiFileInfoCollection's members too)
    TID_SUSIE_PLUGIN_CLASS,    // coclass SusiePlugin
    TID_TAMRIX_HOST_CLASS,     // coclass TamrixHost
    TID_COUNT
};

// The slot's type information, with a reference for the caller. HRESULTs; std::bad_alloc
// passes through.
HRESULT GetInfo(Tid tid, LCID lcid, ITypeInfo** out);
HRESULT GetIDsOfNames(Tid tid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
HRESULT Invoke(Tid tid, void* instance, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
               VARIANT* result, EXCEPINFO* excep, UINT* argErr);
// Lets go of every slot; the server calls it once when it unloads.
void ReleaseCache() noexcept;

}  // namespace typelib

template <class I, typelib::Tid T>
class TypeLibDispatch : public I {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        return Barrier([&] {
            if (!count) return E_POINTER;
            *count = 1;
            return S_OK;
        });
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID lcid, ITypeInfo** info) override {
        return Barrier([&] { return typelib::GetInfo(T, lcid, info); });
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
        return Barrier([&] { return typelib::GetIDsOfNames(T, names, count, lcid, ids); });
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override {
        return Barrier(
            [&] { return typelib::Invoke(T, static_cast<I*>(this), id, lcid, flags, params, result, excep, argErr); });
    }
};

// IProvideClassInfo answering the coclass description of slot T.
template <typelib::Tid T>
class ProvideClassInfo : public IProvideClassInfo {
public:
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override {
        return Barrier([&] { return typelib::GetInfo(T, LOCALE_SYSTEM_DEFAULT, info); });
    }
};

}  // namespace Tamrix
