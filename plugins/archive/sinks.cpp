// Member output to memory and to a folder.
#include "sinks.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "plugin/spi_api.h"

namespace archive {

// The first block of a member: its declared size is only a claim that its bytes may not
// bear out, so the block grows as they arrive.
const size_t FIRST_BLOCK = 64 * 1024;

int MemorySink::Begin(const std::wstring&, uint64_t size) {
    declared_ = static_cast<size_t>(std::min<uint64_t>(size, MAX_MEMBER_SIZE));
    capacity_ = declared_ ? std::min(declared_, FIRST_BLOCK) : FIRST_BLOCK;
    used_ = 0;
    block_ = LocalAlloc(LMEM_MOVEABLE, capacity_);
    return block_ ? SPI::SPI_OK : SPI::SPI_NO_MEMORY;
}

int MemorySink::Write(const void* data, size_t n) {
    if (n == 0) return SPI::SPI_OK;
    if (n > capacity_ - used_) {
        if (used_ + n > MAX_MEMBER_SIZE) return SPI::SPI_NO_MEMORY;
        // Doubled as the bytes arrive, never past the declared size while they stay within it.
        size_t grown = std::min<size_t>(std::max(capacity_ * 2, used_ + n), MAX_MEMBER_SIZE);
        if (used_ + n <= declared_) grown = std::min(grown, declared_);
        HLOCAL bigger = LocalReAlloc(block_, grown, LMEM_MOVEABLE);
        if (!bigger) return SPI::SPI_NO_MEMORY;
        block_ = bigger;
        capacity_ = grown;
    }
    void* p = LocalLock(block_);
    if (!p) return SPI::SPI_MEMORY_ERROR;
    std::memcpy(static_cast<char*>(p) + used_, data, n);
    LocalUnlock(block_);
    used_ += n;
    return SPI::SPI_OK;
}

int MemorySink::Finish() {
    // The block's size is the member's (at least one byte, so that it can be locked).
    size_t size = used_ ? used_ : 1;
    if (size != capacity_) {
        if (HLOCAL fitted = LocalReAlloc(block_, size, LMEM_MOVEABLE)) block_ = fitted;
    }
    return SPI::SPI_OK;
}

void MemorySink::Abort() {
    if (block_) LocalFree(block_);
    block_ = nullptr;
}

HLOCAL MemorySink::Release() {
    HLOCAL h = block_;
    block_ = nullptr;
    return h;
}

std::wstring SafeFileName(const std::wstring& name) {
    size_t cut = name.find_last_of(L"\\/");
    std::wstring file = cut == std::wstring::npos ? name : name.substr(cut + 1);
    // Windows drops trailing dots and spaces; "..", "." and "" end up empty here.
    while (!file.empty() && (file.back() == L'.' || file.back() == L' ')) file.pop_back();
    if (file.empty()) return std::wstring();
    for (wchar_t c : file)
        if (c < 0x20 || std::wcschr(L"<>:\"|?*", c)) return std::wstring();
    std::wstring stem = file.substr(0, file.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const DEVICES[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* d : DEVICES)
        if (stem == d) return std::wstring();
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
        stem[3] >= L'0' && stem[3] <= L'9')
        return std::wstring();
    return file;
}

int FolderSink::Begin(const std::wstring& name, uint64_t) {
    std::wstring file = SafeFileName(name);
    if (file.empty() || folder_.empty()) return SPI::SPI_WRITE_ERROR;
    path_ = folder_;
    if (path_.back() != L'\\' && path_.back() != L'/') path_ += L'\\';
    path_ += file;
    file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
        path_.clear();
        return SPI::SPI_WRITE_ERROR;
    }
    return SPI::SPI_OK;
}

int FolderSink::Write(const void* data, size_t n) {
    DWORD written = 0;
    if (!WriteFile(file_, data, static_cast<DWORD>(n), &written, nullptr) || written != n)
        return SPI::SPI_WRITE_ERROR;
    return SPI::SPI_OK;
}

int FolderSink::Finish() {
    bool ok = CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    if (!ok) {
        DeleteFileW(path_.c_str());
        path_.clear();
        return SPI::SPI_WRITE_ERROR;
    }
    path_.clear();  // kept
    return SPI::SPI_OK;
}

void FolderSink::Abort() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    if (!path_.empty()) DeleteFileW(path_.c_str());
    path_.clear();
}

}  // namespace archive
