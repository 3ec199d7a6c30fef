// The counted allocator.
#include "budget.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace picture {

// In front of every block: its size and its place in its scope's list, padded to keep the
// C library's alignment.
struct BudgetScope::Block {
    size_t size;
    BudgetScope* scope;
    Block* prev;
    Block* next;
};

namespace {

thread_local BudgetScope* t_scope = nullptr;

const size_t PREFIX = 32;
static_assert(sizeof(BudgetScope::Block) <= PREFIX);
const size_t NO_SCOPE_LIMIT = 64u << 20;

BudgetScope::Block* HeadOf(void* p) { return reinterpret_cast<BudgetScope::Block*>(static_cast<char*>(p) - PREFIX); }

// Every block the decoders get starts zero-filled, so that what a decoder reads of a block
// it never wrote, on hostile data, is never what an earlier call left there. Large blocks
// (a picture's rows, its inflated stream) come straight from the system's virtual memory,
// whose fresh pages are zero already: they cost no clearing (the C library's heap takes
// blocks that large from there too, so they cost no more than before either). Which kind a
// block is follows from its size alone.
#ifdef TAMRIX_PICTURE_UNSCREENED
const bool ZERO_FILL = false;
#else
const bool ZERO_FILL = true;
#endif
const size_t LARGE = 1u << 20;

bool IsLarge(size_t size) { return ZERO_FILL && size >= LARGE; }

void* RawAlloc(size_t size, bool zero) {
    size_t total = size + PREFIX;
    if (IsLarge(size)) return VirtualAlloc(nullptr, total, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return zero ? std::calloc(1, total) : std::malloc(total);
}

void RawFree(BudgetScope::Block* b) {
    if (IsLarge(b->size))
        VirtualFree(b, 0, MEM_RELEASE);
    else
        std::free(b);
}

}  // namespace

BudgetScope::BudgetScope(size_t limit) : limit_(limit), outer_(t_scope) { t_scope = this; }

BudgetScope::~BudgetScope() {
    while (live_) {
        Block* b = live_;
        live_ = b->next;
        RawFree(b);
    }
    t_scope = outer_;
}

void* BudgetAllocate(size_t size, bool zero) {
    BudgetScope* s = t_scope;
    size_t limit = s ? s->limit_ : NO_SCOPE_LIMIT;
    size_t used = s ? s->used_ : 0;
    if (size > limit - used || size > SIZE_MAX - PREFIX) {
        if (s) s->exceeded_ = true;
        return nullptr;
    }
    auto* b = static_cast<BudgetScope::Block*>(RawAlloc(size, zero));
    if (!b) {
        if (s) s->exceeded_ = true;
        return nullptr;
    }
    *b = {size, s, nullptr, s ? s->live_ : nullptr};
    if (s) {
        if (s->live_) s->live_->prev = b;
        s->live_ = b;
        s->used_ += size;
    }
    return reinterpret_cast<char*>(b) + PREFIX;
}

void* BudgetMalloc(size_t size) { return BudgetAllocate(size, ZERO_FILL); }

void BudgetFree(void* p) {
    if (!p) return;
    BudgetScope::Block* b = HeadOf(p);
    if (BudgetScope* s = b->scope) {
        (b->prev ? b->prev->next : s->live_) = b->next;
        if (b->next) b->next->prev = b->prev;
        s->used_ -= b->size;
    }
    RawFree(b);
}

void* BudgetRealloc(void* p, size_t size) {
    if (!p) return BudgetMalloc(size);
    size_t old = HeadOf(p)->size;
    auto* q = static_cast<char*>(BudgetAllocate(size, false));
    if (!q) return nullptr;
    std::memcpy(q, p, old < size ? old : size);
    if (ZERO_FILL && size > old && !IsLarge(size)) std::memset(q + old, 0, size - old);
    BudgetFree(p);
    return q;
}

}  // namespace picture
