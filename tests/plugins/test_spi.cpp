// Test Susie plug-ins. One source; CMakeLists.txt (tamrix_add_test_spi) builds the
// variants by writing a few TESTSPI_* macros into a per-variant spi_variant.h:
//   TESTSPI_KIND          "00IN" | "00AM" | anything        (GetPluginInfo 0)
//   TESTSPI_FAMILY        1 picture exports, 2 archive exports, 0 none
//   TESTSPI_ABOUT         about text                         (GetPluginInfo 1)
//   TESTSPI_PAIRS         "pattern", "description", ...,     (GetPluginInfo 2...; trailing
//                         comma; an odd count leaves the last description out)
//   TESTSPI_MAGIC         first four header bytes IsSupported accepts
//   TESTSPI_ACCEPT_EXT    accept by file-name ending (e.g. ".qqn") instead of by magic
//   TESTSPI_NO_ISSUPPORTED, TESTSPI_NO_PREVIEW, TESTSPI_NO_CONFIG, TESTSPI_NO_ARCHIVEINFO,
//   TESTSPI_NO_FILEINFO, TESTSPI_NO_FILE, TESTSPI_NO_PICTURE   leave that export out
//   TESTSPI_LOAD_FAILS    DllMain refuses the process attach, so the library never loads
//   TESTSPI_KEEPS_TLS_SLOT  every load takes a TLS slot that is never freed, as a static
//                         runtime does that never frees its index; with none left, loads fail
//   TESTSPI_NO_NUL        GetPluginInfo fills whole buffers without a NUL
//   TESTSPI_ANSWER_EVERY_INFO  GetPluginInfo answers every number, even those it does not have
//   TESTSPI_WIDE          the wide entry points too (IsSupportedW ... GetPluginInfoW)
//   TESTSPI_DECODE_RESULT GetPicture and GetPreview answer this code for any QQA1 picture
//   TESTSPI_LIST_RESULT   GetArchiveInfo answers this code, and no listing, for any QQZ1 archive
//   TESTSPI_FORGETFUL     GetFile from a file works only on the archive listed last, which
//                         IsSupported about any other name forgets
//   TESTSPI_MEMBER_DELAY  GetFile from a file first waits as many milliseconds as the member's
//                         crc says, as a plug-in that decompresses its archive from the start
//                         for every member
//   TESTSPI_WRITES        CreatePicture writes destinations ending in this (e.g. ".qqw") and
//                         answers 2 for any other
//   TESTSPI_UPSETS_CALLER every call (DllMain too) ends as some Delphi plug-ins do: FP
//                         exceptions unmasked (one pending), folder and error modes changed
//   TESTSPI_FILL_EVERY_FIELD  records leave no byte unset: member names run to the end of
//                         their fields (FILL_CHARACTER, no NUL), 64-bit padding is FILL_PADDING
// Input formats, results and the Test* exports: test_formats.h.
#ifdef TESTSPI_VARIANT_HEADER
#include "spi_variant.h"
#endif
#include <windows.h>

#include <cstring>
#include <string>

#include "spi_records.h"
#include "test_formats.h"

#ifndef TESTSPI_KIND
#define TESTSPI_KIND "00IN"
#endif
#ifndef TESTSPI_FAMILY
#define TESTSPI_FAMILY 1
#endif
#ifndef TESTSPI_ABOUT
#define TESTSPI_ABOUT "Tamrix test plug-in"
#endif
#ifndef TESTSPI_PAIRS
#define TESTSPI_PAIRS
#endif
#ifndef TESTSPI_MAGIC
#if TESTSPI_FAMILY == 2
#define TESTSPI_MAGIC "QQZ1"
#else
#define TESTSPI_MAGIC "QQA1"
#endif
#endif

#define SPI_EXPORT extern "C" __declspec(dllexport)

using namespace testspi;

