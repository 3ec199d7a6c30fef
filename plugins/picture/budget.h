// Memory for the decoder and the encoder, counted against a budget set for each call: a
// hostile header or stream can make the decoder ask for more, and is then refused (result 4)
// instead of exhausting the process. Blocks still held when the budget's scope ends (an
// encoder stopped by a failed allocation does not free its own) are freed then.
#pragma once
#include <cstddef>
#include <cstdint>

namespace picture {

// Blocks are zero-filled: a decoder reading what it never wrote reads zeros.
void* BudgetMalloc(size_t size);
void* BudgetAllocate(size_t size, bool zero);  // BudgetMalloc's, with the choice
void* BudgetRealloc(void* p, size_t size);
void BudgetFree(void* p);

// What a call may hold at once besides the picture's own bitmap: enough for the largest
// buffers stb_image makes (a 16-bit RGBA PNG needs its inflated stream, the 16-bit picture
// and the 8-bit one side by side), and for stb_image_write's filtered rows and growing
// compressed stream.
inline size_t PictureBudget(uint64_t pixels) { return static_cast<size_t>((16u << 20) + pixels * 24); }

// The budget in force on this thread while the scope lives.
class BudgetScope {
public:
    explicit BudgetScope(size_t limit);
    ~BudgetScope();
    BudgetScope(const BudgetScope&) = delete;
    BudgetScope& operator=(const BudgetScope&) = delete;
    bool Exceeded() const { return exceeded_; }

    struct Block;

private:
    friend void* BudgetAllocate(size_t, bool);
    friend void BudgetFree(void*);
    size_t limit_;
    size_t used_ = 0;
    bool exceeded_ = false;
    Block* live_ = nullptr;  // blocks taken in this scope and not yet freed
    BudgetScope* outer_;
};

}  // namespace picture
