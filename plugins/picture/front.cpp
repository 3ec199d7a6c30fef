// The screen in front of stb_image.
#include "front.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "plugin/spi_api.h"

namespace picture {

bool ByteStream::Fill() {
    base_ += len_;
    at_ = 0;
    len_ = in_.ReadAt(base_, buf_.data(), buf_.size());
    if (len_ == 0) short_ = true;
    return len_ > 0;
}

size_t ByteStream::Read(uint8_t* dst, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (at_ == len_ && !Fill()) break;
        size_t take = std::min(n - done, len_ - at_);
        std::memcpy(dst + done, buf_.data() + at_, take);
        at_ += take;
        done += take;
    }
    return done;
}

void ByteStream::Skip(uint64_t n) {
    if (n <= len_ - at_) {
        at_ += static_cast<size_t>(n);
        return;
    }
    uint64_t target = Pos() + n;
    base_ = target;
    at_ = len_ = 0;
    if (target > in_.Size()) short_ = true;
}

bool ByteStream::SkipPastFF() {
    for (;;) {
        if (at_ == len_ && !Fill()) return false;
        const void* ff = std::memchr(buf_.data() + at_, 0xFF, len_ - at_);
        if (ff) {
            at_ = static_cast<size_t>(static_cast<const uint8_t*>(ff) - buf_.data()) + 1;
            return true;
        }
        at_ = len_;
    }
}

namespace {

using SPI::SPI_BROKEN_DATA;
using SPI::SPI_NO_MEMORY;
using SPI::SPI_OK;

// A JPEG file, walked marker by marker as stb_image reads it: segments by their lengths, a
// Huffman segment table by table (stb_image reads tables while the segment's length is not
// used up, whatever they claim), entropy-coded data up to the next marker. Where the decoder
// would give up on the data itself, so does the walk, and the decoder then says why.
class JpegWalk {
public:
    explicit JpegWalk(spi::Input& in) : s_(in) {}

    int Run(bool toFrame) {
        s_.Skip(2);  // the start-of-image marker, which Detect has seen
        for (;;) {
            if (!s_.SkipPastFF()) return SPI_OK;
            int m;
            do m = s_.Get();
            while (m == 0xFF);
            if (m < 0 || m == 0xD9) return SPI_OK;           // the end of the data or of the image
            if (m == 0x00 || (m >= 0xD0 && m <= 0xD7)) continue;  // a stuffed 0xFF, a restart
            int len = s_.Get16Be();
            if (len < 2) return SPI_OK;
            int rc = SPI_OK;
            switch (m) {
            case 0xC4:
                rc = HuffmanTables(len - 2);
                break;
            case 0xC0:
            case 0xC1:
            case 0xC2:
                rc = Frame(m == 0xC2, len - 2);
                break;
            case 0xDA:
                rc = Scan(len - 2);
                break;
            default:
                s_.Skip(static_cast<uint64_t>(len - 2));
                break;
            }
            if (rc != SPI_OK || (toFrame && frame_)) return rc;
        }
    }

private:
    int HuffmanTables(int left) {
        while (left > 0) {
            int q = s_.Get();
            if (q < 0) return SPI_OK;
            int tc = q >> 4, th = q & 15;
            if (tc > 1 || th > 3) return SPI_BROKEN_DATA;
            int n = 0;
            for (int i = 0; i < 16; ++i) n += std::max(s_.Get(), 0);
            // The decoder's tables hold 256 codes: more would be written past them.
            if (n > 256) return SPI_BROKEN_DATA;
            s_.Skip(static_cast<uint64_t>(n));
            (tc == 0 ? dc_ : ac_)[th] = true;
            left -= 17 + n;
        }
        return left == 0 ? SPI_OK : SPI_BROKEN_DATA;
    }