namespace {

// ---------------------------------------------------------------------------------------
// Blocks handed out, in a table shared by all test plug-ins of the process (see
// test_formats.h for why). An entry is (handle, owning module); dead handles are dropped.

const LONG MAX_BLOCKS = 16384;
struct BlockEntry {
    HLOCAL handle;
    const void* owner;
};
struct BlockTable {
    volatile LONG lock;
    LONG used;
    BlockEntry entries[MAX_BLOCKS];
};

BlockTable g_privateTable;  // used only when the shared one cannot be mapped
BlockTable* g_table = &g_privateTable;
HANDLE g_tableMapping;
char g_ownerTag;  // its address tells this module's entries apart
const void* const SELF_TAG = &g_ownerTag;

class TableLock {
public:
    TableLock() {
        while (InterlockedCompareExchange(&g_table->lock, 1, 0) != 0) Sleep(0);
    }
    ~TableLock() { InterlockedExchange(&g_table->lock, 0); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

bool handle_alive(HLOCAL h) { return LocalFlags(h) != LMEM_INVALID_HANDLE; }

// Keeps the entries for which keep() holds. Caller holds the lock.
template <typename Keep>
void filter_table(Keep keep) {
    LONG kept = 0;
    for (LONG i = 0; i < g_table->used; ++i)
        if (keep(g_table->entries[i])) g_table->entries[kept++] = g_table->entries[i];
    g_table->used = kept;
}

[[maybe_unused]] void record_block(HLOCAL h) {
    if (!h) return;
    TableLock lock;
    filter_table([](const BlockEntry& e) { return handle_alive(e.handle); });
    for (LONG i = 0; i < g_table->used; ++i) {
        if (g_table->entries[i].handle == h) {  // freed and handed out again
            g_table->entries[i].owner = SELF_TAG;
            return;
        }
    }
    if (g_table->used < MAX_BLOCKS) g_table->entries[g_table->used++] = {h, SELF_TAG};
}

int outstanding_blocks() {
    TableLock lock;
    filter_table([](const BlockEntry& e) { return handle_alive(e.handle); });
    int n = 0;
    for (LONG i = 0; i < g_table->used; ++i) n += g_table->entries[i].owner == SELF_TAG;
    return n;
}

void forget_own_blocks() {
    TableLock lock;
    filter_table([](const BlockEntry& e) { return e.owner != SELF_TAG; });
}

void open_shared_table() {
    char name[64] = "Local\\TamrixTestSpiBlocks1-";
    size_t at = std::strlen(name);
    DWORD pid = GetCurrentProcessId();
    for (int shift = 28; shift >= 0; shift -= 4) name[at++] = "0123456789abcdef"[(pid >> shift) & 15];
    name[at] = 0;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(BlockTable), name);
    if (!mapping) return;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(BlockTable));
    if (!view) {
        CloseHandle(mapping);
        return;
    }
    g_tableMapping = mapping;
    g_table = static_cast<BlockTable*>(view);  // a new mapping starts zeroed
}

void close_shared_table() {
    if (!g_tableMapping) return;
    UnmapViewOfFile(g_table);
    CloseHandle(g_tableMapping);
    g_table = &g_privateTable;
    g_tableMapping = nullptr;
}

// ---------------------------------------------------------------------------------------
// What the tests can ask about the calls this module has seen.

struct CallRecord {
    int calls;
    LONG_PTR lastLen;
    unsigned lastFlag;
    int lastFirstByte;
    int configCalls;
    int configParent, configFunction;
    int isSupportedCalls;
    bool lastNameNull;
    char lastName[1024];
    bool haveArchive;  // an archive header remembered for GetFile from memory
    QqzHeader lastArchive;
};
CallRecord g_rec = {0, 0, 0, -1, 0, 0, 0, 0, false, {0}, false, {}};
SRWLOCK g_recLock = SRWLOCK_INIT;

#ifdef TESTSPI_FORGETFUL
// The archive file listed last (narrow name, under RecLock): GetFile from a file extracts
// only from it, and IsSupported about any other name forgets it, as some real plug-ins do.
static std::string g_listedArchive;
#endif

class RecLock {
public:
    RecLock() { AcquireSRWLockExclusive(&g_recLock); }
    ~RecLock() { ReleaseSRWLockExclusive(&g_recLock); }
    RecLock(const RecLock&) = delete;
    RecLock& operator=(const RecLock&) = delete;
};

// The last header IsSupported was shown, read whole as a real plug-in may read it.
const int HEADER_BYTES = 2048;
struct HeaderRecord {
    const void* address;
    unsigned char bytes[HEADER_BYTES];
};
HeaderRecord g_header = {nullptr, {0}};

[[maybe_unused]] void record_header(const void* dw) {
    RecLock lock;
    g_header.address = dw;
    // A dw below 64K would be an old-style file handle, not an address.
    if ((reinterpret_cast<UINT_PTR>(dw) & ~static_cast<UINT_PTR>(0xFFFF)) == 0)
        std::memset(g_header.bytes, 0, sizeof g_header.bytes);
    else
        std::memcpy(g_header.bytes, dw, sizeof g_header.bytes);
}

// A call into the host from inside a plug-in call (TestSetReentry), made once.
int(WINAPI* g_reentry)(LONG_PTR) = nullptr;
LONG_PTR g_reentryData = 0;

void reenter() {
    if (auto fn = InterlockedExchangePointer(reinterpret_cast<void**>(&g_reentry), nullptr))
        reinterpret_cast<int(WINAPI*)(LONG_PTR)>(fn)(g_reentryData);
}

#ifdef TESTSPI_UPSETS_CALLER
// x87 0272 and MXCSR 1904 (invalid, zero divide, overflow unmasked; a zero divide flagged,
// on the x87 pending when `pending`), the system folder current, no error dialogs.
void upset_caller(bool pending) {
    wchar_t system[MAX_PATH];
    if (GetSystemDirectoryW(system, MAX_PATH)) SetCurrentDirectoryW(system);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX, nullptr);
    const unsigned mxcsr = 0x1904, masked = 0x037F, control = 0x0272;
    asm volatile("ldmxcsr %0\n\tfldcw %1" : : "m"(mxcsr), "m"(masked));
    if (pending) asm volatile("fldz\n\tfld1\n\tfdiv %%st(1), %%st\n\tfstp %%st(0)\n\tfstp %%st(0)" : : : "st", "st(1)");
    asm volatile("fldcw %0" : : "m"(control));
}
struct UpsetOnReturn {
    ~UpsetOnReturn() { upset_caller(true); }
};
#define UPSET_CALLER_ON_RETURN const UpsetOnReturn upsetOnReturn
#else
#define UPSET_CALLER_ON_RETURN
#endif

// ---------------------------------------------------------------------------------------
// Input helpers.

const int64_t MAX_BLOCK_BYTES = 64ll << 20;
const int64_t MAX_FILE_BYTES = 256ll << 20;

unsigned source_of(unsigned flag) { return flag & SPI_SOURCE_MASK; }

class File {
public:
    explicit File(LPCSTR name)
        : h_(name ? CreateFileA(name, GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                  : INVALID_HANDLE_VALUE) {}
    explicit File(LPCWSTR name)
        : h_(name ? CreateFileW(name, GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                  : INVALID_HANDLE_VALUE) {}
    ~File() {
        if (ok()) CloseHandle(h_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    int64_t size() const {
        LARGE_INTEGER s;
        return ok() && GetFileSizeEx(h_, &s) ? s.QuadPart : -1;
    }
    // Bytes read at `offset` (fewer at the end of the file), -1 on failure.
    int64_t read_at(int64_t offset, void* dst, DWORD n) const {
        LARGE_INTEGER pos;
        pos.QuadPart = offset;
        DWORD got = 0;
        if (!ok() || offset < 0 || !SetFilePointerEx(h_, pos, nullptr, FILE_BEGIN) ||
            !ReadFile(h_, dst, n, &got, nullptr))
            return -1;
        return got;
    }

private:
    HANDLE h_;
};

// A heap buffer for data read from files.
class Bytes {
public:
    Bytes() = default;
    ~Bytes() {
        if (p_) HeapFree(GetProcessHeap(), 0, p_);
    }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    bool allocate(size_t n) {
        p_ = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, n ? n : 1));
        n_ = n;
        return p_ != nullptr;
    }
    uint8_t* data() const { return p_; }
    size_t size() const { return n_; }

private:
    uint8_t* p_ = nullptr;
    size_t n_ = 0;
};

// The file `name` (narrow or wide) from `offset` to its end.
template <typename Ch>
[[maybe_unused]] int read_file_from(const Ch* name, LONG_PTR offset, Bytes& out) {
    File f(name);
    int64_t size = f.size();
    if (size < 0 || offset < 0) return SPI_FILE_READ_ERROR;
    int64_t n = offset < size ? size - offset : 0;
    if (n > MAX_FILE_BYTES) return SPI_NO_MEMORY;
    if (!out.allocate(static_cast<size_t>(n))) return SPI_NO_MEMORY;
    if (n > 0 && f.read_at(offset, out.data(), static_cast<DWORD>(n)) != n) return SPI_FILE_READ_ERROR;
    return SPI_OK;
}

// Counts a data call and notes its arguments (test_formats.h: TestCallCount ...). `buf` is a
// narrow or wide file name, or the data's address.
template <typename Ch>
[[maybe_unused]] void begin_call(const Ch* buf, LONG_PTR len, unsigned flag) {
    int first = -1;
    if (source_of(flag) == SPI_SOURCE_MEMORY) {
        if (buf && len > 0) first = *reinterpret_cast<const uint8_t*>(buf);
    } else if (source_of(flag) == SPI_SOURCE_FILE) {
        uint8_t b;
        if (File(buf).read_at(len, &b, 1) == 1) first = b;
    }
    RecLock lock;
    ++g_rec.calls;
    g_rec.lastLen = len;
    g_rec.lastFlag = flag;
    g_rec.lastFirstByte = first;
}

// A moveable local block of n bytes filled by fill(p) when n > 0.
template <typename Fill>
HLOCAL make_block(int64_t n, Fill fill) {
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, static_cast<SIZE_T>(n));
    if (!h || n == 0) return h;
    auto* p = static_cast<uint8_t*>(LocalLock(h));
    if (!p) {
        LocalFree(h);
        return nullptr;
    }
    fill(p);
    LocalUnlock(h);
    return h;
}

[[maybe_unused]] bool same_ascii_nocase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (ca != cb) return false;
        if (!ca) return true;
    }
}

