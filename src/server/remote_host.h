// The body of a helper process that serves a client's isolated plug-ins (remote_host.cpp).
#pragma once

namespace Tamrix {

// Serves until the client lets go or ends; `commandLine` is what rundll32 hands RemoteHostW.
void ServeRemoteHost(const wchar_t* commandLine);

}  // namespace Tamrix
