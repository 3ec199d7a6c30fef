// Plain and gzip-inflated byte streams.
#include "stream.h"

#include "archive.h"
#include "plugin/spi_api.h"

namespace archive {

bool PlainStream::Skip(uint64_t n) {
    if (n > reader_.Size() - reader_.Pos()) {
        reader_.Seek(reader_.Size());
        return false;
    }
    reader_.Skip(n);
    return true;
}

GzipStream::GzipStream(spi::Input& in) : reader_(in), in_(64 * 1024) {
    // 16 + window bits: a gzip wrapper, not a zlib one.
    ready_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
    if (!ready_) error_ = SPI::SPI_NO_MEMORY;
}

GzipStream::~GzipStream() {
    if (ready_) inflateEnd(&z_);
}

size_t GzipStream::Read(void* dst, size_t n) {
    if (!ready_ || ended_ || error_) return 0;
    z_.next_out = static_cast<Bytef*>(dst);
    z_.avail_out = static_cast<uInt>(n);
    while (z_.avail_out > 0) {
        if (z_.avail_in == 0) {
            size_t got = reader_.Read(in_.data(), in_.size());
            if (got == 0) {
                error_ = SPI::SPI_BROKEN_DATA;  // the stream stops before its end
                break;
            }
            z_.next_in = in_.data();
            z_.avail_in = static_cast<uInt>(got);
        }
        int rc = inflate(&z_, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            ended_ = true;
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            error_ = rc == Z_MEM_ERROR ? SPI::SPI_NO_MEMORY : SPI::SPI_BROKEN_DATA;
            break;
        }
    }
    size_t got = n - z_.avail_out;
    out_ += got;
    if (out_ > MAX_STREAM) error_ = SPI::SPI_NO_MEMORY;
    return error_ ? 0 : got;
}

bool GzipStream::Skip(uint64_t n) {
    uint8_t scratch[16 * 1024];
    while (n > 0) {
        size_t want = n < sizeof scratch ? static_cast<size_t>(n) : sizeof scratch;
        size_t got = Read(scratch, want);
        n -= got;
        if (got < want) return false;
    }
    return true;
}

size_t InflateGzipHead(const uint8_t* data, size_t n, uint8_t* out, size_t outSize) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return 0;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(outSize);
    inflate(&z, Z_SYNC_FLUSH);
    size_t got = outSize - z.avail_out;
    inflateEnd(&z);
    return got;
}

}  // namespace archive