// Copies a fixed-size field up to its first NUL and terminates it.
template <size_t N>
void copy_field(char* dst, const char (&src)[N]) {
    size_t n = strnlen(src, N);
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

const char* info_text(int infono) {
    static const char* const TYPES[] = {TESTSPI_PAIRS nullptr};
    const int typeCount = static_cast<int>(sizeof TYPES / sizeof TYPES[0]) - 1;
    if (infono == 0) return TESTSPI_KIND;
    if (infono == 1) return TESTSPI_ABOUT;
    if (infono >= 2 && infono - 2 < typeCount) return TYPES[infono - 2];
    return nullptr;
}

#if TESTSPI_FAMILY == 1
// ---------------------------------------------------------------------------------------
// QQA pictures.

template <typename Ch>
int read_qqa_header(const Ch* buf, LONG_PTR len, unsigned flag, QqaHeader& h) {
    switch (source_of(flag)) {
    case SPI_SOURCE_MEMORY:
        if (!buf) return SPI_MEMORY_ERROR;
        if (len < static_cast<LONG_PTR>(sizeof h)) return SPI_UNKNOWN_FORMAT;
        std::memcpy(&h, buf, sizeof h);
        break;
    case SPI_SOURCE_FILE: {
        File f(buf);
        int64_t got = f.read_at(len, &h, sizeof h);
        if (got < 0) return SPI_FILE_READ_ERROR;
        if (got < static_cast<int64_t>(sizeof h)) return SPI_UNKNOWN_FORMAT;
        break;
    }
    default:
        return SPI_NOT_IMPLEMENTED;
    }
    return std::memcmp(h.magic, "QQA1", 4) == 0 ? SPI_OK : SPI_UNKNOWN_FORMAT;
}

int64_t shrink(int64_t full, int32_t shortfall) {
    int64_t n = full - shortfall;
    return n < 0 ? 0 : n;
}

HLOCAL make_info_block(const QqaHeader& q, int32_t width, int32_t height, int64_t size) {
    BITMAPINFOHEADER bih = {};
    bih.biSize = static_cast<DWORD>(qqa_header_bytes(q));
    bih.biWidth = width;
    bih.biHeight = height;
    bih.biPlanes = 1;
    bih.biBitCount = q.bitCount;
    bih.biCompression = q.compression;
    bih.biSizeImage = static_cast<DWORD>(qqa_pixel_bytes(width, height, q.bitCount));
    bih.biClrUsed = q.clrUsed;
    return make_block(size, [&](uint8_t* p) {
        auto put = [&](int64_t at, uint8_t b) {
            if (at < size) p[at] = b;
        };
        int64_t headerBytes = qqa_header_bytes(q);
        const auto* hb = reinterpret_cast<const uint8_t*>(&bih);
        for (int64_t i = 0; i < headerBytes && i < static_cast<int64_t>(sizeof bih); ++i) put(i, hb[i]);
        int64_t at = headerBytes;
        for (int m = 0; m < qqa_mask_count(q); ++m) {
            uint32_t mask = qqa_bitfield_mask(q.bitCount, m);
            for (int k = 0; k < 4; ++k) put(at++, static_cast<uint8_t>(mask >> (8 * k)));
        }
        const uint8_t seed = static_cast<uint8_t>(q.seed + 0x40);
        for (int64_t i = 0; i < 4 * qqa_colour_count(q) && at < size; ++i)
            put(at++, pattern_byte(seed, static_cast<uint32_t>(i)));
    });
}

HLOCAL make_pixel_block(uint8_t seed, int64_t size) {
    return make_block(size, [&](uint8_t* p) {
        for (int64_t i = 0; i < size; ++i) p[i] = pattern_byte(seed, static_cast<uint32_t>(i));
    });
}

template <typename Ch>
int decode(const Ch* buf, LONG_PTR len, unsigned flag, HLOCAL* pInfo, HLOCAL* pBits,
           ProgressCallback progress, LONG_PTR lData, bool preview) {
    UPSET_CALLER_ON_RETURN;
    begin_call(buf, len, flag);
    QqaHeader q;
    int rc = read_qqa_header(buf, len, flag, q);
    if (rc != SPI_OK) return rc;
    if (!pInfo || !pBits) return SPI_MEMORY_ERROR;
#ifdef TESTSPI_DECODE_RESULT
    return TESTSPI_DECODE_RESULT;  // accepted by IsSupported, and still not decoded
#endif
    if (progress && progress(0, 1, lData)) return SPI_ABORTED;
    if (q.resultCode != SPI_OK) return q.resultCode;

    const int32_t width = preview ? qqa_preview_dim(q.width) : q.width;
    const int32_t height = preview ? qqa_preview_dim(q.height) : q.height;
    const int64_t infoSize = shrink(qqa_info_bytes(q), q.infoShortfall);
    const int64_t pixelSize = shrink(qqa_pixel_bytes(width, height, q.bitCount), q.pixelShortfall);
    if (infoSize > MAX_BLOCK_BYTES || pixelSize > MAX_BLOCK_BYTES) return SPI_NO_MEMORY;

    HLOCAL info = nullptr, bits = nullptr;
    if (!(q.flags & QQA_NULL_INFO) && !(info = make_info_block(q, width, height, infoSize)))
        return SPI_NO_MEMORY;
    if (q.flags & QQA_SAME_BLOCK) {
        bits = info;  // one block handed back as both outputs
    } else if (q.flags & QQA_ECHO_HEADER) {
        QqaHeader echo = q;
        echo.flags &= ~QQA_ECHO_HEADER;
        bits = make_block(sizeof echo, [&](uint8_t* p) { std::memcpy(p, &echo, sizeof echo); });
        if (!bits) {
            if (info) LocalFree(info);
            return SPI_NO_MEMORY;
        }
    } else if (!(q.flags & QQA_NULL_PIXELS) && !(bits = make_pixel_block(q.seed, pixelSize))) {
        if (info) LocalFree(info);
        return SPI_NO_MEMORY;
    }
    if (progress && progress(1, 1, lData)) {
        if (info) LocalFree(info);
        if (bits && bits != info) LocalFree(bits);
        return SPI_ABORTED;
    }
    record_block(info);
    if (bits != info) record_block(bits);
    *pInfo = info;
    *pBits = bits;
    return SPI_OK;
}
#endif  // TESTSPI_FAMILY == 1

#if TESTSPI_FAMILY == 2
// ---------------------------------------------------------------------------------------
// QQZ archives.

struct Archive {
    Bytes storage;            // file contents when read from a file
    const uint8_t* data = nullptr;
    size_t size = 0;
    ULONG_PTR base = 0;   // added to member offsets for `position`
    QqzHeader header = {};
};

// Reads the archive the call names and checks its header.
template <typename Ch>
int open_archive(const Ch* buf, LONG_PTR len, unsigned flag, Archive& a) {
    switch (source_of(flag)) {
    case SPI_SOURCE_MEMORY:
        if (!buf) return SPI_MEMORY_ERROR;
        a.data = reinterpret_cast<const uint8_t*>(buf);
        a.size = len > 0 ? static_cast<size_t>(len) : 0;
        break;
    case SPI_SOURCE_FILE: {
        int rc = read_file_from(buf, len, a.storage);
        if (rc != SPI_OK) return rc;
        a.data = a.storage.data();
        a.size = a.storage.size();
        a.base = static_cast<ULONG_PTR>(len);
        break;
    }
    default:
        return SPI_NOT_IMPLEMENTED;
    }
    if (a.size < sizeof(QqzHeader) || std::memcmp(a.data, "QQZ1", 4) != 0) return SPI_UNKNOWN_FORMAT;
    std::memcpy(&a.header, a.data, sizeof a.header);
    RecLock lock;
    g_rec.haveArchive = true;
    g_rec.lastArchive = a.header;
    return SPI_OK;
}

// Calls visit(member, dataOffset) for each member (offsets from the header's start)
// until it returns true. SPI_OK, or SPI_DATA_BROKEN when a member does not fit.
template <typename Visit>
int walk_members(const uint8_t* data, size_t size, Visit visit) {
    QqzHeader h;
    std::memcpy(&h, data, sizeof h);
    size_t at = sizeof h;
    for (uint32_t i = 0; i < h.count; ++i) {
        if (size - at < sizeof(QqzMember)) return SPI_DATA_BROKEN;
        QqzMember m;
        std::memcpy(&m, data + at, sizeof m);
        at += sizeof m;
        if (size - at < m.size) return SPI_DATA_BROKEN;
        if (visit(m, at)) return SPI_OK;
        at += m.size;
    }
    return SPI_OK;
}

// The numbers of a member's record (narrow or wide), as QQZ_HIGH_FIELDS has them.
template <typename Record>
void set_numbers(Record& r, const QqzMember& m, ULONG_PTR position, uint32_t flags) {
    std::memcpy(r.method, m.method, sizeof r.method);
    r.position = position;
    r.compsize = r.filesize = m.size;
    if (flags & QQZ_FILESIZE_IS_CRC) r.filesize = m.crc;
    r.timestamp = m.timestamp;
#ifdef _WIN64
    if (flags & QQZ_HIGH_FIELDS) {
        r.position += QQZ_HIGH_BIAS;
        r.compsize += QQZ_HIGH_BIAS;
        r.filesize += QQZ_HIGH_BIAS;
        r.timestamp = static_cast<uint32_t>(m.timestamp) + QQZ_HIGH_BIAS;
    }
#endif
    r.crc = m.crc;
#if defined(TESTSPI_FILL_EVERY_FIELD) && defined(_WIN64)
    std::memset(r.padding, FILL_PADDING, sizeof r.padding);
#endif
}

// A name field of N characters: the name, then, in the variant that fills every field,
// FILL_CHARACTER up to the field's end without a NUL.
template <typename Ch, size_t N>
void put_name(Ch (&field)[N], const Ch* name, size_t length) {
    if (length > N - 1) length = N - 1;
    std::memcpy(field, name, length * sizeof(Ch));
#ifdef TESTSPI_FILL_EVERY_FIELD
    for (size_t i = length; i < N; ++i) field[i] = static_cast<Ch>(FILL_CHARACTER);
#else
    field[length] = 0;
#endif
}

FileInfo to_file_info(const QqzMember& m, ULONG_PTR position, uint32_t flags) {
    FileInfo r = {};
    set_numbers(r, m, position, flags);
    put_name(r.path, m.path, strnlen(m.path, sizeof m.path));
    put_name(r.filename, m.name, strnlen(m.name, sizeof m.name));
    return r;
}

[[maybe_unused]] bool name_matches(const QqzMember& m, LPCSTR wanted, bool caseSensitive) {
    char name[sizeof m.name + 1], full[sizeof m.path + sizeof m.name + 1];
    copy_field(name, m.name);
    copy_field(full, m.path);
    std::strcat(full, name);
    auto same = [&](const char* a) {
        return caseSensitive ? std::strcmp(a, wanted) == 0 : same_ascii_nocase(a, wanted);
    };
    return same(name) || same(full);
}

// GetFile with a file source: finds, anywhere in the file, an archive with a member whose
// data starts at file offset `position`.
[[maybe_unused]] bool find_member_at(const Bytes& file, LONG_PTR position, QqzHeader& header, QqzMember& member) {
    const size_t minimum = sizeof(QqzHeader) + sizeof(QqzMember);
    if (position < 0 || static_cast<size_t>(position) > file.size()) return false;
    const size_t target = static_cast<size_t>(position);
    for (size_t start = 0; start + minimum <= target; ++start) {
        const uint8_t* d = file.data() + start;
        if (std::memcmp(d, "QQZ1", 4) != 0) continue;
        bool found = false;
        walk_members(d, file.size() - start, [&](const QqzMember& m, size_t dataOffset) {
            if (start + dataOffset == target) {
                member = m;
                found = true;
            }
            return start + dataOffset >= target;
        });
        if (found) {
            std::memcpy(&header, d, sizeof header);
            return true;
        }
    }
    return false;
}
#endif  // TESTSPI_FAMILY == 2

#ifdef TESTSPI_WIDE
// ---------------------------------------------------------------------------------------
// The wide entries. This variant's texts and member names are UTF-8: its narrow entries
// hand them over as those bytes, its wide ones as UTF-16.

struct WideRecord {
    int dataCalls;         // wide data calls (GetPictureInfoW ... GetFileW)
    int isSupportedCalls;  // IsSupportedW calls
    int infoCalls;         // GetPluginInfoW calls
    wchar_t lastName[1024];  // the last name a wide entry was given
};
WideRecord g_wide = {0, 0, 0, {0}};

std::wstring utf16(const char* s, size_t n) {
    std::wstring out;
    const int length = n ? MultiByteToWideChar(CP_UTF8, 0, s, static_cast<int>(n), nullptr, 0) : 0;
    if (length <= 0) return out;
    out.resize(static_cast<size_t>(length));
    MultiByteToWideChar(CP_UTF8, 0, s, static_cast<int>(n), &out[0], length);
    return out;
}

std::string utf8(const wchar_t* s) {
    std::string out;
    const int length = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return out;
    out.resize(static_cast<size_t>(length));
    WideCharToMultiByte(CP_UTF8, 0, s, -1, &out[0], length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length) - 1);
    return out;
}

