#include "archive.h"

#include <cstring>
#include <ctime>
#include <span>

#include "../common/handles.h"
#include "../common/failure_note.h"
#include "../common/text.h"
#include "failure_words.h"
#include "file_output.h"

namespace SPI {

size_t CountRecords(const void* address, size_t bytes) noexcept {
    return CountRecords(address, bytes, sizeof(fileInfo));
}

size_t CountRecords(const void* address, size_t bytes, size_t recordSize) noexcept {
    if (!address || recordSize == 0) return 0;
    const auto* first = static_cast<const unsigned char*>(address);
    const size_t whole = bytes / recordSize;
    for (size_t i = 0; i < whole; ++i)
        if (first[i * recordSize] == 0) return i;
    return whole;
}

HRESULT ArchiveListing::Read(const SpiInterface& plugin, Source& source) {
    block_.reset();
    count_ = 0;
    wide_ = false;
    codePage_ = plugin.CodePage();
    if (!plugin.IsBoundAs(KIND_ARCHIVE)) return E_FAIL;
    HLOCAL list = nullptr;
    int code = SPI_OK;
    const bool wide = plugin.GetArchiveInfoWEntry() != nullptr;
    if (wide) {
        code = plugin.Invoke(plugin.GetArchiveInfoWEntry(), source.WideBuf(), source.Len(), source.Flag(), &list);
    } else {
        LPCSTR buf = nullptr;
        if (HRESULT hr = source.NarrowBuf(buf, plugin.CodePage()); FAILED(hr)) {
            NoteNameRefused(plugin.WidePath(), SourceWords(source));
            return hr;
        }
        code = plugin.Invoke(plugin.GetArchiveInfoEntry(), buf, source.Len(), source.Flag(), &list);
    }
    source.Release();
    if (!list) {
        if (code != SPI_OK && !NoteIfUnreadable(source))
            NotePluginCode(plugin.WidePath(), L"list", SourceWords(source), code);
        return MapResult(code);
    }

    // Owned from here, whatever the code said.
    Tamrix::SharedLocalBlock block;
    if (HRESULT hr = Tamrix::ShareLocalBlock(Tamrix::UniqueHlocal(list), block); FAILED(hr)) return hr;
    if (!block->Address()) return E_FAIL;  // `block` frees it on the way out
    count_ = CountRecords(block->Address(), block->Size(), wide ? sizeof(fileInfoW) : sizeof(fileInfo));
    wide_ = wide;
    block_ = std::move(block);
    return S_OK;
}

void ArchiveListing::Adopt(Tamrix::SharedLocalBlock block, bool wide, UINT codePage) noexcept {
    codePage_ = codePage;
    const bool readable = block && block->Address();
    count_ = readable ? CountRecords(block->Address(), block->Size(), wide ? sizeof(fileInfoW) : sizeof(fileInfo)) : 0;
    wide_ = wide;
    block_ = readable ? std::move(block) : nullptr;
}

MemberRecord ArchiveListing::Record(size_t index) const noexcept {
    if (!block_ || index >= count_) return MemberRecord();
    // Shares the block's ownership while pointing at one record inside it.
    if (wide_) {
        const auto* records = static_cast<const fileInfoW*>(block_->Address());
        return MemberRecord(std::shared_ptr<const fileInfoW>(block_, records + index), codePage_);
    }
    const auto* records = static_cast<const fileInfo*>(block_->Address());
    return MemberRecord(std::shared_ptr<const fileInfo>(block_, records + index), codePage_);
}

namespace {

// A 32-bit record at `from` as this build's `to`; `names` bytes per name field.
template <class Record>
void Widen32(const BYTE* from, size_t names, Record& to) noexcept {
    const auto read32 = [from](size_t at) {
        DWORD value;
        std::memcpy(&value, from + at, sizeof value);
        return value;
    };
    std::memcpy(to.method, from, sizeof to.method);
    to.position = read32(record32::POSITION);
    to.compsize = read32(record32::COMPSIZE);
    to.filesize = read32(record32::FILESIZE);
    to.timestamp = static_cast<RecordTime>(static_cast<LONG64>(static_cast<LONG>(read32(record32::TIMESTAMP))));
    std::memcpy(to.path, from + record32::PATH, names);
    std::memcpy(to.filename, from + record32::PATH + names, names);
    to.crc = read32(record32::PATH + 2 * names);
}

}  // namespace

HRESULT RecordsOfThisWidth(std::span<const BYTE> records, size_t recordSize, bool wide, std::vector<BYTE>& out) {
    out.clear();
    const size_t own = wide ? sizeof(fileInfoW) : sizeof(fileInfo);
    if (recordSize == own) {
        if (records.size() % own != 0) return E_FAIL;
        out.assign(records.begin(), records.end());
        return S_OK;
    }
    const size_t theirs = wide ? record32::WIDE_SIZE : record32::NARROW_SIZE;
    if (sizeof(void*) == 4 || recordSize != theirs || records.size() % theirs != 0) return E_FAIL;
    const size_t count = records.size() / theirs;
    out.resize(count * own);
    for (size_t i = 0; i < count; ++i) {
        const BYTE* from = records.data() + i * theirs;
        if (wide) {
            fileInfoW record{};
            Widen32(from, sizeof record.path, record);
            std::memcpy(out.data() + i * own, &record, own);
        } else {
            fileInfo record{};
            Widen32(from, sizeof record.path, record);
            std::memcpy(out.data() + i * own, &record, own);
        }
    }
    return S_OK;
}

namespace {

void NoteMemberCode(const SpiInterface& plugin, const Source& source, const std::wstring& name, int code) {
    if (NoteIfUnreadable(source)) return;
    NotePluginCode(plugin.WidePath(), (L"find member " + Tamrix::Quoted(name) + L" in").c_str(), SourceWords(source),
                   code);
}

}  // namespace

HRESULT QueryMemberInfo(const SpiInterface& plugin, Source& source, const std::wstring& name, MemberRecord& out) {
    if (!plugin.IsBoundAs(KIND_ARCHIVE)) return E_FAIL;
    if (GetFileInfoWFn wide = plugin.GetFileInfoWEntry()) {
        fileInfoW record{};
        const int code = plugin.Invoke(wide, source.WideBuf(), source.Len(), name.c_str(), source.Flag(), &record);
        source.Release();
        if (code == SPI_OK) out = MemberRecord(std::make_shared<const fileInfoW>(record), plugin.CodePage());
        else NoteMemberCode(plugin, source, name, code);
        return MapResult(code);
    }
    // A member's name names no file of the system's: it has no short name.
    PluginName member(name, false);
    LPCSTR memberName = nullptr;
    LPCSTR buf = nullptr;
    if (HRESULT hr = member.Narrow(memberName, plugin.CodePage()); FAILED(hr)) {
        NoteNameRefused(plugin.WidePath(), L"member " + Tamrix::Quoted(name));
        return hr;
    }
    if (HRESULT hr = source.NarrowBuf(buf, plugin.CodePage()); FAILED(hr)) {
        NoteNameRefused(plugin.WidePath(), SourceWords(source));
        return hr;
    }
    fileInfo record{};
    const int code = plugin.Invoke(plugin.GetFileInfoEntry(), buf, source.Len(), memberName, source.Flag(), &record);
    source.Release();
    if (code == SPI_OK) out = MemberRecord(std::make_shared<const fileInfo>(record), plugin.CodePage());
    else NoteMemberCode(plugin, source, name, code);
    return MapResult(code);
}

HRESULT ExtractedMember::Extract(const SpiInterface& plugin, Source& source, LONG_PTR position) {
    block_.reset();
    code_ = SPI_OK;
    if (!plugin.IsBoundAs(KIND_ARCHIVE)) return E_FAIL;
    const LONG_PTR len = source.Flag() == FLAG_FILE ? position : source.Len();
    HLOCAL handle = nullptr;
    if (GetFileWFn wide = plugin.GetFileWEntry()) {
        code_ = plugin.Invoke(wide, source.WideBuf(), len, reinterpret_cast<LPWSTR>(&handle),
                              source.Flag() | FLAG_OUTPUT_MEMORY, IgnoreProgress, 0);
    } else {
        LPCSTR buf = nullptr;
        if (HRESULT hr = source.NarrowBuf(buf, plugin.CodePage()); FAILED(hr)) {
            NoteNameRefused(plugin.WidePath(), SourceWords(source));
            return hr;
        }
        code_ = plugin.Invoke(plugin.GetFileEntry(), buf, len, reinterpret_cast<LPSTR>(&handle),
                              source.Flag() | FLAG_OUTPUT_MEMORY, IgnoreProgress, 0);
    }
    source.Release();
    if (code_ != SPI_OK && !NoteIfUnreadable(source)) {
        const std::wstring what = source.Flag() == FLAG_FILE
                                      ? L"the member at offset " + std::to_wstring(position) + L" of " +
                                            Tamrix::Quoted(source.Name().Text())
                                      : L"a member of " + SourceWords(source);
        NotePluginCode(plugin.WidePath(), L"extract", what, code_);
    }
    // A block is ours with code 0 only. With a failure the handle is left alone: a plug-in
    // may have freed its block already and left the value behind, and freeing it again could
    // free another block; the heap cannot be asked (Wine reports a freed fixed block as
    // live). One it abandoned alive is its own leak.
    if (code_ != SPI_OK || !handle) return S_OK;
    return Tamrix::ShareLocalBlock(Tamrix::UniqueHlocal(handle), block_);
}

HRESULT ExtractedMember::WriteFile(const std::wstring& destPath, RecordNumber fileSize) const {
    if (!block_ || fileSize > block_->Size()) return E_FAIL;
    // An empty member needs no bytes: a zero-sized block has no address to lock.
    const auto* data = static_cast<const BYTE*>(block_->Address());
    if (fileSize > 0 && !data) return E_FAIL;
    return WriteFileReplacing(destPath, {std::span<const BYTE>(data, fileSize)});
}

HRESULT MethodText(const fileInfo& record, BSTR* out, UINT codePage) noexcept {
    return Tamrix::ToBstr(reinterpret_cast<const char*>(record.method), sizeof record.method, out, codePage);
}

HRESULT PathText(const fileInfo& record, BSTR* out, UINT codePage) noexcept {
    return Tamrix::ToBstr(record.path, sizeof record.path, out, codePage);
}

HRESULT FileNameText(const fileInfo& record, BSTR* out, UINT codePage) noexcept {
    return Tamrix::ToBstr(record.filename, sizeof record.filename, out, codePage);
}

namespace {

// A wide field's text up to its first NUL, never past the field.
HRESULT WideFieldText(const WCHAR* field, size_t length, BSTR* out) noexcept {
    BSTR b = SysAllocStringLen(field, static_cast<UINT>(wcsnlen(field, length)));
    if (!b) return E_OUTOFMEMORY;
    *out = b;
    return S_OK;
}

}  // namespace

HRESULT MethodText(const fileInfoW& record, BSTR* out, UINT codePage) noexcept {
    return Tamrix::ToBstr(reinterpret_cast<const char*>(record.method), sizeof record.method, out, codePage);
}

HRESULT PathText(const fileInfoW& record, BSTR* out) noexcept {
    return WideFieldText(record.path, MEMBER_NAME_LENGTH, out);
}

HRESULT FileNameText(const fileInfoW& record, BSTR* out) noexcept {
    return WideFieldText(record.filename, MEMBER_NAME_LENGTH, out);
}

HRESULT MethodText(const MemberRecord& record, BSTR* out) noexcept {
    return record.IsWide() ? MethodText(*record.Wide(), out, record.CodePage())
                           : MethodText(*record.Narrow(), out, record.CodePage());
}

HRESULT PathText(const MemberRecord& record, BSTR* out) noexcept {
    return record.IsWide() ? PathText(*record.Wide(), out) : PathText(*record.Narrow(), out, record.CodePage());
}

HRESULT FileNameText(const MemberRecord& record, BSTR* out) noexcept {
    return record.IsWide() ? FileNameText(*record.Wide(), out)
                           : FileNameText(*record.Narrow(), out, record.CodePage());
}

DATE LocalDateOf(RecordTime timestamp) noexcept {
    // The C runtime converts no time before 1970; 0 stands for "no time" in a record. A
    // 64-bit record's unsigned time beyond the signed range is no time the runtime knows.
    const __time64_t seconds = static_cast<__time64_t>(timestamp);
    if (seconds <= 0) return 0.0;
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
