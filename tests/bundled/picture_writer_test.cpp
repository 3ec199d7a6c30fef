// iftamrix.spi's CreatePicture and CreatePictureW driven as a host drives them: every
// sample the plug-in decodes, written back in each format, reads back as the same pixels
// (JPEG within a stated error); palettes and bit fields keep their colours and top-down
// rows give the same file as bottom-up ones; every refusal answers its code and leaves an
// existing destination as it was, with nothing beside it.
#include <bit>
#include <cmath>
#include <functional>

#include "bundled.h"

namespace {

using namespace bundled;
using samples::Rgba;
using CreatePictureFn = int(WINAPI*)(LPCSTR, unsigned, HLOCAL*, HLOCAL*, testspi::PictureInfo*, Progress, LONG_PTR);
using CreatePictureWFn = int(WINAPI*)(LPCWSTR, unsigned, HLOCAL*, HLOCAL*, testspi::PictureInfo*, Progress, LONG_PTR);
using GetPictureFn = int(WINAPI*)(LPCSTR, LONG_PTR, unsigned, HLOCAL*, HLOCAL*, Progress, LONG_PTR);

// JPEG at quality 90 keeps colours at half resolution, and every sample's brightness
// within this mean error.
const double JPEG_LUMA_ERROR = 6;

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

// Between decoded RGBA pixels and what they should be: the largest difference of any
// channel, and the mean difference of brightness (luma).
struct Distance {
    int max = 999;
    double luma = 999;
};
Distance Compare(const Bytes& rgba, int w, int h, const std::function<Rgba(int, int)>& want) {
    if (w <= 0 || rgba.size() != static_cast<size_t>(w) * h * 4) return {};
    Distance d{0, 0};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = &rgba[(static_cast<size_t>(y) * w + x) * 4];
            const Rgba c = want(x, y);
            const int diff[4] = {p[0] - c.r, p[1] - c.g, p[2] - c.b, p[3] - c.a};
            for (int k = 0; k < 4; ++k) d.max = std::max(d.max, std::abs(diff[k]));
            d.luma += std::abs(0.299 * diff[0] + 0.587 * diff[1] + 0.114 * diff[2]) / (w * h);
        }
    return d;
}

void Set(Bytes& b, size_t at, uint32_t v, size_t size = 4) { std::memcpy(&b[at], &v, size); }

// A DIB as a host holds it, and the pixels it shows (top-down).
struct Made {
    Bytes info, rows;
    std::vector<Rgba> want;
};

struct Layout {
    const char* what;
    WORD bits;
    DWORD compression;
    DWORD headerSize;       // 40, or 124 holding the masks
    DWORD colours;          // biClrUsed, 1 to 8 bits
    uint32_t masks[4];      // 16 to 32 bits: where red, green, blue and alpha are
    bool grey;              // a palette of greys
    uint8_t pngColourType;  // 0 grey, 2 RGB, 6 RGBA
};
const Layout RGB24 = {"24 bits", 24, BI_RGB, 40, 0, {0xFF0000, 0xFF00, 0xFF, 0}, false, 2};
const Layout LAYOUTS[] = {
    {"1 bit", 1, BI_RGB, 40, 0, {}, false, 2},
    {"4 bits", 4, BI_RGB, 40, 0, {}, false, 2},
    {"4 bits, 5 colours", 4, BI_RGB, 40, 5, {}, false, 2},
    {"8 bits", 8, BI_RGB, 40, 0, {}, false, 2},
    {"8 bits, 6 colours", 8, BI_RGB, 40, 6, {}, false, 2},
    {"8 bits, greys", 8, BI_RGB, 40, 0, {}, true, 0},
    {"16 bits, 5-5-5", 16, BI_RGB, 40, 0, {0x7C00, 0x3E0, 0x1F, 0}, false, 2},
    {"16 bits, 5-6-5 fields", 16, BI_BITFIELDS, 40, 0, {0xF800, 0x7E0, 0x1F, 0}, false, 2},
    RGB24,
    {"32 bits, fourth bytes zero", 32, BI_RGB, 40, 0, {0xFF0000, 0xFF00, 0xFF, 0}, false, 2},
    {"32 bits, fields of a V5 header", 32, BI_BITFIELDS, 124, 0, {0xFF, 0xFF00, 0xFF0000, 0xFF000000}, false, 6},
};