// Counts a wide call and notes the name it was given (a file source's buf, IsSupportedW's
// filename; null leaves the last name as it was).
void note_wide(int WideRecord::*counter, const wchar_t* name) {
    RecLock lock;
    ++(g_wide.*counter);
    if (!name) return;
    const size_t n = wcsnlen(name, 1023);
    std::memcpy(g_wide.lastName, name, n * sizeof(wchar_t));
    g_wide.lastName[n] = 0;
}

// The name a wide data call notes: its buf when that is a file's name.
const wchar_t* wide_name(const wchar_t* buf, unsigned flag) {
    return source_of(flag) == SPI_SOURCE_FILE ? buf : nullptr;
}
#endif  // TESTSPI_WIDE

}  // namespace

// ---------------------------------------------------------------------------------------
// Exports every variant has.

// GetPluginInfo's answer with the item's text as Ch characters (`convert` makes them).
template <typename Ch, typename Convert>
static int plugin_info(int infono, Ch* buf, int buflen, Convert convert) {
    UPSET_CALLER_ON_RETURN;
    const char* item = info_text(infono);
#ifdef TESTSPI_ANSWER_EVERY_INFO
    if (!item) item = "";  // as some real plug-ins do: a non-zero answer for a missing item
#endif
    if (!item || !buf || buflen <= 0) return 0;
    const std::basic_string<Ch> converted = convert(item);
    const Ch* text = converted.c_str();
    int n = static_cast<int>(converted.size());
#ifdef TESTSPI_NO_NUL
    for (int i = 0; i < buflen; ++i) buf[i] = i < n ? text[i] : 'A';
    return buflen;
#else
    if (n > buflen - 1) n = buflen - 1;
    std::memcpy(buf, text, n * sizeof(Ch));
    buf[n] = 0;
#ifdef TESTSPI_ANSWER_EVERY_INFO
    return buflen;
#else
    return n;
#endif
#endif
}

