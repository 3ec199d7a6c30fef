// make_samples <folder>: writes the sample files of the bundled plug-ins into <folder>:
//   pictures/  a picture in every format the picture plug-in reads, pixels as in
//              sample_pictures.h
//   archives/  pictures.zip, pictures.tar, pictures.tar.gz holding some of them, empty.zip
//   hostile/   cut, corrupted and oversized pictures and archives, and archives whose member
//              names point outside any folder they are extracted to
// Runs at build time (under Wine when cross-built); the same input always gives the same
// bytes.
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <stb_image_write.h>

#include "sample_pictures.h"

using namespace samples;
using Bytes = std::vector<uint8_t>;

namespace {

std::string g_root;
int g_failures = 0;

void Save(const std::string& name, const Bytes& data) {
    std::string path = g_root + "\\" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size()) {
        std::fprintf(stderr, "make_samples: cannot write %s\n", path.c_str());
        ++g_failures;
    }
    if (f) std::fclose(f);
}

Bytes Cut(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + (n < b.size() ? n : b.size())); }

void Put16le(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32le(Bytes& b, uint32_t v) {
    Put16le(b, v & 0xFFFF);
    Put16le(b, v >> 16);
}
void Put16be(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void Put32be(Bytes& b, uint32_t v) {
    Put16be(b, v >> 16);
    Put16be(b, v & 0xFFFF);
}
void Append(Bytes& b, const void* p, size_t n) {
    b.insert(b.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
}
void Append(Bytes& b, const std::string& s) { Append(b, s.data(), s.size()); }

// ---- Pictures ------------------------------------------------------------------------

Bytes Deflate(const Bytes& in, int windowBits);

// The pattern's pixels, top-down, with `comp` channels (1 grey, 3 RGB, 4 RGBA).
Bytes Pixels(const Picture& p, int comp) {
    Bytes out;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            Rgba c = Pixel(p.pattern, x, y, p.width, p.height);
            const uint8_t all[4] = {c.r, c.g, c.b, c.a};
            if (comp == 1)
                out.push_back(c.r);
            else
                Append(out, all, comp);
        }
    return out;
}

void ToBytes(void* context, void* data, int size) { Append(*static_cast<Bytes*>(context), data, size); }

Bytes StbPng(const Picture& p, int comp) {
    Bytes px = Pixels(p, comp), out;
    stbi_write_png_to_func(ToBytes, &out, p.width, p.height, comp, px.data(), p.width * comp);
    return out;
}

void PngChunk(Bytes& out, const char* type, const Bytes& data) {
    Put32be(out, static_cast<uint32_t>(data.size()));
    Bytes body(type, type + 4);
    Append(body, data.data(), data.size());
    Append(out, body.data(), body.size());
    Put32be(out, crc32(0, body.data(), static_cast<uInt>(body.size())));
}

// A paletted PNG (colour type 3), which stb_image_write does not make.
Bytes PalettePng(const Picture& p) {
    Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes ihdr;
    Put32be(ihdr, p.width);
    Put32be(ihdr, p.height);
    Append(ihdr, "\x08\x03\x00\x00\x00", 5);
    PngChunk(out, "IHDR", ihdr);
    Bytes plte;
    for (const Rgba& c : PALETTE) Append(plte, &c, 3);
    PngChunk(out, "PLTE", plte);
    Bytes raw;
    for (int y = 0; y < p.height; ++y) {
        raw.push_back(0);  // no filter
        for (int x = 0; x < p.width; ++x) raw.push_back(static_cast<uint8_t>(PaletteIndex(x, y)));
    }
    uLongf len = compressBound(static_cast<uLong>(raw.size()));
    Bytes z(len);
    compress2(z.data(), &len, raw.data(), static_cast<uLong>(raw.size()), 9);
    z.resize(len);
    PngChunk(out, "IDAT", z);
    PngChunk(out, "IEND", {});
    return out;
}

// A PNG header announcing a size, with a token IDAT.
Bytes PngOfSize(uint32_t w, uint32_t h) {
    Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes ihdr;
    Put32be(ihdr, w);
    Put32be(ihdr, h);
    Append(ihdr, "\x08\x02\x00\x00\x00", 5);
    PngChunk(out, "IHDR", ihdr);
    PngChunk(out, "IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
    PngChunk(out, "IEND", {});
    return out;
}

// A whole PNG of one colour (black), grey (colour type 0) or RGB (2): beyond a size cap, yet
// a picture any reader without that cap decodes.
Bytes PlainPng(uint32_t w, uint32_t h, uint8_t colourType) {
    Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes ihdr;
    Put32be(ihdr, w);
    Put32be(ihdr, h);
    Append(ihdr, Bytes{8, colourType, 0, 0, 0}.data(), 5);
    PngChunk(out, "IHDR", ihdr);
    PngChunk(out, "IDAT", Deflate(Bytes((static_cast<size_t>(w) * (colourType ? 3 : 1) + 1) * h, 0), MAX_WBITS));
    PngChunk(out, "IEND", {});
    return out;
}

// GIF with the six-colour palette (padded to 8). LZW codes are emitted one pixel each,
// with a clear code every four pixels so that the code width never grows.
class LzwWriter {
public:
    void Code(int code) {
        acc_ |= static_cast<uint32_t>(code) << bits_;
        bits_ += 4;
        while (bits_ >= 8) {
            data_.push_back(static_cast<uint8_t>(acc_));
            acc_ >>= 8;
            bits_ -= 8;
        }
    }
    Bytes Finish() {
        if (bits_) data_.push_back(static_cast<uint8_t>(acc_));
        Bytes out = {3};  // minimum code size
        for (size_t at = 0; at < data_.size(); at += 255) {
            size_t n = data_.size() - at < 255 ? data_.size() - at : 255;
            out.push_back(static_cast<uint8_t>(n));
            Append(out, &data_[at], n);
        }
        out.push_back(0);
        return out;
    }

private:
    Bytes data_;
    uint32_t acc_ = 0;
    int bits_ = 0;
};

Bytes GifFrame(int w, int h, const std::function<int(int, int)>& index) {
    Bytes out = {0x2C, 0, 0, 0, 0};
    Put16le(out, w);
    Put16le(out, h);
    out.push_back(0);
    LzwWriter lzw;
    const int CLEAR_CODE = 8, END_RECORD = 9;
    int n = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (n++ % 4 == 0) lzw.Code(CLEAR_CODE);
            lzw.Code(index(x, y));
        }
    lzw.Code(END_RECORD);
    Bytes data = lzw.Finish();
    Append(out, data.data(), data.size());
    return out;
}

Bytes Gif(const Picture& p, bool transparent, bool secondFrame) {
    Bytes out;
    Append(out, "GIF89a", 6);
    Put16le(out, p.width);
    Put16le(out, p.height);
    Append(out, "\xF2\x00\x00", 3);  // global table of 8 colours
    for (int i = 0; i < 8; ++i) Append(out, &PALETTE[i < 6 ? i : 0], 3);
    if (transparent) Append(out, "\x21\xF9\x04\x01\x00\x00\x00\x00", 8);  // colour 0 is transparent
    Bytes first = GifFrame(p.width, p.height, PaletteIndex);
    Append(out, first.data(), first.size());
    if (secondFrame) {
        Bytes second = GifFrame(p.width, p.height, [](int, int) { return 3; });
        Append(out, second.data(), second.size());
    }
    out.push_back(0x3B);
    return out;
}

Bytes StbBmp(const Picture& p, int comp) {
    Bytes px = Pixels(p, comp), out;
    stbi_write_bmp_to_func(ToBytes, &out, p.width, p.height, comp, px.data());
    return out;
}

Bytes PaletteBmp(const Picture& p) {
    int stride = (p.width + 3) & ~3;
    Bytes out;
    Append(out, "BM", 2);
    uint32_t offBits = 14 + 40 + 6 * 4;
    Put32le(out, offBits + stride * p.height);
    Put32le(out, 0);
    Put32le(out, offBits);
    Put32le(out, 40);
    Put32le(out, p.width);
    Put32le(out, p.height);
    Put16le(out, 1);
    Put16le(out, 8);
    Put32le(out, 0);
    Put32le(out, stride * p.height);
    Put32le(out, 2835);
    Put32le(out, 2835);
    Put32le(out, 6);
    Put32le(out, 6);
    for (const Rgba& c : PALETTE) Append(out, Bytes{c.b, c.g, c.r, 0}.data(), 4);
    for (int y = p.height - 1; y >= 0; --y)
        for (int x = 0; x < stride; ++x) out.push_back(x < p.width ? static_cast<uint8_t>(PaletteIndex(x, y)) : 0);
    return out;
}

Bytes BmpOfSize(uint32_t w, uint32_t h) {
    Bytes out;
    Append(out, "BM", 2);
    Put32le(out, 54 + 64);
    Put32le(out, 0);
    Put32le(out, 54);
    Put32le(out, 40);
    Put32le(out, w);
    Put32le(out, h);
    Put16le(out, 1);
    Put16le(out, 24);
    for (int i = 0; i < 6; ++i) Put32le(out, 0);
    out.resize(out.size() + 64, 0x77);
    return out;
}

Bytes StbTga(const Picture& p, int comp, bool rle) {
    Bytes px = Pixels(p, comp), out;
    stbi_write_tga_with_rle = rle ? 1 : 0;
    stbi_write_tga_to_func(ToBytes, &out, p.width, p.height, comp, px.data());
    return out;
}

// Colour-mapped Targa, stored top-down (origin bit set).
Bytes PaletteTga(const Picture& p) {
    Bytes out = {0, 1, 1, 0, 0, 6, 0, 24, 0, 0, 0, 0};
    Put16le(out, p.width);
    Put16le(out, p.height);
    out.push_back(8);
    out.push_back(0x20);
    for (const Rgba& c : PALETTE) Append(out, Bytes{c.b, c.g, c.r}.data(), 3);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) out.push_back(static_cast<uint8_t>(PaletteIndex(x, y)));
    return out;
}

void PackBits(const uint8_t* p, int n, Bytes& out) {
    int i = 0;
    while (i < n) {
        int run = 1;
        while (i + run < n && run < 128 && p[i + run] == p[i]) ++run;
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(257 - run));
            out.push_back(p[i]);
            i += run;
            continue;
        }
        int start = i, len = 0;
        while (i < n && len < 128 && !(i + 2 < n && p[i] == p[i + 1] && p[i] == p[i + 2])) {
            ++i;
            ++len;
        }
        out.push_back(static_cast<uint8_t>(len - 1));
        Append(out, p + start, len);
    }
}

