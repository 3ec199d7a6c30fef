// Archives the plug-in reads (ZIP, TAR, gzip-compressed TAR): telling them apart by their
// first bytes, listing their members, and extracting one member into a sink.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "input.h"
#include "progress.h"

namespace archive {

// A member larger than this is listed but not extracted (result 4), and listings stop
// with result 4 past MAX_ENTRIES members; a compressed TAR is read up to MAX_STREAM
// bytes of its inflated stream.
const uint64_t MAX_MEMBER_SIZE = uint64_t(256) << 20;
const size_t MAX_ENTRIES = 65536;
const uint64_t MAX_STREAM = uint64_t(1) << 30;

enum class Kind { Unknown, Zip, Tar, TarGz };

Kind Identify(const uint8_t* header, size_t n);

struct Entry {
    std::wstring name;  // full name inside the archive, '\' between folders
    char method[8] = {};
    uint32_t position = 0;  // where GetFile finds the member (see List)
    uint32_t compsize = 0;
    uint32_t filesize = 0;
    uint32_t timestamp = 0;  // UTC, seconds since 1970
    uint32_t crc = 0;

    std::wstring Folder() const;  // up to the last '\', included
    std::wstring File() const;    // after it
};

// The members that are files (folders and links are left out), in archive order. A
// member's position is its first header: in the file for a ZIP or TAR named by file (the
// input's origin included), in memory from the start of the data; for a compressed TAR,
// in the inflated stream, which GetFile inflates again from the start of the file.
int List(spi::Input& in, std::vector<Entry>& entries);

// Receives one member's bytes.
class Sink {
public:
    virtual ~Sink() = default;
    // `name` as stored in the archive; `size` the member's size when known, else 0.
    virtual int Begin(const std::wstring& name, uint64_t size) = 0;
    virtual int Write(const void* data, size_t n) = 0;
    virtual int Finish() = 0;
    virtual void Abort() = 0;  // drops what was written
};

// Extracts the member whose first header starts the input: a file from `position` on, or
// memory holding exactly that member's stored bytes (headers, data, and a ZIP member's
// descriptor; a TAR member's padding or not), which names it; other memory, which may hold
// several members, names none and gives -1. A compressed TAR named by file is inflated from
// the start of the file and the member found at `position` of its stream.
int Extract(spi::Input& in, Sink& sink, spi::Progress& progress);

// Names inside the archive: '/' becomes '\'; UTF-8 when flagged or valid, else `codePage`.
std::wstring MemberName(const char* s, size_t n, bool utf8, unsigned codePage);

}  // namespace archive
