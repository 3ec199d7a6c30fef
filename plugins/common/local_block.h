// Blocks of the system's local heap, the only memory the plug-in API hands to a host.
// One owner until the block is given away.
#pragma once
#include <windows.h>

#include <cstddef>

namespace spi {

class LocalBlock {
public:
    LocalBlock() = default;
    // A movable block, as hosts expect; zero-filled when asked. Null when it cannot be had.
    static LocalBlock Alloc(size_t size, bool zero = false) {
        LocalBlock b;
        b.h_ = LocalAlloc(LMEM_MOVEABLE | (zero ? LMEM_ZEROINIT : 0), size ? size : 1);
        return b;
    }
    ~LocalBlock() {
        if (h_) LocalFree(h_);
    }
    LocalBlock(LocalBlock&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    LocalBlock& operator=(LocalBlock&& o) noexcept {
        if (this != &o) {
            if (h_) LocalFree(h_);
            h_ = o.h_;
            o.h_ = nullptr;
        }
        return *this;
    }
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;

    explicit operator bool() const { return h_ != nullptr; }
    HLOCAL Release() {
        HLOCAL h = h_;
        h_ = nullptr;
        return h;
    }

private:
    HLOCAL h_ = nullptr;
    friend class LocalLockGuard;
};

// The address of a locked block for as long as the guard lives.
class LocalLockGuard {
public:
    explicit LocalLockGuard(LocalBlock& b) : LocalLockGuard(b.h_) {}
    // A block someone else owns (a host's), fixed or movable.
    explicit LocalLockGuard(HLOCAL h) : h_(h), p_(h ? LocalLock(h) : nullptr) {}
    ~LocalLockGuard() {
        if (p_) LocalUnlock(h_);
    }
    LocalLockGuard(const LocalLockGuard&) = delete;
    LocalLockGuard& operator=(const LocalLockGuard&) = delete;
    void* get() const { return p_; }

private:
    HLOCAL h_;
    void* p_;
};

}  // namespace spi
