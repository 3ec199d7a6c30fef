// The server module: what keeps the library in use, and its process-wide records.
#pragma once
#include <windows.h>

namespace tamrix {

class CTamrixModule {
public:
    CTamrixModule() noexcept;
    virtual ~CTamrixModule();

    virtual LONG Lock() noexcept { return InterlockedIncrement(&lockCount_); }
    virtual LONG Unlock() noexcept { return InterlockedDecrement(&lockCount_); }
    virtual LONG GetLockCount() const noexcept { return lockCount_; }

    // Guards the module's static data (cached type information, termination list).
    CRITICAL_SECTION& StaticDataLock() noexcept { return staticDataLock_; }
    // True when a lock of the module's records could not be made: the load is refused.
    static bool InitFailed() noexcept;

    HMODULE Instance() const noexcept { return instance_; }
    void SetInstance(HMODULE instance) noexcept { instance_ = instance; }

private:
    volatile LONG lockCount_ = 0;
    CRITICAL_SECTION staticDataLock_;
    HMODULE instance_ = nullptr;
};

// The one module object of the process.
CTamrixModule& Module() noexcept;

}  // namespace tamrix
