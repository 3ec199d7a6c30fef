// Memory for the decoder, counted against a budget set for each decoding: a hostile
// header or stream can make it ask for more, and is then refused (result 4) instead of
// exhausting the process.
#pragma once
#include <cstddef>

namespace picture {

void* BudgetMalloc(size_t size);
void* BudgetRealloc(void* p, size_t size);
void BudgetFree(void* p);

// The budget in force on this thread while the scope lives.
class BudgetScope {
public:
    explicit BudgetScope(size_t limit);
    ~BudgetScope();
    BudgetScope(const BudgetScope&) = delete;
    BudgetScope& operator=(const BudgetScope&) = delete;
    bool Exceeded() const { return exceeded_; }

private:
    friend void* BudgetMalloc(size_t);
    friend void* BudgetRealloc(void*, size_t);
    friend void BudgetFree(void*);
    size_t limit_;
    size_t used_ = 0;
    bool exceeded_ = false;
    BudgetScope* outer_;
};

}  // namespace picture
