// Whether the server runs in a DLL surrogate: a process that COM started (dllhost.exe) to
// host the server for clients of other processes, such as 64-bit clients of the 32-bit
// server. There an address that a member hands out or takes (a block's Buffer, an integer
// source) names memory of the surrogate, never of the client, so those members refuse it.
#pragma once
#include <windows.h>

namespace Tamrix {

// "Attempt to access invalid address" (HRESULT_FROM_WIN32(ERROR_INVALID_ADDRESS)): the
// answer of a member that would hand an address across processes.
inline constexpr HRESULT E_ADDRESS_ACROSS_PROCESSES = static_cast<HRESULT>(0x800701E7);

// True for the command line of a surrogate started for this server: "/Processid:" followed
// by the server's AppID (as Windows starts it) or one of its creatable classes (as Wine
// does), letters in any case.
bool IsSurrogateCommandLine(const wchar_t* commandLine) noexcept;

// True when this process is such a surrogate (read once from the process's command line), or
// a helper process that a client of ours started to serve its plug-ins (MarkRemoteHost).
bool InSurrogate() noexcept;
void MarkRemoteHost() noexcept;

}  // namespace Tamrix
