// Archives read by an archive plug-in: the listing it hands back as one block of records,
// the record of one member looked up by name, a member extracted into memory or into a
// file, and a record's fields as clients read them. Each call goes through the plug-in's
// wide entry where it has one, so records come in two kinds: fileInfo with narrow names and
// fileInfoW with UTF-16 ones. The plug-in object lists and extracts through here. Errors:
// HRESULTs; only std::bad_alloc is thrown.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "../common/local_block.h"
#include "source.h"
#include "spi_api.h"
#include "spi_interface.h"

namespace SPI {

// The records of a listing of `bytes` bytes at `address`: those before the first record
// whose first byte is 0, and never more than the whole records the bytes hold, so a listing
// without its terminating record is not read past its end.
size_t CountRecords(const void* address, size_t bytes) noexcept;
// The same for records of `recordSize` bytes (sizeof(fileInfoW) for a wide listing).
size_t CountRecords(const void* address, size_t bytes, size_t recordSize) noexcept;

// One member's record of either kind, sharing the ownership of whatever holds it, with the
// code page its narrow texts are read in (the binding's when it was listed).
class MemberRecord {
public:
    MemberRecord() = default;
    explicit MemberRecord(std::shared_ptr<const fileInfo> record, UINT codePage = CP_THREAD_ACP) noexcept
        : narrow_(std::move(record)), codePage_(codePage) {}
    explicit MemberRecord(std::shared_ptr<const fileInfoW> record, UINT codePage = CP_THREAD_ACP) noexcept
        : wide_(std::move(record)), codePage_(codePage) {}

    explicit operator bool() const noexcept { return narrow_ || wide_; }
    bool IsWide() const noexcept { return static_cast<bool>(wide_); }
    UINT CodePage() const noexcept { return codePage_; }
    const fileInfo* Narrow() const noexcept { return narrow_.get(); }
    const fileInfoW* Wide() const noexcept { return wide_.get(); }

    // A field the two kinds share (the record must be there).
    template <class Read>
    auto Field(Read read) const noexcept {
        return narrow_ ? read(*narrow_) : read(*wide_);
    }
    // Whole, as the build's records hold them (64-bit plug-ins' numbers may not fit 32 bits).
    RecordNumber Position() const noexcept { return Field([](const auto& r) { return r.position; }); }
    RecordNumber CompSize() const noexcept { return Field([](const auto& r) { return r.compsize; }); }
    RecordNumber FileSize() const noexcept { return Field([](const auto& r) { return r.filesize; }); }
    RecordTime Timestamp() const noexcept { return Field([](const auto& r) { return r.timestamp; }); }
    ULONG Crc() const noexcept { return Field([](const auto& r) { return r.crc; }); }

private:
    std::shared_ptr<const fileInfo> narrow_;
    std::shared_ptr<const fileInfoW> wide_;
    UINT codePage_ = CP_THREAD_ACP;
};

// The record array that GetArchiveInfo or GetArchiveInfoW handed back. Every record is
// handed out as a shared owner of the whole block, so the block lives as long as anything
// made from it.
class ArchiveListing {
public:
    // Asks the plug-in's GetArchiveInfoW, or GetArchiveInfo where it has no wide form, for
    // the listing, releasing the source right after the plug-in returns. E_FAIL without
    // calling in unless `plugin` is a bound archive plug-in; E_INVALIDARG without calling in
    // for a name the narrow entry cannot be given. A listing handed back is kept whatever
    // the code (S_OK); without one the code mapped, so code 0 gives S_OK and no listing.
    // E_FAIL when the block cannot be locked, E_OUTOFMEMORY when it cannot be owned; the
    // block is freed in both cases.
    HRESULT Read(const SpiInterface& plugin, Source& source);
    // A listing made elsewhere (by the same plug-in in another process of this width):
    // `block` holds its records, fileInfoW when `wide`, their narrow texts in `codePage`.
    void Adopt(Tamrix::SharedLocalBlock block, bool wide, UINT codePage) noexcept;

