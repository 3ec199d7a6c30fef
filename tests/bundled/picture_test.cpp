// iftamrix.spi driven directly, as any Susie host drives it: every sample format decodes
// to its known pixels from every kind of source, previews shrink, progress runs and
// cancels, cut, corrupted or oversized files give result codes without reading past their
// data or leaving blocks behind; written, every sample and DIB layout reads back as it was,
// and every refusal answers its code, keeping an existing destination.
#include <algorithm>
#include <bit>
#include <cmath>

#include "bundled.h"

namespace {

using namespace bundled;
using samples::PICTURES;
using testspi::PictureInfo;

using GetPictureInfoFn = int(WINAPI*)(LPCSTR, long, unsigned, PictureInfo*);
using GetPictureInfoWFn = int(WINAPI*)(LPCWSTR, long, unsigned, PictureInfo*);
using GetPictureFn = int(WINAPI*)(LPCSTR, long, unsigned, HLOCAL*, HLOCAL*, Progress, long);
using GetPictureWFn = int(WINAPI*)(LPCWSTR, long, unsigned, HLOCAL*, HLOCAL*, Progress, long);
using CreatePictureFn = int(WINAPI*)(LPCSTR, unsigned, HLOCAL*, HLOCAL*, PictureInfo*, Progress, long);
using CreatePictureWFn = int(WINAPI*)(LPCWSTR, unsigned, HLOCAL*, HLOCAL*, PictureInfo*, Progress, long);

class PicturePlugin : public ::testing::Test {
protected:
    static void SetUpTestSuite() { spi_ = new Spi("iftamrix.spi"); }
    static void TearDownTestSuite() {
        delete spi_;
        spi_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(nullptr, spi_->Module());
        Blocks::Reset();
    }
    void TearDown() override { EXPECT_EQ(0u, Blocks::Outstanding()) << "blocks left behind"; }

