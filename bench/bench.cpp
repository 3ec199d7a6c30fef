// The benchmark: what the server costs on top of the plug-ins' own work, as ratios measured
// side by side in one run (each repetition times both sides back to back, in alternating
// order; the table shows the medians and their ratio). Not a test: it prints figures.
//   bench.exe <Tamrix.dll> <iftamrix.spi> <qqz.spi> <bench_spi.spi> <scratch folder> [repetitions]
// The server is loaded as the COM runtime loads it; the type-library rows need it
// registered. Inputs (a 24-megapixel PNG, a 100,000-member archive, folders of plug-in
// copies) are made in the scratch folder on first use and kept there.
#include <windows.h>
#include <olectl.h>
#include <wincodec.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "plugins/spi_records.h"
#include "plugins/test_formats.h"

namespace {

template <class T>
class Ref {
public:
    Ref() = default;
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

[[noreturn]] void Fail(const std::string& what, HRESULT hr = S_OK) {
    std::fprintf(stderr, "bench: %s (0x%08lx)\n", what.c_str(), static_cast<unsigned long>(hr));
    std::exit(1);
}

void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) Fail(what, hr);
}

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Milliseconds one call of `f` takes; `f` may time a part of itself by returning it (>= 0).
double Time(const std::function<double()>& f) {
    const double start = Now();
    const double own = f();
    return own >= 0 ? own : Now() - start;
}

struct Pair {
    double tamrix = 0, baseline = 0;
};

// Both sides `reps` times, back to back, the first side alternating.
Pair Compare(int reps, const std::function<double()>& baseline, const std::function<double()>& tamrix) {
    std::vector<double> a, b;
    for (int r = 0; r < reps; ++r) {
        if (r % 2) {
            b.push_back(Time(tamrix));
            a.push_back(Time(baseline));
        } else {
            a.push_back(Time(baseline));
            b.push_back(Time(tamrix));
        }
    }
    return {Median(b), Median(a)};
}

std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

BSTR Bstr(const std::string& s) {
    return SysAllocString(Wide(s).c_str());
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteAll(const std::string& path, const void* data, size_t size) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) Fail("cannot write " + path);
    DWORD written = 0;
    if (size && !WriteFile(f, data, static_cast<DWORD>(size), &written, nullptr)) Fail("cannot write " + path);
    CloseHandle(f);
}

// ---- Inputs -------------------------------------------------------------------------

// A photo-like PNG: gradients with noise in the low bits, every filter type in turn.
void MakePng(const std::string& path, int width, int height) {
    std::vector<uint8_t> idat;
    z_stream z{};
    if (deflateInit(&z, 6) != Z_OK) Fail("deflateInit");
    std::vector<uint8_t> previous(static_cast<size_t>(width) * 3, 0), row(previous.size()),
        filtered(previous.size() + 1), chunk(1 << 20);
    uint32_t noise = 0x12345678;
    auto flush = [&](int mode) {
        do {
            z.next_out = chunk.data();
            z.avail_out = static_cast<uInt>(chunk.size());
            deflate(&z, mode);
            idat.insert(idat.end(), chunk.data(), chunk.data() + (chunk.size() - z.avail_out));
        } while (z.avail_out == 0);
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise ^= noise << 13;
            noise ^= noise >> 17;
            noise ^= noise << 5;
            row[x * 3 + 0] = static_cast<uint8_t>(x * 255 / width + (noise & 7));
            row[x * 3 + 1] = static_cast<uint8_t>(y * 255 / height + ((noise >> 3) & 7));
            row[x * 3 + 2] = static_cast<uint8_t>((x + y) * 127 / (width + height) + ((noise >> 6) & 15));
        }
        const int type = y % 5;
        filtered[0] = static_cast<uint8_t>(type);
        for (size_t i = 0; i < row.size(); ++i) {
            const int a = i >= 3 ? row[i - 3] : 0, b = previous[i], c = i >= 3 ? previous[i - 3] : 0;
            int predicted = 0;
            switch (type) {
            case 1: predicted = a; break;
            case 2: predicted = b; break;
            case 3: predicted = (a + b) / 2; break;
            case 4: {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                break;
            }
            default: break;
            }
            filtered[i + 1] = static_cast<uint8_t>(row[i] - predicted);
        }
        z.next_in = filtered.data();
        z.avail_in = static_cast<uInt>(filtered.size());
        flush(Z_NO_FLUSH);
        previous.swap(row);
    }
    z.avail_in = 0;
    flush(Z_FINISH);
    deflateEnd(&z);

    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto be32 = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) file.push_back(static_cast<uint8_t>(v >> s));
    };
    auto chunkOut = [&](const char* type, const uint8_t* data, size_t size) {
        be32(static_cast<uint32_t>(size));
        const size_t start = file.size();
        file.insert(file.end(), type, type + 4);
        if (size) file.insert(file.end(), data, data + size);
        be32(static_cast<uint32_t>(crc32(0, file.data() + start, static_cast<uInt>(size + 4))));
    };
    uint8_t ihdr[13] = {};
    for (int i = 0; i < 4; ++i) {
        ihdr[i] = static_cast<uint8_t>(width >> (24 - 8 * i));
        ihdr[4 + i] = static_cast<uint8_t>(height >> (24 - 8 * i));
    }
    ihdr[8] = 8;  // bits per channel
    ihdr[9] = 2;  // RGB
    chunkOut("IHDR", ihdr, sizeof ihdr);
    for (size_t at = 0; at < idat.size(); at += 1 << 20)
        chunkOut("IDAT", idat.data() + at, std::min<size_t>(1 << 20, idat.size() - at));
    chunkOut("IEND", nullptr, 0);
    WriteAll(path, file.data(), file.size());
}