    bool HasListing() const noexcept { return static_cast<bool>(block_); }
    // Whether the records are fileInfoW (the wide entry made the listing).
    bool IsWide() const noexcept { return wide_; }
    size_t Count() const noexcept { return count_; }
    // Record `index` (from 0, below Count()), sharing the ownership of the whole block.
    MemberRecord Record(size_t index) const noexcept;
    const Tamrix::SharedLocalBlock& Block() const noexcept { return block_; }
    // The bytes of the records counted (Count() times the record's size).
    size_t RecordBytes() const noexcept { return count_ * (wide_ ? sizeof(fileInfoW) : sizeof(fileInfo)); }

private:
    Tamrix::SharedLocalBlock block_;
    size_t count_ = 0;
    bool wide_ = false;
    UINT codePage_ = CP_THREAD_ACP;  // of the records' narrow texts
};

// Asks the plug-in's GetFileInfoW (with the name as it is), or GetFileInfo where it has no
// wide form (with the name in the binding's code page), for the record of the member
// called `name`, releasing the source right after the plug-in returns. E_FAIL without
// calling in unless `plugin` is a bound archive plug-in; E_INVALIDARG without calling in when
// the narrow entry cannot be given the archive's name or the member's (no short name stands
// in for a member's); otherwise the plug-in's code mapped. `out` is written only on success.
HRESULT QueryMemberInfo(const SpiInterface& plugin, Source& source, const std::wstring& name,
                        MemberRecord& out);

// One member extracted by the plug-in's GetFile, always into memory.
class ExtractedMember {
public:
    // `source` names the archive and was converted with the member's stored size as its
    // length: that length goes to the plug-in for a memory source, the member's `position`
    // for a file source. GetFileW is called where the plug-in has it. The source is released
    // right after the plug-in returns. E_FAIL without calling in unless `plugin` is a bound
    // archive plug-in; E_INVALIDARG without calling in for a name the narrow entry cannot be
    // given; E_FAIL or E_OUTOFMEMORY when a block handed back cannot be locked or owned;
    // otherwise S_OK, with Code() telling what the plug-in answered. A handle handed back
    // with a non-zero code is not touched.
    HRESULT Extract(const SpiInterface& plugin, Source& source, LONG_PTR position);

    int Code() const noexcept { return code_; }
    // The member's bytes: null unless the plug-in answered 0 with a block.
    const Tamrix::SharedLocalBlock& Block() const noexcept { return block_; }

    // Writes the first `fileSize` bytes of the block as the file destPath, replacing a file
    // there only once complete. E_FAIL when there is no block, `fileSize` is more than the
    // block holds (plug-ins may hand back more, never less), or the file cannot be written.
    HRESULT WriteFile(const std::wstring& destPath, RecordNumber fileSize) const;

private:
    int code_ = SPI_OK;
    Tamrix::SharedLocalBlock block_;
};

// Records that another process handed over, `recordSize` bytes each (fileInfoW when `wide`),
// as records of this build in `out`: copied as they are, or, in a 64-bit build, widened from
// a 32-bit plug-in's. E_FAIL for any other size, or bytes that are no whole records.
HRESULT RecordsOfThisWidth(std::span<const BYTE> records, size_t recordSize, bool wide, std::vector<BYTE>& out);

// A record's text fields as new BSTRs: the text up to the first NUL, never past the field,
// converted from `codePage` (a wide record's names are taken as they are; its method is
// narrow text too). E_OUTOFMEMORY on failure.
HRESULT MethodText(const fileInfo& record, BSTR* out, UINT codePage) noexcept;
HRESULT PathText(const fileInfo& record, BSTR* out, UINT codePage) noexcept;
HRESULT FileNameText(const fileInfo& record, BSTR* out, UINT codePage) noexcept;
HRESULT MethodText(const fileInfoW& record, BSTR* out, UINT codePage) noexcept;
HRESULT PathText(const fileInfoW& record, BSTR* out) noexcept;
HRESULT FileNameText(const fileInfoW& record, BSTR* out) noexcept;
// The narrow texts in the calling thread's ANSI code page.
inline HRESULT MethodText(const fileInfo& record, BSTR* out) noexcept { return MethodText(record, out, CP_THREAD_ACP); }
inline HRESULT PathText(const fileInfo& record, BSTR* out) noexcept { return PathText(record, out, CP_THREAD_ACP); }
inline HRESULT FileNameText(const fileInfo& record, BSTR* out) noexcept {
    return FileNameText(record, out, CP_THREAD_ACP);
}
inline HRESULT MethodText(const fileInfoW& record, BSTR* out) noexcept { return MethodText(record, out, CP_THREAD_ACP); }
// The same for a record of either kind, in the record's code page.
HRESULT MethodText(const MemberRecord& record, BSTR* out) noexcept;
HRESULT PathText(const MemberRecord& record, BSTR* out) noexcept;
HRESULT FileNameText(const MemberRecord& record, BSTR* out) noexcept;

// A record's time stamp (seconds since 1970-01-01 UTC) as an Automation date in local time,
// by the process's time-zone rules. 0 and times the C runtime cannot convert (any negative
// one, any after the year 3000) give 0.0.
DATE LocalDateOf(RecordTime timestamp) noexcept;

}  // namespace SPI
