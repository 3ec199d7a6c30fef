// The decoder's counted allocator.
#include "budget.h"

#include <cstdlib>
#include <cstring>

namespace picture {

namespace {

thread_local BudgetScope* t_scope = nullptr;

// Each block carries its size in front, kept at the C library's alignment.
const size_t PREFIX = 16;
const size_t NO_SCOPE_LIMIT = 64u << 20;

size_t SizeOf(void* p) {
    size_t n;
    std::memcpy(&n, static_cast<char*>(p) - PREFIX, sizeof n);
    return n;
}

}  // namespace

BudgetScope::BudgetScope(size_t limit) : limit_(limit), outer_(t_scope) { t_scope = this; }

BudgetScope::~BudgetScope() { t_scope = outer_; }

void* BudgetMalloc(size_t size) {
    BudgetScope* s = t_scope;
    size_t limit = s ? s->limit_ : NO_SCOPE_LIMIT;
    size_t used = s ? s->used_ : 0;
    if (size > limit - used || size > SIZE_MAX - PREFIX) {
        if (s) s->exceeded_ = true;
        return nullptr;
    }
    char* raw = static_cast<char*>(std::malloc(size + PREFIX));
    if (!raw) {
        if (s) s->exceeded_ = true;
        return nullptr;
    }
    std::memcpy(raw, &size, sizeof size);
    if (s) s->used_ += size;
    return raw + PREFIX;
}

void BudgetFree(void* p) {
    if (!p) return;
    size_t size = SizeOf(p);
    if (BudgetScope* s = t_scope) s->used_ -= size < s->used_ ? size : s->used_;
    std::free(static_cast<char*>(p) - PREFIX);
}

void* BudgetRealloc(void* p, size_t size) {
    if (!p) return BudgetMalloc(size);
    size_t old = SizeOf(p);
    void* q = BudgetMalloc(size);
    if (!q) return nullptr;
    std::memcpy(q, p, old < size ? old : size);
    BudgetFree(p);
    return q;
}

}  // namespace picture
