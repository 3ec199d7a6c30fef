// The hostile test plug-ins (hostile_spi.cpp): a picture and an archive variant whose every
// answer is generated from a seed, and the test-only exports through which a driver sets
// the seed and learns what was handed back. Shared by the plug-ins and the tests.
//
// What a seed makes them do, entry by entry:
//   GetPluginInfo   kind "00IN"/"00AM" (now and then another kind), the rest of the buffer
//                   filled or not; texts of any length up to the whole buffer, without a
//                   NUL when they fill it; any number of file-type pairs, or an answer for
//                   every number; return values unrelated to what was written (lengths
//                   larger than the buffer, negative, 0 for an item that exists).
//   IsSupported     reads all 2048 header bytes; the picture variant accepts data starting
//                   with "QQH1", the archive variant one such seed in eight.
//   GetPictureInfo  any record; on code 0 a text block (fixed or movable, with or without
//                   its NUL, empty) or none; on failure hInfo as GetPicture's handles.
//   GetPicture,     on code 0: a BITMAPINFOHEADER with any width, height, planes, bit
//   GetPreview      count, biSize, compression, biSizeImage and biClrUsed, in blocks
//                   shorter or longer than it implies, fixed or movable, empty, null, or one
//                   block as both outputs. On failure (codes of the table and outside it):
//                   handle variables left alone, set to null, set to blocks the plug-in has
//                   already freed again, or set to values that were never blocks.
//   GetArchiveInfo  a listing (fixed or movable) of random records, with or without its
//                   terminating record, cut inside a record, empty, or no listing; with
//                   any code.
//   GetFileInfo     a random record and any code.
//   GetFile         a member block of any size (fixed or movable, empty) or none on code 0;
//                   on failure the handle variable as for GetPicture.
//   ConfigurationDlg  any code, without a dialog.
//
// The contract the plug-ins keep, which is the one the server relies on: a block handed
// back is the server's when the code is 0, and for GetArchiveInfo's listing whatever the
// code; blocks that come with a failure from GetPictureInfo, GetPicture, GetPreview and
// GetFile are never the server's to free (a plug-in may have freed them already, as these
// do).
//
// The seed: data starting with "QQH1" followed by a 32-bit seed (memory, or a file at the
// offset given) carries its own; otherwise the seed set with HostileSetSeed applies.
// Seed 0 is tame: well-formed answers and a small valid picture, listing or member.
#pragma once
#include <windows.h>

#include <cstdint>

namespace hostile {

constexpr char MAGIC[4] = {'Q', 'Q', 'H', '1'};
constexpr uint32_t TAME_SEED = 0;

#pragma pack(push, 1)
struct SeedHeader {
    char magic[4];
    uint32_t seed;
};
#pragma pack(pop)

// Entry points, as CallReport::entry and as the generator's streams.
enum Entry : int32_t {
    ENTRY_NONE = 0,
    ENTRY_INFO,
    ENTRY_SUPPORTED,
    ENTRY_PICTURE_INFO,
    ENTRY_PICTURE,
    ENTRY_PREVIEW,
    ENTRY_ARCHIVE_INFO,
    ENTRY_FILE_INFO,
    ENTRY_FILE,
    ENTRY_CONFIG,
};

// How a call left its handle variables.
enum Outputs : int32_t {
    OUT_UNTOUCHED = 0,  // not written
    OUT_NULL,           // set to null
    OUT_LIVE,           // set to blocks that are the caller's now
    OUT_STALE,          // set to blocks the plug-in freed again before returning
    OUT_GARBAGE,        // set to values that never were blocks
};

// What the last data call (GetPictureInfo, GetPicture, GetPreview, GetArchiveInfo,
// GetFileInfo, GetFile, ConfigurationDlg) did.
struct CallReport {
    int32_t entry;      // Entry
    int32_t code;       // what it returned
    int32_t outputs;    // Outputs
    int32_t sameBlock;  // one block handed back as both outputs
    uint32_t blocks;    // live blocks handed back: 0, 1 or 2
    uint32_t size[2];   // their sizes in bytes: information (or text, listing, member), pixels
    int32_t fixed[2];   // allocated fixed (1) or movable (0)
    uint32_t records;   // GetArchiveInfo: records before the first one starting with 0,
                        // and no more than the whole records the block holds
    int32_t width;      // GetPicture/GetPreview: biWidth and biHeight handed back;
    int32_t height;     // GetPictureInfo: the record's width and height
};

// A small counter-based generator: the same seed and stream give the same sequence.
class Rng {
public:
    Rng(uint32_t seed, uint32_t stream, uint32_t sub = 0)
        : state_((uint64_t{seed} << 32 | (stream << 16 | (sub & 0xFFFF))) * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    uint32_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
    }
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    template <class T, size_t N>
    T Pick(const T (&values)[N]) {
        return values[Below(N)];
    }

private:
    uint64_t state_;
};

// Byte i of a block the plug-ins fill: what a driver expects to read back.
inline uint8_t FillByte(uint32_t seed, uint32_t which, uint32_t i) {
    return static_cast<uint8_t>(seed * 31u + which * 101u + i * 7u + (i >> 9));
}

}  // namespace hostile

// Test-only exports of both variants (stdcall, undecorated):
//   void HostileSetSeed(uint32_t seed)   the seed for data that carries none, and for
//                                        GetPluginInfo, IsSupported and ConfigurationDlg
//   void HostileReset(void)              forgets every block and report; counters to 0
//   void HostileHookFrees(int on)        1: the driver reports every LocalFree the server
//        makes through HostileNoteFree, so a block counts as freed exactly when it is.
//        0 (the default): a block counts while LocalFlags calls it valid, and a handle
//        value the plug-in gets again from LocalAlloc ends the block it named before.
//   int  HostileNoteFree(HLOCAL h)       called before LocalFree(h): 1 when h is a live
//        block of this plug-in (now counted as freed), -1 when h is a value the server
//        must never free (a block already freed, by the server or by the plug-in, or a
//        value that never was a block), 0 when it is not this plug-in's value at all
//   int  HostileBlockState(HLOCAL h)     what HostileNoteFree would answer, changing nothing
//        (so a driver can ask every plug-in before it tells the one that owns the value)
//   int  HostileOutstanding(void)        blocks handed out and not freed
//   int  HostileBadFrees(void)           HostileNoteFree calls that answered -1
//   int  HostileProtocolErrors(void)     calls with arguments no caller should pass: a
//        null output pointer or progress callback, GetFile without output to memory, a
//        null member name; the header IsSupported reads and memory sources are read in
//        full, so a short one faults
//   int  HostileLastCall(hostile::CallReport* out)   fills *out; returns the number of
//        data calls so far
//   int  HostileLastBytes(int which, BYTE* dst, int cap)   copies the bytes of block
//        `which` (0, 1) handed back by the last data call, as they were then; returns
//        their count (at most cap, and the plug-in keeps at most 1 MiB of each); with a
//        null dst, how many there are