// A 13 x 7 picture in `l`: palette entries and channel values vary along both axes, and
// indices run past a short colour table (whose colour is then black).
Made Make(const Layout& l, bool topDown) {
    const int W = 13, H = 7;
    Made m;
    BITMAPV5HEADER h{};
    h.bV5Size = l.headerSize, h.bV5Width = W, h.bV5Height = topDown ? -H : H, h.bV5Planes = 1;
    h.bV5BitCount = l.bits, h.bV5Compression = l.compression, h.bV5ClrUsed = l.colours;
    h.bV5RedMask = l.masks[0], h.bV5GreenMask = l.masks[1], h.bV5BlueMask = l.masks[2], h.bV5AlphaMask = l.masks[3];
    m.info.assign(reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + l.headerSize);
    if (l.compression == BI_BITFIELDS && l.headerSize == 40)
        m.info.insert(m.info.end(), reinterpret_cast<const uint8_t*>(l.masks), reinterpret_cast<const uint8_t*>(l.masks) + 12);
    std::vector<Rgba> table;
    for (uint32_t i = 0; l.bits <= 8 && i < (l.colours ? l.colours : 1u << l.bits); ++i) {
        const uint8_t v = static_cast<uint8_t>(i);
        table.push_back(l.grey ? Rgba{v, v, v, 255} : Rgba{uint8_t(i * 37 + 11), uint8_t(i * 91 + 50), uint8_t(i * 53 + 200), 255});
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
                m.want.push_back(i < table.size() ? table[i] : Rgba{0, 0, 0, 255});
                continue;
            }
            uint32_t v = 0;
            uint8_t c[4] = {0, 0, 0, 255};
            for (int k = 0; k < 4; ++k) {
                if (!l.masks[k]) continue;
                const uint32_t max = l.masks[k] >> std::countr_zero(l.masks[k]), f = (x * 5 + y * 3 + k * 7) % (max + 1);
                v |= f << std::countr_zero(l.masks[k]);
                c[k] = static_cast<uint8_t>(std::lround(f * 255.0 / max));
            }
            std::memcpy(row + x * l.bits / 8, &v, l.bits / 8);
            m.want.push_back({c[0], c[1], c[2], c[3]});
        }
    return m;
}

// Any size, every pixel black: for the caps.
Made Sized(int w, int h, WORD bits) {
    Made m;
    BITMAPINFOHEADER hdr{sizeof hdr, w, h, 1, bits, BI_RGB, 0, 0, 0, 0, 0};
    m.info.assign(reinterpret_cast<uint8_t*>(&hdr), reinterpret_cast<uint8_t*>(&hdr) + sizeof hdr);
    m.info.resize(m.info.size() + (bits <= 8 ? 4u << bits : 0), 0);
    m.rows.assign((static_cast<size_t>(w) * bits + 31) / 32 * 4 * std::abs(h), 0);
    return m;
}

class PictureWriter : public ::testing::Test {
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

    // CreatePicture, or CreatePictureW when `wide`.
    static int Create(bool wide, const std::string& path, HLOCAL* info, HLOCAL* bits, unsigned flag = 0,
                      testspi::PictureInfo* record = nullptr, Progress cb = nullptr, LONG_PTR data = 0) {
        if (wide)
            return spi_->Fn<CreatePictureWFn>("CreatePictureW")(testenv::Wide(path).c_str(), flag, info, bits, record, cb, data);
        return spi_->Fn<CreatePictureFn>("CreatePicture")(path.c_str(), flag, info, bits, record, cb, data);
    }
    static Spi* spi_;
};
Spi* PictureWriter::spi_ = nullptr;

class EverySampleWritten : public PictureWriter, public ::testing::WithParamInterface<samples::Picture> {};

