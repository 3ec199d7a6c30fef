// Self-test of the test plug-in kit: loads the .spi files (the 64-bit build: .sph) that sit
// beside this program and checks them against test_formats.h. Runs under Wine; exit code 0 =
// all good.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "../common/process_counts.h"
#include "../common/test_env.h"
#include "spi_records.h"
#include "test_formats.h"

using namespace testspi;

namespace {

int g_failures;
#define CHECK(c) check((c), #c, __LINE__)
#define CHECK_EQ(a, b) check_eq(static_cast<long long>(a), static_cast<long long>(b), #a " == " #b, __LINE__)
void check(bool ok, const char* what, int line) {
    if (!ok) ++g_failures, std::printf("kit_selftest.cpp:%d: failed: %s\n", line, what);
}
void check_eq(long long a, long long b, const char* what, int line) {
    if (a != b) ++g_failures, std::printf("kit_selftest.cpp:%d: failed: %s (%lld vs %lld)\n", line, what, a, b);
}

typedef int(WINAPI* InfoFn)(int, LPSTR, int);
typedef int(WINAPI* IsSupportedFn)(LPCSTR, void*);
typedef int(WINAPI* PicInfoFn)(LPCSTR, LONG_PTR, unsigned, PictureInfo*);
typedef int(WINAPI* PictureFn)(LPCSTR, LONG_PTR, unsigned, HLOCAL*, HLOCAL*, ProgressCallback, LONG_PTR);
typedef int(WINAPI* ArcInfoFn)(LPCSTR, LONG_PTR, unsigned, HLOCAL*);
typedef int(WINAPI* FileInfoFn)(LPCSTR, LONG_PTR, LPCSTR, unsigned, FileInfo*);
typedef int(WINAPI* GetFileFn)(LPCSTR, LONG_PTR, LPSTR, unsigned, ProgressCallback, LONG_PTR);
typedef int(WINAPI* ConfigFn)(HWND, int);
typedef int(WINAPI* IntFn)();
typedef int(WINAPI* LastIsSupportedFn)(char*, int, int*);

std::string g_dir;

struct Spi {
    HMODULE m;
    explicit Spi(const char* name) : m(LoadLibraryA((g_dir + name + TESTSPI_SUFFIX).c_str())) {
        if (!m) std::printf("cannot load %s" TESTSPI_SUFFIX "\n", name), ++g_failures;
    }
    template <typename F>
    F fn(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
    }
    int count(const char* name) const { return fn<IntFn>(name)(); }
};

std::string info(const Spi& s, int n, int buflen = 260) {
    char buf[300];
    std::memset(buf, 0x5A, sizeof buf);
    int r = s.fn<InfoFn>("GetPluginInfo")(n, buf, buflen);
    return r == 0 ? std::string("<0>") : std::string(buf, r);
}

QqaHeader picture(int32_t w, int32_t h, uint16_t bits, uint8_t seed) {
    QqaHeader q = {};
    std::memcpy(q.magic, "QQA1", 4);
    q.width = w, q.height = h, q.bitCount = bits, q.seed = seed;
    return q;
}

std::vector<uint8_t> block(HLOCAL h) {
    std::vector<uint8_t> v(LocalSize(h));
    if (!v.empty()) std::memcpy(v.data(), LocalLock(h), v.size()), LocalUnlock(h);
    return v;
}

std::string write_temp(const char* tag, size_t junk, const void* data, size_t n) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    std::string path = std::string(dir) + "tamrix_spikit_" + std::to_string(GetCurrentProcessId()) + tag;
    std::vector<uint8_t> bytes(junk, 'J');
    bytes.insert(bytes.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

int g_progressCalls, g_abortAt;
int WINAPI progress(int, int, LONG_PTR) { return ++g_progressCalls == g_abortAt; }

void test_info_and_exports() {
    Spi qqa("qqa"), nonul("nonul"), half("halfpair"), qqz("qqz"), bad("badkind");
    CHECK(info(qqa, 0, 8) == "00IN" && info(qqa, 1, 64) == "QQA test plug-in");
    CHECK(info(qqa, 2) == "*.qqa" && info(qqa, 3) == "QQA picture");
    CHECK(info(qqa, 4) == "*.qqb;*.qqc" && info(qqa, 5) == "QQB picture" && info(qqa, 6) == "<0>");
    CHECK(info(qqa, 1, 4) == "QQA" && info(qqa, -1) == "<0>");
    CHECK(info(qqz, 0, 8) == "00AM" && info(bad, 0, 8) == "00XX");
    CHECK(info(half, 4) == "*.qqi" && info(half, 5) == "<0>");
    Spi every("anyinfo"), everyNonul("anyinfo_nonul");
    CHECK(info(every, 2, 64).c_str() == std::string("*.qqy") && info(every, 9, 64).size() == 64 &&
          info(every, 9, 64)[0] == 0 && info(every, -5, 64).size() == 64);
    CHECK(info(everyNonul, 9, 64) == std::string(64, 'A'));
    char buf[72];
    std::memset(buf, 0, sizeof buf);
    CHECK_EQ(nonul.fn<InfoFn>("GetPluginInfo")(1, buf, 64), 64);
    CHECK(std::string(buf, 64) == "NONUL test plug-in" + std::string(46, 'A') && buf[64] == 0);
    CHECK(info(nonul, 0, 8) == "00INAAAA" && info(nonul, 7) == "<0>");

    const char* api[] = {"IsSupported", "GetPictureInfo", "GetPicture", "GetPreview", "ConfigurationDlg",
                         "GetArchiveInfo", "GetFileInfo", "GetFile", "TestOutstandingBlocks"};
    const struct { const char* spi; const char* present; } want[] = {  // one letter per api[]
        {"qqa", "111110001"}, {"qqa_plain", "111000001"}, {"qqn", "111110001"},
        {"qqz", "100011111"}, {"qqz_noarchiveinfo", "100010111"}, {"qqz_nofileinfo", "100011011"},
        {"qqz_nofile", "100011101"}, {"badkind", "100000001"},
        {"noissupported", "011110001"}, {"nonul", "111110001"}, {"halfpair", "111110001"}};
    for (const auto& w : want) {
        Spi s(w.spi);
        for (int i = 0; i < 9; ++i)
            if ((s.fn<void*>(api[i]) != nullptr) != (w.present[i] == '1'))
                ++g_failures, std::printf("%s: export %s wrong\n", w.spi, api[i]);
        CHECK(s.fn<void*>("GetPluginInfo@12") == nullptr);
    }
}

void test_is_supported() {
    Spi qqa("qqa"), qqn("qqn"), qqz("qqz");
    char head[2048] = "QQA1";
    auto supported = [](const Spi& s, const char* name, void* dw) { return s.fn<IsSupportedFn>("IsSupported")(name, dw); };
    CHECK(supported(qqa, "c:\\x.bin", head) && supported(qqa, nullptr, head) && !supported(qqz, "a.qqz", head));
    char name[16];
    int wasNull = 0;
    CHECK_EQ(qqa.fn<LastIsSupportedFn>("TestLastIsSupported")(name, sizeof name, &wasNull), 2);
    CHECK(wasNull == 1 && name[0] == 0);
    typedef int(WINAPI * LastHeaderFn)(unsigned char*, int);
    head[2047] = 0x42;
    CHECK(supported(qqa, "c:\\x.bin", head));
    unsigned char seen[2048] = {};
    CHECK(qqa.fn<LastHeaderFn>("TestLastHeader")(seen, sizeof seen) == static_cast<int>(reinterpret_cast<INT_PTR>(head)));
    CHECK(std::memcmp(seen, head, sizeof seen) == 0);
    head[2047] = 0;
    CHECK_EQ(qqa.fn<LastIsSupportedFn>("TestLastIsSupported")(nullptr, 0, nullptr), 3);
    CHECK(supported(qqn, "C:\\Pics\\A.QQN", head) && !supported(qqn, nullptr, head) && !supported(qqn, "a.qqa", head));
    qqn.fn<LastIsSupportedFn>("TestLastIsSupported")(name, 6, &wasNull);
    CHECK(wasNull == 0 && std::strcmp(name, "a.qqa") == 0);
    std::memcpy(head, "QQZ1", 4);
    CHECK(supported(qqz, "a.bin", head) && !supported(qqa, "a.bin", head) && !supported(qqz, "a", nullptr));
}

void test_picture() {
    Spi qqa("qqa"), plain("qqa_plain");
    auto getPicture = qqa.fn<PictureFn>("GetPicture");
    auto getInfo = qqa.fn<PicInfoFn>("GetPictureInfo");
    QqaHeader q = picture(5, -3, 8, 0x10);
    q.left = 1, q.top = 2, q.xDensity = 72, q.yDensity = 96;
    std::strcpy(q.text, "hello");
    auto mem = reinterpret_cast<LPCSTR>(&q);

    PictureInfo pi = {};
    CHECK_EQ(getInfo(mem, sizeof q, 1, &pi), 0);
    CHECK(pi.left == 1 && pi.top == 2 && pi.width == 5 && pi.height == -3 && pi.x_density == 72 && pi.colorDepth == 8);
    CHECK(pi.hInfo && std::strcmp(static_cast<char*>(LocalLock(pi.hInfo)), "hello") == 0);
    CHECK_EQ(qqa.count("TestOutstandingBlocks"), 1);
    LocalFree(pi.hInfo);

    HLOCAL hi = nullptr, hb = nullptr;
    int calls = qqa.count("TestCallCount");
    g_progressCalls = 0, g_abortAt = 0;
    CHECK_EQ(getPicture(mem, sizeof q, 1, &hi, &hb, progress, 0), 0);
    CHECK(g_progressCalls >= 1 && qqa.count("TestCallCount") == calls + 1);
    CHECK(qqa.count("TestLastLength") == sizeof q && qqa.count("TestLastFlag") == 1 && qqa.count("TestLastFirstByte") == 'Q');
    std::vector<uint8_t> inf = block(hi), pix = block(hb);
    const auto* bih = reinterpret_cast<const BITMAPINFOHEADER*>(inf.data());
    CHECK_EQ(inf.size(), 40 + 256 * 4);
    CHECK(bih->biSize == 40 && bih->biWidth == 5 && bih->biHeight == -3 && bih->biPlanes == 1 && bih->biBitCount == 8);
    CHECK(bih->biSizeImage == 24 && inf[40] == pattern_byte(0x50, 0) && inf[40 + 1023] == pattern_byte(0x50, 1023));
    CHECK(pix.size() == 24 && pix[0] == 0x10 && pix[23] == pattern_byte(0x10, 23));
    CHECK_EQ(qqa.count("TestOutstandingBlocks"), 2);
    LocalFree(hi), LocalFree(hb);
    CHECK_EQ(qqa.count("TestOutstandingBlocks"), 0);

    // Aborting at either progress call leaves nothing behind.
    for (int at = 1; at <= 2; ++at) {
        g_progressCalls = 0, g_abortAt = at;
        CHECK_EQ(getPicture(mem, sizeof q, 1, &hi, &hb, progress, 0), 1);
    }
    CHECK_EQ(qqa.count("TestOutstandingBlocks"), 0);
    CHECK_EQ(getPicture(mem, sizeof q - 1, 1, &hi, &hb, nullptr, 0), 2);

    // Preview: half size, at least one row.
    CHECK_EQ(qqa.fn<PictureFn>("GetPreview")(mem, sizeof q, 1, &hi, &hb, nullptr, 0), 0);
    CHECK(reinterpret_cast<BITMAPINFOHEADER*>(LocalLock(hi))->biHeight == -1 && LocalSize(hb) == 4);
    LocalFree(hi), LocalFree(hb);

    // Bit fields, a padded header, shortfalls.
    QqaHeader b = picture(5, 3, 16, 1);
    b.compression = 3, b.biSize = 48, b.infoShortfall = 2, b.pixelShortfall = 100;
    CHECK_EQ(getPicture(reinterpret_cast<LPCSTR>(&b), sizeof b, 1, &hi, &hb, nullptr, 0), 0);
    inf = block(hi);
    CHECK_EQ(inf.size(), 48 + 12 - 2);
    DWORD red, green;
    std::memcpy(&red, &inf[48], 4), std::memcpy(&green, &inf[52], 4);
    CHECK(inf[0] == 48 && inf[47] == 0 && red == 0xF800 && green == 0x07E0 && inf[56] == 0x1F);
    CHECK(reinterpret_cast<BITMAPINFOHEADER*>(inf.data())->biSizeImage == 36 && LocalSize(hb) == 0);
    CHECK_EQ(qqa.count("TestOutstandingBlocks"), 2);  // an empty block is a block
    LocalFree(hi), LocalFree(hb);

    // Result codes and null handles.
    QqaHeader f = picture(2, 2, 24, 0);
    f.resultCode = 3;
    std::strcpy(f.text, "why");
    hi = hb = reinterpret_cast<HLOCAL>(0x1234);
    CHECK_EQ(getPicture(reinterpret_cast<LPCSTR>(&f), sizeof f, 1, &hi, &hb, nullptr, 0), 3);
    CHECK(hi == reinterpret_cast<HLOCAL>(0x1234) && hb == hi);
    pi.width = 77;
    CHECK(getInfo(reinterpret_cast<LPCSTR>(&f), sizeof f, 1, &pi) == 3 && pi.width == 77);
    f.flags = QQA_TEXT_ON_FAILURE;
    CHECK(getInfo(reinterpret_cast<LPCSTR>(&f), sizeof f, 1, &pi) == 3 && pi.width == 2 && pi.hInfo);
    LocalFree(pi.hInfo);
    f.resultCode = 0, f.flags = QQA_NULL_INFO, f.clrUsed = 3;
    CHECK_EQ(getPicture(reinterpret_cast<LPCSTR>(&f), sizeof f, 1, &hi, &hb, nullptr, 0), 0);
    CHECK(hi == nullptr && LocalSize(hb) == 16);
    LocalFree(hb);
    f.flags = 0;
    CHECK_EQ(plain.fn<PictureFn>("GetPicture")(reinterpret_cast<LPCSTR>(&f), sizeof f, 1, &hi, &hb, nullptr, 0), 0);
    CHECK_EQ(LocalSize(hi), 40 + 3 * 4);
    LocalFree(hi), LocalFree(hb);

    // From a file, 37 bytes in.
    std::string path = write_temp("_pic.bin", 37, &q, sizeof q);
    CHECK_EQ(getPicture(path.c_str(), 37, 0, &hi, &hb, nullptr, 0), 0);
    CHECK(qqa.count("TestLastFirstByte") == 'Q' && qqa.count("TestLastLength") == 37 && qqa.count("TestLastFlag") == 0);
    CHECK(LocalSize(hi) == 40 + 1024 && block(hb) == pix);
    LocalFree(hi), LocalFree(hb);
    CHECK_EQ(getPicture(path.c_str(), 36, 0, &hi, &hb, nullptr, 0), 2);
    CHECK_EQ(getPicture((path + ".none").c_str(), 0, 0, &hi, &hb, nullptr, 0), 6);
    CHECK_EQ(qqa.count("TestLastFirstByte"), -1);
    DeleteFileA(path.c_str());
    CHECK(qqa.count("TestOutstandingBlocks") == 0 && plain.count("TestOutstandingBlocks") == 0);

    // ConfigurationDlg and the reset.
    int parent = 0, function = 0;
    CHECK_EQ(qqa.fn<ConfigFn>("ConfigurationDlg")(reinterpret_cast<HWND>(7), 1), 7);
    CHECK(qqa.fn<int(WINAPI*)(int*, int*)>("TestLastConfig")(&parent, &function) == 1 && parent == 7 && function == 1);
    getPicture(mem, sizeof q, 1, &hi, &hb, nullptr, 0);
    qqa.fn<void(WINAPI*)()>("TestResetCounters")();
    CHECK(qqa.count("TestOutstandingBlocks") == 0 && qqa.count("TestCallCount") == 0);
    LocalFree(hi), LocalFree(hb);
}

struct Member {
    const char *method, *path, *name;
    std::vector<uint8_t> data;
};
std::vector<uint8_t> archive(const std::vector<Member>& members, int32_t fileCode = 0, uint32_t flags = 0) {
    QqzHeader h = {{'Q', 'Q', 'Z', '1'}, static_cast<uint32_t>(members.size()), 5, 0, fileCode, flags};
    std::vector<uint8_t> out(reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h + 1));
    for (const Member& m : members) {
        QqzMember r = {};
        std::memcpy(r.method, m.method, std::strlen(m.method));
        std::strcpy(r.path, m.path), std::strcpy(r.name, m.name);
        r.size = static_cast<uint32_t>(m.data.size()), r.timestamp = 1000, r.crc = 0xC0FFEE;
        out.insert(out.end(), reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r + 1));
        out.insert(out.end(), m.data.begin(), m.data.end());
    }
    return out;
}

