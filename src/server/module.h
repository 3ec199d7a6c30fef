// The server module: what keeps the library in use, and its process-wide records.
#pragma once
#include <windows.h>
#include <objidl.h>

#include "../common/module_lock.h"
#include "../common/this_module.h"

namespace Tamrix {

class CTamrixModule {
public:
    CTamrixModule() noexcept;
    virtual ~CTamrixModule();
    CTamrixModule(const CTamrixModule&) = delete;
    CTamrixModule& operator=(const CTamrixModule&) = delete;

    // The module lock count, kept at the bottom of the server (module_lock.h) so that every
    // object can take part; interlocked, because class objects and exports are called from
    // any thread.
    virtual LONG Lock() noexcept { return module_lock::Add(); }
    virtual LONG Unlock() noexcept { return module_lock::Remove(); }
    virtual LONG GetLockCount() const noexcept { return module_lock::Count(); }
    // The process's global interface table, made on first request and kept until unload;
    // the caller gets a reference of its own.
    virtual HRESULT GetGITPtr(IGlobalInterfaceTable** ppGIT) noexcept;

    // Runs fn(arg) when the module terminates; the latest addition runs first.
    HRESULT AddTermFunc(void (*fn)(DWORD_PTR), DWORD_PTR arg) noexcept;
    // Runs the termination list and lets go of the global interface table; once.
    void Term() noexcept;

    // Guards the module's static data (termination list, global interface table).
    CRITICAL_SECTION& StaticDataLock() noexcept { return staticDataLock_; }
    // True when a lock of the module's records could not be made: the load is refused.
    static bool InitFailed() noexcept;
    static void SetInitFailed() noexcept;

    // The library's own instance handle, which finds its resources.
    HMODULE Instance() const noexcept { return ThisModule(); }

    static const GUID& TypeLibId() noexcept;

private:
    struct TermNode {
        void (*fn)(DWORD_PTR);
        DWORD_PTR arg;
        TermNode* next;
    };

    CRITICAL_SECTION staticDataLock_;
    bool lockMade_ = false;
    TermNode* termList_ = nullptr;
    IGlobalInterfaceTable* git_ = nullptr;
};

// The one module object of the process, built on first use (the library's start-up asks
// for it before DllMain runs).
CTamrixModule& Module() noexcept;

}  // namespace Tamrix
