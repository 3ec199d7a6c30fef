// ZIP reading. The listing comes from the central directory at the end of the archive,
// found through its end record; the archive may follow other data (a self-extracting
// stub), which the end record's offsets reveal. Extraction starts from a member's local
// header alone, so it works on a file at the member's position as well as on memory.
#include "zip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "plugin/spi_api.h"

namespace archive {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

const uint32_t LOCAL_SIG = 0x04034B50, CENTRAL_SIG = 0x02014B50, END_SIG = 0x06054B50,
               DESCRIPTOR_SIG = 0x08074B50;
const uint16_t ENCRYPTED = 1, DESCRIPTOR = 8, UTF8 = 0x800;
const uint16_t STORED = 0, DEFLATED = 8;
const size_t END_SIZE = 22, CENTRAL_SIZE = 46, LOCAL_SIZE = 30;
const uint32_t MAX_CENTRAL = 64u << 20;

// Sizes and offset that do not fit 32 bits are in the Zip64 extra field, in this order,
// each present only when its 32-bit field is all ones.
void ApplyZip64(const uint8_t* extra, size_t n, uint64_t* fields[3]) {
    for (size_t at = 0; at + 4 <= n;) {
        uint16_t tag = Le16(extra + at), size = Le16(extra + at + 2);
        if (at + 4 + size > n) return;
        if (tag == 1) {
            size_t off = at + 4, end = off + size;
            for (int i = 0; i < 3; ++i) {
                if (*fields[i] != 0xFFFFFFFFu) continue;
                if (off + 8 > end) return;
                *fields[i] = Le64(extra + off);
                off += 8;
            }
            return;
        }
        at += 4 + size;
    }
}

// Whether the extra field holds a Zip64 record; a data descriptor then gives 8-byte sizes.
bool HasZip64(const uint8_t* extra, size_t n) {
    for (size_t at = 0; at + 4 <= n; at += 4 + Le16(extra + at + 2))
        if (Le16(extra + at) == 1) return true;
    return false;
}

// The modification time of the "UT" extra field: seconds since 1970, UTC.
bool UnixTime(const uint8_t* extra, size_t n, uint32_t& t) {
    for (size_t at = 0; at + 4 <= n;) {
        uint16_t tag = Le16(extra + at), size = Le16(extra + at + 2);
        if (at + 4 + size > n) return false;
        if (tag == 0x5455 && size >= 5 && (extra[at + 4] & 1)) {
            t = Le32(extra + at + 5);
            return true;
        }
        at += 4 + size;
    }
    return false;
}

// MS-DOS date and time are local time; records hold UTC.
uint32_t DosTime(uint16_t date, uint16_t time) {
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(date, time, &local) || !LocalFileTimeToFileTime(&local, &utc)) return 0;
    uint64_t t = static_cast<uint64_t>(utc.dwHighDateTime) << 32 | utc.dwLowDateTime;
    const uint64_t k1970 = 116444736000000000ull;
    return t < k1970 ? 0 : static_cast<uint32_t>((t - k1970) / 10000000);
}

void MethodText(uint16_t method, char (&out)[8]) {
    std::memset(out, 0, sizeof out);
    if (method == STORED) {
        std::memcpy(out, "Stored", 6);
    } else if (method == DEFLATED) {
        std::memcpy(out, "Deflate", 7);
    } else {
        std::string s = "M" + std::to_string(method);
        std::memcpy(out, s.data(), std::min<size_t>(s.size(), 7));
    }
}

std::wstring ZipName(const uint8_t* p, size_t n, uint16_t flags) {
    return MemberName(reinterpret_cast<const char*>(p), n, (flags & UTF8) != 0, CP_OEMCP);
}