void test_archive() {
    Spi qqz("qqz"), qqa("qqa");
    auto listing = qqz.fn<ArcInfoFn>("GetArchiveInfo");
    auto fileInfo = qqz.fn<FileInfoFn>("GetFileInfo");
    auto getFile = qqz.fn<GetFileFn>("GetFile");
    std::vector<uint8_t> big(300);
    for (size_t i = 0; i < big.size(); ++i) big[i] = pattern_byte(9, static_cast<uint32_t>(i));
    std::vector<uint8_t> z = archive({{"QQZstore", "docs\\", "readme.txt", {'h', 'e', 'l', 'l', 'o'}},
                                      {"raw", "", "b.bin", big}});
    std::string path = write_temp("_arc.qqz", 50, z.data(), z.size());
    auto mem = reinterpret_cast<LPCSTR>(z.data());

    for (LONG_PTR base : {LONG_PTR{0}, LONG_PTR{50}}) {
        HLOCAL list = nullptr;
        int rc = base ? listing(path.c_str(), base, 0, &list) : listing(mem, static_cast<LONG_PTR>(z.size()), 1, &list);
        CHECK_EQ(rc, 5);  // archiveInfoCode, with the list anyway
        CHECK_EQ(LocalSize(list), 3 * sizeof(FileInfo));
        auto* r = static_cast<FileInfo*>(LocalLock(list));
        CHECK(std::memcmp(r[0].method, "QQZstore", 8) == 0 && r[0].position == static_cast<ULONG_PTR>(base) + 124u && r[0].filesize == 5);
        CHECK(std::strcmp(r[0].path, "docs\\") == 0 && std::strcmp(r[0].filename, "readme.txt") == 0);
        CHECK(r[0].timestamp == 1000 && r[0].crc == 0xC0FFEE && r[1].position == static_cast<ULONG_PTR>(base) + 229u && r[1].compsize == 300);
        CHECK(r[2].method[0] == 0);
        LocalFree(list);
    }
    FileInfo fi = {};
    CHECK(fileInfo(path.c_str(), 50, "DOCS\\README.TXT", 0x80, &fi) == 0 && fi.position == 174);
    CHECK(fileInfo(mem, static_cast<LONG_PTR>(z.size()), "B.BIN", 0x81, &fi) == 0 && fi.position == 229);
    CHECK(fileInfo(mem, static_cast<LONG_PTR>(z.size()), "B.BIN", 1, &fi) == 8);
    CHECK(fileInfo(mem, static_cast<LONG_PTR>(z.size()), "nothing", 1, &fi) == 8);

    HLOCAL out = nullptr;
    CHECK(getFile(path.c_str(), 50 + 229, reinterpret_cast<LPSTR>(&out), 0x100, nullptr, 0) == 0 && block(out) == big);
    CHECK_EQ(qqz.count("TestLastFirstByte"), big[0]);
    LocalFree(out);
    CHECK_EQ(getFile(path.c_str(), 50 + 228, reinterpret_cast<LPSTR>(&out), 0x100, nullptr, 0), 3);
    CHECK_EQ(getFile(path.c_str(), 50 + 229, reinterpret_cast<LPSTR>(&out), 0, nullptr, 0), -1);
    CHECK(getFile(mem + 124, 5, reinterpret_cast<LPSTR>(&out), 0x101, nullptr, 0) == 0 && block(out).size() == 5);
    LocalFree(out);
    DeleteFileA(path.c_str());

    // Codes: from the header for a file source, from the last listing for a memory one.
    std::vector<uint8_t> failing = archive({{"", "", "x", {1, 2, 3}}}, 3, QQZ_NO_TERMINATOR);
    path = write_temp("_bad.qqz", 0, failing.data(), failing.size());
    out = reinterpret_cast<HLOCAL>(0x1234);
    CHECK(getFile(path.c_str(), 124, reinterpret_cast<LPSTR>(&out), 0x100, nullptr, 0) == 3 && out == reinterpret_cast<HLOCAL>(0x1234));
    HLOCAL list = nullptr;
    CHECK(listing(path.c_str(), 0, 0, &list) == 5 && LocalSize(list) == sizeof(FileInfo));
    LocalFree(list);
    CHECK_EQ(getFile(reinterpret_cast<LPCSTR>(&failing[124]), 3, reinterpret_cast<LPSTR>(&out), 0x101, nullptr, 0), 3);
    DeleteFileA(path.c_str());
    std::vector<uint8_t> empty = archive({{"", "", "y", {7}}}, 0, QQZ_NULL_FILE_BLOCK);
    CHECK(listing(reinterpret_cast<LPCSTR>(empty.data()), static_cast<LONG_PTR>(empty.size()), 1, &list) == 5);
    LocalFree(list);
    CHECK(getFile(reinterpret_cast<LPCSTR>(&empty[124]), 1, reinterpret_cast<LPSTR>(&out), 0x101, nullptr, 0) == 0 && !out);
    CHECK_EQ(qqz.count("TestOutstandingBlocks"), 0);

    // A handle the caller freed and another test plug-in got again counts for that one only.
    qqz.fn<void(WINAPI*)()>("TestResetCounters")();  // forget the last header's flags
    HLOCAL hi, hb;
    QqaHeader q = picture(4, 4, 8, 0);
    qqa.fn<PictureFn>("GetPicture")(reinterpret_cast<LPCSTR>(&q), sizeof q, 1, &hi, &hb, nullptr, 0);
    LocalFree(hb);
    CHECK_EQ(getFile(mem + 124, 5, reinterpret_cast<LPSTR>(&out), 0x101, nullptr, 0), 0);
    CHECK(qqa.count("TestOutstandingBlocks") == 1 && qqz.count("TestOutstandingBlocks") == 1);
    if (out != hb) std::printf("note: the handle was not reused (%p, %p)\n", out, hb);
    LocalFree(hi), LocalFree(out);
    CHECK(qqa.count("TestOutstandingBlocks") == 0 && qqz.count("TestOutstandingBlocks") == 0);
}

