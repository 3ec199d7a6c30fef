// Self-registration, the exports' work: the application identifier, one registry tree per
// creatable class and the embedded type library, in the server's own registry view and, for
// 64-bit clients of the 32-bit server, in the 64-bit view. Returns an HRESULT, throws nothing.
#pragma once
#include <windows.h>

namespace Tamrix {

HRESULT RegisterServer() noexcept;
HRESULT UnregisterServer() noexcept;

}  // namespace Tamrix
