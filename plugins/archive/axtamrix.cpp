// axtamrix.spi: the bundled archive plug-in ("00AM"). Lists and extracts ZIP (stored and
// deflated members), TAR and gzip-compressed TAR, from a file at an offset or from memory,
// with narrow and wide names.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "guard.h"
#include "input.h"
#include "local_block.h"
#include "progress.h"
#include "sinks.h"
#include "plugin/spi_api.h"
#include "text.h"

using namespace spi;
using namespace SPI;

namespace {

const char* const PLUGIN_INFO[] = {
    "00AM",
    "Tamrix archive plug-in 1.0: ZIP, TAR, gzip-compressed TAR",
    "*.zip", "ZIP archive",
    "*.tar", "TAR archive",
    "*.tar.gz;*.tgz", "gzip-compressed TAR archive",
};

// The file name is only a hint, and not used: the header bytes decide.
int IsSupportedImpl(const void* dw) {
    uint8_t header[HEADER_SIZE];
    size_t n = FetchHeader(dw, header);
    return archive::Identify(header, n) != archive::Kind::Unknown ? 1 : 0;
}

template <class Record>
void Fill(Record& r, const archive::Entry& e) {
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.method, e.method, sizeof r.method);
    r.position = e.position;
    r.compsize = e.compsize;
    r.filesize = e.filesize;
    r.timestamp = e.timestamp;
    r.crc = e.crc;
    CopyName(r.path, MEMBER_NAME_LENGTH, e.Folder());
    CopyName(r.filename, MEMBER_NAME_LENGTH, e.File());
}

template <class Record, class Char>
int GetArchiveInfoImpl(const Char* buf, LONG_PTR len, unsigned flag, HLOCAL* out) {
    if (!out) return SPI_INTERNAL_ERROR;
    *out = nullptr;
    Input in;
    if (int rc = in.Open(buf, len, flag)) return rc;
    std::vector<archive::Entry> entries;
    if (int rc = archive::List(in, entries)) return rc;
    // The records, then one whose first byte is 0.
    LocalBlock block = LocalBlock::Alloc((entries.size() + 1) * sizeof(Record), true);
    if (!block) return SPI_NO_MEMORY;
    {
        LocalLockGuard lock(block);
        auto* records = static_cast<Record*>(lock.get());
        if (!records) return SPI_MEMORY_ERROR;
        for (size_t i = 0; i < entries.size(); ++i) Fill(records[i], entries[i]);
    }
    *out = block.Release();
    return SPI_OK;
}

// A narrow name is compared as the narrow records show it, so that a name the code page
// could not hold whole still finds its member.
std::wstring Comparable(const std::wstring& name, bool narrow) {
    std::wstring s = narrow ? Widen(ToAnsi(name)) : name;
    for (wchar_t& c : s)
        if (c == L'/') c = L'\\';
    return s;
}

template <class Record, class Char>
int GetFileInfoImpl(const Char* buf, LONG_PTR len, const Char* name, unsigned flag, Record* out) {
    if (!out || !name) return SPI_INTERNAL_ERROR;
    constexpr bool narrow = sizeof(Char) == 1;
    std::wstring wanted;
    if constexpr (narrow)
        wanted = Comparable(Widen(name), false);
    else
        wanted = Comparable(name, false);
    Input in;
    if (int rc = in.Open(buf, len, flag)) return rc;
    std::vector<archive::Entry> entries;
    if (int rc = archive::List(in, entries)) return rc;
    BOOL ignoreCase = (flag & FLAG_IGNORE_CASE) != 0;
    for (const archive::Entry& e : entries) {
        std::wstring have = Comparable(e.name, narrow);
        if (CompareStringOrdinal(have.data(), static_cast<int>(have.size()), wanted.data(),
                                 static_cast<int>(wanted.size()), ignoreCase) == CSTR_EQUAL) {
            Fill(*out, e);
            return SPI_OK;
        }
    }
    return SPI_UNKNOWN_FORMAT;  // no such member
}

template <class Char>
int GetFileImpl(const Char* src, LONG_PTR len, Char* dest, unsigned flag, ProgressCallback cb, LONG_PTR data) {
    Input in;
    Progress progress(cb, data);
    switch (flag & FLAG_OUTPUT_MASK) {
    case FLAG_OUTPUT_MEMORY: {
        auto* out = reinterpret_cast<HLOCAL*>(dest);
        if (!out) return SPI_INTERNAL_ERROR;
        *out = nullptr;
        if (int rc = in.Open(src, len, flag)) return rc;
        archive::MemorySink sink;
        if (int rc = archive::Extract(in, sink, progress)) return rc;
        *out = sink.Release();
        return SPI_OK;
    }
    case FLAG_OUTPUT_FOLDER: {
        if (!dest) return SPI_WRITE_ERROR;
        std::wstring folder;
        if constexpr (sizeof(Char) == 1)
            folder = Widen(dest);
        else
            folder = dest;
        if (int rc = in.Open(src, len, flag)) return rc;
        archive::FolderSink sink(folder);
        return archive::Extract(in, sink, progress);
    }
    default:
        return SPI_NOT_IMPLEMENTED;
    }
}

}  // namespace

SPI_EXPORT int WINAPI GetPluginInfo(int infono, LPSTR buf, int buflen) {
    return Guarded([&] { return PluginInfo(infono, buf, buflen, PLUGIN_INFO); });
}

SPI_EXPORT int WINAPI GetPluginInfoW(int infono, LPWSTR buf, int buflen) {
    return Guarded([&] { return PluginInfo(infono, buf, buflen, PLUGIN_INFO); });
}

SPI_EXPORT int WINAPI IsSupported(LPCSTR, const void* dw) {
    return Guarded([&] { return IsSupportedImpl(dw); });
}

SPI_EXPORT int WINAPI IsSupportedW(LPCWSTR, const void* dw) {
    return Guarded([&] { return IsSupportedImpl(dw); });
}

SPI_EXPORT int WINAPI GetArchiveInfo(LPCSTR buf, LONG_PTR len, unsigned flag, HLOCAL* lphInf) {
    return Guarded([&] { return GetArchiveInfoImpl<fileInfo>(buf, len, flag, lphInf); });
}

SPI_EXPORT int WINAPI GetArchiveInfoW(LPCWSTR buf, LONG_PTR len, unsigned flag, HLOCAL* lphInf) {
    return Guarded([&] { return GetArchiveInfoImpl<fileInfoW>(buf, len, flag, lphInf); });
}

SPI_EXPORT int WINAPI GetFileInfo(LPCSTR buf, LONG_PTR len, LPCSTR filename, unsigned flag, fileInfo* info) {
    return Guarded([&] { return GetFileInfoImpl(buf, len, filename, flag, info); });
}

SPI_EXPORT int WINAPI GetFileInfoW(LPCWSTR buf, LONG_PTR len, LPCWSTR filename, unsigned flag, fileInfoW* info) {
    return Guarded([&] { return GetFileInfoImpl(buf, len, filename, flag, info); });
}

SPI_EXPORT int WINAPI GetFile(LPCSTR src, LONG_PTR len, LPSTR dest, unsigned flag, ProgressCallback cb, LONG_PTR data) {
    return Guarded([&] { return GetFileImpl(src, len, dest, flag, cb, data); });
}

SPI_EXPORT int WINAPI GetFileW(LPCWSTR src, LONG_PTR len, LPWSTR dest, unsigned flag, ProgressCallback cb,
                               LONG_PTR data) {
    return Guarded([&] { return GetFileImpl(src, len, dest, flag, cb, data); });
}
