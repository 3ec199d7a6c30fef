// Shared helpers of the bundled plug-in tests: where the plug-ins and samples are, the
// plug-ins loaded as a host loads them, a count of the local-memory blocks a plug-in
// allocates and frees, memory that faults one byte past the data, and bitmaps read back
// from plug-in blocks or bitmap files and compared with the samples' known pixels.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "common/test_env.h"
#include "plugins/spi_records.h"
#include "sample_pictures.h"

namespace samples {
// Test names and failure messages show the sample's file name.
inline void PrintTo(const Picture& p, std::ostream* os) { *os << p.file; }
}  // namespace samples

namespace bundled {

using Bytes = std::vector<uint8_t>;

inline std::string SpiPath(const char* name) {
    return testenv::WinPath(testenv::Env("TAMRIX_BUNDLED_DIR")) + "\\" + name;
}
// A sample file, e.g. Sample("pictures\\rgb.png").
inline std::string Sample(const std::string& name) {
    return testenv::WinPath(testenv::Env("TAMRIX_SAMPLES_DIR")) + "\\" + name;
}
// A picture of the fuzz targets' corpus (fuzz/corpus/picture).
inline std::string CorpusFile(const std::string& name) {
    return testenv::WinPath(testenv::Env("TAMRIX_FUZZ_CORPUS_DIR")) + "\\picture\\" + name;
}
inline std::string Picture(const samples::Picture& p) { return Sample(std::string("pictures\\") + p.file); }

inline Bytes ReadAll(const std::string& path) {
    Bytes out;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return out;
    out.resize(GetFileSize(f, nullptr));
    DWORD got = 0;
    if (!out.empty()) ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &got, nullptr);
    CloseHandle(f);
    out.resize(got);
    return out;
}

inline void WriteAll(const std::string& path, const Bytes& data) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f) << path;
    DWORD put = 0;
    WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &put, nullptr);
    CloseHandle(f);
}

// A fresh, empty scratch folder (its old contents removed, one level of subfolders).
inline std::string ScratchFolder(const std::string& name) {
    std::string dir = testenv::TempDir() + name;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string p = dir + "\\" + fd.cFileName;
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                DeleteFileA(p.c_str());
            } else if (std::strcmp(fd.cFileName, ".") && std::strcmp(fd.cFileName, "..")) {
                WIN32_FIND_DATAA in;
                HANDLE h2 = FindFirstFileA((p + "\\*").c_str(), &in);
                if (h2 != INVALID_HANDLE_VALUE) {
                    do DeleteFileA((p + "\\" + in.cFileName).c_str());
                    while (FindNextFileA(h2, &in));
                    FindClose(h2);
                }
                RemoveDirectoryA(p.c_str());
            }
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

// The names in a folder, "." and ".." left out.
inline std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do
        if (std::strcmp(fd.cFileName, ".") && std::strcmp(fd.cFileName, "..")) names.insert(fd.cFileName);
    while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

// ---- A plug-in loaded as a host loads it, with its local-memory blocks counted. ---------

// Every LocalAlloc, LocalReAlloc and LocalFree the plug-ins make goes through these: the
// tests redirect the plug-ins' imports of them. A block the plug-in hands back and the test
// frees is dropped with Free().
class Blocks {
public:
    static void Hook(HMODULE module);
    static void Reset() {
        Live().clear();
        allocations = 0;
    }
    static size_t Outstanding() { return Live().size(); }
    static void Free(HLOCAL h) {
        if (!h) return;
        Live().erase(h);
        LocalFree(h);
    }
    static inline long allocations = 0;

private:
    static std::set<HLOCAL>& Live() {
        static std::set<HLOCAL> live;
        return live;
    }
    static HLOCAL WINAPI Alloc(UINT flags, SIZE_T n) {
        HLOCAL h = LocalAlloc(flags, n);
        if (h) {
            Live().insert(h);
            ++allocations;
        }
        return h;
    }
    static HLOCAL WINAPI ReAlloc(HLOCAL old, SIZE_T n, UINT flags) {
        HLOCAL h = LocalReAlloc(old, n, flags);
        if (h) {
            Live().erase(old);
            Live().insert(h);
        }
        return h;
    }
    static HLOCAL WINAPI FreeHook(HLOCAL h) {
        Live().erase(h);
        return LocalFree(h);
    }
};

