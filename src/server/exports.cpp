// The library's exports, the COM runtime's way in.
#include <windows.h>
#include <objbase.h>

#include "../common/boundary.h"
#include "../plugin/module_retention.h"
#include "class_table.h"
#include "module.h"
#include "registration.h"
#include "remote_host.h"

namespace {

// The process-wide records: built by the library's start-up before DllMain sees the
// attach, torn down after the detach. Building the module here makes it outlive this
// object, so the teardown still finds it.
struct ServerRecords {
    ServerRecords() noexcept {
        Tamrix::Module();
        Tamrix::InitClassTable();
    }
    ~ServerRecords() { Tamrix::TermClassTable(); }
    ServerRecords(const ServerRecords&) = delete;
    ServerRecords& operator=(const ServerRecords&) = delete;
} g_records;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    return reason == DLL_PROCESS_ATTACH && Tamrix::CTamrixModule::InitFailed() ? FALSE : TRUE;
}

STDAPI DllCanUnloadNow() {
    return Tamrix::Barrier([] {
        if (Tamrix::Module().GetLockCount() != 0) return S_FALSE;
        // No plug-in module stays mapped for us, nor any timer of ours set, once we may go.
        SPI::DropWarmModules(nullptr);
        return Tamrix::Module().GetLockCount() == 0 ? S_OK : S_FALSE;
    });
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    return Tamrix::Barrier([&] { return Tamrix::GetClassObject(rclsid, riid, ppv); });
}

STDAPI DllRegisterServer() {
    return Tamrix::Barrier([] { return Tamrix::RegisterServer(); });
}

STDAPI DllUnregisterServer() {
    return Tamrix::Barrier([] { return Tamrix::UnregisterServer(); });
}

// regsvr32 /n /i:user: the registration for the current user alone (/u to remove it);
// "/i:machine", or /i with no text, registers for the machine as DllRegisterServer does.
STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
    return Tamrix::Barrier([&] {
        Tamrix::Scope scope;
        if (!Tamrix::ScopeFromCommandLine(commandLine, scope)) return E_INVALIDARG;
        return install ? Tamrix::RegisterServer(scope) : Tamrix::UnregisterServer(scope);
    });
}

// rundll32's way into a helper process (remote_host.h).
void CALLBACK RemoteHostW(HWND, HINSTANCE, LPWSTR commandLine, int) {
    Tamrix::ServeRemoteHost(commandLine);
    // The process is ours: it ends here, whatever rundll32 would do next.
    ExitProcess(0);
}

}  // extern "C"
