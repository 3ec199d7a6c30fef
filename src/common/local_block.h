// A local-memory block that a plug-in handed back, locked once for its whole life and
// freed once when its last owner lets go. Several owners share one block where a plug-in
// hands back the same block twice, or where many objects read one record array.
#pragma once
#include <windows.h>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "handles.h"

namespace Tamrix {

class LocalBlock {
public:
    // Takes `block` over and locks it; a null block, or one that cannot be locked, has no
    // address.
    explicit LocalBlock(UniqueHlocal block) noexcept
        : handle_(std::move(block)), address_(handle_ ? LocalLock(handle_.get()) : nullptr) {}
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    // Freed as it is, still locked: the handle goes with its lock.
    ~LocalBlock() = default;

    HLOCAL Handle() const noexcept { return handle_.get(); }
    void* Address() const noexcept { return address_; }
    // What the local heap reports, which may be more than the plug-in asked for.
    SIZE_T Size() const noexcept { return handle_ ? LocalSize(handle_.get()) : 0; }

private:
    UniqueHlocal handle_;
    void* address_;
};

using SharedLocalBlock = std::shared_ptr<const LocalBlock>;

// A shared owner of `block` in `out` (a null owner for a null block). E_OUTOFMEMORY when
// the owner cannot be made; the block is then freed.
inline HRESULT ShareLocalBlock(UniqueHlocal block, SharedLocalBlock& out) noexcept {
    out.reset();
    if (!block) return S_OK;
    try {
        out = std::make_shared<const LocalBlock>(std::move(block));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;  // `block` is freed on the way out
    }
}

// A new movable block of this process holding a copy of `bytes`, shared from the start.
// E_OUTOFMEMORY when it cannot be had.
inline HRESULT NewLocalBlock(std::span<const BYTE> bytes, SharedLocalBlock& out) noexcept {
    out.reset();
    UniqueHlocal block(LocalAlloc(LMEM_MOVEABLE, bytes.size()));
    if (!block) return E_OUTOFMEMORY;
    if (!bytes.empty()) {
        void* address = LocalLock(block.get());
        if (!address) return E_OUTOFMEMORY;
        std::memcpy(address, bytes.data(), bytes.size());
        LocalUnlock(block.get());
    }
    return ShareLocalBlock(std::move(block), out);
}

}  // namespace Tamrix
