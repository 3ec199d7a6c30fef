// Words for a late-bound call that Invoke refuses before any member runs: a wrong number of
// arguments, or one of a type the member cannot take. Scripts show only the description of
// an exception, so such a refusal is handed over as one, naming the member and the argument.
#pragma once
#include <windows.h>
#include <oaidl.h>

namespace Tamrix::dispatch {

// Whether hr is Invoke's own refusal of the arguments (DISP_E_BADPARAMCOUNT,
// DISP_E_TYPEMISMATCH, ...).
bool RefusesArguments(HRESULT hr) noexcept;

// The answer of Invoke that refused the arguments of member `id` (described by `info`) with
// hr: with an EXCEPINFO to fill, DISP_E_EXCEPTION, hr as its code, and "Class.Member: ..."
// saying what was wrong; without one, hr. argErr is the argument's slot in rgvarg, or
// UINT_MAX when not known.
HRESULT ArgumentsRefused(ITypeInfo* info, DISPID id, WORD flags, const DISPPARAMS* params, HRESULT hr,
                         UINT argErr, EXCEPINFO* excep) noexcept;

}  // namespace Tamrix::dispatch