TEST_P(EverySampleWritten, ReadsBackAsDecodedInEveryFormatAndFromEitherRowOrder) {
    const samples::Picture& p = GetParam();
    HLOCAL info = nullptr, bits = nullptr;
    ASSERT_EQ(0, spi_->Fn<GetPictureFn>("GetPicture")(Picture(p).c_str(), 0, 0, &info, &bits, nullptr, 0));
    const Bytes header = Contents(info), rows = Contents(bits);
    const Dib d = ParseDib(header.data(), header.size(), rows.data(), rows.size());
    const std::string dir = ScratchFolder("writer-sample");
    const struct {
        const char* ext;
        bool wide;
    } FORMATS[] = {{".png", false}, {".bmp", true}, {".tga", false}, {".jpg", true}};
    for (const auto& f : FORMATS) {
        ASSERT_EQ(0, Create(f.wide, dir + "\\picture" + f.ext, &info, &bits)) << f.ext;
        int w = 0, h = 0;
        const Bytes back = StbDecode(ReadAll(dir + "\\picture" + f.ext), &w, &h);
        const Distance distance = Compare(back, w, h, [&](int x, int y) { return d.At(x, y); });
        if (std::string(f.ext) == ".jpg")
            EXPECT_LE(distance.luma, JPEG_LUMA_ERROR) << f.ext;
        else
            EXPECT_EQ(0, distance.max) << f.ext;
    }
    EXPECT_EQ(header, Contents(info)) << "the host's blocks are only read";
    EXPECT_EQ(rows, Contents(bits));

    // The same rows top-down give the same file.
    Bytes topHeader = header, topRows(rows.size());
    Set(topHeader, 8, static_cast<uint32_t>(-d.height));
    for (int y = 0; y < d.height; ++y)
        std::memcpy(&topRows[y * d.Stride()], &rows[(d.height - 1 - y) * d.Stride()], d.Stride());
    HLOCAL topInfo = Block(topHeader), topBits = Block(topRows);
    EXPECT_EQ(0, Create(false, dir + "\\top-down.png", &topInfo, &topBits));
    EXPECT_EQ(ReadAll(dir + "\\picture.png"), ReadAll(dir + "\\top-down.png"));
    LocalFree(topInfo);
    LocalFree(topBits);
    Blocks::Free(info);
    Blocks::Free(bits);
    EXPECT_EQ((std::set<std::string>{"picture.bmp", "picture.jpg", "picture.png", "picture.tga", "top-down.png"}),
              Listing(dir));
}

INSTANTIATE_TEST_SUITE_P(Samples, EverySampleWritten, ::testing::ValuesIn(samples::PICTURES),
                         [](const ::testing::TestParamInfo<samples::Picture>& i) {
                             std::string n = i.param.file;
                             std::replace(n.begin(), n.end(), '.', '_');
                             return n;
                         });

TEST_F(PictureWriter, EveryLayoutKeepsItsColoursFromEitherRowOrder) {
    const std::string dir = ScratchFolder("writer-layouts");
    for (const Layout& l : LAYOUTS) {
        SCOPED_TRACE(l.what);
        Bytes files[2];
        for (bool topDown : {false, true}) {
            const Made m = Make(l, topDown);
            HLOCAL info = Block(m.info), bits = Block(m.rows);
            const std::string path = dir + (topDown ? "\\top.png" : "\\bottom.png");
            ASSERT_EQ(0, Create(topDown, path, &info, &bits));
            LocalFree(info);
            LocalFree(bits);
            files[topDown] = ReadAll(path);
            int w = 0, h = 0;
            const Bytes back = StbDecode(files[topDown], &w, &h);
            EXPECT_LE(Compare(back, w, h, [&](int x, int y) { return m.want[y * w + x]; }).max, l.bits <= 8 ? 0 : 1);
        }
        EXPECT_EQ(files[0], files[1]) << "top-down and bottom-up";
        ASSERT_GT(files[0].size(), 25u);
        EXPECT_EQ(l.pngColourType, files[0][25]);
    }
}

// One CreatePicture call on a 24-bit picture, changed as a variation says.
struct Call {
    std::string name = "out.png";  // in a scratch folder
    bool existing = true;          // a file of that name is there before
    bool folder = false;           // a folder of that name is
    unsigned flag = 0;
    Made picture = Make(RGB24, false);
    UINT kind = LMEM_MOVEABLE;
    size_t spare = 0;
    bool noBits = false;
    testspi::PictureInfo* record = nullptr;
    LONG_PTR cancel = 0;  // 1 at the first progress call, 2 at the last one
    static int WINAPI Report(int num, int denom, LONG_PTR cancel) { return cancel == 1 || (cancel == 2 && num == denom); }
};

struct Variation {
    const char* what;
    int code;  // 0: written, the same file as without the change
    void (*change)(Call&);
};

testspi::PictureInfo g_record;

