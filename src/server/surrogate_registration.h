// Registration for 64-bit clients of the 32-bit server. A 64-bit process cannot load a
// 32-bit library; on a 64-bit system COM runs the server for it in a 32-bit DLL surrogate
// (dllhost.exe) and marshals every call. What COM reads for that lies in the 64-bit view of
// the registry: the AppID with an empty "DllSurrogate" value, the ProgIDs, each class key
// (with its AppID, without an in-process server) and, for the type-library marshaler, each
// dual interface's key. The type library's own key is shared by both views.
#pragma once
#include <windows.h>

namespace Tamrix {

// True for a 32-bit process on a 64-bit system: only there is any of this written.
bool OnWow64() noexcept;

// True when a 64-bit in-process server of the class (registry form of its CLSID) is
// registered in the 64-bit view: that registration, not ours, then owns the class key.
bool NativeServerRegistered(const char* clsid) noexcept;

// Writes (reg true) or removes the 64-bit view's class and interface entries. Removal runs
// after the 32-bit class trees and the type library went, and keeps what a registered
// 64-bit server still needs (its ProgIDs and interface keys, which are written again).
HRESULT UpdateSurrogateRegistration(bool reg) noexcept;

// Writes or removes the AppID with its "DllSurrogate" value, in both views; removal runs
// last, with the rest of the application identifier.
HRESULT UpdateSurrogateAppId(bool reg) noexcept;

}  // namespace Tamrix
