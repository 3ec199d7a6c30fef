#include "archive.h"

#include <ctime>
#include <span>

#include "../common/handles.h"
#include "../common/text.h"
#include "file_output.h"

namespace SPI {

size_t CountRecords(const void* address, size_t bytes) noexcept {
    if (!address) return 0;
    const auto* first = static_cast<const unsigned char*>(address);
    const size_t whole = bytes / sizeof(fileInfo);
    for (size_t i = 0; i < whole; ++i)
        if (first[i * sizeof(fileInfo)] == 0) return i;
    return whole;
}

HRESULT ArchiveListing::Read(const SpiInterface& plugin, Source& source) noexcept {
    block_.reset();
    count_ = 0;
    if (!plugin.IsBoundAs(KIND_ARCHIVE)) {
        source.Release();
        return E_FAIL;
    }
    HLOCAL list = nullptr;
    const int code = plugin.GetArchiveInfoEntry()(source.Buf(), source.Len(), source.Flag(), &list);
    source.Release();
    if (!list) return MapResult(code);

    // Owned from here, whatever the code said.
    Tamrix::SharedLocalBlock block;
    if (HRESULT hr = Tamrix::ShareLocalBlock(Tamrix::UniqueHlocal(list), block); FAILED(hr)) return hr;
    if (!block->Address()) return E_FAIL;  // `block` frees it on the way out
    count_ = CountRecords(block->Address(), block->Size());
    block_ = std::move(block);
    return S_OK;
}

std::shared_ptr<const fileInfo> ArchiveListing::Record(size_t index) const noexcept {
    if (!block_ || index >= count_) return nullptr;
    const auto* records = static_cast<const fileInfo*>(block_->Address());
    // Shares the block's ownership while pointing at one record inside it.
    return std::shared_ptr<const fileInfo>(block_, records + index);
}

HRESULT QueryMemberInfo(const SpiInterface& plugin, Source& source, const std::string& name,
                        fileInfo& out) noexcept {
    if (!plugin.IsBoundAs(KIND_ARCHIVE)) {
        source.Release();
        return E_FAIL;
    }
    fileInfo record{};
    const int code = plugin.GetFileInfoEntry()(source.Buf(), source.Len(), name.c_str(), source.Flag(), &record);
    source.Release();
    if (code == SPI_OK) out = record;
    return MapResult(code);
}

HRESULT ExtractedMember::Extract(const SpiInterface& plugin, Source& source, LONG position) noexcept {
    block_.reset();
    code_ = SPI_OK;
    if (!plugin.IsBoundAs(KIND_ARCHIVE)) {
        source.Release();
        return E_FAIL;
    }
    const LONG len = source.Flag() == FLAG_FILE ? position : source.Len();
    HLOCAL handle = nullptr;
    code_ = plugin.GetFileEntry()(source.Buf(), len, reinterpret_cast<LPSTR>(&handle),
                                  source.Flag() | FLAG_OUTPUT_MEMORY, IgnoreProgress, 0);
    source.Release();
    // A block is ours with code 0 only. With a failure the handle is left alone: a plug-in
    // may have freed its block already and left the value behind, and freeing it again could
    // free another block; one it abandoned is its own leak.
    if (code_ != SPI_OK || !handle) return S_OK;
    return Tamrix::ShareLocalBlock(Tamrix::UniqueHlocal(handle), block_);
}

HRESULT ExtractedMember::WriteFile(const std::string& destPath, ULONG fileSize) const noexcept {
    if (!block_ || fileSize > block_->Size()) return E_FAIL;
    // An empty member needs no bytes: a zero-sized block has no address to lock.
    const auto* data = static_cast<const BYTE*>(block_->Address());
    if (fileSize > 0 && !data) return E_FAIL;
    return WriteFileReplacing(destPath, {std::span<const BYTE>(data, fileSize)});
}

HRESULT MethodText(const fileInfo& record, BSTR* out) noexcept {
    return Tamrix::ToBstr(reinterpret_cast<const char*>(record.method), sizeof record.method, out);
}

HRESULT PathText(const fileInfo& record, BSTR* out) noexcept {
    return Tamrix::ToBstr(record.path, sizeof record.path, out);
}

HRESULT FileNameText(const fileInfo& record, BSTR* out) noexcept {
    return Tamrix::ToBstr(record.filename, sizeof record.filename, out);
}

DATE LocalDateOf(LONG timestamp) noexcept {
    // The C runtime converts no time before 1970; 0 stands for "no time" in a record.
    if (timestamp <= 0) return 0.0;
    const __time64_t seconds = timestamp;
    std::tm local{};
    if (_localtime64_s(&local, &seconds) != 0) return 0.0;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(local.tm_year + 1900);
    st.wMonth = static_cast<WORD>(local.tm_mon + 1);
    st.wDayOfWeek = static_cast<WORD>(local.tm_wday);
    st.wDay = static_cast<WORD>(local.tm_mday);
    st.wHour = static_cast<WORD>(local.tm_hour);
    st.wMinute = static_cast<WORD>(local.tm_min);
    st.wSecond = static_cast<WORD>(local.tm_sec);
    DATE date = 0.0;
    return SystemTimeToVariantTime(&st, &date) ? date : 0.0;
}

}  // namespace SPI