// Inflates or copies `compsize` bytes (or, for a deflated member of unknown size, up to the
// end of its deflate stream) into the sink, with the CRC and size checked at the end.
int Copy(spi::Reader& data, uint16_t method, bool sizesKnown, uint64_t compsize, uint64_t filesize,
         uint32_t crc, Sink& sink, spi::Progress& progress, uint64_t& consumed, uint32_t& gotCrc,
         uint64_t& produced) {
    z_stream z{};
    if (method == DEFLATED && inflateInit2(&z, -MAX_WBITS) != Z_OK) return SPI::SPI_NO_MEMORY;
    struct End {
        z_stream* z;
        bool on;
        ~End() {
            if (on) inflateEnd(z);
        }
    } end{&z, method == DEFLATED};

    std::vector<uint8_t> in(64 * 1024), out(64 * 1024);
    uLong c = crc32(0, nullptr, 0);
    consumed = produced = 0;
    bool done = false;
    while (!done) {
        size_t want = in.size();
        if (sizesKnown) want = static_cast<size_t>(std::min<uint64_t>(want, compsize - consumed));
        if (want == 0 && method == STORED) break;
        size_t got = data.Read(in.data(), want);
        if (got == 0 && (want > 0 || method == STORED)) return SPI::SPI_BROKEN_DATA;  // cut short
        consumed += got;
        const uint8_t* chunk = in.data();
        size_t chunkLen = got;
        if (method == DEFLATED) {
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(got);
            do {
                z.next_out = out.data();
                z.avail_out = static_cast<uInt>(out.size());
                int rc = inflate(&z, Z_NO_FLUSH);
                if (rc == Z_STREAM_END) {
                    done = true;
                } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && z.avail_in == 0)) {
                    return rc == Z_MEM_ERROR ? SPI::SPI_NO_MEMORY : SPI::SPI_BROKEN_DATA;
                }
                size_t n = out.size() - z.avail_out;
                produced += n;
                if (produced > MAX_MEMBER_SIZE || (sizesKnown && produced > filesize)) {
                    return produced > MAX_MEMBER_SIZE ? SPI::SPI_NO_MEMORY : SPI::SPI_BROKEN_DATA;
                }
                c = crc32(c, out.data(), static_cast<uInt>(n));
                if (int rc2 = sink.Write(out.data(), n)) return rc2;
            } while (!done && (z.avail_in > 0 || z.avail_out == 0));
            // Give back what the deflate stream did not use: the data descriptor follows.
            consumed -= z.avail_in;
            if (!done && sizesKnown && consumed >= compsize) return SPI::SPI_BROKEN_DATA;
            chunkLen = 0;
        }
        if (chunkLen > 0) {
            produced += chunkLen;
            c = crc32(c, chunk, static_cast<uInt>(chunkLen));
            if (int rc = sink.Write(chunk, chunkLen)) return rc;
        }
        if (!progress.Report(produced)) return SPI::SPI_ABORTED;
    }
    gotCrc = static_cast<uint32_t>(c);
    if (sizesKnown && (produced != filesize || gotCrc != crc)) return SPI::SPI_BROKEN_DATA;
    return SPI::SPI_OK;
}

}  // namespace