const Variation VARIATIONS[] = {
    {"none", 0, [](Call&) {}},
    {"fixed blocks", 0, [](Call& c) { c.kind = LMEM_FIXED; }},
    {"blocks longer than needed", 0, [](Call& c) { c.spare = 4096; }},
    {"a picture record", 0, [](Call& c) { std::memset(c.record = &g_record, 0xCC, sizeof g_record); }},
    {"an upper-case extension", 0, [](Call& c) { c.name = "OUT.PNG"; }},
    {"flag 0x800", 0, [](Call& c) { c.flag = 0x800; }},
    {"an extension not written", 2, [](Call& c) { c.name = "out.gif"; }},
    {"no extension", 2, [](Call& c) { c.name = "out"; }},
    {"an extension not written, no pixel block", 2, [](Call& c) { c.name = "out.gif", c.noBits = true; }},
    {"a dot in a folder's name only", 2, [](Call& c) { c.name = "sub.png\\out", c.existing = false; }},
    {"a memory destination", -1, [](Call& c) { c.flag = 0x100; }},
    {"no pixel block", 8, [](Call& c) { c.noBits = true; }},
    {"a header longer than its block", 3, [](Call& c) { Set(c.picture.info, 0, 200); }},
    {"width 0", 3, [](Call& c) { Set(c.picture.info, 4, 0); }},
    {"height 0", 3, [](Call& c) { Set(c.picture.info, 8, 0); }},
    {"rows one byte short", 3, [](Call& c) { c.picture.rows.pop_back(); }},
    {"a colour table past its block", 3, [](Call& c) { Set(c.picture.info, 14, 8, 2); }},
    {"masks past their block", 3, [](Call& c) { Set(c.picture.info, 14, 16, 2), Set(c.picture.info, 16, BI_BITFIELDS); }},
    {"run-length encoded", 2, [](Call& c) { Set(c.picture.info, 14, 8, 2), Set(c.picture.info, 16, BI_RLE8); }},
    {"2 bits", 2, [](Call& c) { Set(c.picture.info, 14, 2, 2); }},
    {"an OS/2 header", 2, [](Call& c) { Set(c.picture.info, 0, 12); }},
    {"wider than the cap", 4, [](Call& c) { c.picture = Sized(40000, 2, 24); }},
    {"higher than the cap", 4, [](Call& c) { c.picture = Sized(2, -40000, 24); }},
    {"more pixels than the cap", 4, [](Call& c) { c.picture = Sized(8000, 4200, 1); }},
    {"cancelled at once", 1, [](Call& c) { c.cancel = 1; }},
    {"cancelled with the file complete", 1, [](Call& c) { c.cancel = 2; }},
    {"no such folder", 9, [](Call& c) { c.name = "missing\\out.png", c.existing = false; }},
    {"a folder of that name", 9, [](Call& c) { c.folder = true, c.existing = false; }},
};

TEST_F(PictureWriter, VariationsAnswerTheirCodesAndFailuresKeepTheDestination) {
    const Bytes KEEP = {'k', 'e', 'e', 'p'};
    Bytes plain;
    for (const Variation& v : VARIATIONS) {
        SCOPED_TRACE(v.what);
        Call c;
        v.change(c);
        const std::string dir = ScratchFolder("writer-variation"), dest = dir + "\\" + c.name;
        if (c.folder)
            CreateDirectoryA(dest.c_str(), nullptr);
        else if (c.existing)
            WriteAll(dest, KEEP);
        HLOCAL info = Block(c.picture.info, c.kind, c.spare), bits = Block(c.picture.rows, c.kind, c.spare);
        EXPECT_EQ(v.code, Create(false, dest, &info, c.noBits ? nullptr : &bits, c.flag, c.record,
                                 c.cancel ? &Call::Report : nullptr, c.cancel));
        LocalFree(info);
        LocalFree(bits);
        EXPECT_EQ(c.existing || c.folder ? std::set<std::string>{c.name} : std::set<std::string>{}, Listing(dir))
            << "nothing beside the destination";
        if (v.code == 0) {
            if (plain.empty()) plain = ReadAll(dest);
            EXPECT_EQ(plain, ReadAll(dest));
        } else if (c.existing) {
            EXPECT_EQ(KEEP, ReadAll(dest));
        }
    }
}

}  // namespace
