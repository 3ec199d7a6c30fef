// What stb_image is never shown. Its decoders trust some fields that hostile data sets
// (a JPEG Huffman table of more than 256 codes overruns the decoder's tables; a scan naming a
// table never defined reads one that holds nothing; PNM numbers past the range of int
// overflow; an empty first PNG image data chunk is copied to a null block), so every picture passes this screen before stb_image sees a byte of it. The
// screen reads the data the way the decoder will, and refuses what would reach those faults.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats.h"
#include "input.h"

namespace picture {

// 0 when the decoder may be given the data; otherwise the result code to answer: 3 (broken
// data) or 4 (a size no picture can have). `header` screens what the decoder reads for the
// picture's facts alone (a JPEG up to its frame header), not the whole file.
int Screen(spi::Input& in, Format format, bool header = false);

// Bytes of an Input one at a time, through a buffer; reads past the end give -1 and are
// counted, so a reader can tell data that was cut short.
class ByteStream {
public:
    explicit ByteStream(spi::Input& in, uint64_t start = 0) : in_(in), base_(start), buf_(64 * 1024) {}
    int Get() {
        if (at_ == len_ && !Fill()) return -1;
        return buf_[at_++];
    }
    int Get16Be() {
        int a = Get(), b = Get();
        return a < 0 || b < 0 ? -1 : a << 8 | b;
    }
    int64_t Get32Be() {
        int a = Get16Be(), b = Get16Be();
        return a < 0 || b < 0 ? -1 : static_cast<int64_t>(a) << 16 | b;
    }
    // Reads up to n bytes; returns how many there were.
    size_t Read(uint8_t* dst, size_t n);
    void Skip(uint64_t n);
    // Skips to just after the next 0xFF byte; false at the end.
    bool SkipPastFF();
    uint64_t Pos() const { return base_ + at_; }
    bool Short() const { return short_; }

private:
    bool Fill();
    spi::Input& in_;
    uint64_t base_;  // where buf_ starts in the input
    std::vector<uint8_t> buf_;
    size_t len_ = 0, at_ = 0;
    bool short_ = false;  // a read reached past the end
};

}  // namespace picture
