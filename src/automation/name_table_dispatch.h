// IDispatch served by a fixed table of names and a switch over DISPIDs: no type library is
// consulted to dispatch. The library is loaded from the server's own file, afresh, only to
// answer GetTypeInfoCount and GetTypeInfo.
//
//   class Foo : public Tamrix::NameTableDispatch<Foo, IFoo> {
//   public:
//       static constexpr Tamrix::DispName NAMES[] = {{L"Bar", 1}, {L"get_Bar", 1}};
//       static constexpr UINT MAX_ARGS = 1;
//       static constexpr bool CHECKS_NAMED_ARGS = false;
//       HRESULT InvokeMember(DISPID id, Tamrix::DispatchCall& call);
//   };
//
// InvokeMember checks the count (call.Expect), converts arguments (call.Long, call.String,
// call.Unconverted) and hands the member's outcome to one of call's Return functions; an
// unknown DISPID answers DISP_E_MEMBERNOTFOUND.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <iterator>

#include "../common/automation_types.h"
#include "../common/boundary.h"

namespace Tamrix {

struct DispName {
    const wchar_t* name;
    DISPID id;
};

// One Invoke call's arguments, conversions and result.
class DispatchCall {
public:
    DispatchCall(DISPPARAMS* params, VARIANT* result, UINT* argErr) noexcept
        : params_(params), result_(result), argErr_(argErr) {}

    // DISP_E_BADPARAMCOUNT unless exactly n arguments came.
    HRESULT Expect(UINT n) const noexcept { return params_->cArgs == n ? S_OK : DISP_E_BADPARAMCOUNT; }
    // rgvarg[slot] as a 32-bit integer / string; DISP_E_TYPEMISMATCH (and *puArgErr) if it
    // cannot be converted. A converted string lives until the call ends.
    HRESULT Long(UINT slot, LONG* out) noexcept;
    HRESULT String(UINT slot, BSTR* out) noexcept;
    // rgvarg[slot] by value, one by-reference VARIANT looked through; nothing is copied.
    HRESULT Unconverted(UINT slot, VARIANT* out) noexcept;

    // The member's outcome. On success the value goes to pVarResult (ownership passes),
    // or is released when the caller wants no result; on failure nothing is stored.
    HRESULT Return(HRESULT hr) noexcept;
    HRESULT ReturnLong(HRESULT hr, LONG v) noexcept;
    HRESULT ReturnDate(HRESULT hr, DATE v) noexcept;
    HRESULT ReturnString(HRESULT hr, BSTR v) noexcept;
    HRESULT ReturnDispatch(HRESULT hr, IDispatch* v) noexcept;
    HRESULT ReturnUnknown(HRESULT hr, IUnknown* v) noexcept;
    HRESULT ReturnVariant(HRESULT hr, VARIANT* v) noexcept;  // takes the value out of *v

    bool MemberCalled() const noexcept { return memberCalled_; }
    // The slot of the argument that did not convert; UINT_MAX when none failed.
    UINT FailedSlot() const noexcept { return failedSlot_; }

private:
    HRESULT Convert(UINT slot, VARTYPE vt, VARIANT** out) noexcept;
    void Store(HRESULT hr, VARIANT& v) noexcept;

    DISPPARAMS* params_;
    VARIANT* result_;
    UINT* argErr_;
    Variant temps_[3];
    UINT usedTemps_ = 0;
    UINT failedSlot_ = UINT_MAX;
    bool memberCalled_ = false;
};

namespace nametable {
HRESULT LoadTypeInfo(REFIID iid, ITypeInfo** out) noexcept;
HRESULT GetTypeInfoCount(REFIID iid, UINT* count) noexcept;
HRESULT GetTypeInfo(REFIID iid, UINT index, ITypeInfo** out) noexcept;
HRESULT GetIDsOfNames(const DispName* table, size_t size, LPOLESTR* names, UINT count,
                      DISPID* ids) noexcept;
// Checks common to every class before the member's row is looked at.
HRESULT BeginInvoke(DISPPARAMS* params, VARIANT* result, UINT maxArgs, bool checksNamedArgs) noexcept;
// The answer of Invoke for a member that failed with hr: with an EXCEPINFO to fill,
// DISP_E_EXCEPTION and the member's code and description in it (from the thread's error
// object), which is where clients look for them; without one, hr.
HRESULT MemberFailed(HRESULT hr, EXCEPINFO* excep) noexcept;
// The same for arguments refused before the member ran (dispatch_words.h), described by
// the interface iid of the server's type library.
HRESULT ArgumentsRefused(REFIID iid, DISPID id, WORD flags, const DISPPARAMS* params, HRESULT hr, UINT slot,
                         EXCEPINFO* excep) noexcept;
}  // namespace nametable

template <class Derived, class I>
class NameTableDispatch : public I {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        return Barrier([&] { return nametable::GetTypeInfoCount(__uuidof(I), count); });
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        return Barrier([&] { return nametable::GetTypeInfo(__uuidof(I), index, info); });
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return Barrier(
            [&] { return nametable::GetIDsOfNames(Derived::NAMES, std::size(Derived::NAMES), names, count, ids); });
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override {
        return Barrier([&] {
            HRESULT hr = nametable::BeginInvoke(params, result, Derived::MAX_ARGS, Derived::CHECKS_NAMED_ARGS);
            if (FAILED(hr)) return nametable::ArgumentsRefused(__uuidof(I), id, flags, params, hr, UINT_MAX, excep);
            DispatchCall call(params, result, argErr);
            hr = static_cast<Derived*>(this)->InvokeMember(id, call);
            if (FAILED(hr) && call.MemberCalled()) return nametable::MemberFailed(hr, excep);
            return FAILED(hr) ? nametable::ArgumentsRefused(__uuidof(I), id, flags, params, hr, call.FailedSlot(), excep)
                              : hr;
        });
    }
};

}  // namespace Tamrix