    int Frame(bool progressive, int left) {
        progressive_ = progressive;
        frame_ = true;
        components_ = 0;
        uint8_t head[6];
        if (left < 6 || s_.Read(head, 6) != 6) return SPI_OK;
        left -= 6;
        int count = head[5];
        for (int i = 0; i < count && i < 4 && left >= 3; ++i, left -= 3) {
            ids_[components_++] = s_.Get();
            s_.Skip(2);
        }
        s_.Skip(static_cast<uint64_t>(std::max(left, 0)));
        return SPI_OK;
    }

    // The tables each component of the scan decodes with must have been defined.
    int Scan(int left) {
        int count = s_.Get();
        if (count < 1 || count > 4 || left != 1 + 2 * count + 3) return SPI_BROKEN_DATA;
        int dcTable[4], acTable[4];
        for (int i = 0; i < count; ++i) {
            int id = s_.Get(), q = s_.Get();
            if (q < 0) return SPI_OK;
            if (std::find(ids_, ids_ + components_, id) == ids_ + components_) return SPI_BROKEN_DATA;
            dcTable[i] = q >> 4;
            acTable[i] = q & 15;
            if (dcTable[i] > 3 || acTable[i] > 3) return SPI_BROKEN_DATA;
        }
        int start = s_.Get(), end = s_.Get(), approx = s_.Get();
        if (approx < 0) return SPI_OK;
        (void)end;
        bool needDc = !progressive_ || (start == 0 && (approx >> 4) == 0);
        bool needAc = !progressive_ || start != 0;
        for (int i = 0; i < count; ++i) {
            if (needDc && !dc_[dcTable[i]]) return SPI_BROKEN_DATA;
            if (needAc && !ac_[acTable[i]]) return SPI_BROKEN_DATA;
        }
        return SPI_OK;
    }

    ByteStream s_;
    bool dc_[4] = {}, ac_[4] = {};
    bool progressive_ = false;
    bool frame_ = false;
    int ids_[4] = {};
    int components_ = 0;
};

// The header of a binary PNM file (P5, P6): three decimal numbers among blanks and comments,
// read as stb_image reads them; a number past the range of int is refused before the
// decoder's arithmetic overflows on it: a side (4: no picture is that large) or the maximum
// sample value (3).
int ScreenPnm(spi::Input& in) {
    ByteStream s(in);
    s.Skip(2);
    int c = s.Get();
    auto isSpace = [](int ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r'; };
    for (int field = 0; field < 3; ++field) {
        for (;;) {
            while (c >= 0 && isSpace(c)) c = s.Get();
            if (c != '#') break;
            while (c >= 0 && c != '\n' && c != '\r') c = s.Get();
        }
        int64_t value = 0;
        while (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            if (value > INT_MAX) return field < 2 ? SPI_NO_MEMORY : SPI_BROKEN_DATA;
            c = s.Get();
        }
    }
    return SPI_OK;
}

// A PNG file's chunks up to its image data: the decoder copies each image data chunk to the
// end of those before it, and copies the first, when it is empty, to a block it has not made
// yet. An empty first image data chunk (which no common encoder writes) is refused.
int ScreenPng(spi::Input& in) {
    uint8_t chunk[8];
    for (uint64_t pos = 8; in.ReadExact(pos, chunk, sizeof chunk);) {
        uint32_t len = static_cast<uint32_t>(chunk[0]) << 24 | chunk[1] << 16 | chunk[2] << 8 | chunk[3];
        if (std::memcmp(chunk + 4, "IDAT", 4) == 0) return len == 0 ? SPI_BROKEN_DATA : SPI_OK;
        if (std::memcmp(chunk + 4, "IEND", 4) == 0) return SPI_OK;
        pos += 12 + static_cast<uint64_t>(len);
    }
    return SPI_OK;
}

}  // namespace

int Screen(spi::Input& in, Format format, bool header) {
    switch (format) {
    case Format::Jpeg:
        return JpegWalk(in).Run(header);
    case Format::Pnm:
        return ScreenPnm(in);
    case Format::Png:
        return ScreenPng(in);
    default:
        return SPI_OK;
    }
}

}  // namespace picture