// Records and blocks that disagree with the member, by the archive's flags.
void test_archive_disagreements() {
    Spi qqz("qqz");
    auto listing = qqz.fn<ArcInfoFn>("GetArchiveInfo");
    auto getFile = qqz.fn<GetFileFn>("GetFile");
    std::vector<uint8_t> z = archive({{"m", "", "a", {1, 2, 3}}}, 4,
                                     QQZ_BLOCK_ON_FAILURE | QQZ_PADDED_FILE_BLOCK | QQZ_FILESIZE_IS_CRC);
    std::string path = write_temp("_odd.qqz", 0, z.data(), z.size());
    HLOCAL list = nullptr;
    CHECK(listing(path.c_str(), 0, 0, &list) == 5);
    auto* r = static_cast<FileInfo*>(LocalLock(list));
    CHECK(r[0].filesize == 0xC0FFEE && r[0].compsize == 3);
    LocalFree(list);
    HLOCAL out = nullptr;
    CHECK_EQ(getFile(path.c_str(), 124, reinterpret_cast<LPSTR>(&out), 0x100, nullptr, 0), 4);
    std::vector<uint8_t> padded = block(out);
    CHECK(padded.size() == 3 + QQZ_PADDING && padded[0] == 1 && padded[2] == 3 && padded[3] == 0xEE &&
          padded.back() == 0xEE);
    CHECK_EQ(qqz.count("TestOutstandingBlocks"), 1);
    LocalFree(out);
    CHECK_EQ(qqz.count("TestOutstandingBlocks"), 0);
    DeleteFileA(path.c_str());
}

}  // namespace

