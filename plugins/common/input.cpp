// Input regions and the header fetch of IsSupported.
#include "input.h"

#include <algorithm>
#include <cstring>

#include "plugin/spi_api.h"

namespace spi {

Input::~Input() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

int Input::OpenMemory(const void* data, size_t size) {
    if (!data) return SPI::SPI_UNKNOWN_FORMAT;
    mem_ = static_cast<const uint8_t*>(data);
    origin_ = 0;
    size_ = size;
    return SPI::SPI_OK;
}

int Input::OpenHandle(HANDLE file, LONG_PTR offset) {
    if (file == INVALID_HANDLE_VALUE) return SPI::SPI_READ_ERROR;
    file_ = file;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_, &size)) return SPI::SPI_READ_ERROR;
    fileSize_ = static_cast<uint64_t>(size.QuadPart);
    if (offset < 0) return SPI::SPI_UNKNOWN_FORMAT;
    Rebase(static_cast<uint64_t>(offset));
    return SPI::SPI_OK;
}

bool Input::Rebase(uint64_t offset) {
    if (file_ == INVALID_HANDLE_VALUE) return false;
    origin_ = offset;
    size_ = offset < fileSize_ ? fileSize_ - offset : 0;
    return true;
}

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int Input::Open(LPCSTR buf, LONG_PTR len, unsigned flag) {
    switch (flag & SPI::FLAG_SOURCE_MASK) {
    case SPI::FLAG_FILE:
        if (!buf) return SPI::SPI_READ_ERROR;
        return OpenHandle(CreateFileA(buf, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr),
                          len);
    case SPI::FLAG_MEMORY:
        return len < 0 ? SPI::SPI_UNKNOWN_FORMAT : OpenMemory(buf, static_cast<size_t>(len));
    default:
        return SPI::SPI_NOT_IMPLEMENTED;
    }
}

int Input::Open(LPCWSTR buf, LONG_PTR len, unsigned flag) {
    switch (flag & SPI::FLAG_SOURCE_MASK) {
    case SPI::FLAG_FILE:
        if (!buf) return SPI::SPI_READ_ERROR;
        return OpenHandle(CreateFileW(buf, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr),
                          len);
    case SPI::FLAG_MEMORY:
        return len < 0 ? SPI::SPI_UNKNOWN_FORMAT : OpenMemory(buf, static_cast<size_t>(len));
    default:
        return SPI::SPI_NOT_IMPLEMENTED;
    }
}

size_t Input::ReadAt(uint64_t pos, void* dst, size_t n) {
    if (pos >= size_) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - pos));
    if (n == 0) return 0;
    if (mem_) {
        std::memcpy(dst, mem_ + pos, n);
        return n;
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(origin_ + pos);
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return 0;
    size_t done = 0;
    while (done < n) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 20));
        if (!ReadFile(file_, static_cast<uint8_t*>(dst) + done, want, &got, nullptr) || got == 0)
            break;
        done += got;
    }
    return done;
}

size_t Reader::Read(void* dst, size_t n) {
    const size_t CHUNK = 64 * 1024;
    uint8_t* out = static_cast<uint8_t*>(dst);
    size_t done = 0;
    while (done < n && pos_ < in_.Size()) {
        if (pos_ < bufStart_ || pos_ >= bufStart_ + bufLen_) {
            if (n - done >= CHUNK) {  // large reads go straight through
                size_t got = in_.ReadAt(pos_, out + done, n - done);
                pos_ += got;
                done += got;
                if (got == 0) break;
                continue;
            }
            if (buf_.empty()) buf_.resize(CHUNK);
            bufStart_ = pos_;
            bufLen_ = in_.ReadAt(pos_, buf_.data(), CHUNK);
            if (bufLen_ == 0) break;
        }
        size_t off = static_cast<size_t>(pos_ - bufStart_);
        size_t take = std::min(n - done, bufLen_ - off);
        std::memcpy(out + done, buf_.data() + off, take);
        done += take;
        pos_ += take;
    }
    return done;
}

namespace {

// How many bytes from p on can be read without touching memory that is not there.
size_t ReadableSpan(const void* p, size_t max) {
    size_t total = 0;
    const uint8_t* at = static_cast<const uint8_t*>(p);
    while (total < max) {
        MEMORY_BASIC_INFORMATION mbi;
        if (!VirtualQuery(at, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT) break;
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
        if (!(mbi.Protect & readable) || (mbi.Protect & (PAGE_GUARD | PAGE_NOACCESS))) break;
        size_t left = static_cast<const uint8_t*>(mbi.BaseAddress) + mbi.RegionSize - at;
        size_t take = std::min(left, max - total);
        total += take;
        at += take;
    }
    return total;
}

}  // namespace

size_t FetchHeader(const void* dw, uint8_t (&out)[2048]) {
    std::memset(out, 0, sizeof out);
    uintptr_t value = reinterpret_cast<uintptr_t>(dw);
    if (value == 0) return 0;
    if (value > 0xFFFF) {  // every bit above the low 16, at any width: no address is below 64 KB
        size_t n = ReadableSpan(dw, sizeof out);
        std::memcpy(out, dw, n);
        return n;
    }
    HANDLE file = reinterpret_cast<HANDLE>(value);
    LARGE_INTEGER zero{}, here{};
    if (!SetFilePointerEx(file, zero, &here, FILE_CURRENT)) return 0;
    DWORD got = 0;
    if (!ReadFile(file, out, sizeof out, &got, nullptr)) got = 0;
    SetFilePointerEx(file, here, nullptr, FILE_BEGIN);
    return got;
}

}  // namespace spi
