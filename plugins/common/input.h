// Where a plug-in call's data lives: a region of a file (from a byte offset to the end) or
// of the caller's memory. Every read is clipped to the region, so hostile lengths and
// offsets inside the data can never make a plug-in read outside what it was given.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace spi {

class Input {
public:
    Input() = default;
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // From an entry point's (buf, len, flag): a narrow or wide file name with the offset of
    // the data, or the address and length of the data. Returns a result code.
    int Open(LPCSTR buf, LONG_PTR len, unsigned flag);
    int Open(LPCWSTR buf, LONG_PTR len, unsigned flag);
    int OpenMemory(const void* data, size_t size);

    bool IsMemory() const { return mem_ != nullptr || file_ == INVALID_HANDLE_VALUE; }
    uint64_t Size() const { return size_; }
    // Where the region starts in its file (0 for memory): archive listings report
    // positions in the file, which GetFile is given back.
    uint64_t Origin() const { return origin_; }
    // For a file: makes the region start at `offset` of the same file instead.
    bool Rebase(uint64_t offset);

    // Copies up to n bytes from region offset pos; returns how many it copied.
    size_t ReadAt(uint64_t pos, void* dst, size_t n);
    bool ReadExact(uint64_t pos, void* dst, size_t n) { return ReadAt(pos, dst, n) == n; }

private:
    int OpenHandle(HANDLE file, LONG_PTR offset);

    HANDLE file_ = INVALID_HANDLE_VALUE;
    uint64_t fileSize_ = 0;
    const uint8_t* mem_ = nullptr;
    uint64_t origin_ = 0;
    uint64_t size_ = 0;
};

// Sequential reading of an Input through a buffer, as decoders and archive walkers read.
class Reader {
public:
    explicit Reader(Input& in, uint64_t start = 0) : in_(in), pos_(start) {}
    size_t Read(void* dst, size_t n);
    void Seek(uint64_t pos) { pos_ = pos < in_.Size() ? pos : in_.Size(); }
    void Skip(uint64_t n) { Seek(n > in_.Size() - pos_ ? in_.Size() : pos_ + n); }
    uint64_t Pos() const { return pos_; }
    uint64_t Size() const { return in_.Size(); }
    bool AtEnd() const { return pos_ >= in_.Size(); }

private:
    Input& in_;
    uint64_t pos_;
    std::vector<uint8_t> buf_;
    uint64_t bufStart_ = 0;
    size_t bufLen_ = 0;
};

// IsSupported's second argument: the address of the file's first bytes (2 KB), or, when
// below 0x10000 (all its bits above the low 16 clear, at either width), a handle of the
// open file to read them from (the handle's position is put back). Fills `out` and returns how many bytes are there.
size_t FetchHeader(const void* dw, uint8_t (&out)[2048]);

}  // namespace spi
