// Self-registration, the exports' work: the application identifier, one registry tree per
// creatable class and the embedded type library, in the server's own registry view and, for
// 64-bit clients of the 32-bit server, in the 64-bit view; for the whole machine
// (HKEY_CLASSES_ROOT) or for the current user alone (HKEY_CURRENT_USER\Software\Classes, no
// administrator needed). Returns an HRESULT, throws nothing.
#pragma once
#include <windows.h>

namespace Tamrix {

enum class Scope { Machine, User };

HRESULT RegisterServer(Scope scope = Scope::Machine) noexcept;
// Removes the registration for the machine and for the current user alike, `scope` telling
// what to go through when neither is there.
HRESULT UnregisterServer(Scope scope = Scope::Machine) noexcept;

// DllInstall's command line: "user", or "machine" (also none), in any case; false for any
// other text.
bool ScopeFromCommandLine(const wchar_t* text, Scope& out) noexcept;

}  // namespace Tamrix