// Photoshop: no layers, the composite picture only, planar, raw or PackBits.
Bytes Psd(const Picture& p, int channels, bool rle) {
    Bytes out;
    Append(out, "8BPS", 4);
    Put16be(out, 1);
    out.resize(out.size() + 6, 0);
    Put16be(out, channels);
    Put32be(out, p.height);
    Put32be(out, p.width);
    Put16be(out, 8);
    Put16be(out, 3);  // RGB
    Put32be(out, 0);  // colour mode data
    Put32be(out, 0);  // image resources
    Put32be(out, 0);  // layers and masks
    Put16be(out, rle ? 1 : 0);
    Bytes px = Pixels(p, 4);
    std::vector<Bytes> rows;
    for (int c = 0; c < channels; ++c)
        for (int y = 0; y < p.height; ++y) {
            Bytes plane;
            for (int x = 0; x < p.width; ++x) plane.push_back(px[(y * p.width + x) * 4 + c]);
            if (rle) {
                Bytes packed;
                PackBits(plane.data(), p.width, packed);
                rows.push_back(packed);
            } else {
                rows.push_back(plane);
            }
        }
    if (rle)
        for (const Bytes& r : rows) Put16be(out, static_cast<uint32_t>(r.size()));
    for (const Bytes& r : rows) Append(out, r.data(), r.size());
    return out;
}