// A QQZ1 archive (the test plug-in kit's format) of `count` empty members.
void MakeArchive(const std::string& path, uint32_t count) {
    std::vector<uint8_t> data(sizeof(testspi::QqzHeader) + count * sizeof(testspi::QqzMember));
    testspi::QqzHeader h{};
    std::memcpy(h.magic, "QQZ1", 4);
    h.count = count;
    std::memcpy(data.data(), &h, sizeof h);
    for (uint32_t i = 0; i < count; ++i) {
        testspi::QqzMember m{};
        std::memcpy(m.method, "stored", 6);
        std::snprintf(m.path, sizeof m.path, "folder%u\\", i / 1000);
        std::snprintf(m.name, sizeof m.name, "member%06u.txt", i);
        m.timestamp = 1700000000;
        std::memcpy(data.data() + sizeof h + i * sizeof m, &m, sizeof m);
    }
    WriteAll(path, data.data(), data.size());
}

// `count` copies of the benchmark plug-in in `folder`; their names in the order the system
// lists them (the order discovery takes them in).
std::vector<std::string> PluginCopies(const std::string& plugin, const std::string& folder, int count,
                                      const char* prefix) {
    CreateDirectoryA(folder.c_str(), nullptr);
    for (int i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%03d.spi", prefix, i);
        const std::string to = folder + "\\" + name;
        if (!Exists(to) && !CopyFileA(plugin.c_str(), to.c_str(), FALSE)) Fail("cannot copy to " + to);
    }
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*.spi").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) Fail("no copies in " + folder);
    do names.push_back(found.cFileName);
    while (FindNextFileA(find, &found));
    FindClose(find);
    if (static_cast<int>(names.size()) != count) Fail("unexpected files in " + folder);
    return names;
}

// ---- The server ---------------------------------------------------------------------

struct Server {
    HMODULE module = nullptr;
    Ref<IClassFactory> plugins, hosts;

    explicit Server(const std::string& path) {
        module = LoadLibraryA(path.c_str());
        if (!module) Fail("cannot load " + path);
        using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        auto get = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        Check(get(CLSID_SusiePlugin, IID_IClassFactory, plugins.put_void()), "SusiePlugin class object");
        Check(get(CLSID_TamrixHost, IID_IClassFactory, hosts.put_void()), "TamrixHost class object");
    }
    void NewPlugin(const std::string& spi, Ref<ISusiePlugin>& out) const {
        Check(plugins->CreateInstance(nullptr, IID_ISusiePlugin, out.put_void()), "new SusiePlugin");
        BSTR path = Bstr(spi);
        VARIANT_BOOL ok = VARIANT_FALSE;
        Check(out->Load(path, &ok), "Load");
        SysFreeString(path);
        if (!ok) Fail("cannot bind " + spi);
    }
    void NewHost(Ref<ITamrixHost>& out) const {
        Check(hosts->CreateInstance(nullptr, IID_ITamrixHost, out.put_void()), "new TamrixHost");
    }
};

// Flag 16 isolates the plug-ins in a helper process.
constexpr LONG ISOLATED = 16 + 15;

void Init(ITamrixHost* host, const std::string& folder, LONG flags = 0) {
    BSTR path = Bstr(folder);
    Check(host->Init(flags, path), "Init");
    SysFreeString(path);
}

// Whether the system's loader deletes the bitmap of a picture it loaded in run mode when the
// picture goes (Windows' does; Wine 8's keeps it, so the client deletes it there).
bool LoaderDeletesBitmaps() {
    uint8_t file[58] = {'B', 'M', 58};
    file[10] = 54;
    BITMAPINFOHEADER ih{40, 1, 1, 1, 24, BI_RGB, 4, 0, 0, 0, 0};
    std::memcpy(file + 14, &ih, sizeof ih);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, sizeof file);
    std::memcpy(GlobalLock(block), file, sizeof file);
    GlobalUnlock(block);
    Ref<IStream> stream;
    Check(CreateStreamOnHGlobal(block, TRUE, stream.put()), "stream");
    Ref<IPicture> picture;
    Check(OleLoadPicture(stream.get(), sizeof file, TRUE, IID_IPicture, picture.put_void()), "OleLoadPicture");
    OLE_HANDLE handle = 0;
    picture->get_Handle(&handle);
    picture.reset();
    BITMAP bm;
    const bool gone = GetObjectA(reinterpret_cast<HGDIOBJ>(static_cast<INT_PTR>(handle)), sizeof bm, &bm) == 0;
    if (!gone) DeleteObject(reinterpret_cast<HGDIOBJ>(static_cast<INT_PTR>(handle)));
    return gone;
}

int WINAPI NoProgress(int, int, long) {
    return 0;
}

// ---- The table ----------------------------------------------------------------------

struct Row {
    std::string path, against, target, unit;
    double tamrix, baseline, ratio;
    std::string verdict;
};
std::vector<Row> g_rows;

// A row whose ratio is Tamrix's time over the baseline's; `limit` 0 means no target.
void TimeRow(const std::string& path, const std::string& against, const Pair& p, double limit) {
    const double ratio = p.tamrix / p.baseline;
    char target[32] = "-";
    if (limit > 0) std::snprintf(target, sizeof target, "within %.2fx", limit);
    g_rows.push_back({path, against, target, "ms", p.tamrix, p.baseline, ratio,
                      limit <= 0 ? "" : ratio <= limit ? "met" : "MISSED"});
    std::printf("  %-58s %10.2f ms  %10.2f ms  %6.3fx\n", path.c_str(), p.tamrix, p.baseline, ratio);
    std::fflush(stdout);
}

