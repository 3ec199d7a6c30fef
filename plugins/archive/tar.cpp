// TAR: 512-byte headers, each followed by its data padded to 512 bytes. A member may be
// preceded by a GNU long-name record ('L') or a pax extended header ('x') that gives its
// real name, size or time; its position is the first of those records, so that GetFile
// sees everything the member's name depends on.
#include "tar.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "plugin/spi_api.h"
#include "text.h"

namespace archive {

namespace {

const size_t BLOCK_SIZE = 512;
const uint64_t MAX_NAME_RECORD = 64 * 1024;
const uint64_t MAX_PAX_RECORD = 1024 * 1024;

uint64_t Padded(uint64_t n) { return (n + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE; }

// Octal digits, space- or NUL-terminated after optional leading spaces, or GNU base-256
// (high bit of the first byte set). False when the field holds neither.
bool Number(const uint8_t* field, size_t size, uint64_t& value) {
    value = 0;
    if (field[0] & 0x80) {
        if (field[0] != 0x80) return false;  // negative or absurdly large
        for (size_t i = 1; i < size; ++i) {
            if (value >> 55) return false;
            value = value << 8 | field[i];
        }
        return true;
    }
    size_t i = 0;
    while (i < size && field[i] == ' ') ++i;
    bool digits = false;
    for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (value >> 60) return false;
        value = value << 3 | (field[i] - '0');
        digits = true;
    }
    if (i < size && field[i] != ' ' && field[i] != 0) return false;
    return digits || i == size || field[i] == 0;
}

std::string Field(const uint8_t* p, size_t size) {
    size_t n = 0;
    while (n < size && p[n]) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

std::wstring Utf8OrAnsi(const std::string& s) {
    return MemberName(s.data(), s.size(), spi::IsUtf8(s.data(), s.size()), CP_ACP);
}

// One member as its header records describe it.
struct Member {
    char type = 0;
    std::string name;
    uint64_t size = 0;
    uint64_t mtime = 0;
};

// Reads the header records of one member: its own header and those before it. Returns a
// result code; `end` is set at the end-of-archive block (or a clean end of the stream).
int ReadMember(Stream& s, Member& m, bool& end) {
    end = false;
    std::string longName, paxPath;
    bool hasPaxSize = false, hasPaxTime = false;
    uint64_t paxSize = 0, paxTime = 0;
    uint8_t h[BLOCK_SIZE];
    for (int records = 0; records < 64; ++records) {
        size_t got = s.Read(h, BLOCK_SIZE);
        if (s.Error()) return s.Error();
        if (got == 0 && records == 0) {
            end = true;  // no end blocks, but the stream stops at a header boundary
            return SPI::SPI_OK;
        }
        if (got < BLOCK_SIZE) return SPI::SPI_BROKEN_DATA;
        if (AllZero(h, BLOCK_SIZE)) {
            if (records != 0) return SPI::SPI_BROKEN_DATA;
            end = true;
            return SPI::SPI_OK;
        }
        if (!IsTarHeader(h)) return SPI::SPI_BROKEN_DATA;
        uint64_t size = 0, mtime = 0;
        if (!Number(h + 124, 12, size) || !Number(h + 136, 12, mtime)) return SPI::SPI_BROKEN_DATA;
        char type = static_cast<char>(h[156]);
        if (type == 'L' || type == 'x') {
            if (size > (type == 'L' ? MAX_NAME_RECORD : MAX_PAX_RECORD)) return SPI::SPI_BROKEN_DATA;
            std::string data(static_cast<size_t>(size), '\0');
            if (s.Read(data.data(), data.size()) != data.size() || !s.Skip(Padded(size) - size))
                return s.Error() ? s.Error() : SPI::SPI_BROKEN_DATA;
            if (type == 'L') {
                longName = data.c_str();
                continue;
            }
            // "<length> <key>=<value>\n" records.
            size_t at = 0;
            while (at < data.size()) {
                size_t space = data.find(' ', at);
                if (space == std::string::npos) return SPI::SPI_BROKEN_DATA;
                uint64_t len = 0;
                for (size_t i = at; i < space; ++i) {
                    if (data[i] < '0' || data[i] > '9' || len > MAX_PAX_RECORD) return SPI::SPI_BROKEN_DATA;
                    len = len * 10 + (data[i] - '0');
                }
                if (len <= space - at || at + len > data.size() || data[at + len - 1] != '\n')
                    return SPI::SPI_BROKEN_DATA;
                std::string record = data.substr(space + 1, at + len - 1 - (space + 1));
                size_t eq = record.find('=');
                if (eq != std::string::npos) {
                    std::string key = record.substr(0, eq), value = record.substr(eq + 1);
                    if (key == "path") {
                        paxPath = value;
                    } else if (key == "size" || key == "mtime") {
                        uint64_t v = 0;
                        for (char c : value) {
                            if (c == '.') break;  // fractions of a second
                            if (c < '0' || c > '9' || v > (uint64_t(1) << 56)) return SPI::SPI_BROKEN_DATA;
                            v = v * 10 + (c - '0');
                        }
                        if (key == "size") {
                            paxSize = v;
                            hasPaxSize = true;
                        } else {
                            paxTime = v;
                            hasPaxTime = true;
                        }
                    }
                }
                at += static_cast<size_t>(len);
            }
            continue;
        }
        if (type == 'g' || type == 'K') {  // global pax settings, long link names
            if (!s.Skip(Padded(size))) return s.Error() ? s.Error() : SPI::SPI_BROKEN_DATA;
            continue;
        }
        m.type = type;
        m.size = hasPaxSize ? paxSize : size;
        m.mtime = hasPaxTime ? paxTime : mtime;
        if (!paxPath.empty()) {
            m.name = paxPath;
        } else if (!longName.empty()) {
            m.name = longName;
        } else {
            m.name = Field(h, 100);
            // POSIX ustar keeps the leading folders in a prefix field.
            if (std::memcmp(h + 257, "ustar\0", 6) == 0 && h[345]) m.name = Field(h + 345, 155) + "/" + m.name;
        }
        return SPI::SPI_OK;
    }
    return SPI::SPI_BROKEN_DATA;  // an endless chain of extended headers
}

bool IsFile(char type) { return type == '0' || type == 0 || type == '7'; }

}  // namespace

bool IsTarHeader(const uint8_t* h) {
    // A checksum field without a digit (NULs, spaces: a short file's zero padding) holds no
    // checksum, and a byte sum of other data can match the 0 it would read as.
    if (std::none_of(h + 148, h + 156, [](uint8_t c) { return c >= '0' && c <= '7'; })) return false;
    uint64_t stored = 0;
    if (!Number(h + 148, 8, stored)) return false;
    uint64_t sum = 0;
    int64_t signedSum = 0;
    for (size_t i = 0; i < BLOCK_SIZE; ++i) {
        uint8_t c = (i >= 148 && i < 156) ? ' ' : h[i];
        sum += c;
        signedSum += static_cast<int8_t>(c);
    }
    // An all-zero header sums to 256 (the checksum field as spaces) and is not a header.
    return sum != 256 && (stored == sum || static_cast<int64_t>(stored) == signedSum);
}

int ListTar(Stream& s, uint64_t origin, const char* method, std::vector<Entry>& entries) {
    for (;;) {
        uint64_t start = s.Pos();
        Member m;
        bool end = false;
        if (int rc = ReadMember(s, m, end)) return rc;
        if (end) return SPI::SPI_OK;
        if (IsFile(m.type)) {
            if (entries.size() >= MAX_ENTRIES) return SPI::SPI_NO_MEMORY;
            if (origin + start > 0xFFFFFFFFu) return SPI::SPI_NO_MEMORY;  // past what a record holds
            Entry e;
            e.name = Utf8OrAnsi(m.name);
            std::memcpy(e.method, method, std::min(std::strlen(method), sizeof e.method - 1));
            e.position = static_cast<uint32_t>(origin + start);
            e.filesize = e.compsize = m.size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(m.size);
            e.timestamp = m.mtime > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(m.mtime);
            entries.push_back(std::move(e));
        }
        if (!s.Skip(Padded(m.size))) return s.Error() ? s.Error() : SPI::SPI_BROKEN_DATA;
    }
}

int ExtractTar(Stream& s, Sink& sink, spi::Progress& progress, uint64_t exactSize) {
    Member m;
    bool end = false;
    if (int rc = ReadMember(s, m, end)) return rc;
    if (end || !IsFile(m.type)) return SPI::SPI_UNKNOWN_FORMAT;
    if (exactSize && exactSize != s.Pos() + m.size && exactSize != s.Pos() + Padded(m.size))
        return SPI::SPI_NOT_IMPLEMENTED;
    if (m.size > MAX_MEMBER_SIZE) return SPI::SPI_NO_MEMORY;
    progress.SetTotal(m.size);
    if (!progress.Report(0)) return SPI::SPI_ABORTED;
    if (int rc = sink.Begin(Utf8OrAnsi(m.name), m.size)) return rc;
    uint8_t buf[64 * 1024];
    uint64_t done = 0;
    while (done < m.size) {
        size_t want = m.size - done < sizeof buf ? static_cast<size_t>(m.size - done) : sizeof buf;
        size_t got = s.Read(buf, want);
        if (got < want) {
            sink.Abort();
            return s.Error() ? s.Error() : SPI::SPI_BROKEN_DATA;
        }
        if (int rc = sink.Write(buf, got)) {
            sink.Abort();
            return rc;
        }
        done += got;
        if (!progress.Report(done)) {
            sink.Abort();
            return SPI::SPI_ABORTED;
        }
    }
    if (!progress.Report(m.size)) {
        sink.Abort();
        return SPI::SPI_ABORTED;
    }
    return sink.Finish();
}

}  // namespace archive