Bytes Pnm(const Picture& p, bool grey) {
    Bytes out;
    Append(out, std::string(grey ? "P5" : "P6") + "\n# Tamrix sample\n" + std::to_string(p.width) + " " +
                    std::to_string(p.height) + "\n255\n");
    Bytes px = Pixels(p, grey ? 1 : 3);
    Append(out, px.data(), px.size());
    return out;
}

Bytes Jpeg(const Picture& p) {
    Bytes px = Pixels(p, 3), out;
    stbi_write_jpg_to_func(ToBytes, &out, p.width, p.height, 3, px.data(), 95);
    return out;
}

Bytes MakePicture(const Picture& p) {
    std::string f = p.file;
    if (f == "rgb.png" || f == "large.png") return StbPng(p, 3);
    if (f == "rgba.png") return StbPng(p, 4);
    if (f == "grey.png") return StbPng(p, 1);
    if (f == "palette.png") return PalettePng(p);
    if (f == "photo.jpg") return Jpeg(p);
    if (f == "palette.gif") return Gif(p, false, true);
    if (f == "transparent.gif") return Gif(p, true, false);
    if (f == "rgb.bmp") return StbBmp(p, 3);
    if (f == "rgba.bmp") return StbBmp(p, 4);
    if (f == "palette.bmp") return PaletteBmp(p);
    if (f == "rgb.tga") return StbTga(p, 3, true);
    if (f == "rgba.tga") return StbTga(p, 4, false);
    if (f == "palette.tga") return PaletteTga(p);
    if (f == "rgb.psd") return Psd(p, 3, false);
    if (f == "rgba.psd") return Psd(p, 4, true);
    if (f == "rgb.ppm") return Pnm(p, false);
    if (f == "grey.pgm") return Pnm(p, true);
    std::fprintf(stderr, "make_samples: no writer for %s\n", p.file);
    ++g_failures;
    return {};
}

