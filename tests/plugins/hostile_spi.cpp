// The hostile test plug-ins: every answer generated from a seed (hostile.h says what they
// do and which exports a driver uses). Built twice by hostile.cmake: hostile_picture.spi
// ("00IN") and, with HOSTILE_ARCHIVE, hostile_archive.spi ("00AM").
#include <windows.h>

#include <climits>
#include <cstring>
#include <initializer_list>

#include "hostile.h"
#include "spi_records.h"

#define SPI_EXPORT extern "C" __declspec(dllexport)

using namespace hostile;
using testspi::FileInfo;
using testspi::PictureInfo;
using testspi::ProgressCallback;

namespace {

#ifdef HOSTILE_ARCHIVE
const char KIND[] = "00AM";
#else
const char KIND[] = "00IN";
#endif

// ---------------------------------------------------------------------------------------
// Blocks handed out, and values the server must never free.

enum State { LIVE, FREED, POISON };
struct Block {
    HLOCAL handle;
    State state;
};
const int MAX_BLOCKS = 16384;
Block g_blocks[MAX_BLOCKS];
int g_blockCount = 0;
bool g_hooked = false;
int g_badFrees = 0;
int g_protocolErrors = 0;
int g_calls = 0;
uint32_t g_seed = TAME_SEED;
CallReport g_report = {};
const uint32_t KEEP_BYTES = 1u << 20;
uint8_t* g_kept[2] = {nullptr, nullptr};
uint32_t g_keptSize[2] = {0, 0};
CRITICAL_SECTION g_lock;

class Lock {
public:
    Lock() { EnterCriticalSection(&g_lock); }
    ~Lock() { LeaveCriticalSection(&g_lock); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

Block* find_block(HLOCAL h) {
    for (int i = 0; i < g_blockCount; ++i)
        if (g_blocks[i].handle == h) return &g_blocks[i];
    return nullptr;
}

// One entry per handle value: a value handed out again names a new block.
void set_state(HLOCAL h, State state) {
    Lock lock;
    if (Block* b = find_block(h)) {
        b->state = state;
        return;
    }
    if (g_blockCount == MAX_BLOCKS) {  // room is made by forgetting what was freed
        int kept = 0;
        for (int i = 0; i < g_blockCount; ++i)
            if (g_blocks[i].state != FREED) g_blocks[kept++] = g_blocks[i];
        g_blockCount = kept;
    }
    if (g_blockCount < MAX_BLOCKS) g_blocks[g_blockCount++] = {h, state};
}

void protocol_error() {
    Lock lock;
    ++g_protocolErrors;
}

// ---------------------------------------------------------------------------------------
// Making blocks.

const int32_t FAIL_CODES[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, -1, 11, 12, 99, -2, -100, INT_MIN, INT_MAX};
const HLOCAL GARBAGE[] = {reinterpret_cast<HLOCAL>(0x4), reinterpret_cast<HLOCAL>(0xFFFF),
                          reinterpret_cast<HLOCAL>(0xDEADBEE0), reinterpret_cast<HLOCAL>(0x7FFE0000),
                          reinterpret_cast<HLOCAL>(0x10), reinterpret_cast<HLOCAL>(0xFFFFFFF0)};

// A block of `size` bytes: byte i is FillByte(seed, which, i), then `prefix` over the start.
// Kept as block `which` of the call's report.
HLOCAL make_block(uint32_t size, bool fixed, uint32_t seed, uint32_t which, const void* prefix = nullptr,
                  uint32_t prefixSize = 0) {
    HLOCAL h = LocalAlloc(fixed ? LMEM_FIXED : LMEM_MOVEABLE, size);
    if (!h) return nullptr;
    auto* p = static_cast<uint8_t*>(LocalLock(h));
    if (p) {
        for (uint32_t i = 0; i < size; ++i) p[i] = FillByte(seed, which, i);
        if (prefix) std::memcpy(p, prefix, prefixSize < size ? prefixSize : size);
        if (which < 2 && g_kept[which]) {
            g_keptSize[which] = size < KEEP_BYTES ? size : KEEP_BYTES;
            std::memcpy(g_kept[which], p, g_keptSize[which]);
        }
        if (!fixed) LocalUnlock(h);
    } else if (which < 2) {
        g_keptSize[which] = 0;
    }
    set_state(h, LIVE);
    if (which < 2) {
        g_report.size[which] = static_cast<uint32_t>(LocalSize(h));
        g_report.fixed[which] = fixed ? 1 : 0;
        ++g_report.blocks;
    }
    return h;
}

// A value for a handle variable that comes with a failure: the server must leave it alone.
HLOCAL poisoned(Rng& r, bool stale) {
    if (stale) {
        HLOCAL h = LocalAlloc(r.OneIn(2) ? LMEM_FIXED : LMEM_MOVEABLE, 16 + r.Below(64));
        if (!h) return nullptr;
        LocalFree(h);  // as a plug-in that cleans up after itself but leaves the variable set
        set_state(h, POISON);
        return h;
    }
    HLOCAL h = r.Pick(GARBAGE);
    set_state(h, POISON);
    return h;
}

// How a failing call leaves its handle variables.
void fail_outputs(Rng& r, HLOCAL* a, HLOCAL* b) {
    const int32_t how = static_cast<int32_t>(r.Below(4));
    g_report.outputs = how == 0 ? OUT_UNTOUCHED : how == 1 ? OUT_NULL : how == 2 ? OUT_STALE : OUT_GARBAGE;
    for (HLOCAL* out : {a, b}) {
        if (!out || how == 0) continue;
        *out = how == 1 ? nullptr : poisoned(r, how == 2);
    }
}

void begin_report(Entry entry) {
    g_report = CallReport{};
    g_report.entry = entry;
    g_keptSize[0] = g_keptSize[1] = 0;
    ++g_calls;
}

// ---------------------------------------------------------------------------------------
// Sources: read in full, as a plug-in may; a seed in the data overrides the one set.

uint32_t seed_of(LPCSTR buf, long len, unsigned flag) {
    uint32_t seed = g_seed;
    switch (flag & 7) {
    case 1:  // memory: every byte the caller says is there is read
        if (buf && len > 0) {
            volatile uint8_t sum = 0;
            for (long i = 0; i < len; ++i) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(buf[i]));
            SeedHeader h;
            if (len >= static_cast<long>(sizeof h)) {
                std::memcpy(&h, buf, sizeof h);
                if (std::memcmp(h.magic, MAGIC, 4) == 0) seed = h.seed;
            }
        }
        break;
    case 0: {  // a file, with the data at offset len
        if (!buf) {
            protocol_error();
            break;
        }
        HANDLE f = CreateFileA(buf, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (f == INVALID_HANDLE_VALUE) break;
        SeedHeader h;
        DWORD got = 0;
        if (len >= 0 && SetFilePointer(f, len, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
            ReadFile(f, &h, sizeof h, &got, nullptr) && got == sizeof h && std::memcmp(h.magic, MAGIC, 4) == 0)
            seed = h.seed;
        CloseHandle(f);
        break;
    }
    default:
        protocol_error();
    }
    return seed;
}

int32_t pick_code(Rng& r, uint32_t seed, uint32_t successIn8) {
    if (seed == TAME_SEED) return 0;
    return r.Below(8) < successIn8 ? 0 : r.Pick(FAIL_CODES);
}

// Text of `size` bytes at most into a buffer of `size` bytes: without a NUL when it fills it.
int put_text(Rng& r, char* buf, int size, bool pattern) {
    const int lengths[] = {0, 1, 3, 10, size - 1, size, static_cast<int>(r.Below(static_cast<uint32_t>(size) + 1))};
    int n = r.Pick(lengths);
    if (n < 0) n = 0;
    if (n > size) n = size;
    for (int i = 0; i < n; ++i) {
        if (pattern && i < 2) {
            buf[i] = i == 0 ? '*' : '.';
        } else {
            const uint32_t c = r.Below(100);
            buf[i] = static_cast<char>(c < 90 ? 'a' + c % 26 : 0x80 + r.Below(0x7F));  // high bytes too
        }
    }
    if (n < size) buf[n] = '\0';
    return n;
}

[[maybe_unused]] void random_text_field(Rng& r, char* field, size_t size) {
    std::memset(field, 0, size);
    switch (r.Below(4)) {
    case 0:
        break;  // empty
    case 1:
        for (size_t i = 0; i < 12; ++i) field[i] = static_cast<char>('a' + r.Below(26));
        break;
    case 2:  // the whole field, no NUL
        for (size_t i = 0; i < size; ++i) field[i] = static_cast<char>('A' + r.Below(26));
        break;
    default:  // high bytes, possibly a lead byte last
        for (size_t i = 0; i < size; ++i) field[i] = static_cast<char>(0x80 + r.Below(0x80));
        break;
    }
}

#ifdef HOSTILE_ARCHIVE
// ---------------------------------------------------------------------------------------
// Archive records.

void random_record(Rng& r, FileInfo& f, uint32_t index) {
    const unsigned long numbers[] = {0, 1, 10, r.Below(1000), r.Below(1u << 20), 0x7FFFFFFF, 0x80000000u,
                                     0xFFFFFFFFu, r.Next()};
    const int32_t times[] = {0, 1, 86400, -1, INT_MIN, INT_MAX, static_cast<int32_t>(r.Next()), 1700000000};
    std::memset(&f, 0, sizeof f);
    switch (r.Below(3)) {
    case 0:
        std::memcpy(f.method, "stored", 6);
        break;
    case 1:
        for (auto& c : f.method) c = static_cast<unsigned char>('A' + r.Below(26));  // no NUL
        break;
    default:
        for (auto& c : f.method) c = static_cast<unsigned char>(0x80 + r.Below(0x80));
        break;
    }
    if (index > 0 && r.OneIn(30)) f.method[0] = 0;  // ends the listing early
    f.position = r.Pick(numbers);
    f.compsize = r.Pick(numbers);
    f.filesize = r.Pick(numbers);
    f.timestamp = r.Pick(times);
    random_text_field(r, f.path, sizeof f.path);
    random_text_field(r, f.filename, sizeof f.filename);
    f.crc = r.Next();
}

void tame_record(FileInfo& f, uint32_t index) {
    std::memset(&f, 0, sizeof f);
    std::memcpy(f.method, "stored", 6);
    f.position = 100 * index;
    f.compsize = f.filesize = 10 + index;
    f.timestamp = 86400;
    std::memcpy(f.path, "dir\\", 4);
    std::memcpy(f.filename, "member0.txt", 11);
    f.filename[6] = static_cast<char>('0' + index % 10);
    f.crc = index;
}

// What a reader of the listing may count: records before the first starting with 0, and
// no more than the whole records the block holds.
uint32_t countable(const uint8_t* p, uint32_t size) {
    if (!p) return 0;
    const uint32_t whole = size / sizeof(FileInfo);
    for (uint32_t i = 0; i < whole; ++i)
        if (p[i * sizeof(FileInfo)] == 0) return i;
    return whole;
}
#else
// ---------------------------------------------------------------------------------------
// Pictures.

struct Shape {
    BITMAPINFOHEADER header;
    uint32_t infoSize;
    uint32_t pixelSize;
};

const uint32_t MAX_HOSTILE_BLOCK = 1u << 20;

uint32_t clamp_size(int64_t n) {
    if (n < 0) return 0;
    return n > MAX_HOSTILE_BLOCK ? MAX_HOSTILE_BLOCK : static_cast<uint32_t>(n);
}

Shape make_shape(Rng& r, uint32_t seed) {
    Shape s = {};
    BITMAPINFOHEADER& h = s.header;
    if (seed == TAME_SEED) {
        h = {40, 4, 3, 1, 24, BI_RGB, 36, 0, 0, 0, 0};
        s.infoSize = 40;
        s.pixelSize = 36;
        return s;
    }
    const bool plausible = r.Below(10) < 4;
    const WORD goodBits[] = {1, 4, 8, 16, 24, 32};
    const WORD anyBits[] = {0, 1, 2, 3, 4, 5, 8, 12, 15, 16, 24, 32, 48, 64, 0xFFFF, static_cast<WORD>(r.Next())};
    h.biBitCount = plausible ? r.Pick(goodBits) : r.Pick(anyBits);
    const LONG anyWidth[] = {0, -1, -300, 1, 3, 33, 65535, 0x7FFFFFFF, LONG_MIN, static_cast<LONG>(1 + r.Below(5000))};
    h.biWidth = plausible ? static_cast<LONG>(1 + r.Below(300)) : r.Pick(anyWidth);
    const LONG anyHeight[] = {0, 1, -1, LONG_MIN, LONG_MAX, 200, -200, static_cast<LONG>(r.Below(100000))};
    const LONG rows = static_cast<LONG>(1 + r.Below(200));
    h.biHeight = plausible ? (r.OneIn(2) ? rows : -rows) : r.Pick(anyHeight);
    const WORD anyPlanes[] = {1, 1, 1, 0, 2, 0xFFFF};
    h.biPlanes = plausible ? 1 : r.Pick(anyPlanes);
    const DWORD goodSize[] = {40, 40, 40, 108, 124};
    const DWORD anySize[] = {0, 12, 39, 40, 41, 52, 56, 64, 108, 124, 0xFFFFFFFF, r.Below(2000)};
    h.biSize = plausible ? r.Pick(goodSize) : r.Pick(anySize);
    if (plausible) {
        h.biCompression = BI_RGB;
        if (h.biBitCount == 8 && r.OneIn(5)) h.biCompression = BI_RLE8;
        if (h.biBitCount == 4 && r.OneIn(5)) h.biCompression = BI_RLE4;
        if ((h.biBitCount == 16 || h.biBitCount == 32) && r.OneIn(4)) h.biCompression = BI_BITFIELDS;
        if (r.OneIn(40)) h.biCompression = r.OneIn(2) ? BI_JPEG : BI_PNG;
        if (h.biCompression != BI_RGB && h.biCompression != BI_BITFIELDS && h.biHeight < 0) h.biHeight = -h.biHeight;
    } else {
        const DWORD anyCompression[] = {0, 1, 2, 3, 4, 5, 6, 7, 0xFFFFFFFF, r.Below(20)};
        h.biCompression = r.Pick(anyCompression);
    }
    if (plausible) {
        const DWORD most = h.biBitCount <= 8 ? 1u << h.biBitCount : 0;
        const DWORD small[] = {0, most, r.Below(most + 1)};
        const DWORD wide[] = {0, 0, 16};
        h.biClrUsed = h.biBitCount <= 8 ? r.Pick(small) : r.Pick(wide);
    } else {
        const DWORD anyColours[] = {0, 1, 16, 256, 257, 65536, 0xFFFFFFFF, r.Below(1000)};
        h.biClrUsed = r.Pick(anyColours);
    }
    const bool compressed = h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4 || h.biCompression == BI_JPEG ||
                            h.biCompression == BI_PNG;
    const int64_t rowSize = (static_cast<int64_t>(h.biWidth) * h.biBitCount + 31) / 32 * 4;
    const int64_t rowCount = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
    const int64_t uncompressed = rowSize > 0 ? rowSize * rowCount : 0;
    if (compressed) {
        const DWORD anyImage[] = {0, 1, r.Below(1u << 20), 0xFFFFFFFF};
        h.biSizeImage = plausible ? 1 + r.Below(4096) : r.Pick(anyImage);
    } else {
        const DWORD anyImage[] = {0, static_cast<DWORD>(uncompressed), r.Next()};
        h.biSizeImage = r.Pick(anyImage);
    }

    // Blocks: what the header implies, give or take.
    const int64_t colours = h.biBitCount <= 8 ? (h.biClrUsed ? (h.biClrUsed < 4096 ? h.biClrUsed : 4096)
                                                             : (h.biBitCount < 12 ? int64_t{1} << h.biBitCount : 0))
                                              : 0;
    const int64_t masks = h.biCompression == BI_BITFIELDS ? 12 : h.biCompression == 6 ? 16 : 0;
    const int64_t infoImplied = (h.biSize < 4096 ? h.biSize : 4096) + masks + 4 * colours;
    const int64_t pixelImplied = compressed ? h.biSizeImage : uncompressed;
    if (plausible) {
        const int64_t infoDelta[] = {0, 0, 0, 0, 1, 100, -1, -4};
        const int64_t pixelDelta[] = {0, 0, 0, 1, 64, -1, -8};
        s.infoSize = clamp_size(infoImplied + r.Pick(infoDelta));
        s.pixelSize = clamp_size(pixelImplied + r.Pick(pixelDelta));
    } else {
        const int64_t infoAny[] = {0, 1, 39, 40, infoImplied, infoImplied - 1, infoImplied + 500, r.Below(5000)};
        const int64_t pixelAny[] = {0, 1, pixelImplied, pixelImplied / 2, r.Below(1u << 16)};
        s.infoSize = clamp_size(r.Pick(infoAny));
        s.pixelSize = clamp_size(r.Pick(pixelAny));
    }
    return s;
}

int decode(Entry entry, LPCSTR buf, long len, unsigned flag, HLOCAL* pInfo, HLOCAL* pBits,
           ProgressCallback progress, long lData) {
    Lock lock;
    begin_report(entry);
    const uint32_t seed = seed_of(buf, len, flag);
    Rng r(seed, entry);
    if (!pInfo || !pBits || !progress) {
        protocol_error();
        return g_report.code = 5;
    }
    if (seed != TAME_SEED && r.OneIn(2) && progress(static_cast<int>(r.Below(100)), 100, lData) != 0)
        protocol_error();  // the server's callback never asks to stop
    const int32_t code = pick_code(r, seed, 5);
    g_report.code = code;
    if (code != 0) {
        fail_outputs(r, pInfo, pBits);
        return code;
    }
    const Shape s = make_shape(r, seed);
    g_report.width = s.header.biWidth;
    g_report.height = s.header.biHeight;
    const bool nullInfo = seed != TAME_SEED && r.OneIn(16);
    const bool nullPixels = seed != TAME_SEED && r.OneIn(16);
    const bool same = seed != TAME_SEED && r.OneIn(16);
    HLOCAL info = nullptr, pixels = nullptr;
    if (!nullInfo) info = make_block(s.infoSize, r.OneIn(3), seed, 0, &s.header, sizeof s.header);
    if (same) {
        pixels = info;
        g_report.sameBlock = 1;
    } else if (!nullPixels) {
        pixels = make_block(s.pixelSize, r.OneIn(3), seed, 1);
    }
    g_report.outputs = info || pixels ? OUT_LIVE : OUT_NULL;
    *pInfo = info;
    *pBits = pixels;
    return 0;
}
#endif

}  // namespace

// ---------------------------------------------------------------------------------------
// The plug-in API.

SPI_EXPORT int WINAPI GetPluginInfo(int infono, LPSTR buf, int buflen) {
    Lock lock;
    if (!buf || buflen <= 0) return 0;
    const uint32_t seed = g_seed;
    Rng r(seed, ENTRY_INFO, static_cast<uint32_t>(infono));
    if (infono == 0) {
        const char* kind = seed != TAME_SEED && r.OneIn(64) ? "00XX" : KIND;
        for (int i = 0; i < 4 && i < buflen; ++i) buf[i] = kind[i];
        if (buflen > 4) {
            switch (seed == TAME_SEED ? 0 : r.Below(3)) {
            case 0:
                buf[4] = '\0';
                break;
            case 1:
                for (int i = 4; i < buflen; ++i) buf[i] = 'Z';
                break;
            default:
                break;  // nothing after the kind
            }
        }
        const int answers[] = {4, buflen, buflen + 1000, -1, 0, INT_MAX};
        return seed == TAME_SEED ? 4 : r.Pick(answers);
    }
    if (seed == TAME_SEED) {
        static const char* const TAME[] = {"Hostile test plug-in (tame)", "*.qqh", "QQH data"};
        if (infono < 1 || infono > 3) return 0;
        const char* text = TAME[infono - 1];
        int n = static_cast<int>(std::strlen(text));
        if (n > buflen - 1) n = buflen - 1;
        std::memcpy(buf, text, n);
        buf[n] = '\0';
        return n;
    }
    if (infono >= 2 || infono < 0) {
        // The number of file-type pairs, or an answer for every number.
        Rng pairs(seed, ENTRY_INFO, 0xFFFF);
        const bool every = pairs.OneIn(8);
        const uint32_t count = pairs.Below(5);
        if (infono < 0 || (!every && static_cast<uint32_t>(infono - 2) >= 2 * count)) {
            if (!r.OneIn(8)) return 0;
            return 1;  // "exists", without a word written
        }
    }
    const int n = put_text(r, buf, buflen, infono >= 2 && infono % 2 == 0);
    const int answers[] = {n, buflen, buflen + 77, -3, 1};
    const int answer = r.Pick(answers);
    return answer == 0 ? 1 : answer;  // an item that was written is not denied
}

SPI_EXPORT int WINAPI IsSupported(LPCSTR filename, void* dw) {
    Lock lock;
    if (!dw) {
        protocol_error();
        return 0;
    }
    // The whole header, as a plug-in may read it.
    volatile uint8_t sum = 0;
    const auto* header = static_cast<const uint8_t*>(dw);
    for (int i = 0; i < 2048; ++i) sum = static_cast<uint8_t>(sum + header[i]);
    if (filename) {
        volatile size_t n = std::strlen(filename);
        (void)n;
    }
    if (std::memcmp(dw, MAGIC, 4) != 0) return 0;
    SeedHeader h;
    std::memcpy(&h, dw, sizeof h);
    Rng r(h.seed, ENTRY_SUPPORTED);
#ifdef HOSTILE_ARCHIVE
    // Now and then an archive plug-in takes a picture's data, as real ones may.
    if (h.seed == TAME_SEED || !r.OneIn(8)) return 0;
#endif
    const int accept[] = {1, -1, INT_MAX, 2};
    return h.seed == TAME_SEED ? 1 : r.Pick(accept);
}

SPI_EXPORT int WINAPI ConfigurationDlg(HWND, int function) {
    Lock lock;
    begin_report(ENTRY_CONFIG);
    Rng r(g_seed, ENTRY_CONFIG, static_cast<uint32_t>(function));
    return g_report.code = pick_code(r, g_seed, 2);
}

#ifndef HOSTILE_ARCHIVE
SPI_EXPORT int WINAPI GetPictureInfo(LPCSTR buf, long len, unsigned flag, PictureInfo* lpInfo) {
    Lock lock;
    begin_report(ENTRY_PICTURE_INFO);
    const uint32_t seed = seed_of(buf, len, flag);
    Rng r(seed, ENTRY_PICTURE_INFO);
    if (!lpInfo) {
        protocol_error();
        return g_report.code = 5;
    }
    const int32_t code = pick_code(r, seed, 4);
    g_report.code = code;
    PictureInfo info = {};
    info.left = static_cast<long>(r.Next());
    info.top = static_cast<long>(r.Next());
    info.width = seed == TAME_SEED ? 4 : static_cast<long>(r.Next());
    info.height = seed == TAME_SEED ? 3 : static_cast<long>(r.Next());
    info.x_density = static_cast<WORD>(r.Next());
    info.y_density = static_cast<WORD>(r.Next());
    info.colorDepth = seed == TAME_SEED ? 24 : static_cast<short>(r.Next());
    g_report.width = info.width;
    g_report.height = info.height;
    // A text is the server's with code 0 only; with a failure the record may carry a handle
    // the plug-in has freed already, or garbage, which the server must leave alone.
    const bool written = code == 0 || r.OneIn(2);
    if (written && seed != TAME_SEED && code != 0) {
        fail_outputs(r, &info.hInfo, nullptr);
    } else if (written && seed != TAME_SEED) {
        char text[300];
        switch (r.Below(4)) {
        case 0:
            break;
        case 1: {
            const int n = put_text(r, text, 200, false);
            text[n < 200 ? n : 199] = '\0';
            info.hInfo = make_block(static_cast<uint32_t>(std::strlen(text) + 1), r.OneIn(3), seed, 0, text,
                                    static_cast<uint32_t>(std::strlen(text) + 1));
            break;
        }
        case 2: {  // no NUL: the block ends where the text does
            const uint32_t n = 1 + r.Below(299);
            for (uint32_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + r.Below(26));
            info.hInfo = make_block(n, r.OneIn(3), seed, 0, text, n);
            break;
        }
        default:  // empty block
            info.hInfo = make_block(0, r.OneIn(2), seed, 0);
            break;
        }
        g_report.outputs = info.hInfo ? OUT_LIVE : OUT_NULL;
    }
    if (written) *lpInfo = info;
    return code;
}

SPI_EXPORT int WINAPI GetPicture(LPCSTR buf, long len, unsigned flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                 ProgressCallback progress, long lData) {
    return decode(ENTRY_PICTURE, buf, len, flag, pHBInfo, pHBm, progress, lData);
}

SPI_EXPORT int WINAPI GetPreview(LPCSTR buf, long len, unsigned flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                 ProgressCallback progress, long lData) {
    return decode(ENTRY_PREVIEW, buf, len, flag, pHBInfo, pHBm, progress, lData);
}
#else
SPI_EXPORT int WINAPI GetArchiveInfo(LPCSTR buf, long len, unsigned flag, HLOCAL* lphInf) {
    Lock lock;
    begin_report(ENTRY_ARCHIVE_INFO);
    const uint32_t seed = seed_of(buf, len, flag);
    Rng r(seed, ENTRY_ARCHIVE_INFO);
    if (!lphInf) {
        protocol_error();
        return g_report.code = 5;
    }
    const int32_t code = pick_code(r, seed, 6);
    g_report.code = code;
    if (seed != TAME_SEED && r.OneIn(8)) {  // no listing
        g_report.outputs = r.OneIn(2) ? OUT_UNTOUCHED : OUT_NULL;
        if (g_report.outputs == OUT_NULL) *lphInf = nullptr;
        return code;
    }
    const uint32_t counts[] = {0, 1, 2, 3, 5, r.Below(40), r.Below(200)};
    const uint32_t count = seed == TAME_SEED ? 3 : r.Pick(counts);
    const bool terminated = seed == TAME_SEED || !r.OneIn(4);
    const int64_t extra[] = {0, 0, 0, 1, -1, -100, 427, -427};
    int64_t size = int64_t{count + (terminated ? 1 : 0)} * static_cast<int64_t>(sizeof(FileInfo)) +
                   (seed == TAME_SEED ? 0 : r.Pick(extra));
    if (size < 0) size = 0;
    const bool fixed = seed != TAME_SEED && r.OneIn(3);
    // The records are written over the fill, the terminator (if any) as zeros.
    const uint32_t bytes = static_cast<uint32_t>(size);
    uint8_t* records = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1));
    if (!records) return g_report.code = 4;
    for (uint32_t i = 0; i < bytes; ++i) records[i] = FillByte(seed, 0, i);
    for (uint32_t i = 0; i <= count; ++i) {
        FileInfo f;
        if (i == count) {
            if (!terminated) break;
            std::memset(&f, 0, sizeof f);
        } else if (seed == TAME_SEED) {
            tame_record(f, i);
        } else {
            random_record(r, f, i);
        }
        const uint64_t at = uint64_t{i} * sizeof f;
        if (at >= bytes) break;
        std::memcpy(records + at, &f, bytes - at < sizeof f ? static_cast<size_t>(bytes - at) : sizeof f);
    }
    HLOCAL list = make_block(bytes, fixed, seed, 0, records, bytes);
    g_report.records = countable(records, bytes);
    HeapFree(GetProcessHeap(), 0, records);
    g_report.outputs = list ? OUT_LIVE : OUT_NULL;
    *lphInf = list;
    return code;
}

SPI_EXPORT int WINAPI GetFileInfo(LPCSTR buf, long len, LPCSTR filename, unsigned flag, FileInfo* lpInfo) {
    Lock lock;
    begin_report(ENTRY_FILE_INFO);
    const uint32_t seed = seed_of(buf, len, flag & ~0x80u);
    Rng r(seed, ENTRY_FILE_INFO);
    if (!lpInfo || !filename) {
        protocol_error();
        return g_report.code = 5;
    }
    volatile size_t nameLength = std::strlen(filename);
    (void)nameLength;
    const int32_t code = pick_code(r, seed, 4);
    g_report.code = code;
    if (code == 0 || r.OneIn(2)) {  // a failure may scribble on the record too
        FileInfo f;
        if (seed == TAME_SEED)
            tame_record(f, 0);
        else
            random_record(r, f, 0);
        *lpInfo = f;
    }
    return code;
}

SPI_EXPORT int WINAPI GetFile(LPCSTR src, long len, LPSTR dest, unsigned flag, ProgressCallback progress,
                              long lData) {
    Lock lock;
    begin_report(ENTRY_FILE);
    const uint32_t seed = seed_of(src, len, flag & ~0x700u);
    Rng r(seed, ENTRY_FILE);
    if (!(flag & 0x100) || !dest || !progress) {
        protocol_error();
        return g_report.code = -1;
    }
    if (seed != TAME_SEED && r.OneIn(2) && progress(static_cast<int>(r.Below(100)), 100, lData) != 0)
        protocol_error();
    auto* out = reinterpret_cast<HLOCAL*>(dest);
    const int32_t code = pick_code(r, seed, 5);
    g_report.code = code;
    if (code != 0) {
        fail_outputs(r, out, nullptr);
        return code;
    }
    if (seed != TAME_SEED && r.OneIn(12)) {
        *out = nullptr;
        g_report.outputs = OUT_NULL;
        return 0;
    }
    const uint32_t sizes[] = {0, 1, 16, r.Below(4096), r.Below(1u << 16)};
    *out = make_block(seed == TAME_SEED ? 16 : r.Pick(sizes), seed != TAME_SEED && r.OneIn(3), seed, 0);
    g_report.outputs = *out ? OUT_LIVE : OUT_NULL;
    return 0;
}
#endif

// ---------------------------------------------------------------------------------------
// Test-only exports (hostile.h).

SPI_EXPORT void WINAPI HostileSetSeed(uint32_t seed) {
    Lock lock;
    g_seed = seed;
}

SPI_EXPORT void WINAPI HostileReset() {
    Lock lock;
    g_blockCount = 0;
    g_badFrees = 0;
    g_protocolErrors = 0;
    g_calls = 0;
    g_report = CallReport{};
    g_keptSize[0] = g_keptSize[1] = 0;
}

SPI_EXPORT void WINAPI HostileHookFrees(int on) {
    Lock lock;
    g_hooked = on != 0;
}

SPI_EXPORT int WINAPI HostileNoteFree(HLOCAL h) {
    Lock lock;
    Block* b = find_block(h);
    if (!b) return 0;
    if (b->state == LIVE) {
        b->state = FREED;
        return 1;
    }
    ++g_badFrees;
    return -1;
}

SPI_EXPORT int WINAPI HostileBlockState(HLOCAL h) {
    Lock lock;
    const Block* b = find_block(h);
    return !b ? 0 : b->state == LIVE ? 1 : -1;
}

SPI_EXPORT int WINAPI HostileOutstanding() {
    Lock lock;
    int n = 0;
    for (int i = 0; i < g_blockCount; ++i) {
        Block& b = g_blocks[i];
        if (b.state != LIVE) continue;
        if (!g_hooked && LocalFlags(b.handle) == LMEM_INVALID_HANDLE) {
            b.state = FREED;
            continue;
        }
        ++n;
    }
    return n;
}

SPI_EXPORT int WINAPI HostileBadFrees() {
    Lock lock;
    return g_badFrees;
}

SPI_EXPORT int WINAPI HostileProtocolErrors() {
    Lock lock;
    return g_protocolErrors;
}

SPI_EXPORT int WINAPI HostileLastCall(CallReport* out) {
    Lock lock;
    if (out) *out = g_report;
    return g_calls;
}

SPI_EXPORT int WINAPI HostileLastBytes(int which, BYTE* dst, int cap) {
    Lock lock;
    if (which < 0 || which > 1) return 0;
    if (!dst) return static_cast<int>(g_keptSize[which]);
    if (cap <= 0) return 0;
    const uint32_t n = g_keptSize[which] < static_cast<uint32_t>(cap) ? g_keptSize[which] : static_cast<uint32_t>(cap);
    std::memcpy(dst, g_kept[which], n);
    return static_cast<int>(n);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_lock);
        for (auto& kept : g_kept)
            kept = static_cast<uint8_t*>(VirtualAlloc(nullptr, KEEP_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    } else if (reason == DLL_PROCESS_DETACH) {
        for (auto& kept : g_kept)
            if (kept) VirtualFree(kept, 0, MEM_RELEASE);
        DeleteCriticalSection(&g_lock);
    }
    return TRUE;
}