// The WIDE variants: UTF-8 texts and member names handed over as UTF-16, files opened by
// UTF-16 names, every wide call counted; and the variants that accept and never decode.
typedef int(WINAPI* InfoWFn)(int, LPWSTR, int);
typedef int(WINAPI* IsSupportedWFn)(LPCWSTR, void*);
typedef int(WINAPI* PicInfoWFn)(LPCWSTR, LONG_PTR, unsigned, PictureInfo*);
typedef int(WINAPI* ArcInfoWFn)(LPCWSTR, LONG_PTR, unsigned, HLOCAL*);
typedef int(WINAPI* FileInfoWFn)(LPCWSTR, LONG_PTR, LPCWSTR, unsigned, FileInfoW*);
typedef int(WINAPI* GetFileWFn)(LPCWSTR, LONG_PTR, LPWSTR, unsigned, ProgressCallback, LONG_PTR);
typedef int(WINAPI* WideCallsFn)(int*, int*, wchar_t*, int);

std::wstring write_temp_w(const wchar_t* tag, const void* data, size_t n) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + L"tamrix_spikit_" + std::to_wstring(GetCurrentProcessId()) + tag;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(f, data, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(f);
    return path;
}

void test_wide() {
    Spi qqw("qqw"), qqzw("qqzw"), qqa("qqa");
    CHECK(qqa.fn<WideCallsFn>("TestWideCalls") == nullptr && qqa.fn<IsSupportedWFn>("IsSupportedW") == nullptr);
    auto wideCalls = [](const Spi& s, int* isSupported, int* info, std::wstring* name) {
        wchar_t buf[512] = {};
        int calls = s.fn<WideCallsFn>("TestWideCalls")(isSupported, info, buf, 512);
        if (name) *name = buf;
        return calls;
    };
    wchar_t text[64] = {};
    CHECK_EQ(qqw.fn<InfoWFn>("GetPluginInfoW")(1, text, 64), 23);
    CHECK(std::wstring(text) == L"QQW test plug-in, wide\u2026");
    CHECK(info(qqw, 1) == "QQW test plug-in, wide\xE2\x80\xA6" && info(qqw, 0, 8) == "00IN");

    QqaHeader q = picture(6, 4, 24, 3);
    const std::wstring file = write_temp_w(L"_\u0416\u03A9.qqa", &q, sizeof q);
    PictureInfo pi = {};
    CHECK(qqw.fn<PicInfoWFn>("GetPictureInfoW")(file.c_str(), 0, 0, &pi) == 0 && pi.width == 6);
    int isSupported = -1, infoCalls = -1;
    std::wstring last;
    CHECK_EQ(wideCalls(qqw, &isSupported, &infoCalls, &last), 1);
    CHECK(last == file && isSupported == 0 && infoCalls == 1);
    CHECK_EQ(qqw.count("TestCallCount"), 1);
    uint8_t header[2048] = {};
    std::memcpy(header, &q, sizeof q);
    CHECK_EQ(qqw.fn<IsSupportedWFn>("IsSupportedW")(L"x\u0416.qqa", header), 1);
    wideCalls(qqw, &isSupported, nullptr, &last);
    CHECK(isSupported == 1 && last == L"x\u0416.qqa");
    char narrowName[64] = {};
    CHECK_EQ(qqw.fn<LastIsSupportedFn>("TestLastIsSupported")(narrowName, 64, nullptr), 1);
    CHECK(std::string(narrowName) == "x\xD0\x96.qqa");
    DeleteFileW(file.c_str());

    std::vector<uint8_t> data = {'w', 'i', 'd', 'e'};
    std::vector<uint8_t> z = archive({{"QQZstore", "\xCE\xA9\\", "\xD0\x96.txt", data}});
    const std::wstring arc = write_temp_w(L"_\u0416.qqz", z.data(), z.size());
    HLOCAL list = nullptr;
    CHECK_EQ(qqzw.fn<ArcInfoWFn>("GetArchiveInfoW")(arc.c_str(), 0, 0, &list), 5);
    CHECK_EQ(LocalSize(list), 2 * sizeof(FileInfoW));
    auto* r = static_cast<FileInfoW*>(LocalLock(list));
    CHECK(std::wstring(r[0].path) == L"\u03A9\\" && std::wstring(r[0].filename) == L"\u0416.txt");
    CHECK(r[0].position == 124 && r[0].filesize == 4 && r[1].method[0] == 0);
    LocalFree(list);
    FileInfoW fi = {};
    CHECK(qqzw.fn<FileInfoWFn>("GetFileInfoW")(arc.c_str(), 0, L"\u03A9\\\u0416.TXT", 0x80, &fi) == 0 && fi.position == 124);
    HLOCAL out = nullptr;
    CHECK(qqzw.fn<GetFileWFn>("GetFileW")(arc.c_str(), 124, reinterpret_cast<LPWSTR>(&out), 0x100, nullptr, 0) == 0 &&
          block(out) == data);
    LocalFree(out);
    CHECK_EQ(wideCalls(qqzw, nullptr, nullptr, &last), 3);
    CHECK(last == arc);
    DeleteFileW(arc.c_str());

    for (auto [name, code] : {std::pair<const char*, int>{"qqa_broken", 3}, {"qqa_nomemory", 4}}) {
        Spi failing(name);
        HLOCAL i = nullptr, b = nullptr;
        CHECK_EQ(failing.fn<IsSupportedFn>("IsSupported")(nullptr, header), 1);
        CHECK_EQ(failing.fn<PictureFn>("GetPicture")(reinterpret_cast<LPCSTR>(&q), sizeof q, 1, &i, &b, nullptr, 0), code);
        CHECK(i == nullptr && b == nullptr && failing.count("TestOutstandingBlocks") == 0);
    }
}