// ---- Archives ------------------------------------------------------------------------

Bytes Deflate(const Bytes& in, int windowBits) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, static_cast<uLong>(in.size())) + 64);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

uint32_t Crc(const Bytes& b) { return crc32(0, b.data(), static_cast<uInt>(b.size())); }

struct ZipMember {
    std::string name;
    Bytes data;
    bool deflate = false;
    bool descriptor = false;  // sizes and CRC after the data (bit 3)
    bool utf8 = false;        // bit 11
    bool unixTime = true;     // "UT" extra field; else the MS-DOS time only
    uint32_t time = 0;
    // Damage for hostile samples.
    bool badCrc = false;
    uint32_t claimSize = 0;     // non-zero: the size both headers claim
    uint32_t localOffset = 0;   // non-zero: the directory's local-header offset
    bool corruptData = false;
};

Bytes Zip(const std::vector<ZipMember>& members) {
    Bytes out, cd;
    for (const ZipMember& m : members) {
        Bytes stored = m.deflate ? Deflate(m.data, -MAX_WBITS) : m.data;
        if (m.corruptData)
            for (size_t i = stored.size() / 3; i < stored.size() / 3 + 8 && i < stored.size(); ++i) stored[i] ^= 0xA5;
        uint32_t crc = Crc(m.data) ^ (m.badCrc ? 0x1234 : 0);
        uint32_t csize = m.claimSize ? m.claimSize : static_cast<uint32_t>(stored.size());
        uint32_t usize = m.claimSize ? m.claimSize : static_cast<uint32_t>(m.data.size());
        uint16_t flags = (m.descriptor ? 8 : 0) | (m.utf8 ? 0x800 : 0);
        uint16_t method = m.deflate ? 8 : 0;
        uint16_t dosTime = 3 << 11 | 4 << 5 | 3, dosDate = (2024 - 1980) << 9 | 1 << 5 | 2;
        Bytes extra;
        if (m.unixTime) {
            Put16le(extra, 0x5455);
            Put16le(extra, 5);
            extra.push_back(1);
            Put32le(extra, m.time);
        }
        uint32_t offset = static_cast<uint32_t>(out.size());
        // Local header.
        Put32le(out, 0x04034B50);
        Put16le(out, 20);
        Put16le(out, flags);
        Put16le(out, method);
        Put16le(out, dosTime);
        Put16le(out, dosDate);
        Put32le(out, m.descriptor ? 0 : crc);
        Put32le(out, m.descriptor ? 0 : csize);
        Put32le(out, m.descriptor ? 0 : usize);
        Put16le(out, static_cast<uint32_t>(m.name.size()));
        Put16le(out, static_cast<uint32_t>(extra.size()));
        Append(out, m.name);
        Append(out, extra.data(), extra.size());
        Append(out, stored.data(), stored.size());
        if (m.descriptor) {
            Put32le(out, 0x08074B50);
            Put32le(out, crc);
            Put32le(out, csize);
            Put32le(out, usize);
        }
        // Central directory record.
        Put32le(cd, 0x02014B50);
        Put16le(cd, 0x031E);  // made by Unix, 3.0
        Put16le(cd, 20);
        Put16le(cd, flags);
        Put16le(cd, method);
        Put16le(cd, dosTime);
        Put16le(cd, dosDate);
        Put32le(cd, crc);
        Put32le(cd, csize);
        Put32le(cd, usize);
        Put16le(cd, static_cast<uint32_t>(m.name.size()));
        Put16le(cd, static_cast<uint32_t>(extra.size()));
        Put16le(cd, 0);
        Put16le(cd, 0);
        Put16le(cd, 0);
        Put32le(cd, 0);
        Put32le(cd, m.localOffset ? m.localOffset : offset);
        Append(cd, m.name);
        Append(cd, extra.data(), extra.size());
    }
    uint32_t cdOffset = static_cast<uint32_t>(out.size());
    Append(out, cd.data(), cd.size());
    Put32le(out, 0x06054B50);
    Put16le(out, 0);
    Put16le(out, 0);
    Put16le(out, static_cast<uint32_t>(members.size()));
    Put16le(out, static_cast<uint32_t>(members.size()));
    Put32le(out, static_cast<uint32_t>(cd.size()));
    Put32le(out, cdOffset);
    Put16le(out, 0);
    return out;
}