SPI_EXPORT int WINAPI GetPluginInfo(int infono, LPSTR buf, int buflen) {
    return plugin_info(infono, buf, buflen, [](const char* item) { return std::string(item); });
}

#ifdef TESTSPI_WIDE
SPI_EXPORT int WINAPI GetPluginInfoW(int infono, LPWSTR buf, int buflen) {
    note_wide(&WideRecord::infoCalls, nullptr);
    return plugin_info(infono, buf, buflen, [](const char* item) { return utf16(item, std::strlen(item)); });
}
#endif

#ifndef TESTSPI_NO_ISSUPPORTED
static int is_supported(LPCSTR filename, void* dw) {
    UPSET_CALLER_ON_RETURN;
    reenter();
    record_header(dw);
    {
        RecLock lock;
        ++g_rec.isSupportedCalls;
        g_rec.lastNameNull = filename == nullptr;
        g_rec.lastName[0] = 0;
        if (filename) {
            size_t n = strnlen(filename, sizeof g_rec.lastName - 1);
            std::memcpy(g_rec.lastName, filename, n);
            g_rec.lastName[n] = 0;
        }
    }
#ifdef TESTSPI_FORGETFUL
    {
        RecLock lock;
        if (!filename || g_listedArchive != filename) g_listedArchive.clear();
    }
#endif
#ifdef TESTSPI_ACCEPT_EXT
    (void)dw;
    if (!filename) return 0;
    const char* ext = TESTSPI_ACCEPT_EXT;
    size_t n = std::strlen(filename), e = std::strlen(ext);
    return n >= e && same_ascii_nocase(filename + n - e, ext) ? 1 : 0;
#else
    // A dw below 64K would be an old-style file handle, which these plug-ins do not read.
    if ((reinterpret_cast<UINT_PTR>(dw) & ~static_cast<UINT_PTR>(0xFFFF)) == 0) return 0;
    return std::memcmp(dw, TESTSPI_MAGIC, 4) == 0 ? 1 : 0;
#endif
}

SPI_EXPORT int WINAPI IsSupported(LPCSTR filename, void* dw) {
    return is_supported(filename, dw);
}