// The variants that fill every field, read byte by byte at the offsets of the published
// layouts, not through spi_records.h: what a host reading those offsets sees.
namespace layout {
#ifdef _WIN64
const size_t PICTURE = 32, HINFO = 24, HANDLE_BYTES = 8;
const size_t NUMBER = 8, POSITION = 8, COMPSIZE = 16, FILESIZE = 24, TIMESTAMP = 32, PATH = 40;
const size_t FILENAME = 240, CRC = 440, RECORD = 448, FILENAME_W = 440, CRC_W = 840, RECORD_W = 848;
#else
const size_t PICTURE = 26, HINFO = 22, HANDLE_BYTES = 4;
const size_t NUMBER = 4, POSITION = 8, COMPSIZE = 12, FILESIZE = 16, TIMESTAMP = 20, PATH = 24;
const size_t FILENAME = 224, CRC = 424, RECORD = 428, FILENAME_W = 424, CRC_W = 824, RECORD_W = 828;
#endif
}  // namespace layout

unsigned long long number_at(const uint8_t* p, size_t offset, size_t bytes) {
    unsigned long long v = 0;
    for (size_t i = bytes; i-- > 0;) v = (v << 8) | p[offset + i];
    return v;
}

void test_full_records() {
    Spi qqa("qqa_full"), qqz("qqz_full"), qqzw("qqzw_full");
    QqaHeader q = picture(5, 3, 24, 1);
    q.left = 11, q.top = 12, q.xDensity = 13, q.yDensity = 14;
    std::memcpy(q.text, "filled", 6);
    uint8_t pi[64];
    std::memset(pi, 0x3C, sizeof pi);
    CHECK_EQ(qqa.fn<int(WINAPI*)(LPCSTR, LONG_PTR, unsigned, void*)>("GetPictureInfo")(
                 reinterpret_cast<LPCSTR>(&q), sizeof q, 1, pi), 0);
    CHECK(number_at(pi, 0, 4) == 11 && number_at(pi, 4, 4) == 12 && number_at(pi, 8, 4) == 5 &&
          number_at(pi, 12, 4) == 3 && number_at(pi, 16, 2) == 13 && number_at(pi, 18, 2) == 14 &&
          number_at(pi, 20, 2) == 24);
    HLOCAL text = nullptr;
    std::memcpy(&text, pi + layout::HINFO, layout::HANDLE_BYTES);
    CHECK(text && LocalSize(text) == 7 && std::strcmp(static_cast<const char*>(LocalLock(text)), "filled") == 0);
    LocalFree(text);
    CHECK(pi[layout::PICTURE] == 0x3C);  // nothing past the record
#ifdef _WIN64
    CHECK(pi[22] == FILL_PADDING && pi[23] == FILL_PADDING);
#endif

    std::vector<uint8_t> z = archive({{"FULLmeth", "dir\\", "one.txt", {1, 2}}, {"FULLmeth", "", "two", {3}}}, 0,
#ifdef _WIN64
                                     QQZ_HIGH_FIELDS
#else
                                     0
#endif
    );
    auto mem = reinterpret_cast<LPCSTR>(z.data());
#ifdef _WIN64
    const unsigned long long bias = QQZ_HIGH_BIAS;
#else
    const unsigned long long bias = 0;
#endif
    struct Kind {
        const Spi& spi;
        const char* entry;
        size_t charBytes, filename, crc, record;
    };
    for (const Kind& k : {Kind{qqz, "GetArchiveInfo", 1, layout::FILENAME, layout::CRC, layout::RECORD},
                          Kind{qqzw, "GetArchiveInfoW", 2, layout::FILENAME_W, layout::CRC_W, layout::RECORD_W}}) {
        HLOCAL list = nullptr;
        CHECK_EQ(k.spi.fn<int(WINAPI*)(LPCSTR, LONG_PTR, unsigned, HLOCAL*)>(k.entry)(
                     mem, static_cast<LONG_PTR>(z.size()), 1, &list), 5);
        CHECK_EQ(LocalSize(list), 3 * k.record);
        const auto* r = static_cast<const uint8_t*>(LocalLock(list));
        const uint8_t* second = r + k.record;
        CHECK(std::memcmp(second, "FULLmeth", 8) == 0);
        CHECK_EQ(number_at(second, layout::POSITION, layout::NUMBER), 124 + 2 + 100 + bias);
        CHECK_EQ(number_at(second, layout::COMPSIZE, layout::NUMBER), 1 + bias);
        CHECK_EQ(number_at(second, layout::FILESIZE, layout::NUMBER), 1 + bias);
        CHECK_EQ(number_at(second, layout::TIMESTAMP, layout::NUMBER), 1000 + bias);
        CHECK_EQ(number_at(second, k.crc, 4), 0xC0FFEE);
        // The names run to the end of their fields: no NUL anywhere in them.
        const size_t pathChars = (k.filename - layout::PATH) / k.charBytes;
        CHECK(number_at(second, layout::PATH, k.charBytes) == '~' &&
              number_at(second, k.filename - k.charBytes, k.charBytes) == '~');
        CHECK(number_at(second, k.filename, k.charBytes) == 't' &&
              number_at(second, k.crc - k.charBytes, k.charBytes) == '~');
        bool noNul = true;
        for (size_t i = 0; i < 2 * pathChars; ++i) noNul = noNul && number_at(second, layout::PATH + i * k.charBytes, k.charBytes) != 0;
        CHECK(noNul);
#ifdef _WIN64
        CHECK(number_at(second, k.crc + 4, 4) == 0xA5A5A5A5u);
#endif
        CHECK(number_at(r, layout::PATH, 4 * k.charBytes) != 0 && r[2 * k.record] == 0);
        LocalFree(list);
    }
#ifdef _WIN64
    // The positions no 32-bit field holds still find their members.
    HLOCAL out = nullptr;
    CHECK(qqz.fn<GetFileFn>("GetFile")(mem + 124, static_cast<LONG_PTR>(2 + bias), reinterpret_cast<LPSTR>(&out),
                                       0x101, nullptr, 0) == 0 &&
          block(out) == std::vector<uint8_t>({1, 2}));
    LocalFree(out);
#endif
}