void Octal(uint8_t* field, size_t size, uint64_t v) {
    std::string s(size - 1, '0');
    for (size_t i = size - 1; i-- > 0; v >>= 3) s[i] = static_cast<char>('0' + (v & 7));
    std::memcpy(field, s.data(), size - 1);
    field[size - 1] = 0;
}

void TarHeader(Bytes& out, const std::string& name, char type, uint64_t size, uint32_t mtime,
               const std::string& prefix = "", const std::string& link = "", bool breakChecksum = false) {
    uint8_t h[512] = {};
    std::memcpy(h, name.data(), name.size() < 100 ? name.size() : 100);
    Octal(h + 100, 8, type == '5' ? 0755 : 0644);
    Octal(h + 108, 8, 1000);
    Octal(h + 116, 8, 1000);
    Octal(h + 124, 12, size);
    Octal(h + 136, 12, mtime);
    h[156] = static_cast<uint8_t>(type);
    std::memcpy(h + 157, link.data(), link.size() < 100 ? link.size() : 100);
    std::memcpy(h + 257, "ustar\0" "00", 8);
    std::memcpy(h + 265, "tamrix", 6);
    std::memcpy(h + 297, "tamrix", 6);
    std::memcpy(h + 345, prefix.data(), prefix.size() < 155 ? prefix.size() : 155);
    std::memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (uint8_t c : h) sum += c;
    Octal(h + 148, 7, sum + (breakChecksum ? 1 : 0));
    h[155] = ' ';
    Append(out, h, sizeof h);
}

void TarData(Bytes& out, const Bytes& data) {
    Append(out, data.data(), data.size());
    out.resize(out.size() + (512 - data.size() % 512) % 512, 0);
}

void TarFile(Bytes& out, const std::string& name, const Bytes& data, uint32_t mtime, const std::string& prefix = "") {
    TarHeader(out, name, '0', data.size(), mtime, prefix);
    TarData(out, data);
}

void TarLongName(Bytes& out, const std::string& name, const Bytes& data, uint32_t mtime) {
    Bytes longName(name.begin(), name.end());
    longName.push_back(0);
    TarHeader(out, "././@LongLink", 'L', longName.size(), 0);
    TarData(out, longName);
    TarFile(out, name.substr(0, 99), data, mtime);
}