    // A GetPicture-shaped call; on success the bitmap, else both handles must be null.
    template <class Fn, class Char>
    static int Call(Fn fn, const Char* buf, long len, unsigned flag, Dib* out, Progress cb, long data) {
        HLOCAL info = reinterpret_cast<HLOCAL>(0x1000), bits = reinterpret_cast<HLOCAL>(0x1000);
        int rc = fn(buf, len, flag, &info, &bits, cb, data);
        if (rc == 0) {
            Dib d = TakeBlocks(info, bits);
            if (out) *out = d;
        } else {
            EXPECT_EQ(nullptr, info);
            EXPECT_EQ(nullptr, bits);
        }
        return rc;
    }
    static int Decode(const char* buf, long len, unsigned flag, Dib* out = nullptr, Progress cb = nullptr,
                      long data = 0) {
        return Call(spi_->Fn<GetPictureFn>("GetPicture"), buf, len, flag, out, cb, data);
    }
    static int Preview(const char* buf, long len, unsigned flag, Dib* out) {
        return Call(spi_->Fn<GetPictureFn>("GetPreview"), buf, len, flag, out, nullptr, 0);
    }
    static int Info(const char* buf, long len, unsigned flag, PictureInfo* info) {
        return spi_->Fn<GetPictureInfoFn>("GetPictureInfo")(buf, len, flag, info);
    }
    // CreatePicture, or CreatePictureW when `wide`.
    static int Create(bool wide, const std::string& path, HLOCAL* info, HLOCAL* bits, unsigned flag = 0,
                      PictureInfo* record = nullptr, Progress cb = nullptr, long data = 0) {
        const std::wstring wpath = testenv::Wide(path);
        if (wide) return spi_->Fn<CreatePictureWFn>("CreatePictureW")(wpath.c_str(), flag, info, bits, record, cb, data);
        return spi_->Fn<CreatePictureFn>("CreatePicture")(path.c_str(), flag, info, bits, record, cb, data);
    }
    static Spi* spi_;
};
Spi* PicturePlugin::spi_ = nullptr;

TEST_F(PicturePlugin, InformationTextsNameKindAndEveryFormat) {
    auto info = spi_->Fn<GetPluginInfoFn>("GetPluginInfo");
    char buf[260];
    EXPECT_EQ(4, info(0, buf, 8));
    EXPECT_STREQ("00IN", buf);
    std::string patterns;
    for (int n = 2; info(n, buf, sizeof buf) > 0; n += 2) {
        patterns += std::string(buf) + ";";
        EXPECT_GT(info(n + 1, buf, sizeof buf), 0) << "pattern " << n << " has no description";
    }
    for (const char* p : {"*.png", "*.jpg", "*.gif", "*.bmp", "*.tga", "*.psd", "*.pnm", "*.ppm", "*.pgm"})
        EXPECT_NE(std::string::npos, patterns.find(std::string(p) + ";")) << p;
    EXPECT_EQ(0, info(99, buf, sizeof buf));
    EXPECT_EQ(2, info(0, buf, 3));  // cut to fit, NUL-terminated
    EXPECT_STREQ("00", buf);
    wchar_t wide[64];
    EXPECT_EQ(4, spi_->Fn<GetPluginInfoWFn>("GetPluginInfoW")(0, wide, 64));
    EXPECT_STREQ(L"00IN", wide);
}

TEST_F(PicturePlugin, IsSupportedJudgesTheHeaderBytesNotTheName) {
    auto is = spi_->Fn<IsSupportedFn>("IsSupported");
    auto isW = spi_->Fn<IsSupportedWFn>("IsSupportedW");
    auto header = [](const std::string& path) {
        Bytes b = ReadAll(path);
        b.resize(2048, 0);
        return b;
    };
    for (const samples::Picture& p : PICTURES) {
        Bytes h = header(Picture(p));
        EXPECT_NE(0, is("misleading.txt", h.data())) << p.file;
        EXPECT_NE(0, isW(L"misleading.txt", h.data())) << p.file;
    }
    for (const char* other : {"archives\\pictures.zip", "archives\\pictures.tar", "hostile\\notapicture.txt",
                              "hostile\\empty.png"}) {
        Bytes h = header(Sample(other));
        EXPECT_EQ(0, is("picture.png", h.data())) << other;
        EXPECT_EQ(0, isW(L"picture.png", h.data())) << other;
    }
}

TEST_F(PicturePlugin, IsSupportedReadsFromAFileHandleAndPutsItsPositionBack) {
    auto is = spi_->Fn<IsSupportedFn>("IsSupported");
    auto open = [](const std::string& path) {
        return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    HANDLE png = open(Sample("pictures\\rgb.png")), text = open(Sample("hostile\\notapicture.txt"));
    ASSERT_NE(INVALID_HANDLE_VALUE, png);
    ASSERT_NE(INVALID_HANDLE_VALUE, text);
    ASSERT_EQ(0u, reinterpret_cast<uintptr_t>(png) & 0xFFFF0000u) << "handles are small numbers";
    EXPECT_NE(0, is("rgb.png", png));
    EXPECT_EQ(0u, SetFilePointer(png, 0, nullptr, FILE_CURRENT));
    EXPECT_EQ(0, is("notapicture.png", text));
    SetFilePointer(png, 5, nullptr, FILE_BEGIN);
    EXPECT_EQ(0, is("rgb.png", png)) << "the header is read where the handle stands";
    EXPECT_EQ(5u, SetFilePointer(png, 0, nullptr, FILE_CURRENT));
    CloseHandle(png);
    CloseHandle(text);
}

class EveryPicture : public PicturePlugin, public ::testing::WithParamInterface<samples::Picture> {};

TEST_P(EveryPicture, DecodesToItsKnownPixelsWithMatchingInformation) {
    const samples::Picture& p = GetParam();
    Dib d;
    ASSERT_EQ(0, Decode(Picture(p).c_str(), 0, 0, &d));
    ExpectPicture(d, p);
    EXPECT_EQ(2, Blocks::allocations) << "one information block and one pixel block";

    PictureInfo info;
    std::memset(&info, 0xCC, sizeof info);
    ASSERT_EQ(0, Info(Picture(p).c_str(), 0, 0, &info));
    EXPECT_EQ(0, info.left);
    EXPECT_EQ(0, info.top);
    EXPECT_EQ(p.width, info.width);
    EXPECT_EQ(p.height, info.height);
    EXPECT_EQ(p.bits, info.colorDepth);
    EXPECT_EQ(nullptr, info.hInfo);
}

TEST_P(EveryPicture, FileOffsetMemoryAndWideNameGiveTheSameBitmap) {
    const samples::Picture& p = GetParam();
    Dib fromFile, fromMemory, fromOffset, fromWide;
    ASSERT_EQ(0, Decode(Picture(p).c_str(), 0, 0, &fromFile));

    Bytes data = ReadAll(Picture(p));
    Guarded memory(data);
    ASSERT_EQ(0, Decode(memory.get(), static_cast<long>(data.size()), 1, &fromMemory));

    Bytes prefixed(1000 + data.size(), 0xEE);  // junk in front, as in a container file
    std::copy(data.begin(), data.end(), prefixed.begin() + 1000);
    std::string offsetFile = testenv::TempDir() + "bundled-offset-" + p.file;
    WriteAll(offsetFile, prefixed);
    ASSERT_EQ(0, Decode(offsetFile.c_str(), 1000, 0, &fromOffset));
    PictureInfo info{};
    EXPECT_EQ(0, Info(offsetFile.c_str(), 1000, 0, &info));
    EXPECT_EQ(p.width, info.width);

    std::wstring wide = testenv::Wide(Picture(p));
    ASSERT_EQ(0, Call(spi_->Fn<GetPictureWFn>("GetPictureW"), wide.c_str(), 0, 0, &fromWide, nullptr, 0));
    EXPECT_EQ(0, spi_->Fn<GetPictureInfoWFn>("GetPictureInfoW")(wide.c_str(), 0, 0, &info));
    EXPECT_EQ(p.height, info.height);

    for (const Dib* d : {&fromMemory, &fromOffset, &fromWide}) {
        EXPECT_EQ(fromFile.rows, d->rows);
        EXPECT_EQ(fromFile.colours.size(), d->colours.size());
        EXPECT_TRUE(std::equal(fromFile.colours.begin(), fromFile.colours.end(), d->colours.begin(), d->colours.end(),
                               [](RGBQUAD a, RGBQUAD b) { return std::memcmp(&a, &b, 4) == 0; }));
    }
}

// A copy of `data` in a block of the host's, `spare` bytes longer.
HLOCAL Block(const Bytes& data, UINT kind = LMEM_MOVEABLE, size_t spare = 0) {
    HLOCAL h = LocalAlloc(kind, data.size() + spare);
    std::memcpy(LocalLock(h), data.data(), data.size());
    LocalUnlock(h);
    return h;
}
Bytes Contents(HLOCAL h) {
    auto* p = static_cast<const uint8_t*>(LocalLock(h));
    Bytes b(p, p + LocalSize(h));
    LocalUnlock(h);
    return b;
}
void Set(Bytes& b, size_t at, uint32_t v, size_t size = 4) { std::memcpy(&b[at], &v, size); }

TEST_P(EveryPicture, WrittenInEveryFormatReadsBackAsDecoded) {
    const samples::Picture& p = GetParam();
    HLOCAL info = nullptr, bits = nullptr;
    ASSERT_EQ(0, spi_->Fn<GetPictureFn>("GetPicture")(Picture(p).c_str(), 0, 0, &info, &bits, nullptr, 0));
    const Bytes header = Contents(info), rows = Contents(bits);
    const Dib d = ParseDib(header.data(), header.size(), rows.data(), rows.size());
    const std::string dir = ScratchFolder("writer-sample");
    const char* const EXTENSIONS[] = {".png", ".bmp", ".tga", ".jpg"};
    for (int i = 0; i < 4; ++i) {
        const std::string file = dir + "\\picture" + EXTENSIONS[i];
        ASSERT_EQ(0, Create(i % 2, file, &info, &bits)) << file;
        int w = 0, h = 0;
        const Bytes back = StbDecode(ReadAll(file), &w, &h);
        const auto [most, luma] = Distance(back, w, h, [&](int x, int y) { return d.At(x, y); });
        // JPEG, quality 90, keeps colours at half resolution and brightness within a mean 6.
        EXPECT_LE(i == 3 ? luma : most, i == 3 ? 6 : 0) << file;
    }
    EXPECT_EQ(header, Contents(info)) << "the host's blocks are only read";
    EXPECT_EQ(rows, Contents(bits));
    for (HLOCAL h : {info, bits}) Blocks::Free(h);
}

INSTANTIATE_TEST_SUITE_P(Samples, EveryPicture, ::testing::ValuesIn(PICTURES),
                         [](const ::testing::TestParamInfo<samples::Picture>& i) {
                             std::string n = i.param.file;
                             std::replace(n.begin(), n.end(), '.', '_');
                             return n;
                         });

TEST_F(PicturePlugin, PreviewShrinksLargePicturesAndKeepsSmallOnes) {
    Dib preview, full;
    ASSERT_EQ(0, Preview(Sample("pictures\\large.png").c_str(), 0, 0, &preview));
    ASSERT_TRUE(preview.ok);
    EXPECT_EQ(128, preview.width);
    EXPECT_EQ(96, preview.height);
    // Scaled, not cropped: each preview pixel averages about 25 noise pixels, so its
    // channels stay near the middle where the noise itself spreads over 0..255.
    int extreme = 0;
    for (int y = 0; y < preview.height; ++y)
        for (int x = 0; x < preview.width; ++x) {
            samples::Rgba c = preview.At(x, y);
            for (int v : {c.r, c.g, c.b}) extreme += v < 64 || v > 192;
        }
    EXPECT_LT(extreme, 128 * 96 * 3 / 100);

    ASSERT_EQ(0, Preview(Sample("pictures\\photo.jpg").c_str(), 0, 0, &preview));
    ASSERT_EQ(0, Decode(Sample("pictures\\photo.jpg").c_str(), 0, 0, &full));
    EXPECT_EQ(full.rows, preview.rows);

    std::wstring wide = testenv::Wide(Sample("pictures\\large.png"));
    ASSERT_EQ(0, Call(spi_->Fn<GetPictureWFn>("GetPreviewW"), wide.c_str(), 0, 0, &preview, nullptr, 0));
    EXPECT_EQ(128, preview.width);
}

struct Calls {
    std::vector<std::pair<int, int>> seen;
    int cancelAt = -1;          // answer non-zero at this call
    long long cancelFrom = -1;  // or once num reaches this
    static int WINAPI Callback(int num, int denom, long data) {
        auto* c = reinterpret_cast<Calls*>(data);
        c->seen.push_back({num, denom});
        bool stop = static_cast<int>(c->seen.size()) - 1 == c->cancelAt || (c->cancelFrom >= 0 && num >= c->cancelFrom);
        return stop ? 1 : 0;
    }
};

TEST_F(PicturePlugin, ProgressRunsFromZeroToTheWhole) {
    Calls calls;
    ASSERT_EQ(0, Decode(Sample("pictures\\large.png").c_str(), 0, 0, nullptr, &Calls::Callback,
                        reinterpret_cast<long>(&calls)));
    ASSERT_GT(calls.seen.size(), 20u);
    EXPECT_EQ(0, calls.seen.front().first);
    EXPECT_EQ(calls.seen.back().second, calls.seen.back().first);
    for (size_t i = 1; i < calls.seen.size(); ++i) {
        EXPECT_EQ(calls.seen[0].second, calls.seen[i].second);
        EXPECT_LE(calls.seen[i - 1].first, calls.seen[i].first);
    }
}

TEST_F(PicturePlugin, CancelGivesOneAndFreesEverything) {
    std::string large = Sample("pictures\\large.png");
    long fileSize = static_cast<long>(ReadAll(large).size());
    Calls first, middle, rows;
    first.cancelAt = 0;
    middle.cancelAt = 5;
    rows.cancelFrom = fileSize + 1;  // input read: the bitmap blocks exist by now
    for (Calls* c : {&first, &middle, &rows}) {
        Blocks::Reset();
        EXPECT_EQ(1, Decode(large.c_str(), 0, 0, nullptr, &Calls::Callback, reinterpret_cast<long>(c)));
        EXPECT_EQ(0u, Blocks::Outstanding());
        EXPECT_EQ(c->seen.size(), c == &first ? 1u : c == &middle ? 6u : c->seen.size()) << "no calls after the cancel";
    }
    EXPECT_EQ(2, Blocks::allocations) << "the late cancel came after the blocks were made";
}

struct Hostile {
    const char* file;
    int decode;  // GetPicture and GetPreview
    int info;    // GetPictureInfo
};

TEST_F(PicturePlugin, HostileFilesGiveResultCodes) {
    const Hostile cases[] = {
        {"truncated.png", 3, 0}, {"corrupt.png", 3, 0},     {"truncated.jpg", 3, 0}, {"truncated.gif", 3, 0},
        {"truncated.bmp", 3, 0}, {"truncated.psd", 3, 0},   {"badlzw.gif", 3, 0},    {"huge.png", 4, 0},
        {"huge.bmp", 4, 0},      {"empty.png", 2, 2},       {"notapicture.txt", 2, 2},
        // Whole pictures, each beyond one cap alone: width, height, pixels.
        {"wide.png", 4, 0},      {"tall.png", 4, 0},        {"manypixels.png", 4, 0},
        // What stb_image is not shown (the fuzz corpus's regression files): a Huffman table of
        // more than 256 codes, a scan naming a table never defined, PNM numbers past int, an
        // empty first PNG image data chunk.
        {"corpus:jpeg-huffman-counts.jpg", 3, 3}, {"corpus:jpeg-progressive-undefined-ac.jpg", 3, 0},
        {"corpus:pnm-size-overflow.ppm", 4, 4},   {"corpus:pnm-maxval-overflow.pgm", 3, 3},
        {"corpus:png-empty-first-idat.png", 3, 3},  // copied to a block not made yet
    };
    for (const Hostile& c : cases) {
        std::string path = std::strncmp(c.file, "corpus:", 7) == 0 ? CorpusFile(c.file + 7)
                                                                    : Sample(std::string("hostile\\") + c.file);
        Bytes data = ReadAll(path);
        Guarded memory(data);
        EXPECT_EQ(c.decode, Decode(path.c_str(), 0, 0)) << c.file;
        EXPECT_EQ(c.decode, Decode(memory.get(), static_cast<long>(data.size()), 1)) << c.file;
        Dib unused;
        EXPECT_EQ(c.decode, Preview(memory.get(), static_cast<long>(data.size()), 1, &unused)) << c.file;
        PictureInfo info{};
        EXPECT_EQ(c.info, Info(memory.get(), static_cast<long>(data.size()), 1, &info)) << c.file;
    }
    PictureInfo info{};
    ASSERT_EQ(0, Info(Sample("hostile\\huge.png").c_str(), 0, 0, &info)) << "the header alone is honest";
    EXPECT_EQ(9000, info.width);
    EXPECT_EQ(4000, info.height);
    EXPECT_EQ(6, Decode(Sample("pictures\\no-such-file.png").c_str(), 0, 0));
    EXPECT_EQ(-1, Decode(Sample("pictures\\rgb.png").c_str(), 0, 2)) << "unknown source kind";
}

// Photoshop keeps transparent pixels blended with white; a colour that blending cannot have
// given (darker than the white share) comes back clamped to black.
TEST_F(PicturePlugin, PhotoshopMatteIsClamped) {
    std::string path = CorpusFile("psd-matte-overflow.psd");
    Dib d;
    ASSERT_EQ(0, Decode(path.c_str(), 0, 0, &d));
    ASSERT_EQ(32, d.bits);
    struct Case {
        int x;
        samples::Rgba want;  // stored (0, 0, 0, 1) and (10, 250, 0, 128): 255 - (255 - v) * 255 / a
    } cases[] = {{0, {0, 0, 0, 1}}, {1, {0, 245, 0, 128}}};
    for (const Case& c : cases) {
        samples::Rgba got = d.At(c.x, 0);
        EXPECT_EQ(std::vector<int>({c.want.r, c.want.g, c.want.b, c.want.a}), std::vector<int>({got.r, got.g, got.b, got.a}))
            << "pixel " << c.x;
    }
}

// A cut picture either fails or is, whole, the picture itself (a GIF's second frame or a
// PNG's last checksum are not needed); it never reads past its end.
TEST_F(PicturePlugin, CutAnywhereFailsOrGivesThePictureItself) {
    for (const samples::Picture& p : PICTURES) {
        Bytes data = ReadAll(Picture(p));
        Dib whole;
        ASSERT_EQ(0, Decode(Picture(p).c_str(), 0, 0, &whole));
        size_t step = std::max<size_t>(1, data.size() / 40);
        for (size_t n = 0; n < data.size(); n += (n < 64 ? 1 : step)) {
            Bytes cut(data.begin(), data.begin() + n);
            Guarded memory(cut);
            Dib d;
            int rc = Decode(memory.get(), static_cast<long>(n), 1, &d);
            EXPECT_TRUE(rc == 0 || rc == 2 || rc == 3) << p.file << " cut at " << n << ": " << rc;
            if (rc == 0) {
                EXPECT_EQ(whole.rows, d.rows) << p.file << " cut at " << n;
            }
        }
    }
}

TEST_F(PicturePlugin, FlippedBytesNeverCrashOrLeak) {
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (const samples::Picture& p : PICTURES) {
        if (std::string(p.file) == "large.png") continue;
        Bytes data = ReadAll(Picture(p));
        for (int round = 0; round < 60; ++round) {
            Bytes bad = data;
            for (int k = 1 + next() % 4; k > 0; --k) bad[next() % std::min<size_t>(bad.size(), 600)] ^= 1 << (next() % 8);
            Guarded memory(bad);
            int rc = Decode(memory.get(), static_cast<long>(bad.size()), 1);
            EXPECT_TRUE(rc >= 0 && rc <= 4) << p.file << " round " << round << ": " << rc;
        }
    }
}

// A DIB as a host holds it, and the pixels it shows (top-down).
struct Made { Bytes info, rows; std::vector<samples::Rgba> want; };

struct Layout {
    const char* what;
    WORD bits;
    DWORD compression, headerSize, colours;  // header 40, or 124 holding the masks; biClrUsed
    uint32_t masks[4];                       // 16 to 32 bits: red, green, blue, alpha
    uint8_t pngColourType;                   // 0 grey (from a palette of greys), 2 RGB, 6 RGBA
};
const Layout RGB24 = {"24 bits", 24, BI_RGB, 40, 0, {0xFF0000, 0xFF00, 0xFF, 0}, 2};
const Layout LAYOUTS[] = {
    {"1 bit", 1, BI_RGB, 40, 0, {}, 2},
    {"4 bits, 5 colours", 4, BI_RGB, 40, 5, {}, 2},
    {"8 bits, 6 colours", 8, BI_RGB, 40, 6, {}, 2},
    {"8 bits, greys", 8, BI_RGB, 40, 0, {}, 0},
    {"16 bits, 5-5-5", 16, BI_RGB, 40, 0, {0x7C00, 0x3E0, 0x1F, 0}, 2},
    {"16 bits, 5-6-5 fields", 16, BI_BITFIELDS, 40, 0, {0xF800, 0x7E0, 0x1F, 0}, 2},
    RGB24,
    {"32 bits, fourth bytes zero", 32, BI_RGB, 40, 0, {0xFF0000, 0xFF00, 0xFF, 0}, 2},
    {"32 bits, fields of a V5 header", 32, BI_BITFIELDS, 124, 0, {0xFF, 0xFF00, 0xFF0000, 0xFF000000}, 6},
};

// A 13 x 7 picture in `l`: palette entries and channel values vary along both axes, and
// indices run past a short colour table (whose colour is then black).
Made Make(const Layout& l, bool topDown) {
    const int W = 13, H = 7;
    Made m;
    BITMAPV5HEADER h{};
    h.bV5Size = l.headerSize, h.bV5Width = W, h.bV5Height = topDown ? -H : H, h.bV5Planes = 1, h.bV5BitCount = l.bits;
    h.bV5Compression = l.compression, h.bV5ClrUsed = l.colours;
    std::memcpy(&h.bV5RedMask, l.masks, sizeof l.masks);  // red, green, blue, alpha
    // The masks after a 40-byte header are where a larger one holds them.
    const size_t size = l.compression == BI_BITFIELDS && l.headerSize == 40 ? 52 : l.headerSize;
    m.info.assign(reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + size);
    std::vector<samples::Rgba> table;
    for (uint32_t i = 0; l.bits <= 8 && i < (l.colours ? l.colours : 1u << l.bits); ++i) {
        const uint8_t v = static_cast<uint8_t>(i);
        table.push_back(l.pngColourType == 0 ? samples::Rgba{v, v, v, 255} : samples::Colour(i, i / 3));
        m.info.insert(m.info.end(), {table.back().b, table.back().g, table.back().r, 0});
    }
    const size_t stride = (W * l.bits + 31) / 32 * 4;
    m.rows.assign(stride * H, 0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint8_t* row = &m.rows[(topDown ? y : H - 1 - y) * stride];
            if (l.bits <= 8) {
                const unsigned i = (x + 3 * y) % (1u << l.bits);
                row[x * l.bits / 8] |= static_cast<uint8_t>(i << (8 - l.bits - x * l.bits % 8));
                m.want.push_back(i < table.size() ? table[i] : samples::Rgba{0, 0, 0, 255});
                continue;
            }
            uint32_t v = 0;
            uint8_t c[4] = {0, 0, 0, 255};
            for (int k = 0; k < 4; ++k) {
                if (!l.masks[k]) continue;
                const int shift = std::countr_zero(l.masks[k]);
                const uint32_t max = l.masks[k] >> shift, f = (x * 5 + y * 3 + k * 7) % (max + 1);
                v |= f << shift;
                c[k] = static_cast<uint8_t>(std::lround(f * 255.0 / max));
            }
            std::memcpy(row + x * l.bits / 8, &v, l.bits / 8);
            m.want.push_back({c[0], c[1], c[2], c[3]});
        }
    return m;
}

TEST_F(PicturePlugin, EveryLayoutWrittenKeepsItsColoursFromEitherRowOrder) {
    const std::string dir = ScratchFolder("writer-layouts");
    for (const Layout& l : LAYOUTS) {
        SCOPED_TRACE(l.what);
        Bytes files[2];
        for (bool topDown : {false, true}) {
            const Made m = Make(l, topDown);
            HLOCAL info = Block(m.info), bits = Block(m.rows);
            ASSERT_EQ(0, Create(topDown, dir + "\\picture.png", &info, &bits));
            for (HLOCAL h : {info, bits}) LocalFree(h);
            files[topDown] = ReadAll(dir + "\\picture.png");
            int w = 0, h = 0;
            const Bytes back = StbDecode(files[topDown], &w, &h);
            EXPECT_LE(Distance(back, w, h, [&](int x, int y) { return m.want[y * w + x]; }).first, l.bits <= 8 ? 0 : 1);
        }
        EXPECT_EQ(files[0], files[1]) << "top-down and bottom-up";
        EXPECT_EQ(l.pngColourType, files[0].at(25));
    }
}

// One CreatePicture call on a 24-bit picture, changed as a variation says.
struct Write {
    std::string name = "out.png";  // in a scratch folder
    char before = 'f';             // there before: a file of that name, a folder ('d') or nothing
    unsigned flag = 0;
    Made picture = Make(RGB24, false);
    UINT kind = LMEM_MOVEABLE;
    size_t spare = 0;
    bool noBits = false;
    long cancel = 0;  // 1 at the first progress call, 2 at the last one
    void Header(size_t at, uint32_t v, size_t size = 4) { Set(picture.info, at, v, size); }
    static int WINAPI Report(int num, int denom, long cancel) { return cancel == 1 || (cancel == 2 && num == denom); }
};

const struct {
    const char* what;
    int code;  // 0: written, the same file as without the change
    void (*change)(Write&);
} VARIATIONS[] = {
    {"none", 0, [](Write&) {}},
    {"fixed blocks", 0, [](Write& c) { c.kind = LMEM_FIXED; }},
    {"blocks longer than needed", 0, [](Write& c) { c.spare = 4096; }},
    {"an upper-case extension", 0, [](Write& c) { c.name = "OUT.PNG"; }},
    {"flag 0x800", 0, [](Write& c) { c.flag = 0x800; }},
    {"an extension not written", 2, [](Write& c) { c.name = "out.gif"; }},
    {"no extension", 2, [](Write& c) { c.name = "out"; }},
    {"an extension not written, no pixel block", 2, [](Write& c) { c.name = "out.gif", c.noBits = true; }},
    {"a dot in a folder's name only", 2, [](Write& c) { c.name = "sub.png\\out", c.before = 0; }},
    {"a memory destination", -1, [](Write& c) { c.flag = 0x100; }},
    {"no pixel block", 8, [](Write& c) { c.noBits = true; }},
    {"a header longer than its block", 3, [](Write& c) { c.Header(0, 200); }},
    {"width 0", 3, [](Write& c) { c.Header(4, 0); }},
    {"height 0", 3, [](Write& c) { c.Header(8, 0); }},
    {"rows one byte short", 3, [](Write& c) { c.picture.rows.pop_back(); }},
    {"a colour table past its block", 3, [](Write& c) { c.Header(14, 8, 2); }},
    {"masks past their block", 3, [](Write& c) { c.Header(14, 16, 2), c.Header(16, BI_BITFIELDS); }},
    {"run-length encoded", 2, [](Write& c) { c.Header(14, 8, 2), c.Header(16, BI_RLE8); }},
    {"2 bits", 2, [](Write& c) { c.Header(14, 2, 2); }},
    {"an OS/2 header", 2, [](Write& c) { c.Header(0, 12); }},
    // Blocks long enough for the size, so that the cap alone refuses it.
    {"wider than the cap", 4, [](Write& c) { c.Header(4, 40000), c.Header(8, 2), c.spare = 240000; }},
    {"higher than the cap, top-down", 4, [](Write& c) { c.Header(4, 2), c.Header(8, -40000), c.spare = 320000; }},
    {"more pixels than the cap", 4,
     [](Write& c) { c.Header(4, 8000), c.Header(8, 4200), c.Header(14, 1, 2), c.spare = 4200000; }},
    {"cancelled at once", 1, [](Write& c) { c.cancel = 1; }},
    {"cancelled with the file complete", 1, [](Write& c) { c.cancel = 2; }},
    {"no such folder", 9, [](Write& c) { c.name = "missing\\out.png", c.before = 0; }},
    {"a folder of that name", 9, [](Write& c) { c.before = 'd'; }},
};

TEST_F(PicturePlugin, WritingVariationsAnswerTheirCodesAndFailuresKeepTheDestination) {
    const Bytes KEEP = {'k', 'e', 'e', 'p'};
    Bytes plain;
    PictureInfo record{-1, -1, -1, -1, 0xFFFF, 0xFFFF, -1, reinterpret_cast<HLOCAL>(1)};  // junk, not read
    for (const auto& v : VARIATIONS) {
        SCOPED_TRACE(v.what);
        Write c;
        v.change(c);
        const std::string dir = ScratchFolder("writer-variation"), dest = dir + "\\" + c.name;
        if (c.before == 'd') CreateDirectoryA(dest.c_str(), nullptr);
        if (c.before == 'f') WriteAll(dest, KEEP);
        HLOCAL info = Block(c.picture.info, c.kind, c.spare), bits = Block(c.picture.rows, c.kind, c.spare);
        EXPECT_EQ(v.code, Create(false, dest, &info, c.noBits ? nullptr : &bits, c.flag, &record,
                                 c.cancel ? &Write::Report : nullptr, c.cancel));
        for (HLOCAL h : {info, bits}) LocalFree(h);
        EXPECT_EQ(c.before ? 1u : 0u, Listing(dir).size()) << "nothing beside the destination";
        if (v.code == 0 && plain.empty()) plain = ReadAll(dest);
        if (c.before == 'f') {
            EXPECT_EQ(v.code ? KEEP : plain, ReadAll(dest));
        }
    }
}

}  // namespace
