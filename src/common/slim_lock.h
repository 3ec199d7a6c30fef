// A slim reader/writer lock held exclusively for a scope. A slim lock needs no making
// (SRWLOCK_INIT), so a static one adds nothing that could fail at load.
#pragma once
#include <windows.h>

namespace Tamrix {

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace Tamrix