inline void Blocks::Hook(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    struct {
        const char* name;
        void* hook;
    } const hooks[] = {{"LocalAlloc", reinterpret_cast<void*>(&Alloc)},
                       {"LocalReAlloc", reinterpret_cast<void*>(&ReAlloc)},
                       {"LocalFree", reinterpret_cast<void*>(&FreeHook)}};
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (const auto& h : hooks) {
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), h.name) != 0) continue;
                DWORD old;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
                slots->u1.Function = reinterpret_cast<DWORD_PTR>(h.hook);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            }
        }
    }
}

class Spi {
public:
    explicit Spi(const char* file) : module_(LoadLibraryA(SpiPath(file).c_str())) {
        if (module_) Blocks::Hook(module_);
    }
    ~Spi() {
        if (module_) FreeLibrary(module_);
    }
    Spi(const Spi&) = delete;
    Spi& operator=(const Spi&) = delete;
    HMODULE Module() const { return module_; }
    template <class F>
    F Fn(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_;
};

using Progress = testspi::ProgressCallback;
using GetPluginInfoFn = int(WINAPI*)(int, LPSTR, int);
using GetPluginInfoWFn = int(WINAPI*)(int, LPWSTR, int);
using IsSupportedFn = int(WINAPI*)(LPCSTR, const void*);
using IsSupportedWFn = int(WINAPI*)(LPCWSTR, const void*);

// ---- Memory whose end is the end of readable memory. ------------------------------------

class Guarded {
public:
    explicit Guarded(const Bytes& data) {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        size_t page = si.dwPageSize, span = (data.size() + page - 1) / page * page;
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + span, page, PAGE_NOACCESS, &old);
        data_ = base_ + span - data.size();
        if (!data.empty()) std::memcpy(data_, data.data(), data.size());
    }
    ~Guarded() { VirtualFree(base_, 0, MEM_RELEASE); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    const char* get() const { return reinterpret_cast<const char*>(data_); }

private:
    uint8_t* base_;
    uint8_t* data_;
};

// ---- Bitmaps read back. ------------------------------------------------------------------

struct Dib {
    int width = 0, height = 0, bits = 0;
    std::vector<RGBQUAD> colours;
    Bytes rows;  // bottom-up, padded to 4 bytes
    bool ok = false;