// ---- Batch conversion ---------------------------------------------------------------

// 12 pictures of 2400 x 1600 made bitmap files: ConvertFiles in worker processes, with 2
// workers and with 1 (the workers started and ended within each run), against ConvertFile
// one by one in process.
void ConversionRows(const Server& server, const std::string& bundled, const std::string& scratch, int reps) {
    const std::string folder = scratch + "\\conversions", out = folder + "\\out";
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA(out.c_str(), nullptr);
    std::vector<std::string> pictures;
    for (int i = 0; i < 12; ++i) {
        pictures.push_back(folder + "\\picture_" + std::to_string(i) + ".png");
        if (Exists(pictures.back())) continue;
        if (i == 0) MakePng(pictures[0], 2400, 1600);
        else CopyFileA(pictures[0].c_str(), pictures.back().c_str(), FALSE);
    }
    Ref<ITamrixHost> made;
    server.NewHost(made);
    Init(made.get(), bundled);
    Ref<ITamrixHost3> host;
    Check(made->QueryInterface(IID_ITamrixHost3, host.put_void()), "ITamrixHost3");
    VARIANT sources;
    V_VT(&sources) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&sources) = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(pictures.size()));
    for (LONG i = 0; i < static_cast<LONG>(pictures.size()); ++i) {
        BSTR name = Bstr(pictures[static_cast<size_t>(i)]);
        Check(SafeArrayPutElement(V_ARRAY(&sources), &i, name), "the sources");
        SysFreeString(name);
    }
    BSTR outFolder = Bstr(out), type = Bstr("bmp");
    auto oneByOne = [&] {
        for (const std::string& picture : pictures) {
            VARIANT src;
            V_VT(&src) = VT_BSTR;
            V_BSTR(&src) = Bstr(picture);
            BSTR dest = Bstr(out + picture.substr(picture.find_last_of('\\')) + ".bmp");
            Check(host->ConvertFile(src, 0, dest), "ConvertFile");
            VariantClear(&src);
            SysFreeString(dest);
        }
        return -1.0;
    };
    auto batch = [&](LONG workers) {
        return [&, workers] {
            Check(host->put_Workers(workers), "Workers");
            Ref<IDispatch> started;
            Check(host->ConvertFiles(sources, outFolder, type, started.put()), "ConvertFiles");
            Ref<IConversionJob> job;
            Check(started->QueryInterface(IID_IConversionJob, job.put_void()), "IConversionJob");
            VARIANT_BOOL done = VARIANT_FALSE;
            while (!done) Check(job->Wait(1000, &done), "Wait");
            LONG failed = 0;
            Check(job->get_Failed(&failed), "Failed");
            if (failed) Fail("a batch conversion failed");
            return -1.0;
        };
    };
    TimeRow("ConvertFiles, 12 pictures of 2400 x 1600, Workers 2", "ConvertFile one by one",
            Compare(reps, oneByOne, batch(2)), 0.6);
    TimeRow("ConvertFiles, the same, Workers 1", "ConvertFile one by one", Compare(reps, oneByOne, batch(1)), 1.1);
    // How the job scales, apart from the in-process side, which other work on the machine moves most.
    TimeRow("ConvertFiles, the same, Workers 2", "the same with Workers 1", Compare(reps, batch(1), batch(2)), 0);
    VariantClear(&sources);
    SysFreeString(outFolder);
    SysFreeString(type);
}