#ifdef TESTSPI_WIDE
// Counted with the narrow calls too, its name noted as UTF-8.
SPI_EXPORT int WINAPI IsSupportedW(LPCWSTR filename, void* dw) {
    note_wide(&WideRecord::isSupportedCalls, filename);
    const std::string name = filename ? utf8(filename) : std::string();
    return is_supported(filename ? name.c_str() : nullptr, dw);
}
#endif
#endif

#ifndef TESTSPI_NO_CONFIG
SPI_EXPORT int WINAPI ConfigurationDlg(HWND parent, int fnc) {
    UPSET_CALLER_ON_RETURN;
    reenter();
    RecLock lock;
    ++g_rec.configCalls;
    g_rec.configParent = static_cast<int>(reinterpret_cast<INT_PTR>(parent));
    g_rec.configFunction = fnc;
    return g_rec.configParent;
}
#endif

// ---------------------------------------------------------------------------------------
// Picture plug-in exports.

#if TESTSPI_FAMILY == 1
template <typename Ch>
static int picture_info(const Ch* buf, LONG_PTR len, unsigned flag, PictureInfo* lpInfo) {
    UPSET_CALLER_ON_RETURN;
    begin_call(buf, len, flag);
    QqaHeader q;
    int rc = read_qqa_header(buf, len, flag, q);
    if (rc != SPI_OK) return rc;
    if (!lpInfo) return SPI_MEMORY_ERROR;
    if (q.resultCode != SPI_OK && !(q.flags & QQA_TEXT_ON_FAILURE)) return q.resultCode;
    HLOCAL text = nullptr;
    const size_t textLen = strnlen(q.text, sizeof q.text);
    if (textLen > 0) {
        text = make_block(static_cast<int64_t>(textLen + 1),
                          [&](uint8_t* p) { std::memcpy(p, q.text, textLen); });
        if (!text) return SPI_NO_MEMORY;
        record_block(text);
    }
    PictureInfo r = {};
    r.left = q.left;
    r.top = q.top;
    r.width = q.width;
    r.height = q.height;
    r.x_density = static_cast<WORD>(q.xDensity);
    r.y_density = static_cast<WORD>(q.yDensity);
    r.colorDepth = static_cast<short>(q.bitCount);
    r.hInfo = text;
#if defined(TESTSPI_FILL_EVERY_FIELD) && defined(_WIN64)
    std::memset(r.padding, FILL_PADDING, sizeof r.padding);
#endif
    *lpInfo = r;
    return q.resultCode;
}

SPI_EXPORT int WINAPI GetPictureInfo(LPCSTR buf, LONG_PTR len, unsigned flag, PictureInfo* lpInfo) {
    return picture_info(buf, len, flag, lpInfo);
}

#ifdef TESTSPI_WRITES
// CreatePicture writes "QQW1" and the information block's width, height and bit count (4, 4
// and 2 bytes) to a destination ending in TESTSPI_WRITES; any other extension answers 2
// and leaves the file alone.
SPI_EXPORT int WINAPI CreatePicture(LPCSTR path, unsigned, HLOCAL* pHBInfo, HLOCAL* pHBm, PictureInfo*,
                                    ProgressCallback, LONG_PTR) {
    UPSET_CALLER_ON_RETURN;
    if (!path || !pHBInfo || !*pHBInfo || !pHBm || !*pHBm) return SPI_INTERNAL_ERROR;
    const char* ext = TESTSPI_WRITES;
    const size_t n = std::strlen(path), e = std::strlen(ext);
    if (n < e || !same_ascii_nocase(path + n - e, ext)) return SPI_UNKNOWN_FORMAT;
    const auto* header = static_cast<const BITMAPINFOHEADER*>(LocalLock(*pHBInfo));
    if (!header) return SPI_MEMORY_ERROR;
    char bytes[14] = {'Q', 'Q', 'W', '1'};
    std::memcpy(bytes + 4, &header->biWidth, 4);
    std::memcpy(bytes + 8, &header->biHeight, 4);
    std::memcpy(bytes + 12, &header->biBitCount, 2);
    LocalUnlock(*pHBInfo);
    HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return SPI_FILE_READ_ERROR;
    DWORD written = 0;
    const BOOL ok = WriteFile(f, bytes, sizeof bytes, &written, nullptr);
    CloseHandle(f);
    return ok && written == sizeof bytes ? SPI_OK : SPI_INTERNAL_ERROR;
}
#endif

#ifndef TESTSPI_NO_PICTURE
SPI_EXPORT int WINAPI GetPicture(LPCSTR buf, LONG_PTR len, unsigned flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                 ProgressCallback lpPrgressCallback, LONG_PTR lData) {
    return decode(buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData, false);
}
#endif

#ifndef TESTSPI_NO_PREVIEW
SPI_EXPORT int WINAPI GetPreview(LPCSTR buf, LONG_PTR len, unsigned flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                 ProgressCallback lpPrgressCallback, LONG_PTR lData) {
    return decode(buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData, true);
}
#endif

#ifdef TESTSPI_WIDE
SPI_EXPORT int WINAPI GetPictureInfoW(LPCWSTR buf, LONG_PTR len, unsigned flag, PictureInfo* lpInfo) {
    note_wide(&WideRecord::dataCalls, wide_name(buf, flag));
    return picture_info(buf, len, flag, lpInfo);
}

SPI_EXPORT int WINAPI GetPictureW(LPCWSTR buf, LONG_PTR len, unsigned flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                  ProgressCallback lpPrgressCallback, LONG_PTR lData) {
    note_wide(&WideRecord::dataCalls, wide_name(buf, flag));
    return decode(buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData, false);
}

#ifndef TESTSPI_NO_PREVIEW
SPI_EXPORT int WINAPI GetPreviewW(LPCWSTR buf, LONG_PTR len, unsigned flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                  ProgressCallback lpPrgressCallback, LONG_PTR lData) {
    note_wide(&WideRecord::dataCalls, wide_name(buf, flag));
    return decode(buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData, true);
}
#endif
#endif  // TESTSPI_WIDE
#endif  // TESTSPI_FAMILY == 1

// ---------------------------------------------------------------------------------------
// Archive plug-in exports.