int ListZip(spi::Input& in, std::vector<Entry>& entries) {
    uint64_t size = in.Size();
    if (size < END_SIZE) return SPI::SPI_BROKEN_DATA;
    // The end record is in the last 22 bytes plus a comment of up to 65535.
    size_t tailLen = static_cast<size_t>(std::min<uint64_t>(size, END_SIZE + 0xFFFF));
    std::vector<uint8_t> tail(tailLen);
    if (!in.ReadExact(size - tailLen, tail.data(), tailLen)) return SPI::SPI_READ_ERROR;
    const uint8_t* end = nullptr;
    for (size_t i = tailLen - END_SIZE + 1; i-- > 0;) {
        if (Le32(&tail[i]) == END_SIG && i + END_SIZE + Le16(&tail[i + 20]) <= tailLen) {
            end = &tail[i];
            break;
        }
    }
    if (!end) return SPI::SPI_BROKEN_DATA;
    uint64_t endPos = size - tailLen + (end - tail.data());
    if (Le16(end + 4) != 0 || Le16(end + 6) != 0) return SPI::SPI_UNKNOWN_FORMAT;  // spans disks
    uint32_t count = Le16(end + 10), cdSize = Le32(end + 12), cdOffset = Le32(end + 16);
    if (cdOffset == 0xFFFFFFFFu || cdSize == 0xFFFFFFFFu) return SPI::SPI_UNKNOWN_FORMAT;  // Zip64 archive
    if (cdSize > MAX_CENTRAL) return SPI::SPI_NO_MEMORY;
    if (static_cast<uint64_t>(cdSize) + cdOffset > endPos) return SPI::SPI_BROKEN_DATA;
    // Bytes in front of the archive shift every offset it records.
    uint64_t base = endPos - cdSize - cdOffset;
    std::vector<uint8_t> cd(cdSize);
    if (!in.ReadExact(base + cdOffset, cd.data(), cdSize)) return SPI::SPI_BROKEN_DATA;

    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + CENTRAL_SIZE > cd.size() || Le32(&cd[at]) != CENTRAL_SIG) return SPI::SPI_BROKEN_DATA;
        const uint8_t* h = &cd[at];
        uint16_t flags = Le16(h + 8), method = Le16(h + 10);
        uint16_t nameLen = Le16(h + 28), extraLen = Le16(h + 30), commentLen = Le16(h + 32);
        if (at + CENTRAL_SIZE + nameLen + extraLen + commentLen > cd.size()) return SPI::SPI_BROKEN_DATA;
        const uint8_t* name = h + CENTRAL_SIZE;
        const uint8_t* extra = name + nameLen;
        at += CENTRAL_SIZE + nameLen + extraLen + commentLen;
        if (nameLen == 0 || std::memchr(name, 0, nameLen)) return SPI::SPI_BROKEN_DATA;
        if (name[nameLen - 1] == '/' || name[nameLen - 1] == '\\') continue;  // a folder

        uint64_t filesize = Le32(h + 24), compsize = Le32(h + 20), offset = Le32(h + 42);
        uint64_t* wide[3] = {&filesize, &compsize, &offset};
        ApplyZip64(extra, extraLen, wide);
        if (offset + LOCAL_SIZE > cdOffset) return SPI::SPI_BROKEN_DATA;  // not before the directory
        uint64_t position = in.Origin() + base + offset;
        if (position > 0xFFFFFFFFu) return SPI::SPI_NO_MEMORY;  // past what a record holds
        if (entries.size() >= MAX_ENTRIES) return SPI::SPI_NO_MEMORY;

        Entry e;
        e.name = ZipName(name, nameLen, flags);
        MethodText(method, e.method);
        e.position = static_cast<uint32_t>(position);
        e.compsize = compsize > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(compsize);
        e.filesize = filesize > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(filesize);
        if (!UnixTime(extra, extraLen, e.timestamp)) e.timestamp = DosTime(Le16(h + 14), Le16(h + 12));
        e.crc = Le32(h + 16);
        entries.push_back(std::move(e));
    }
    return SPI::SPI_OK;
}