void TarPaxPath(Bytes& out, const std::string& path, const Bytes& data, uint32_t mtime) {
    std::string body = " path=" + path + "\n";
    size_t len = body.size() + 1;
    while (std::to_string(len).size() + body.size() != len) len = std::to_string(len).size() + body.size();
    std::string record = std::to_string(len) + body;
    TarHeader(out, "PaxHeader/member", 'x', record.size(), mtime);
    TarData(out, Bytes(record.begin(), record.end()));
    TarFile(out, "pax-member", data, mtime);
}

void TarEnd(Bytes& out) { out.resize(out.size() + 1024, 0); }

Bytes Text(const std::string& s, int times) {
    Bytes b;
    for (int i = 0; i < times; ++i) Append(b, s);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_samples <folder>\n");
        return 2;
    }
    g_root = argv[1];
    for (const char* sub : {"", "\\pictures", "\\archives", "\\hostile"}) CreateDirectoryA((g_root + sub).c_str(), nullptr);

    // Pictures.
    std::vector<Bytes> made;
    for (const Picture& p : PICTURES) {
        made.push_back(MakePicture(p));
        Save(std::string("pictures\\") + p.file, made.back());
    }
    auto picture = [&](const char* file) -> const Bytes& {
        for (size_t i = 0; i < std::size(PICTURES); ++i)
            if (std::strcmp(PICTURES[i].file, file) == 0) return made[i];
        static Bytes none;
        return none;
    };

    // Archives of pictures. Member i has the time BASE_TIME + i * 3600.
    auto t = [](int i) { return BASE_TIME + static_cast<uint32_t>(i) * 3600; };
    {
        std::vector<ZipMember> m(6);
        m[0] = {"rgb.png", picture("rgb.png")};
        m[1] = {"photo.jpg", picture("photo.jpg"), true};
        m[2] = {"sub/grey.pgm", picture("grey.pgm"), true, true};
        m[3] = {"sub/", {}};
        m[4] = {"notes.txt", Text("Tamrix sample archive.\r\n", 40), true};
        m[4].unixTime = false;  // the MS-DOS time only: 2024-01-02 03:04:06, local
        m[5] = {"\xC3\xBCn\xC3\xAF-\xCE\xA9.gif", picture("palette.gif")};  // "ünï-Ω.gif", UTF-8
        m[5].utf8 = true;
        for (int i = 0; i < 6; ++i) m[i].time = t(i);
        Save("archives\\pictures.zip", Zip(m));
        Save("archives\\empty.zip", Zip({}));
    }
    Bytes tar;
    {
        TarFile(tar, "rgb.png", picture("rgb.png"), t(0));
        TarFile(tar, "sub/photo.jpg", picture("photo.jpg"), t(1));
        TarHeader(tar, "sub/", '5', 0, t(2));
        // A name longer than 100 characters through the ustar prefix field.
        TarFile(tar, "palette.gif", picture("palette.gif"), t(3),
                "a-folder-name-long-enough-for-the-ustar-prefix-field/and-a-second-level-below-it");
        TarLongName(tar, "gnu-long-name-" + std::string(100, 'x') + ".bmp", picture("rgb.bmp"), t(4));
        TarPaxPath(tar, "pax/\xC3\xBCn\xC3\xAF-\xCE\xA9.tga", picture("rgb.tga"), t(5));
        TarEnd(tar);
        Save("archives\\pictures.tar", tar);
        Save("archives\\pictures.tar.gz", Deflate(tar, 16 + MAX_WBITS));
    }

    // Hostile pictures.
    {
        const Bytes& large = picture("large.png");
        Save("hostile\\truncated.png", Cut(large, large.size() / 2));
        Bytes corrupt = picture("rgb.png");
        for (size_t i = 8; i + 8 < corrupt.size(); ++i)
            if (std::memcmp(&corrupt[i], "IDAT", 4) == 0) {
                corrupt[i + 4] = corrupt[i + 5] = 0xFF;  // no valid zlib header
                break;
            }
        Save("hostile\\corrupt.png", corrupt);
        Save("hostile\\truncated.jpg", Cut(picture("photo.jpg"), picture("photo.jpg").size() * 6 / 10));
        Save("hostile\\truncated.gif", Cut(picture("palette.gif"), picture("palette.gif").size() / 3));
        Save("hostile\\truncated.bmp", Cut(picture("rgb.bmp"), picture("rgb.bmp").size() / 2));
        Save("hostile\\truncated.psd", Cut(picture("rgba.psd"), picture("rgba.psd").size() / 2));
        Save("hostile\\huge.png", PngOfSize(9000, 4000));
        Save("hostile\\huge.bmp", BmpOfSize(60000, 60000));
        // Each refused by one cap alone: the width, the height, the number of pixels.
        Save("hostile\\wide.png", PlainPng(40000, 2, 2));
        Save("hostile\\tall.png", PlainPng(2, 40000, 2));
        Save("hostile\\manypixels.png", PlainPng(8000, 4200, 0));
        Bytes badGif = Gif(PICTURES[5], false, false);
        badGif[13 + 24 + 10 + 2] ^= 0xF0;  // the first code after the clear: beyond the table
        Save("hostile\\badlzw.gif", badGif);
        Save("hostile\\empty.png", {});
        Save("hostile\\notapicture.txt", Text("This is not a picture.\r\n", 4));
    }

    // Hostile archives.
    {
        Bytes body = Text("escaped\r\n", 1);
        std::vector<ZipMember> esc;
        for (const char* name : {"../escape-zip-1.txt", "/abs-zip.txt", "..\\..\\escape-zip-2.txt",
                                 "sub/../../escape-zip-3.txt", "C:drive-zip.txt", "NUL", "nul.txt", "..", "ok-zip.txt"})
            esc.push_back({name, body});
        Save("hostile\\escape.zip", Zip(esc));

        Bytes et;
        TarFile(et, "../escape-tar-1.txt", body, t(0));
        TarFile(et, "/abs-tar.txt", body, t(0));
        TarLongName(et, "../../../../escape-tar-long.txt", body, t(0));
        TarPaxPath(et, "../escape-tar-pax.txt", body, t(0));
        TarHeader(et, "link-tar", '2', 0, t(0), "", "/etc/passwd");
        TarHeader(et, "hard-tar", '1', 0, t(0), "", "../outside");
        TarFile(et, "ok-tar.txt", body, t(0));
        TarEnd(et);
        Save("hostile\\escape.tar", et);

        Bytes zip;
        {
            std::vector<ZipMember> m = {{"rgb.png", picture("rgb.png")}, {"photo.jpg", picture("photo.jpg"), true}};
            zip = Zip(m);
        }
        Save("hostile\\truncated.zip", Cut(zip, zip.size() * 6 / 10));
        Save("hostile\\truncated.tar", Cut(tar, 512 + 700));  // inside the first member's data
        Bytes tgz = Deflate(tar, 16 + MAX_WBITS);
        Save("hostile\\truncated.tar.gz", Cut(tgz, tgz.size() / 2));

        ZipMember corrupt{"text.txt", Text("All work and no play makes a dull archive. ", 200), true};
        corrupt.corruptData = true;
        Save("hostile\\corrupt.zip", Zip({corrupt}));
        ZipMember badCrc{"crc.txt", Text("checked\r\n", 3)};
        badCrc.badCrc = true;
        Save("hostile\\badcrc.zip", Zip({badCrc}));
        ZipMember big{"big.bin", Text("0123456789abcdef", 1)};
        big.claimSize = 0x40000000;  // 1 GiB claimed, 16 bytes there
        Save("hostile\\bigmember.zip", Zip({big}));
        ZipMember distant{"far.txt", body};
        distant.localOffset = 0x7FFFFFF0;
        Save("hostile\\badoffset.zip", Zip({distant}));

        Bytes ct;
        TarFile(ct, "first.txt", body, t(0));
        TarHeader(ct, "second.txt", '0', body.size(), t(0), "", "", true);
        TarData(ct, body);
        TarEnd(ct);
        Save("hostile\\corrupt.tar", ct);
        Save("hostile\\notatar.gz", Deflate(Text("gzip, but no TAR inside\n", 50), 16 + MAX_WBITS));
    }
    return g_failures ? 1 : 0;
}