#if TESTSPI_FAMILY == 2
#ifndef TESTSPI_NO_ARCHIVEINFO
// The listing as an array of Record, each made by `make` (to_file_info or to_file_info_w).
template <typename Record, typename Ch>
static int archive_info(const Ch* buf, LONG_PTR len, unsigned flag, HLOCAL* lphInf,
                        Record (*make)(const QqzMember&, ULONG_PTR, uint32_t)) {
    UPSET_CALLER_ON_RETURN;
    begin_call(buf, len, flag);
#ifdef TESTSPI_LIST_RESULT
    if (lphInf) *lphInf = nullptr;
    return TESTSPI_LIST_RESULT;  // accepted by IsSupported, and still not listed
#endif
    Archive a;
    int rc = open_archive(buf, len, flag, a);
    if (rc != SPI_OK) return rc;
    if ((rc = walk_members(a.data, a.size, [](const QqzMember&, size_t) { return false; })) != SPI_OK)
        return rc;
    if (!lphInf) return SPI_MEMORY_ERROR;
    const int64_t records = int64_t{a.header.count} + ((a.header.flags & QQZ_NO_TERMINATOR) ? 0 : 1);
    HLOCAL list = make_block(records * static_cast<int64_t>(sizeof(Record)), [&](uint8_t* p) {
        auto* out = reinterpret_cast<Record*>(p);
        walk_members(a.data, a.size, [&](const QqzMember& m, size_t dataOffset) {
            *out++ = make(m, a.base + static_cast<ULONG_PTR>(dataOffset), a.header.flags);
            return false;
        });  // the terminator, if any, stays zeroed
    });
    if (!list) return SPI_NO_MEMORY;
#ifdef TESTSPI_FORGETFUL
    if constexpr (sizeof(Ch) == 1) {
        RecLock lock;
        if (source_of(flag) == SPI_SOURCE_FILE) g_listedArchive = buf;
    }
#endif
    record_block(list);
    *lphInf = list;
    return a.header.archiveInfoCode;
}

SPI_EXPORT int WINAPI GetArchiveInfo(LPCSTR buf, LONG_PTR len, unsigned flag, HLOCAL* lphInf) {
    return archive_info(buf, len, flag, lphInf, to_file_info);
}
#endif

#ifndef TESTSPI_NO_FILEINFO
// `filename` as this variant's narrow text.
template <typename Record, typename Ch>
static int file_info(const Ch* buf, LONG_PTR len, LPCSTR filename, unsigned flag, Record* lpInfo,
                     Record (*make)(const QqzMember&, ULONG_PTR, uint32_t)) {
    UPSET_CALLER_ON_RETURN;
    begin_call(buf, len, flag);
    Archive a;
    int rc = open_archive(buf, len, flag, a);
    if (rc != SPI_OK) return rc;
    if (!lpInfo) return SPI_MEMORY_ERROR;
    if (!filename) return SPI_INTERNAL_ERROR;
    const bool caseSensitive = (flag & SPI_FILEINFO_IGNORE_CASE) == 0;
    bool found = false;
    rc = walk_members(a.data, a.size, [&](const QqzMember& m, size_t dataOffset) {
        if (!name_matches(m, filename, caseSensitive)) return false;
        *lpInfo = make(m, a.base + static_cast<ULONG_PTR>(dataOffset), a.header.flags);
        found = true;
        return true;
    });
    if (found) return a.header.fileInfoCode;
    return rc != SPI_OK ? rc : SPI_INTERNAL_ERROR;
}

SPI_EXPORT int WINAPI GetFileInfo(LPCSTR buf, LONG_PTR len, LPCSTR filename, unsigned flag, FileInfo* lpInfo) {
    return file_info(buf, len, filename, flag, lpInfo, to_file_info);
}
#endif

#ifndef TESTSPI_NO_FILE
template <typename Ch>
static int get_file(const Ch* src, LONG_PTR len, void* dest, unsigned flag, ProgressCallback prgressCallback,
                    LONG_PTR lData) {
    UPSET_CALLER_ON_RETURN;
    begin_call(src, len, flag);
#ifdef _WIN64
    if (len >= static_cast<LONG_PTR>(QQZ_HIGH_BIAS)) len -= QQZ_HIGH_BIAS;  // a QQZ_HIGH_FIELDS number
#endif
    if (!(flag & SPI_OUTPUT_MEMORY)) return SPI_NOT_IMPLEMENTED;
    if (!dest) return SPI_MEMORY_ERROR;
    Bytes file;
    const uint8_t* data = nullptr;
    size_t size = 0;
    int32_t fileCode = 0;
    uint32_t flags = 0;
    switch (source_of(flag)) {
    case SPI_SOURCE_MEMORY: {
        if (!src) return SPI_MEMORY_ERROR;
        if (len < 0) return SPI_DATA_BROKEN;
        data = reinterpret_cast<const uint8_t*>(src);
        size = static_cast<size_t>(len);
        RecLock lock;
        if (g_rec.haveArchive) {
            fileCode = g_rec.lastArchive.fileCode;
            flags = g_rec.lastArchive.flags;
        }
        break;
    }
    case SPI_SOURCE_FILE: {
#ifdef TESTSPI_FORGETFUL
        if constexpr (sizeof(Ch) == 1) {
            RecLock lock;
            if (g_listedArchive != src) return SPI_INTERNAL_ERROR;
        }
#endif
        int rc = read_file_from(src, 0, file);
        if (rc != SPI_OK) return rc;
        QqzHeader header;
        QqzMember member;
        if (!find_member_at(file, len, header, member)) return SPI_DATA_BROKEN;
#ifdef TESTSPI_MEMBER_DELAY
        Sleep(member.crc);
#endif
        data = file.data() + len;
        size = member.size;
        fileCode = header.fileCode;
        flags = header.flags;
        break;
    }
    default:
        return SPI_NOT_IMPLEMENTED;
    }
    if (prgressCallback && prgressCallback(0, 1, lData)) return SPI_ABORTED;
    if (fileCode != SPI_OK && !(flags & QQZ_BLOCK_ON_FAILURE)) return fileCode;
    HLOCAL* out = reinterpret_cast<HLOCAL*>(dest);
    if (flags & QQZ_NULL_FILE_BLOCK) {
        *out = nullptr;
        return fileCode;
    }
    const size_t padding = (flags & QQZ_PADDED_FILE_BLOCK) ? QQZ_PADDING : 0;
    if (static_cast<int64_t>(size + padding) > MAX_BLOCK_BYTES) return SPI_NO_MEMORY;
    HLOCAL block = make_block(static_cast<int64_t>(size + padding), [&](uint8_t* p) {
        std::memcpy(p, data, size);
        std::memset(p + size, 0xEE, padding);
    });
    if (!block) return SPI_NO_MEMORY;
    if (prgressCallback && prgressCallback(1, 1, lData)) {
        LocalFree(block);
        return SPI_ABORTED;
    }
    record_block(block);
    *out = block;
    return fileCode;
}

