// Registration for 64-bit clients of the 32-bit server, from either server. A 64-bit process cannot load a
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

// After the 32-bit server's removal: writes the AppID again, without "DllSurrogate", when
// the 64-bit server (Tamrix64.dll) is registered, whose class keys name it too.
HRESULT KeepNativeAppId() noexcept;

// In the 64-bit server (Tamrix64.dll): true when the 32-bit server of the same classes is
// registered (its class key in the 32-bit view names an in-process server). False in the
// 32-bit server.
bool Wow64ServerRegistered() noexcept;

// In the 64-bit server, after its own removal: writes again what the registered 32-bit
// server's registration keeps in the 64-bit view for 64-bit clients, which the removal took
// (the ProgIDs both views share, each class key without an in-process server, the interface
// keys, the AppID with its "DllSurrogate" value). The 64-bit server's plug-in objects for
// 32-bit plug-ins come through these entries too.
HRESULT RestoreSurrogateRegistration() noexcept;

}  // namespace Tamrix