// ---- A folder of 1,000 pictures walked with the default flags ---------------------------
// QuerySpiFromFile and GetPictureProperties for every file, through a manager of the bundled
// plug-ins in `bundled`, against those plug-ins loaded for the loop (untimed), kept loaded
// through it and asked directly in list order: IsSupported, then the accepting one's
// GetPictureInfo. Again with flags 14, which keep the manager's plug-ins loaded too.
void WalkThousandFiles(const Server& server, const std::string& bundled, const std::string& scratch, int reps) {
    const std::string folder = scratch + "\\walk1000";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> files;
    for (int i = 0; i < 1000; ++i) {
        files.push_back(folder + "\\picture" + std::to_string(i) + ".png");
        if (!Exists(files.back())) MakePng(files.back(), 64 + i % 7, 48);
    }
    std::vector<std::string> plugins;  // as discovery lists them
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((bundled + "\\*.spi").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) Fail("no plug-ins in " + bundled);
    do plugins.push_back(bundled + "\\" + found.cFileName);
    while (FindNextFileA(find, &found));
    FindClose(find);
    using IsSupportedFn = int(WINAPI*)(LPCSTR, void*);
    using GetPictureInfoFn = int(WINAPI*)(LPCSTR, long, unsigned, testspi::PictureInfo*);
    auto direct = [&] {
        std::vector<HMODULE> loaded;
        for (const std::string& plugin : plugins)
            if (!loaded.emplace_back(LoadLibraryA(plugin.c_str()))) Fail("cannot load " + plugin);
        const double start = Now();
        for (const std::string& file : files) {
            char header[2048] = {};
            DWORD read = 0;
            HANDLE f = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            ReadFile(f, header, sizeof header, &read, nullptr);
            CloseHandle(f);
            const auto chosen = std::find_if(loaded.begin(), loaded.end(), [&](HMODULE m) {
                auto isSupported = reinterpret_cast<IsSupportedFn>(reinterpret_cast<void*>(GetProcAddress(m, "IsSupported")));
                return isSupported(file.c_str(), header) != 0;
            });
            auto info = chosen == loaded.end() ? nullptr
                : reinterpret_cast<GetPictureInfoFn>(reinterpret_cast<void*>(GetProcAddress(*chosen, "GetPictureInfo")));
            testspi::PictureInfo facts{};
            if (!info || info(file.c_str(), 0, 0, &facts)) Fail("no plug-in reads " + file);
            if (facts.hInfo) LocalFree(facts.hInfo);
        }
        const double took = Now() - start;
        for (HMODULE m : loaded) FreeLibrary(m);
        return took;
    };
    auto walk = [&](LONG flags) {
        Ref<ITamrixHost> host;
        server.NewHost(host);
        Init(host.get(), bundled, flags);
        Ref<ITamrixHost2> host2;
        Check(host->QueryInterface(IID_ITamrixHost2, host2.put_void()), "ITamrixHost2");
        const double start = Now();
        for (const std::string& file : files) {
            VARIANT name;
            VariantInit(&name);
            V_VT(&name) = VT_BSTR;
            V_BSTR(&name) = Bstr(file);
            Ref<IDispatch> chosen, facts;
            Check(host->QuerySpiFromFile(V_BSTR(&name), 0, chosen.put()), "QuerySpiFromFile");
            Check(host2->GetPictureProperties(name, 0, facts.put()), "GetPictureProperties");
            VariantClear(&name);
        }
        return Now() - start;
    };
    TimeRow("1,000 files: QuerySpiFromFile + GetPictureProperties", "the plug-ins kept loaded, asked directly",
            Compare(reps, direct, [&] { return walk(0); }), 1.3);
    TimeRow("the same with flags 14 (plug-ins kept loaded)", "the plug-ins kept loaded, asked directly",
            Compare(reps, direct, [&] { return walk(14); }), 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: bench <Tamrix.dll> <iftamrix.spi> <qqz.spi> <bench_spi.spi> <scratch> [reps]\n");
        return 2;
    }
    const std::string dll = argv[1], iftamrix = argv[2], qqz = argv[3], benchSpi = argv[4], scratch = argv[5];
    const int reps = argc > 6 ? std::max(1, std::atoi(argv[6])) : 7;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) Fail("CoInitializeEx");
    CreateDirectoryA(scratch.c_str(), nullptr);
    const std::string empty = scratch + "\\empty";
    CreateDirectoryA(empty.c_str(), nullptr);
    SetCurrentDirectoryA(empty.c_str());  // discovery also scans the current folder
    Server server(dll);
    const bool loaderDeletes = LoaderDeletesBitmaps();
    std::printf("Median of %d repetitions, both sides timed back to back in every one.\n", reps);
    if (!loaderDeletes)
        std::printf("This system's picture loader keeps the bitmaps of run-mode pictures: the client deletes\n"
                    "each one after releasing the picture, on both sides of the comparison where it applies.\n");

    // ---- A 24-megapixel PNG through the bundled plug-in -----------------------------------
    const int width = 6000, height = 4000;
    const std::string png = scratch + "\\picture_24mp.png";
    if (!Exists(png)) {
        std::printf("making %s (%dx%d)...\n", png.c_str(), width, height);
        MakePng(png, width, height);
    }
    HMODULE picturePlugin = LoadLibraryA(iftamrix.c_str());
    if (!picturePlugin) Fail("cannot load " + iftamrix);
    using GetPictureFn = int(WINAPI*)(LPCSTR, long, unsigned, HLOCAL*, HLOCAL*, int(WINAPI*)(int, int, long), long);
    auto getPicture = reinterpret_cast<GetPictureFn>(reinterpret_cast<void*>(GetProcAddress(picturePlugin, "GetPicture")));
    auto direct = [&] {
        HLOCAL info = nullptr, pixels = nullptr;
        if (getPicture(png.c_str(), 0, 0, &info, &pixels, NoProgress, 0) != 0) Fail("the plug-in cannot decode");
        LocalFree(info);
        LocalFree(pixels);
        return -1.0;
    };
    const std::string bundled = iftamrix.substr(0, iftamrix.find_last_of("\\/"));
    Ref<ITamrixHost> host;
    server.NewHost(host);
    Init(host.get(), bundled);
    VARIANT src;
    VariantInit(&src);
    V_VT(&src) = VT_BSTR;
    V_BSTR(&src) = Bstr(png);
    std::printf("\n  %-58s %13s  %13s  %7s\n", "", "Tamrix", "baseline", "ratio");
    auto pictureFrom = [&](ITamrixHost* from) {
        Ref<IDispatch> picture;
        Check(from->GetPicture(src, 0, picture.put()), "TamrixHost.GetPicture");
        OLE_HANDLE bitmap = 0;
        Ref<IPicture> p;
        Check(picture->QueryInterface(IID_IPicture, p.put_void()), "IPicture");
        p->get_Handle(&bitmap);  // a client's first use; the picture owns its bitmap
        return -1.0;
    };
    auto viaHost = [&] { return pictureFrom(host.get()); };
    {
        // The plug-in's decoder behind its screen, with zero-filled blocks and its own Photoshop
        // reader, against the same sources built without them (stb_image alone, as before):
        // iftamrix_unscreened.spi beside this program. And what the system's own codecs (WIC,
        // windowscodecs) take for the same file, decoded to 32-bit BGRA.
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string unscreenedPath = self;
        unscreenedPath = unscreenedPath.substr(0, unscreenedPath.find_last_of("\\/")) + "\\iftamrix_unscreened.spi";
        HMODULE unscreened = LoadLibraryA(unscreenedPath.c_str());
        if (!unscreened) Fail("cannot load " + unscreenedPath);
        auto plain = reinterpret_cast<GetPictureFn>(reinterpret_cast<void*>(GetProcAddress(unscreened, "GetPicture")));
        auto decodeWith = [&](GetPictureFn fn) {
            HLOCAL info = nullptr, pixels = nullptr;
            if (fn(png.c_str(), 0, 0, &info, &pixels, NoProgress, 0) != 0) Fail("the plug-in cannot decode");
            LocalFree(info);
            LocalFree(pixels);
            return -1.0;
        };
        TimeRow("iftamrix GetPicture, 24-MP PNG (screened, zero-filled)", "the same sources unscreened",
                Compare(reps, [&] { return decodeWith(plain); }, [&] { return decodeWith(getPicture); }), 1.10);
        FreeLibrary(unscreened);
        Ref<IWICImagingFactory> wic;
        if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                       wic.put_void()))) {
            const std::wstring widePng(png.begin(), png.end());
            auto viaWic = [&] {
                Ref<IWICBitmapDecoder> decoder;
                Ref<IWICBitmapFrameDecode> frame;
                Ref<IWICFormatConverter> converter;
                Check(wic->CreateDecoderFromFilename(widePng.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                     decoder.put()), "WIC decoder");
                Check(decoder->GetFrame(0, frame.put()), "WIC frame");
                Check(wic->CreateFormatConverter(converter.put()), "WIC converter");
                Check(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0,
                                            WICBitmapPaletteTypeCustom), "WIC convert");
                UINT w = 0, h = 0;
                converter->GetSize(&w, &h);
                std::vector<BYTE> bgra(static_cast<size_t>(w) * h * 4);
                Check(converter->CopyPixels(nullptr, w * 4, static_cast<UINT>(bgra.size()), bgra.data()), "WIC pixels");
                return -1.0;
            };
            TimeRow("WIC (windowscodecs) decode to BGRA, same PNG", "iftamrix GetPicture",
                    Compare(reps, [&] { return decodeWith(getPicture); }, viaWic), 0);
        } else {
            std::printf("  (no WIC imaging factory here)\n");
        }
    }
    TimeRow("TamrixHost.GetPicture, 24-MP PNG", "plug-in's GetPicture", Compare(reps, direct, viaHost), 1.10);
    {
        // Where the time goes: the same bitmap file composed from the plug-in's blocks, and
        // the system's picture loader alone on it.
        HLOCAL infoBlock = nullptr, pixelBlock = nullptr;
        if (getPicture(png.c_str(), 0, 0, &infoBlock, &pixelBlock, NoProgress, 0) != 0) Fail("decode");
        const auto* bih = static_cast<const BITMAPINFOHEADER*>(LocalLock(infoBlock));
        const void* bits = LocalLock(pixelBlock);
        const DWORD infoBytes = 40 + 4 * (bih->biBitCount <= 8 ? (bih->biClrUsed ? bih->biClrUsed : 1u << bih->biBitCount) : 0);
        const DWORD pixelBytes = (bih->biWidth * bih->biBitCount + 31) / 32 * 4 * std::abs(bih->biHeight);
        const DWORD fileSize = 14 + infoBytes + pixelBytes;
        HGLOBAL composed = nullptr;
        auto compose = [&] {
            const double start = Now();
            composed = GlobalAlloc(GMEM_MOVEABLE, fileSize);
            auto* d = static_cast<uint8_t*>(GlobalLock(composed));
            BITMAPFILEHEADER fh{0x4D42, fileSize, 0, 0, 14 + infoBytes};
            std::memcpy(d, &fh, 14);
            std::memcpy(d + 14, bih, infoBytes);
            std::memcpy(d + 14 + infoBytes, bits, pixelBytes);
            GlobalUnlock(composed);
            return Now() - start;
        };
        auto load = [&] {
            Ref<IStream> stream;
            Check(CreateStreamOnHGlobal(composed, TRUE, stream.put()), "stream");
            const double start = Now();
            Ref<IPicture> picture;
            Check(OleLoadPicture(stream.get(), static_cast<LONG>(fileSize), TRUE, IID_IPicture, picture.put_void()),
                  "OleLoadPicture");
            OLE_HANDLE handle = 0;
            picture->get_Handle(&handle);
            picture.reset();
            if (!loaderDeletes) DeleteObject(reinterpret_cast<HGDIOBJ>(static_cast<INT_PTR>(handle)));
            return Now() - start;
        };
        // The same picture object made without the loader, from a DIB section holding one copy
        // of the pixels, as the server makes it for such a picture.
        auto section = [&] {
            const double start = Now();
            void* pixels = nullptr;
            HBITMAP bitmap = CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(bih), DIB_RGB_COLORS,
                                              &pixels, nullptr, 0);
            if (!bitmap) Fail("CreateDIBSection");
            std::memcpy(pixels, bits, pixelBytes);
            PICTDESC desc{sizeof desc, PICTYPE_BITMAP, {}};
            desc.bmp.hbitmap = bitmap;
            Ref<IPicture> picture;
            Check(OleCreatePictureIndirect(&desc, IID_IPicture, TRUE, picture.put_void()), "OleCreatePictureIndirect");
            picture.reset();
            return Now() - start;
        };
        std::vector<double> composing, loading, sections;
        for (int r = 0; r < reps; ++r) {
            composing.push_back(compose());
            loading.push_back(load());
            sections.push_back(section());
        }
        std::printf("    of which: composing the bitmap file (one copy into new memory) %.2f ms,\n"
                    "              the system's picture loader on it alone %.2f ms\n"
                    "    (a picture made from a DIB section instead, with one copy: %.2f ms)\n",
                    Median(composing), Median(loading), Median(sections));
        LocalFree(infoBlock);
        LocalFree(pixelBlock);
    }

    Ref<ISusiePlugin> spi;
    server.NewPlugin(iftamrix, spi);
    auto bytesFrom = [&](ISusiePlugin* from) {
        Ref<IDispatch> info, pixels;
        Check(from->GetPicture(src, 0, info.put(), pixels.put()), "SusiePlugin.GetPicture");
        Ref<ISpiLocalHeap> heap;
        Check(pixels->QueryInterface(IID_ISpiLocalHeap, heap.put_void()), "ISpiLocalHeap");
        VARIANT bytes;
        VariantInit(&bytes);
        Check(heap->GetBytes(&bytes), "GetBytes");
        VariantClear(&bytes);
        return -1.0;
    };
    auto viaPlugin = [&] { return bytesFrom(spi.get()); };
    TimeRow("SusiePlugin.GetPicture + GetBytes, same picture", "plug-in's GetPicture",
            Compare(reps, direct, viaPlugin), 1.05);
    {
        // The same two with the plug-ins isolated in a helper process, against in process.
        Ref<ITamrixHost> isolated;
        server.NewHost(isolated);
        Init(isolated.get(), bundled, ISOLATED);
        TimeRow("TamrixHost.GetPicture isolated (Init flag 16)", "the same in process",
                Compare(reps, viaHost, [&] { return pictureFrom(isolated.get()); }), 1.3);
        Ref<IDispatch> chosen;
        Check(isolated->QuerySpiFromFile(V_BSTR(&src), 0, chosen.put()), "QuerySpiFromFile isolated");
        Ref<ISusiePlugin> isolatedSpi;
        Check(chosen->QueryInterface(IID_ISusiePlugin, isolatedSpi.put_void()), "ISusiePlugin");
        TimeRow("SusiePlugin.GetPicture + GetBytes isolated", "the same in process",
                Compare(reps, viaPlugin, [&] { return bytesFrom(isolatedSpi.get()); }), 1.3);
    }

    // GetBytes against memcpy of the same block, as bandwidth: for the big pixel block, and
    // for a small one. A new array needs new memory, so memcpy into new memory (taken from
    // the heap each time, as an array's is) is timed too: that is the floor for any call
    // that hands out a new copy.
    auto bandwidth = [&](const VARIANT& picture, int rounds) {
        Ref<IDispatch> info, pixels;
        Check(spi->GetPicture(picture, 0, info.put(), pixels.put()), "SusiePlugin.GetPicture");
        Ref<ISpiLocalHeap> heap;
        Check(pixels->QueryInterface(IID_ISpiLocalHeap, heap.put_void()), "ISpiLocalHeap");
        LONG address = 0, length = 0;
        heap->get_Buffer(&address);
        heap->get_Length(&length);
        const void* block = reinterpret_cast<const void*>(static_cast<INT_PTR>(address));
        const size_t size = static_cast<size_t>(length);
        std::vector<uint8_t> warm(size, 1);
        auto copy = [&] {
            for (int i = 0; i < rounds; ++i) std::memcpy(warm.data(), block, size);
            return -1.0;
        };
        auto fresh = [&] {
            double took = 0;
            for (int i = 0; i < rounds; ++i) {
                const double start = Now();
                void* p = HeapAlloc(GetProcessHeap(), 0, size);
                if (!p) Fail("no memory");
                std::memcpy(p, block, size);
                took += Now() - start;
                HeapFree(GetProcessHeap(), 0, p);
            }
            return took;
        };
        auto bytes = [&] {
            double took = 0;
            for (int i = 0; i < rounds; ++i) {
                VARIANT v;
                VariantInit(&v);
                const double start = Now();
                Check(heap->GetBytes(&v), "GetBytes");
                took += Now() - start;
                VariantClear(&v);
            }
            return took;
        };
        auto array = [&] {
            double took = 0;
            for (int i = 0; i < rounds; ++i) {
                SAFEARRAYBOUND bound{static_cast<ULONG>(size), 0};
                const double start = Now();
                SAFEARRAY* a = SafeArrayCreate(VT_UI1, 1, &bound);
                took += Now() - start;
                SafeArrayDestroy(a);
            }
            return took;
        };
        const Pair vsWarm = Compare(reps, copy, bytes);
        const Pair vsFresh = Compare(reps, fresh, bytes);
        std::vector<double> creating;
        for (int r = 0; r < reps; ++r) creating.push_back(array());
        const double mb = static_cast<double>(size) * rounds / 1048576.0;
        const double ratio = vsWarm.baseline / vsWarm.tamrix;
        const std::string name = size >= 1048576 ? std::to_string(size / 1048576) + " MiB" : std::to_string(size / 1024) + " KiB";
        g_rows.push_back({"GetBytes, " + name + " block", "memcpy of the same block", "at least 0.80x", "MB/s",
                          mb * 1000 / vsWarm.tamrix, mb * 1000 / vsWarm.baseline, ratio, ratio >= 0.8 ? "met" : "MISSED"});
        std::printf("  %-58s %8.0f MB/s  %8.0f MB/s  %6.3fx (bandwidth)\n", ("GetBytes, " + name + " block").c_str(),
                    mb * 1000 / vsWarm.tamrix, mb * 1000 / vsWarm.baseline, ratio);
        std::printf("    against memcpy into new memory (%.0f MB/s): %.3fx; SafeArrayCreate alone %.3f ms, memcpy %.3f ms a block\n",
                    mb * 1000 / vsFresh.baseline, vsFresh.baseline / vsFresh.tamrix, Median(creating) / rounds,
                    vsWarm.baseline / rounds);
    };
    bandwidth(src, 1);
    {
        const std::string smallPng = scratch + "\\picture_small.png";
        if (!Exists(smallPng)) MakePng(smallPng, 296, 296);
        VARIANT smallSrc;
        VariantInit(&smallSrc);
        V_VT(&smallSrc) = VT_BSTR;
        V_BSTR(&smallSrc) = Bstr(smallPng);
        bandwidth(smallSrc, 200);
        VariantClear(&smallSrc);
    }
    spi.reset();
    host.reset();
    FreeLibrary(picturePlugin);

    // ---- Discovery of 500 plug-ins ---------------------------------------------------------
    {
        const std::string folder = scratch + "\\discovery500";
        const std::vector<std::string> names = PluginCopies(benchSpi, folder, 500, "d");
        auto bare = [&] {
            for (const std::string& name : names) {
                HMODULE m = LoadLibraryA((folder + "\\" + name).c_str());
                if (!m || !GetProcAddress(m, "GetPluginInfo")) Fail("bare load of " + name);
                FreeLibrary(m);
            }
            return -1.0;
        };
        Ref<ITamrixHost> discovering;
        server.NewHost(discovering);
        auto discover = [&] {
            Init(discovering.get(), folder);
            return -1.0;
        };
        TimeRow("discovery of 500 plug-ins (Init)", "LoadLibrary/GetProcAddress/FreeLibrary loop",
                Compare(reps, bare, discover), 1.1);
        LONG count = 0;
        discovering->get_Count(&count);
        if (count != 500) Fail("discovery found " + std::to_string(count));
    }

    // ---- QuerySpiFromFile over 100 plug-ins, the last one accepting ------------------------
    {
        const std::string folder = scratch + "\\query100";
        const std::vector<std::string> names = PluginCopies(benchSpi, folder, 100, "q");
        const std::string data = scratch + "\\query.bnch";
        std::vector<char> header(4096, 0);
        std::memcpy(header.data(), "BNCH", 4);
        std::memcpy(header.data() + 4, names.back().c_str(), names.back().size());
        WriteAll(data, header.data(), header.size());
        using IsSupportedFn = int(WINAPI*)(LPCSTR, void*);
        auto probe = [&] {
            const double start = Now();
            char first[2048];
            DWORD read = 0;
            HANDLE f = CreateFileA(data.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            ReadFile(f, first, sizeof first, &read, nullptr);
            CloseHandle(f);
            HMODULE chosen = nullptr;
            for (const std::string& name : names) {
                HMODULE m = LoadLibraryA((folder + "\\" + name).c_str());
                auto isSupported = reinterpret_cast<IsSupportedFn>(reinterpret_cast<void*>(GetProcAddress(m, "IsSupported")));
                if (isSupported && isSupported(data.c_str(), first)) {
                    chosen = m;
                    break;
                }
                FreeLibrary(m);
            }
            const double took = Now() - start;
            if (!chosen) Fail("no copy accepted");
            FreeLibrary(chosen);
            return took;
        };
        Ref<ITamrixHost> selecting;
        server.NewHost(selecting);
        BSTR name = Bstr(data);
        auto queryWith = [&](ITamrixHost* with, LONG flags) {
            Init(with, folder, flags);  // every entry unloaded again, untimed
            const double start = Now();
            Ref<IDispatch> found;
            Check(with->QuerySpiFromFile(name, 0, found.put()), "QuerySpiFromFile");
            found.reset();
            return Now() - start;
        };
        auto query = [&] { return queryWith(selecting.get(), 0); };
        TimeRow("QuerySpiFromFile over 100 plug-ins, the last accepting", "probing them directly",
                Compare(reps, probe, query), 1.1);
        Ref<ITamrixHost> isolated;
        server.NewHost(isolated);
        TimeRow("the same isolated (Init flag 16)", "the same in process",
                Compare(reps, query, [&] { return queryWith(isolated.get(), ISOLATED); }), 2.0);
        SysFreeString(name);
    }

    WalkThousandFiles(server, bundled, scratch, reps);

    // ---- Early-bound calls against late-bound ones, per dispatch kind -----------------------
    Ref<ISusiePlugin> archivePlugin;
    server.NewPlugin(qqz, archivePlugin);
    const std::string archive = scratch + "\\archive_100000.qqz";
    if (!Exists(archive)) MakeArchive(archive, 100000);
    VARIANT archiveSrc;
    VariantInit(&archiveSrc);
    V_VT(&archiveSrc) = VT_BSTR;
    V_BSTR(&archiveSrc) = Bstr(archive);
    {
        Ref<ISusiePlugin> pictures;
        server.NewPlugin(iftamrix, pictures);
        Ref<ITamrixHost> manager;
        server.NewHost(manager);
        Ref<IDispatch> listing, info, pixels, first;
        Check(archivePlugin->GetArchiveInfo(archiveSrc, 0, listing.put()), "GetArchiveInfo");
        Ref<ISpiFileInfoCollection> collection;
        Check(listing->QueryInterface(IID_ISpiFileInfoCollection, collection.put_void()), "collection");
        Check(collection->get_Item(1, first.put()), "Item");
        Ref<ISpiFileInfo> entry;
        Check(first->QueryInterface(IID_ISpiFileInfo, entry.put_void()), "entry");
        Check(pictures->GetPicture(src, 0, info.put(), pixels.put()), "GetPicture");
        Ref<ISpiLocalHeap> heap;
        Check(pixels->QueryInterface(IID_ISpiLocalHeap, heap.put_void()), "heap");
        const int calls = 100000;
        struct Case {
            const char* name;
            const char* kind;
            IDispatch* object;
            DISPID id;
            std::function<void()> early;
        };
        LONG n = 0;
        VARIANT_BOOL b = 0;
        const Case cases[] = {
            {"SpiLocalHeap.Length", "name table", heap.get(), 2, [&] { heap->get_Length(&n); }},
            {"SpiFileInfo.FileSize", "name table", entry.get(), 4, [&] { entry->get_FileSize(&n); }},
            {"TamrixHost.Count", "name table", manager.get(), 1, [&] { manager->get_Count(&n); }},
            {"SusiePlugin.CanPreview", "type library", pictures.get(), 3, [&] { pictures->get_CanPreview(&b); }},
            {"SpiFileInfoCollection.Count", "type library", collection.get(), 1, [&] { collection->get_Count(&n); }},
        };
        std::printf("\n  %-44s %-14s %11s %11s %11s\n", "early-bound member against late-bound calls", "dispatch",
                    "early ns", "Invoke ns", "by name ns");
        for (const Case& c : cases) {
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            auto early = [&] {
                for (int i = 0; i < calls; ++i) c.early();
                return -1.0;
            };
            auto late = [&] {
                for (int i = 0; i < calls; ++i) {
                    VARIANT result;
                    VariantInit(&result);
                    c.object->Invoke(c.id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                                     nullptr, nullptr);
                    VariantClear(&result);
                }
                return -1.0;
            };
            auto byName = [&] {
                std::wstring member = Wide(std::strchr(c.name, '.') + 1);
                LPOLESTR names[] = {member.data()};
                for (int i = 0; i < calls; ++i) {
                    DISPID id = 0;
                    c.object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
                    VARIANT result;
                    VariantInit(&result);
                    c.object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                                     nullptr);
                    VariantClear(&result);
                }
                return -1.0;
            };
            const Pair invoke = Compare(reps, early, late);
            const Pair named = Compare(reps, early, byName);
            const double ns = 1e6 / calls;
            std::printf("  %-44s %-14s %11.1f %11.1f %11.1f   %5.1fx  %5.1fx\n", c.name, c.kind, invoke.baseline * ns,
                        invoke.tamrix * ns, named.tamrix * ns, invoke.tamrix / invoke.baseline,
                        named.tamrix / named.baseline);
            g_rows.push_back({std::string(c.name) + " late-bound (" + c.kind + "), by DISPID / by name",
                              "the same call early-bound", "-", "ns", invoke.tamrix * ns, invoke.baseline * ns,
                              invoke.tamrix / invoke.baseline,
                              "by name " + std::to_string(named.tamrix / named.baseline).substr(0, 5) + "x"});
        }
    }

    // ---- A 100,000-member archive: listing and enumerating ----------------------------------
    {
        HMODULE archiveModule = LoadLibraryA(qqz.c_str());
        using GetArchiveInfoFn = int(WINAPI*)(LPCSTR, long, unsigned, HLOCAL*);
        auto getArchiveInfo =
            reinterpret_cast<GetArchiveInfoFn>(reinterpret_cast<void*>(GetProcAddress(archiveModule, "GetArchiveInfo")));
        auto own = [&] {
            HLOCAL list = nullptr;
            if (getArchiveInfo(archive.c_str(), 0, 0, &list) != 0 || !list) Fail("the plug-in cannot list");
            LocalFree(list);
            return -1.0;
        };
        auto listOnly = [&] {
            Ref<IDispatch> listing;
            Check(archivePlugin->GetArchiveInfo(archiveSrc, 0, listing.put()), "GetArchiveInfo");
            return -1.0;
        };
        auto listAndWalk = [&] {
            Ref<IDispatch> listing;
            Check(archivePlugin->GetArchiveInfo(archiveSrc, 0, listing.put()), "GetArchiveInfo");
            Ref<ISpiFileInfoCollection> c;
            Check(listing->QueryInterface(IID_ISpiFileInfoCollection, c.put_void()), "collection");
            Ref<IUnknown> unknown;
            Check(c->get__NewEnum(unknown.put()), "_NewEnum");
            Ref<IEnumVARIANT> e;
            Check(unknown->QueryInterface(IID_IEnumVARIANT, e.put_void()), "IEnumVARIANT");
            VARIANT v;
            VariantInit(&v);
            long seen = 0;
            while (e->Next(1, &v, nullptr) == S_OK) {
                ISpiFileInfo* entry = nullptr;
                V_DISPATCH(&v)->QueryInterface(IID_ISpiFileInfo, reinterpret_cast<void**>(&entry));
                BSTR name = nullptr;
                entry->get_FileName(&name);
                SysFreeString(name);
                entry->Release();
                VariantClear(&v);
                ++seen;
            }
            if (seen != 100000) Fail("enumerated " + std::to_string(seen));
            return -1.0;
        };
        std::printf("\n");
        TimeRow("listing a 100,000-member archive (GetArchiveInfo)", "the plug-in's own listing",
                Compare(reps, own, listOnly), 0);
        TimeRow("listing it and enumerating every entry's FileName", "the plug-in's own listing",
                Compare(reps, own, listAndWalk), 0);
        FreeLibrary(archiveModule);
    }
    VariantClear(&archiveSrc);
    VariantClear(&src);
    archivePlugin.reset();

    ConversionRows(server, bundled, scratch, reps);

    // ---- The table, as the README shows it ---------------------------------------------------
    std::printf("\n| Path | Measured against | Target | Tamrix | Baseline | Ratio | |\n|---|---|---|---|---|---|---|\n");
    for (const Row& r : g_rows)
        std::printf("| %s | %s | %s | %.1f %s | %.1f %s | %.3fx | %s |\n", r.path.c_str(), r.against.c_str(),
                    r.target.c_str(), r.tamrix, r.unit.c_str(), r.baseline, r.unit.c_str(), r.ratio, r.verdict.c_str());
    server.plugins.reset();
    server.hosts.reset();
    CoUninitialize();
    return 0;
}
