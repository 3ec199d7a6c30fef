// The byte stream a TAR is read from: the input itself, or the input inflated by gzip.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "input.h"

namespace archive {

class Stream {
public:
    virtual ~Stream() = default;
    // Up to n bytes; fewer only at the end of the stream or on an error (see Error).
    virtual size_t Read(void* dst, size_t n) = 0;
    // False when the stream ends (or fails) first.
    virtual bool Skip(uint64_t n) = 0;
    virtual uint64_t Pos() const = 0;
    // 0, or the result code of what went wrong (broken data, too long a stream).
    virtual int Error() const { return 0; }
};

class PlainStream : public Stream {
public:
    explicit PlainStream(spi::Input& in) : reader_(in) {}
    size_t Read(void* dst, size_t n) override { return reader_.Read(dst, n); }
    bool Skip(uint64_t n) override;
    uint64_t Pos() const override { return reader_.Pos(); }

private:
    spi::Reader reader_;
};

class GzipStream : public Stream {
public:
    explicit GzipStream(spi::Input& in);
    ~GzipStream() override;
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;
    size_t Read(void* dst, size_t n) override;
    bool Skip(uint64_t n) override;
    uint64_t Pos() const override { return out_; }
    int Error() const override { return error_; }

private:
    spi::Reader reader_;
    z_stream z_{};
    bool ready_ = false;
    bool ended_ = false;
    int error_ = 0;
    uint64_t out_ = 0;
    std::vector<uint8_t> in_;
};

// Inflates the start of a gzip stream held in memory into `out` (as much as fits);
// returns how many bytes came out. IsSupported looks into a compressed TAR with it.
size_t InflateGzipHead(const uint8_t* data, size_t n, uint8_t* out, size_t outSize);

}  // namespace archive
