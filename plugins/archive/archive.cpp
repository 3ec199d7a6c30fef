// Telling archives apart, and the dispatch of listing and extraction to ZIP and TAR.
#include "archive.h"

#include <cstring>

#include "plugin/spi_api.h"
#include "stream.h"
#include "tar.h"
#include "text.h"
#include "zip.h"

namespace archive {

namespace {

bool IsGzip(const uint8_t* p, size_t n) { return n >= 3 && p[0] == 0x1F && p[1] == 0x8B && p[2] == 8; }

}  // namespace

Kind Identify(const uint8_t* p, size_t n) {
    if (n >= 4 && p[0] == 'P' && p[1] == 'K' && ((p[2] == 3 && p[3] == 4) || (p[2] == 5 && p[3] == 6)))
        return Kind::Zip;
    if (n >= 512 && IsTarHeader(p)) return Kind::Tar;
    if (IsGzip(p, n)) {
        // Only a gzip stream that holds a TAR is ours.
        uint8_t head[512];
        if (InflateGzipHead(p, n, head, sizeof head) == sizeof head && IsTarHeader(head)) return Kind::TarGz;
    }
    return Kind::Unknown;
}

std::wstring MemberName(const char* s, size_t n, bool utf8, unsigned codePage) {
    std::wstring name = spi::Widen(s, n, utf8 ? CP_UTF8 : codePage);
    for (wchar_t& c : name)
        if (c == L'/') c = L'\\';
    return name;
}

std::wstring Entry::Folder() const {
    size_t cut = name.find_last_of(L'\\');
    return cut == std::wstring::npos ? std::wstring() : name.substr(0, cut + 1);
}

std::wstring Entry::File() const {
    size_t cut = name.find_last_of(L'\\');
    return cut == std::wstring::npos ? name : name.substr(cut + 1);
}

int List(spi::Input& in, std::vector<Entry>& entries) {
    uint8_t header[SPI::HEADER_SIZE];
    size_t n = in.ReadAt(0, header, sizeof header);
    switch (Identify(header, n)) {
    case Kind::Zip:
        return ListZip(in, entries);
    case Kind::Tar: {
        PlainStream s(in);
        return ListTar(s, in.Origin(), "tar", entries);
    }
    case Kind::TarGz: {
        GzipStream s(in);
        return ListTar(s, 0, "tar.gz", entries);
    }
    default:
        return SPI::SPI_UNKNOWN_FORMAT;
    }
}

int Extract(spi::Input& in, Sink& sink, spi::Progress& progress) {
    uint8_t head[512];
    if (!in.IsMemory()) {
        // A compressed TAR is inflated again from the start of its file.
        uint64_t position = in.Origin();
        in.Rebase(0);
        if (IsGzip(head, in.ReadAt(0, head, 3))) {
            GzipStream s(in);
            if (!s.Skip(position)) return s.Error() ? s.Error() : SPI::SPI_UNKNOWN_FORMAT;
            return ExtractTar(s, sink, progress);
        }
        in.Rebase(position);
    }
    size_t n = in.ReadAt(0, head, sizeof head);
    if (n >= 4 && std::memcmp(head, "PK\3\4", 4) == 0) return ExtractZip(in, sink, progress);
    if (n == sizeof head && IsTarHeader(head)) {
        // From memory the data must be this member's stored bytes exactly (Extract in archive.h).
        PlainStream s(in);
        return ExtractTar(s, sink, progress, in.IsMemory() ? in.Size() : 0);
    }
    // A compressed TAR in memory gives no way to tell which member is meant.
    if (IsGzip(head, n)) return SPI::SPI_NOT_IMPLEMENTED;
    return SPI::SPI_UNKNOWN_FORMAT;
}

}  // namespace archive