SPI_EXPORT int WINAPI GetFile(LPCSTR src, LONG_PTR len, LPSTR dest, unsigned flag,
                              ProgressCallback prgressCallback, LONG_PTR lData) {
    return get_file(src, len, dest, flag, prgressCallback, lData);
}
#endif

#ifdef TESTSPI_WIDE
// The record with the member's UTF-8 names as UTF-16.
static FileInfoW to_file_info_w(const QqzMember& m, ULONG_PTR position, uint32_t flags) {
    FileInfoW r = {};
    set_numbers(r, m, position, flags);
    const std::wstring path = utf16(m.path, strnlen(m.path, sizeof m.path));
    const std::wstring name = utf16(m.name, strnlen(m.name, sizeof m.name));
    put_name(r.path, path.c_str(), path.size());
    put_name(r.filename, name.c_str(), name.size());
    return r;
}

#ifndef TESTSPI_NO_ARCHIVEINFO
SPI_EXPORT int WINAPI GetArchiveInfoW(LPCWSTR buf, LONG_PTR len, unsigned flag, HLOCAL* lphInf) {
    note_wide(&WideRecord::dataCalls, wide_name(buf, flag));
    return archive_info(buf, len, flag, lphInf, to_file_info_w);
}
#endif

#ifndef TESTSPI_NO_FILEINFO
SPI_EXPORT int WINAPI GetFileInfoW(LPCWSTR buf, LONG_PTR len, LPCWSTR filename, unsigned flag, FileInfoW* lpInfo) {
    note_wide(&WideRecord::dataCalls, wide_name(buf, flag));
    const std::string name = filename ? utf8(filename) : std::string();
    return file_info(buf, len, filename ? name.c_str() : nullptr, flag, lpInfo, to_file_info_w);
}
#endif

#ifndef TESTSPI_NO_FILE
SPI_EXPORT int WINAPI GetFileW(LPCWSTR src, LONG_PTR len, LPWSTR dest, unsigned flag, ProgressCallback prgressCallback,
                               LONG_PTR lData) {
    note_wide(&WideRecord::dataCalls, wide_name(src, flag));
    return get_file(src, len, dest, flag, prgressCallback, lData);
}
#endif
#endif  // TESTSPI_WIDE
#endif  // TESTSPI_FAMILY == 2

// ---------------------------------------------------------------------------------------
// Test-only exports (test_formats.h).

SPI_EXPORT int WINAPI TestOutstandingBlocks() { return outstanding_blocks(); }

SPI_EXPORT void WINAPI TestSetReentry(int(WINAPI* fn)(LONG_PTR), LONG_PTR data) {
    g_reentryData = data;
    g_reentry = fn;
}

SPI_EXPORT void WINAPI TestResetCounters() {
    forget_own_blocks();
    RecLock lock;
    g_rec = CallRecord{0, 0, 0, -1, 0, 0, 0, 0, false, {0}, false, {}};
    g_header = HeaderRecord{nullptr, {0}};
#ifdef TESTSPI_WIDE
    g_wide = WideRecord{0, 0, 0, {0}};
#endif
}

#ifdef TESTSPI_WIDE
SPI_EXPORT int WINAPI TestWideCalls(int* isSupportedW, int* pluginInfoW, wchar_t* lastName, int nameLen) {
    RecLock lock;
    if (isSupportedW) *isSupportedW = g_wide.isSupportedCalls;
    if (pluginInfoW) *pluginInfoW = g_wide.infoCalls;
    if (lastName && nameLen > 0) {
        const size_t n = wcsnlen(g_wide.lastName, static_cast<size_t>(nameLen - 1));
        std::memcpy(lastName, g_wide.lastName, n * sizeof(wchar_t));
        lastName[n] = 0;
    }
    return g_wide.dataCalls;
}
#endif

SPI_EXPORT int WINAPI TestLastConfig(int* hParent, int* function) {
    RecLock lock;
    if (hParent) *hParent = g_rec.configParent;
    if (function) *function = g_rec.configFunction;
    return g_rec.configCalls;
}

SPI_EXPORT int WINAPI TestCallCount() {
    RecLock lock;
    return g_rec.calls;
}

SPI_EXPORT LONG_PTR WINAPI TestLastLength() {
    RecLock lock;
    return g_rec.lastLen;
}

SPI_EXPORT int WINAPI TestLastFlag() {
    RecLock lock;
    return static_cast<int>(g_rec.lastFlag);
}

SPI_EXPORT int WINAPI TestLastFirstByte() {
    RecLock lock;
    return g_rec.lastFirstByte;
}

SPI_EXPORT int WINAPI TestLastIsSupported(char* name, int nameLen, int* nameWasNull) {
    RecLock lock;
    if (name && nameLen > 0) {
        size_t n = strnlen(g_rec.lastName, static_cast<size_t>(nameLen - 1));
        std::memcpy(name, g_rec.lastName, n);
        name[n] = 0;
    }
    if (nameWasNull) *nameWasNull = g_rec.lastNameNull ? 1 : 0;
    return g_rec.isSupportedCalls;
}

SPI_EXPORT int WINAPI TestLastHeader(unsigned char* bytes, int n) {
    RecLock lock;
    if (bytes && n > 0) std::memcpy(bytes, g_header.bytes, n < HEADER_BYTES ? n : HEADER_BYTES);
    return static_cast<int>(reinterpret_cast<INT_PTR>(g_header.address));
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
#ifdef TESTSPI_LOAD_FAILS
    // Refused before anything is set up: the loader fails the load and unloads the library.
    (void)reserved;
    return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
#endif
#ifdef TESTSPI_UPSETS_CALLER
    upset_caller(false);  // nothing pending: the loader goes on after DllMain
#endif
    if (reason == DLL_PROCESS_ATTACH) {
#ifdef TESTSPI_KEEPS_TLS_SLOT
        if (TlsAlloc() == TLS_OUT_OF_INDEXES) return FALSE;
#endif
        open_shared_table();
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {  // FreeLibrary, not exit
        forget_own_blocks();
        close_shared_table();
    }
    return TRUE;
}
