#include "module.h"

#include "../common/module_lock.h"

namespace tamrix {
namespace {
bool g_initFailed = false;
}

CTamrixModule::CTamrixModule() noexcept {
    if (!InitializeCriticalSectionAndSpinCount(&staticDataLock_, 0)) g_initFailed = true;
}

CTamrixModule::~CTamrixModule() {
    DeleteCriticalSection(&staticDataLock_);
}

bool CTamrixModule::InitFailed() noexcept {
    return g_initFailed;
}

namespace {
// Built with the library's static records, before DllMain sees the attach.
CTamrixModule g_module;
}  // namespace

CTamrixModule& Module() noexcept {
    return g_module;
}

namespace module_lock {
LONG Add() noexcept {
    return Module().Lock();
}
LONG Remove() noexcept {
    return Module().Unlock();
}
LONG Count() noexcept {
    return Module().GetLockCount();
}
}  // namespace module_lock

}  // namespace tamrix
