// The server module: what keeps the library in use, and its process-wide records.
#pragma once
#include <windows.h>
#include <objidl.h>

namespace tamrix {

class Replacements;

class CTamrixModule {
public:
    CTamrixModule() noexcept;
    virtual ~CTamrixModule();
    CTamrixModule(const CTamrixModule&) = delete;
    CTamrixModule& operator=(const CTamrixModule&) = delete;

    // The module lock count: interlocked, because class objects and exports are called
    // from any thread.
    virtual LONG Lock() noexcept { return InterlockedIncrement(&lockCount_); }
    virtual LONG Unlock() noexcept { return InterlockedDecrement(&lockCount_); }
    virtual LONG GetLockCount() const noexcept { return lockCount_; }
    // The process's global interface table, made on first request and kept until unload;
    // the caller gets a reference of its own.
    virtual HRESULT GetGITPtr(IGlobalInterfaceTable** ppGIT) noexcept;
    // The replacements every registration script may use ("APPID").
    virtual HRESULT AddCommonRGSReplacements(Replacements& r) noexcept;

    // Runs fn(arg) when the module terminates; the latest addition runs first.
    HRESULT AddTermFunc(void (*fn)(DWORD_PTR), DWORD_PTR arg) noexcept;
    // Runs the termination list and lets go of the global interface table; once.
    void Term() noexcept;

    // Guards the module's static data (cached type information, termination list).
    CRITICAL_SECTION& StaticDataLock() noexcept { return staticDataLock_; }
    // True when a lock of the module's records could not be made: the load is refused.
    static bool InitFailed() noexcept;
    static void SetInitFailed() noexcept;

    HMODULE Instance() const noexcept { return instance_; }
    void SetInstance(HMODULE instance) noexcept { instance_ = instance; }

    static const GUID& TypeLibId() noexcept;
    static const char* AppIdText() noexcept;

private:
    struct TermNode {
        void (*fn)(DWORD_PTR);
        DWORD_PTR arg;
        TermNode* next;
    };

    volatile LONG lockCount_ = 0;
    CRITICAL_SECTION staticDataLock_;
    bool lockMade_ = false;
    HMODULE instance_ = nullptr;
    TermNode* termList_ = nullptr;
    IGlobalInterfaceTable* git_ = nullptr;
};

// The one module object of the process, built on first use (the library's start-up asks
// for it before DllMain runs).
CTamrixModule& Module() noexcept;

}  // namespace tamrix
