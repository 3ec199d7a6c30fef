// The library's exports, the COM runtime's way in.
#include <windows.h>
#include <objbase.h>

#include "module.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        if (tamrix::CTamrixModule::InitFailed()) return FALSE;
        tamrix::Module().SetInstance(instance);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() {
    return tamrix::Module().GetLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllRegisterServer() {
    return E_NOTIMPL;
}

STDAPI DllUnregisterServer() {
    return E_NOTIMPL;
}

}  // extern "C"
