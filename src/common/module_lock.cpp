#include "module_lock.h"

namespace Tamrix::module_lock {
namespace {
// One per process; changed only by interlocked operations, since exports and class objects
// are called from any thread.
volatile LONG g_count = 0;
}  // namespace

LONG Add() noexcept {
    return InterlockedIncrement(&g_count);
}

LONG Remove() noexcept {
    return InterlockedDecrement(&g_count);
}

LONG Count() noexcept {
    return InterlockedCompareExchange(&g_count, 0, 0);
}

}  // namespace Tamrix::module_lock