// Every plug-in beside this program, the bundled ones (TAMRIX_BUNDLED_DIR) and the server
// (TAMRIX_DLL: COM may unload and load it again in a long script) give back what their loads
// take: TAMRIX_UNLOAD_CYCLES loads of each bundled plug-in, each decoding a bitmap file where
// the plug-in reads pictures, and a tenth as many of each other module leave the lowest free
// TLS index, the handle count and the private bytes where they were. qqa_tlsleak keeps one TLS
// slot a load, as it is made to (at most 100 loads of it: a process has 1088).
void test_unload_cycles() {
    const std::string text = testenv::Env("TAMRIX_UNLOAD_CYCLES");
    const unsigned cycles = text.empty() ? 500 : static_cast<unsigned>(std::stoul(text));
    // A bitmap file of 2 x 1 pixels of 24 bits.
    const BYTE bmp[62] = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24};
    const std::string server = testenv::DllPath();
    const std::tuple<std::string, std::string, unsigned, bool> folders[] = {{g_dir, "*" TESTSPI_SUFFIX, cycles / 10, false},
                   {testenv::WinPath(testenv::Env("TAMRIX_BUNDLED_DIR")) + "\\", "*" TESTSPI_SUFFIX, cycles, true},
                   {server.substr(0, server.rfind('\\') + 1), server.substr(server.rfind('\\') + 1), cycles / 10, false}};
    for (const auto& [folder, pattern, loads, decode] : folders) {  // the files, loads of each, decoding
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((folder + pattern).c_str(), &found);
        CHECK(find != INVALID_HANDLE_VALUE);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found)) {
            const std::string path = folder + found.cFileName;
            const bool leaks = std::strcmp(found.cFileName, "qqa_tlsleak" TESTSPI_SUFFIX) == 0;
            const unsigned count = leaks ? std::min(loads, 100u) : loads;
            auto cycle = [&] {
                HMODULE m = LoadLibraryA(path.c_str());
                if (!m) return;
                auto picture = reinterpret_cast<PictureFn>(reinterpret_cast<void*>(GetProcAddress(m, "GetPicture")));
                HLOCAL info = nullptr, bits = nullptr;
                if (decode && picture && !picture(reinterpret_cast<LPCSTR>(bmp), sizeof bmp, 1, &info, &bits, nullptr, 0))
                    LocalFree(info), LocalFree(bits);
                FreeLibrary(m);
            };
            for (int i = 0; i < 3; ++i) cycle();  // what the process keeps of a first load
            const DWORD tls = testenv::LowestFreeTlsSlot();
            const size_t handles = testenv::OwnHandles();
            const long long bytes = testenv::PrivateBytes();
            for (unsigned i = 0; i < count; ++i) cycle();
            std::printf("%-24s %5u loads: TLS slots %+d, handles %+d, private bytes %+lld\n", found.cFileName, count,
                        int(testenv::LowestFreeTlsSlot() - tls), int(testenv::OwnHandles() - handles), testenv::PrivateBytes() - bytes);
            CHECK_EQ(testenv::LowestFreeTlsSlot(), tls + (leaks ? count : 0));
            CHECK(testenv::OwnHandles() <= handles);
            CHECK(testenv::PrivateBytes() - bytes <= 64 * 1024);
        }
        FindClose(find);
    }
}

int main() {
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    g_dir.assign(exe, n);
    g_dir.erase(g_dir.find_last_of("\\/") + 1);
    test_info_and_exports();
    test_is_supported();
    test_picture();
    test_archive();
    test_archive_disagreements();
    test_wide();
    test_full_records();
    test_unload_cycles();
    std::printf("%s (%d failures)\n", g_failures ? "FAILED" : "passed", g_failures);
    return g_failures ? 1 : 0;
}