int ExtractZip(spi::Input& in, Sink& sink, spi::Progress& progress) {
    uint8_t h[LOCAL_SIZE];
    if (!in.ReadExact(0, h, sizeof h) || Le32(h) != LOCAL_SIG) return SPI::SPI_UNKNOWN_FORMAT;
    uint16_t flags = Le16(h + 6), method = Le16(h + 8);
    uint16_t nameLen = Le16(h + 26), extraLen = Le16(h + 28);
    std::vector<uint8_t> names(nameLen + extraLen);
    if (!in.ReadExact(LOCAL_SIZE, names.data(), names.size())) return SPI::SPI_BROKEN_DATA;
    if (nameLen == 0 || std::memchr(names.data(), 0, nameLen)) return SPI::SPI_BROKEN_DATA;
    if (flags & ENCRYPTED) return SPI::SPI_UNKNOWN_FORMAT;
    if (method != STORED && method != DEFLATED) return SPI::SPI_UNKNOWN_FORMAT;

    uint64_t compsize = Le32(h + 18), filesize = Le32(h + 22), unused = 0;
    uint64_t* wide[3] = {&filesize, &compsize, &unused};
    ApplyZip64(names.data() + nameLen, extraLen, wide);
    // With a data descriptor the local header may hold no sizes: a deflate stream then
    // tells its own end, and the descriptor after it gives the CRC and sizes.
    bool sizesKnown = !(flags & DESCRIPTOR) || compsize != 0 || filesize != 0;
    if (!sizesKnown && method == STORED) return SPI::SPI_BROKEN_DATA;
    uint32_t crc = Le32(h + 14);
    uint64_t dataStart = LOCAL_SIZE + nameLen + extraLen;
    // The descriptor: its signature (optional), the CRC, and the two sizes of 4 bytes each,
    // or of 8 where the local header has a Zip64 record (as writers to a stream make it).
    const size_t sizeBytes = HasZip64(names.data() + nameLen, extraLen) ? 8 : 4;
    auto sizeAt = [sizeBytes](const uint8_t* p) { return sizeBytes == 8 ? Le64(p) : Le32(p); };
    // From memory the data must be this member's stored bytes exactly (its header, its data
    // and its descriptor): more may be a whole archive, whose other member the caller meant.
    // A member of unknown size is measured as it is read.
    if (in.IsMemory() && sizesKnown) {
        uint64_t end = dataStart + compsize;
        uint8_t sig[4];
        if (flags & DESCRIPTOR) end += (in.ReadExact(end, sig, 4) && Le32(sig) == DESCRIPTOR_SIG ? 8 : 4) + 2 * sizeBytes;
        if (in.Size() != end) return SPI::SPI_NOT_IMPLEMENTED;
    }
    if (sizesKnown) {
        if (filesize > MAX_MEMBER_SIZE) return SPI::SPI_NO_MEMORY;
        if (compsize > in.Size() - std::min(in.Size(), dataStart)) return SPI::SPI_BROKEN_DATA;
        if (method == STORED && compsize != filesize) return SPI::SPI_BROKEN_DATA;
    }

    progress.SetTotal(sizesKnown ? filesize : 0);
    if (!progress.Report(0)) return SPI::SPI_ABORTED;
    if (int rc = sink.Begin(ZipName(names.data(), nameLen, flags), sizesKnown ? filesize : 0)) return rc;
    spi::Reader data(in, dataStart);
    uint64_t consumed = 0, produced = 0;
    uint32_t gotCrc = 0;
    int rc = Copy(data, method, sizesKnown, compsize, filesize, crc, sink, progress, consumed, gotCrc,
                  produced);
    if (rc == SPI::SPI_OK && !sizesKnown) {
        uint8_t d[24];
        size_t n = in.ReadAt(dataStart + consumed, d, sizeof d);
        size_t off = n >= 4 && Le32(d) == DESCRIPTOR_SIG ? 4 : 0;
        const size_t length = off + 4 + 2 * sizeBytes;
        if (n < length || Le32(d + off) != gotCrc || sizeAt(d + off + 4) != consumed ||
            sizeAt(d + off + 4 + sizeBytes) != produced)
            rc = SPI::SPI_BROKEN_DATA;
        else if (in.IsMemory() && in.Size() != dataStart + consumed + length)
            rc = SPI::SPI_NOT_IMPLEMENTED;
    }
    if (rc == SPI::SPI_OK && !progress.Report(produced)) rc = SPI::SPI_ABORTED;
    if (rc != SPI::SPI_OK) {
        sink.Abort();
        return rc;
    }
    return sink.Finish();
}

}  // namespace archive