    size_t Stride() const { return (static_cast<size_t>(width) * bits + 31) / 32 * 4; }
    // Pixel (x, y), y counted from the top.
    samples::Rgba At(int x, int y) const {
        const uint8_t* row = &rows[(height - 1 - y) * Stride()];
        if (bits == 8) {
            const RGBQUAD& c = colours[row[x]];
            return {c.rgbRed, c.rgbGreen, c.rgbBlue, 255};
        }
        const uint8_t* p = row + x * (bits / 8);
        return {p[2], p[1], p[0], static_cast<uint8_t>(bits == 32 ? p[3] : 255)};
    }
};

// From a BITMAPINFO (header and colour table) and pixel rows; checks the header's shape.
inline Dib ParseDib(const uint8_t* info, size_t infoSize, const uint8_t* px, size_t pxSize) {
    Dib d;
    BITMAPINFOHEADER h;
    if (infoSize < sizeof h) return d;
    std::memcpy(&h, info, sizeof h);
    EXPECT_EQ(40u, h.biSize);
    EXPECT_EQ(1, h.biPlanes);
    EXPECT_EQ(static_cast<DWORD>(BI_RGB), h.biCompression);
    EXPECT_GT(h.biHeight, 0) << "rows must be bottom-up";
    d.width = h.biWidth;
    d.height = h.biHeight;
    d.bits = h.biBitCount;
    if (d.bits == 8) {
        size_t n = h.biClrUsed ? h.biClrUsed : 256;
        EXPECT_LE(n, 256u);
        if (infoSize < sizeof h + n * 4 || n > 256) return d;
        d.colours.resize(n);
        std::memcpy(d.colours.data(), info + sizeof h, n * 4);
    }
    if (d.height <= 0 || pxSize < d.Stride() * d.height) return d;
    d.rows.assign(px, px + d.Stride() * d.height);
    d.ok = true;
    return d;
}

// From the two blocks a picture plug-in hands back; frees them.
inline Dib TakeBlocks(HLOCAL info, HLOCAL bits) {
    Dib d;
    auto* i = static_cast<const uint8_t*>(LocalLock(info));
    auto* p = static_cast<const uint8_t*>(LocalLock(bits));
    if (i && p) d = ParseDib(i, LocalSize(info), p, LocalSize(bits));
    if (i) LocalUnlock(info);
    if (p) LocalUnlock(bits);
    Blocks::Free(info);
    Blocks::Free(bits);
    return d;
}

inline Dib ParseBmpFile(const Bytes& f) {
    if (f.size() < 14 || f[0] != 'B' || f[1] != 'M') return Dib{};
    uint32_t offBits;
    std::memcpy(&offBits, &f[10], 4);
    if (offBits > f.size()) return Dib{};
    return ParseDib(f.data() + 14, offBits - 14, f.data() + offBits, f.size() - offBits);
}

// Pixels of a stb_image decoding of the same file, for pictures only known approximately.
Bytes StbDecode(const Bytes& file, int* w, int* h);

// Decoded RGBA pixels against what they should be: the largest difference of any channel,
// and the mean difference of brightness (luma).
inline std::pair<int, double> Distance(const Bytes& rgba, int w, int h,
                                       const std::function<samples::Rgba(int, int)>& want) {
    if (w <= 0 || rgba.size() != static_cast<size_t>(w) * h * 4) return {999, 999};
    int most = 0;
    double luma = 0;
    for (int i = 0; i < w * h; ++i) {
        const samples::Rgba c = want(i % w, i / w);
        const int d[4] = {rgba[i * 4] - c.r, rgba[i * 4 + 1] - c.g, rgba[i * 4 + 2] - c.b, rgba[i * 4 + 3] - c.a};
        for (int v : d) most = std::max(most, std::abs(v));
        luma += std::abs(0.299 * d[0] + 0.587 * d[1] + 0.114 * d[2]) / (w * h);
    }
    return {most, luma};
}

// The decoded picture against the sample's known pixels: exact for lossless formats (alpha
// too when the bitmap has it; a fully transparent pixel's colour does not matter), within
// a small error for JPEG, whose pixels must then equal those of an independent decoding.
inline void ExpectPicture(const Dib& d, const samples::Picture& p) {
    ASSERT_TRUE(d.ok) << p.file;
    ASSERT_EQ(p.width, d.width) << p.file;
    ASSERT_EQ(p.height, d.height) << p.file;
    EXPECT_EQ(p.bits, d.bits) << p.file;
    Bytes reference;
    if (p.lossy) {
        int w = 0, h = 0;
        reference = StbDecode(ReadAll(Picture(p)), &w, &h);
        ASSERT_EQ(static_cast<size_t>(p.width) * p.height * 4, reference.size());
    }
    int wrong = 0;
    std::string first;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            samples::Rgba got = d.At(x, y), want = samples::Pixel(p.pattern, x, y, p.width, p.height);
            bool same;
            if (p.lossy) {
                const uint8_t* r = &reference[(static_cast<size_t>(y) * p.width + x) * 4];
                same = got.r == r[0] && got.g == r[1] && got.b == r[2] && std::abs(got.r - want.r) <= 16 &&
                       std::abs(got.g - want.g) <= 16 && std::abs(got.b - want.b) <= 16;
            } else if (d.bits == 32 && want.a == 0) {
                same = got.a == 0;
            } else {
                same = got.r == want.r && got.g == want.g && got.b == want.b && (d.bits != 32 || got.a == want.a);
            }
            if (!same && wrong++ == 0)
                first = "(" + std::to_string(x) + "," + std::to_string(y) + ") got " + std::to_string(got.r) + "," +
                        std::to_string(got.g) + "," + std::to_string(got.b) + "," + std::to_string(got.a) +
                        " want " + std::to_string(want.r) + "," + std::to_string(want.g) + "," +
                        std::to_string(want.b) + "," + std::to_string(want.a);
        }
    EXPECT_EQ(0, wrong) << p.file << ": first wrong pixel " << first;
}

}  // namespace bundled
