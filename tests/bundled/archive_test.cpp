// axtamrix.spi driven directly: ZIP, TAR and gzip-compressed TAR listed record by record as
// the plug-in API lays them out, members looked up by name and extracted to memory and to
// folders byte for byte, wide names kept whole, and hostile archives answered with result
// codes: member names never place a file outside the folder it is extracted to.
#include <zlib.h>

#include <map>

#include "bundled.h"

namespace {

using namespace bundled;
using testspi::FileInfo;

#pragma pack(push, 1)
struct FileInfoW {
    unsigned char method[8];
    uint32_t position, compsize, filesize;
    uint32_t timestamp;
    wchar_t path[200];
    wchar_t filename[200];
    uint32_t crc;
};
#pragma pack(pop)
static_assert(sizeof(FileInfoW) == 828, "FileInfoW layout");

using GetArchiveInfoFn = int(WINAPI*)(LPCSTR, long, unsigned, HLOCAL*);
using GetArchiveInfoWFn = int(WINAPI*)(LPCWSTR, long, unsigned, HLOCAL*);
using GetFileInfoFn = int(WINAPI*)(LPCSTR, long, LPCSTR, unsigned, FileInfo*);
using GetFileInfoWFn = int(WINAPI*)(LPCWSTR, long, LPCWSTR, unsigned, FileInfoW*);
using GetFileFn = int(WINAPI*)(LPCSTR, long, LPSTR, unsigned, Progress, long);
using GetFileWFn = int(WINAPI*)(LPCWSTR, long, LPWSTR, unsigned, Progress, long);

const unsigned TO_MEMORY = 0x100;

std::string Ansi(const std::wstring& s) {
    char buf[512] = {};
    WideCharToMultiByte(CP_ACP, 0, s.c_str(), -1, buf, sizeof buf, "?", nullptr);
    return buf;
}

// What the sample archives hold (make_samples): folder, file name, the sample file with
// the same bytes, and the member's number for its time (BASE_TIME + number * 3600).
struct Member {
    const wchar_t* folder;
    const wchar_t* file;
    const char* sample;
    int number;
};
const wchar_t UNICODE_GIF[] = L"\u00FCn\u00EF-\u03A9.gif";
const wchar_t UNICODE_TGA[] = L"\u00FCn\u00EF-\u03A9.tga";
const Member ZIP_MEMBERS[] = {
    {L"", L"rgb.png", "rgb.png", 0},          {L"", L"photo.jpg", "photo.jpg", 1},
    {L"sub\\", L"grey.pgm", "grey.pgm", 2},   {L"", L"notes.txt", nullptr, -1},
    {L"", UNICODE_GIF, "palette.gif", 5},
};
const std::wstring GNU_NAME = L"gnu-long-name-" + std::wstring(100, L'x') + L".bmp";
const Member TAR_MEMBERS[] = {
    {L"", L"rgb.png", "rgb.png", 0},
    {L"sub\\", L"photo.jpg", "photo.jpg", 1},
    {L"a-folder-name-long-enough-for-the-ustar-prefix-field\\and-a-second-level-below-it\\", L"palette.gif",
     "palette.gif", 3},
    {L"", GNU_NAME.c_str(), "rgb.bmp", 4},
    {L"pax\\", UNICODE_TGA, "rgb.tga", 5},
};

Bytes Expected(const Member& m) {
    if (m.sample) return ReadAll(Sample(std::string("pictures\\") + m.sample));
    Bytes b;
    for (int i = 0; i < 40; ++i) for (char c : std::string("Tamrix sample archive.\r\n")) b.push_back(c);
    return b;
}

class ArchivePlugin : public ::testing::Test {
protected:
    static void SetUpTestSuite() { spi_ = new Spi("axtamrix.spi"); }
    static void TearDownTestSuite() {
        delete spi_;
        spi_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(nullptr, spi_->Module());
        Blocks::Reset();
    }
    void TearDown() override { EXPECT_EQ(0u, Blocks::Outstanding()) << "blocks left behind"; }

    // The records of a listing, checked for their terminator and block size.
    template <class Record, class Fn, class Char>
    static int ListWith(Fn fn, const Char* buf, long len, unsigned flag, std::vector<Record>* out) {
        HLOCAL h = reinterpret_cast<HLOCAL>(0x1000);
        int rc = fn(buf, len, flag, &h);
        if (rc != 0) {
            EXPECT_EQ(nullptr, h);
            return rc;
        }
        auto* r = static_cast<const Record*>(LocalLock(h));
        size_t capacity = LocalSize(h) / sizeof(Record), n = 0;
        while (n < capacity && r[n].method[0] != 0) ++n;
        EXPECT_LT(n, capacity) << "no terminating record";
        if (out) out->assign(r, r + n);
        LocalUnlock(h);
        Blocks::Free(h);
        return rc;
    }
    static int List(const char* buf, long len, unsigned flag, std::vector<FileInfo>* out = nullptr) {
        return ListWith<FileInfo>(spi_->Fn<GetArchiveInfoFn>("GetArchiveInfo"), buf, len, flag, out);
    }
    static int ListW(const wchar_t* buf, long len, unsigned flag, std::vector<FileInfoW>* out) {
        return ListWith<FileInfoW>(spi_->Fn<GetArchiveInfoWFn>("GetArchiveInfoW"), buf, len, flag, out);
    }
    // GetFile to memory; the member's bytes on success.
    static int Extract(const char* src, long len, unsigned flag, Bytes* out = nullptr, Progress cb = nullptr,
                       long data = 0) {
        HLOCAL h = reinterpret_cast<HLOCAL>(0x1000);
        int rc = spi_->Fn<GetFileFn>("GetFile")(src, len, reinterpret_cast<LPSTR>(&h), flag | TO_MEMORY, cb, data);
        if (rc != 0) {
            EXPECT_EQ(nullptr, h);
            return rc;
        }
        auto* p = static_cast<const uint8_t*>(LocalLock(h));
        if (out && p) out->assign(p, p + LocalSize(h));
        LocalUnlock(h);
        Blocks::Free(h);
        return rc;
    }
    static int ToFolder(const char* src, long len, const std::string& folder, Progress cb = nullptr, long data = 0) {
        std::string dest = folder;
        return spi_->Fn<GetFileFn>("GetFile")(src, len, dest.data(), 0, cb, data);
    }
    static Spi* spi_;
};
Spi* ArchivePlugin::spi_ = nullptr;

TEST_F(ArchivePlugin, InformationTextsAndHeaderJudgement) {
    char buf[260];
    EXPECT_EQ(4, spi_->Fn<GetPluginInfoFn>("GetPluginInfo")(0, buf, 8));
    EXPECT_STREQ("00AM", buf);
    EXPECT_GT(spi_->Fn<GetPluginInfoFn>("GetPluginInfo")(2, buf, sizeof buf), 0);
    EXPECT_STREQ("*.zip", buf);
    wchar_t wide[64];
    EXPECT_EQ(4, spi_->Fn<GetPluginInfoWFn>("GetPluginInfoW")(0, wide, 64));
    EXPECT_STREQ(L"00AM", wide);

    auto is = spi_->Fn<IsSupportedFn>("IsSupported");
    auto isW = spi_->Fn<IsSupportedWFn>("IsSupportedW");
    const std::pair<const char*, bool> files[] = {
        {"archives\\pictures.zip", true},  {"archives\\pictures.tar", true}, {"archives\\pictures.tar.gz", true},
        {"archives\\empty.zip", true},     {"hostile\\notatar.gz", false},  {"pictures\\rgb.png", false},
        {"hostile\\notapicture.txt", false},
    };
    for (const auto& [file, accepted] : files) {
        Bytes h = ReadAll(Sample(file));
        h.resize(2048, 0);
        EXPECT_EQ(accepted, is("misleading.zip", h.data()) != 0) << file;
        EXPECT_EQ(accepted, isW(L"misleading.zip", h.data()) != 0) << file;
        HANDLE f = CreateFileA(Sample(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(accepted, is(nullptr, f) != 0) << file << " by handle";
        EXPECT_EQ(0u, SetFilePointer(f, 0, nullptr, FILE_CURRENT));
        CloseHandle(f);
    }
}

void ExpectListing(const std::vector<FileInfo>& got, const Member* want, size_t n, const char* method) {
    ASSERT_EQ(n, got.size());
    for (size_t i = 0; i < n; ++i) {
        const FileInfo& r = got[i];
        const Member& m = want[i];
        Bytes bytes = Expected(m);
        EXPECT_EQ(Ansi(m.folder), r.path) << i;
        EXPECT_EQ(Ansi(m.file), r.filename) << i;
        EXPECT_EQ(bytes.size(), r.filesize) << i;
        if (method) {
            const char* text = reinterpret_cast<const char*>(r.method);
            EXPECT_EQ(std::string(method), std::string(text, strnlen(text, 8))) << i;
            EXPECT_EQ(r.filesize, r.compsize) << i;
            EXPECT_EQ(0u, r.crc) << i;
        } else {
            EXPECT_EQ(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())), r.crc) << i;
        }
        if (m.number >= 0)
            EXPECT_EQ(static_cast<int32_t>(samples::BASE_TIME + m.number * 3600), r.timestamp) << i;
        else  // MS-DOS time 2024-01-02 03:04:06, local: within a day of it as UTC
            EXPECT_LT(std::abs(r.timestamp - 1704164646), 14 * 3600 + 1) << i;
    }
}

TEST_F(ArchivePlugin, ListingsLayOutEveryFileMember) {
    std::vector<FileInfo> zip, tar, tgz;
    ASSERT_EQ(0, List(Sample("archives\\pictures.zip").c_str(), 0, 0, &zip));
    ExpectListing(zip, ZIP_MEMBERS, std::size(ZIP_MEMBERS), nullptr);
    const char* methods[] = {"Stored", "Deflate", "Deflate", "Deflate", "Stored"};
    for (size_t i = 0; i < zip.size(); ++i) EXPECT_STREQ(methods[i], reinterpret_cast<const char*>(zip[i].method));

    ASSERT_EQ(0, List(Sample("archives\\pictures.tar").c_str(), 0, 0, &tar));
    ExpectListing(tar, TAR_MEMBERS, std::size(TAR_MEMBERS), "tar");
    ASSERT_EQ(0, List(Sample("archives\\pictures.tar.gz").c_str(), 0, 0, &tgz));
    ExpectListing(tgz, TAR_MEMBERS, std::size(TAR_MEMBERS), "tar.gz");
    for (size_t i = 0; i < tar.size() && i < tgz.size(); ++i)
        EXPECT_EQ(tar[i].position, tgz[i].position) << "a compressed TAR's positions are in its inflated stream";

    std::vector<FileInfo> none;
    EXPECT_EQ(0, List(Sample("archives\\empty.zip").c_str(), 0, 0, &none));
    EXPECT_TRUE(none.empty());
}

TEST_F(ArchivePlugin, WideListingsKeepNamesTheCodePageCannotHold) {
    for (const char* file : {"archives\\pictures.zip", "archives\\pictures.tar.gz"}) {
        std::vector<FileInfoW> w;
        ASSERT_EQ(0, ListW(testenv::Wide(Sample(file)).c_str(), 0, 0, &w)) << file;
        ASSERT_EQ(5u, w.size());
        EXPECT_STREQ(std::string(file).find(".zip") != std::string::npos ? UNICODE_GIF : UNICODE_TGA, w[4].filename);
        EXPECT_STREQ(std::string(file).find(".zip") != std::string::npos ? L"" : L"pax\\", w[4].path);
        EXPECT_STREQ(L"rgb.png", w[0].filename);
        EXPECT_EQ(samples::BASE_TIME, w[0].timestamp);
    }
}

TEST_F(ArchivePlugin, EveryMemberExtractsFromItsFileAndNoneFromTheArchivesStartInMemory) {
    struct Archive {
        const char* file;
        const Member* members;
        size_t n;
    } const archives[] = {{"archives\\pictures.zip", ZIP_MEMBERS, std::size(ZIP_MEMBERS)},
                          {"archives\\pictures.tar", TAR_MEMBERS, std::size(TAR_MEMBERS)},
                          {"archives\\pictures.tar.gz", TAR_MEMBERS, std::size(TAR_MEMBERS)}};
    for (const Archive& a : archives) {
        std::string path = Sample(a.file);
        Bytes image = ReadAll(path);
        std::vector<FileInfo> list;
        ASSERT_EQ(0, List(path.c_str(), 0, 0, &list)) << a.file;
        ASSERT_EQ(a.n, list.size());
        for (size_t i = 0; i < a.n; ++i) {
            Bytes got;
            ASSERT_EQ(0, Extract(path.c_str(), static_cast<long>(list[i].position), 0, &got)) << a.file << " " << i;
            EXPECT_EQ(Expected(a.members[i]), got) << a.file << " " << i;
            // From memory, the archive's start with the member's stored size (what a server
            // given the whole archive passes) names no member: never another member's bytes.
            Guarded whole(image);
            EXPECT_NE(0, Extract(whole.get(), static_cast<long>(list[i].compsize), 1, &got)) << a.file << " " << i;
        }
    }
}

TEST_F(ArchivePlugin, FromMemoryExactlyOneMembersStoredBytesNameIt) {
    // Stored members as a ZIP lays them out, local header, name and data: a.txt (4 bytes),
    // then b.bin (200 bytes).
    auto stored = [](const std::string& name, const Bytes& data) {
        Bytes out(30, 0);
        auto put = [&](size_t at, uLong v, int n) {
            for (int k = 0; k < n; ++k) out[at + k] = static_cast<uint8_t>(v >> 8 * k);
        };
        put(0, 0x04034B50, 4);
        put(14, crc32(0, data.data(), static_cast<uInt>(data.size())), 4);
        put(18, data.size(), 4);
        put(22, data.size(), 4);
        put(26, name.size(), 2);
        out.insert(out.end(), name.begin(), name.end());
        out.insert(out.end(), data.begin(), data.end());
        return out;
    };
    const Bytes a(4, 'a'), b(200, 'b'), first = stored("a.txt", a), second = stored("b.bin", b);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    const struct {
        const char* what;
        const Bytes& memory;
        size_t len;
        int rc;
        Bytes member;
    } cases[] = {
        {"the first member", first, first.size(), 0, a},
        {"the second member", second, second.size(), 0, b},
        {"the archive with the second member's size", both, b.size(), -1, {}},
        {"the whole archive", both, both.size(), -1, {}},
        {"a member and a byte more", both, first.size() + 1, -1, {}},
    };
    for (const auto& c : cases) {
        Guarded memory(c.memory);
        Bytes got;
        EXPECT_EQ(c.rc, Extract(memory.get(), static_cast<long>(c.len), 1, &got)) << c.what;
        ASSERT_GE(got.size(), c.member.size()) << c.what;
        EXPECT_TRUE(std::equal(c.member.begin(), c.member.end(), got.begin())) << c.what;
    }
}

// A deflated member as a writer to a stream leaves it (no sizes in its local header; a data
// descriptor of 4-byte sizes, or of 8-byte ones after a Zip64 record) extracts; one claiming
// 256 MiB for its few bytes fails as broken, not for want of a block that size, which the
// address space, reserved down to pieces under 128 MiB, could not give.
TEST_F(ArchivePlugin, StreamedMembersOfEitherDescriptorAndMembersClaimingTooMuch) {
    const Bytes text(3000, 'z');
    Bytes packed(100);
    uLongf size = packed.size();
    compress(packed.data(), &size, text.data(), text.size());
    packed = Bytes(packed.begin() + 2, packed.begin() + size - 4);  // the raw deflate stream
    const uLong crc = crc32(0, text.data(), static_cast<uInt>(text.size()));
    auto member = [&](bool zip64, uint32_t claimed) {
        Bytes out;
        auto le = [&](uint64_t v, int n) {
            for (int k = 0; k < n; ++k) out.push_back(static_cast<uint8_t>(v >> 8 * k));
        };
        le(0x04034B50, 4), le(20, 2), le(claimed ? 0 : 8, 2), le(8, 2), le(0, 4), le(claimed ? crc : 0, 4);
        const uint64_t unknown = zip64 ? 0xFFFFFFFFu : 0;
        le(claimed ? packed.size() : unknown, 4), le(claimed ? claimed : unknown, 4), le(5, 2), le(zip64 ? 20 : 0, 2);
        out.insert(out.end(), {'z', '.', 't', 'x', 't'});
        if (zip64) le(0x00100001, 4), le(0, 8), le(0, 8);
        out.insert(out.end(), packed.begin(), packed.end());
        if (!claimed) le(0x08074B50, 4), le(crc, 4), le(packed.size(), zip64 ? 8 : 4), le(text.size(), zip64 ? 8 : 4);
        return out;
    };
    for (const Bytes& streamed : {member(false, 0), member(true, 0)}) {
        Guarded memory(streamed);
        Bytes got;
        EXPECT_EQ(0, Extract(memory.get(), static_cast<long>(streamed.size()), 1, &got));
        EXPECT_EQ(text, got);
    }
    const Bytes claiming = member(false, 0x0FFFFFFF);
    Guarded memory(claiming);
    std::vector<void*> held;
    for (SIZE_T block = SIZE_T(1) << 30; block >= SIZE_T(128) << 20; block /= 2)
        while (void* p = VirtualAlloc(nullptr, block, MEM_RESERVE, PAGE_NOACCESS)) held.push_back(p);
    EXPECT_EQ(3, Extract(memory.get(), static_cast<long>(claiming.size()), 1));
    for (void* p : held) VirtualFree(p, 0, MEM_RELEASE);
}

TEST_F(ArchivePlugin, ArchivesAtAnOffsetListAndExtractThere) {
    for (const char* file : {"archives\\pictures.zip", "archives\\pictures.tar"}) {
        Bytes data(777, 0x5A), image = ReadAll(Sample(file));
        data.insert(data.end(), image.begin(), image.end());
        std::string path = testenv::TempDir() + "bundled-offset-archive";
        WriteAll(path, data);
        std::vector<FileInfo> plain, shifted;
        ASSERT_EQ(0, List(Sample(file).c_str(), 0, 0, &plain));
        ASSERT_EQ(0, List(path.c_str(), 777, 0, &shifted)) << file;
        ASSERT_EQ(plain.size(), shifted.size());
        for (size_t i = 0; i < plain.size(); ++i) {
            EXPECT_EQ(plain[i].position + 777, shifted[i].position);
            Bytes a, b;
            EXPECT_EQ(0, Extract(Sample(file).c_str(), static_cast<long>(plain[i].position), 0, &a));
            EXPECT_EQ(0, Extract(path.c_str(), static_cast<long>(shifted[i].position), 0, &b));
            EXPECT_EQ(a, b);
        }
    }
}

TEST_F(ArchivePlugin, GetFileInfoFindsMembersByTheirFullName) {
    std::string zip = Sample("archives\\pictures.zip");
    std::vector<FileInfo> list;
    ASSERT_EQ(0, List(zip.c_str(), 0, 0, &list));
    auto find = spi_->Fn<GetFileInfoFn>("GetFileInfo");
    FileInfo r;
    for (const char* name : {"sub\\grey.pgm", "sub/grey.pgm"}) {
        std::memset(&r, 0xCC, sizeof r);
        ASSERT_EQ(0, find(zip.c_str(), 0, name, 0, &r)) << name;
        EXPECT_EQ(0, std::memcmp(&r, &list[2], sizeof r)) << "the same record as the listing";
    }
    EXPECT_NE(0, find(zip.c_str(), 0, "SUB\\GREY.PGM", 0, &r)) << "case counts without 0x80";
    EXPECT_EQ(0, find(zip.c_str(), 0, "SUB\\GREY.PGM", 0x80, &r));
    EXPECT_EQ(2, find(zip.c_str(), 0, "grey.pgm", 0, &r)) << "not at the top";
    EXPECT_EQ(0, find(zip.c_str(), 0, list[4].filename, 0, &r)) << "a name as the narrow listing shows it";

    FileInfoW w;
    std::wstring wide = std::wstring(L"pax\\") + UNICODE_TGA;
    ASSERT_EQ(0, spi_->Fn<GetFileInfoWFn>("GetFileInfoW")(testenv::Wide(Sample("archives\\pictures.tar")).c_str(), 0,
                                                           wide.c_str(), 0, &w));
    EXPECT_STREQ(UNICODE_TGA, w.filename);
    EXPECT_EQ(ReadAll(Sample("pictures\\rgb.tga")).size(), w.filesize);
}

TEST_F(ArchivePlugin, ExtractsToAFolderUnderTheMemberFileName) {
    std::string zip = Sample("archives\\pictures.zip");
    std::vector<FileInfo> list;
    ASSERT_EQ(0, List(zip.c_str(), 0, 0, &list));
    std::string folder = ScratchFolder("bundled-extract");
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(0, ToFolder(zip.c_str(), static_cast<long>(list[i].position), folder)) << i;
        EXPECT_EQ(Expected(ZIP_MEMBERS[i]), ReadAll(folder + "\\" + list[i].filename)) << i;
    }
    std::wstring wfolder = testenv::Wide(folder);
    ASSERT_EQ(0, spi_->Fn<GetFileWFn>("GetFileW")(testenv::Wide(zip).c_str(), static_cast<long>(list[4].position),
                                                   wfolder.data(), 0, nullptr, 0));
    std::wstring unicodeFile = wfolder + L"\\" + UNICODE_GIF;
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(unicodeFile.c_str())) << "the full wide name";
    EXPECT_EQ((std::set<std::string>{"rgb.png", "photo.jpg", "grey.pgm", "notes.txt", Ansi(UNICODE_GIF)}),
              Listing(folder));
}

TEST_F(ArchivePlugin, PathEscapeMembersStayInTheFolder) {
    struct Case {
        const char* file;
        std::set<std::string> written;
        size_t listed;
    } const cases[] = {
        {"hostile\\escape.zip", {"escape-zip-1.txt", "abs-zip.txt", "escape-zip-2.txt", "escape-zip-3.txt", "ok-zip.txt"}, 9},
        {"hostile\\escape.tar", {"escape-tar-1.txt", "abs-tar.txt", "escape-tar-long.txt", "escape-tar-pax.txt", "ok-tar.txt"}, 5},
    };
    for (const Case& c : cases) {
        std::string outer = ScratchFolder("bundled-escape"), inner = outer + "\\inner";
        CreateDirectoryA(inner.c_str(), nullptr);
        std::string path = Sample(c.file);
        std::vector<FileInfo> list;
        ASSERT_EQ(0, List(path.c_str(), 0, 0, &list)) << c.file;
        EXPECT_EQ(c.listed, list.size()) << c.file << ": links are not members to extract";
        for (const FileInfo& r : list) {
            std::string name = std::string(r.path) + r.filename;
            int rc = ToFolder(path.c_str(), static_cast<long>(r.position), inner);
            EXPECT_EQ(c.written.count(r.filename) ? 0 : 9, rc) << name;
            std::wstring winner = testenv::Wide(inner);
            EXPECT_EQ(rc, spi_->Fn<GetFileWFn>("GetFileW")(testenv::Wide(path).c_str(), static_cast<long>(r.position),
                                                            winner.data(), 0, nullptr, 0)) << name;
        }
        EXPECT_EQ(c.written, Listing(inner)) << c.file;
        EXPECT_EQ(std::set<std::string>{"inner"}, Listing(outer)) << c.file;
        for (const std::string& n : c.written) {
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((testenv::TempDir() + n).c_str())) << n;
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(("\\" + n).c_str())) << n;
        }
    }
}

TEST_F(ArchivePlugin, HostileArchivesGiveResultCodes) {
    const std::pair<const char*, int> listings[] = {
        {"truncated.zip", 3}, {"truncated.tar", 3}, {"truncated.tar.gz", 3}, {"badoffset.zip", 3},
        {"corrupt.tar", 3},   {"notatar.gz", 2},    {"notapicture.txt", 2},
    };
    for (const auto& [file, code] : listings) {
        std::string path = Sample(std::string("hostile\\") + file);
        Bytes data = ReadAll(path);
        Guarded memory(data);
        EXPECT_EQ(code, List(path.c_str(), 0, 0)) << file;
        EXPECT_EQ(code, List(memory.get(), static_cast<long>(data.size()), 1)) << file;
    }
    std::string folder = ScratchFolder("bundled-hostile");
    const std::pair<const char*, int> members[] = {{"corrupt.zip", 3}, {"badcrc.zip", 3}, {"bigmember.zip", 4}};
    for (const auto& [file, code] : members) {
        std::string path = Sample(std::string("hostile\\") + file);
        std::vector<FileInfo> list;
        ASSERT_EQ(0, List(path.c_str(), 0, 0, &list)) << file << ": its directory is sound";
        ASSERT_EQ(1u, list.size());
        EXPECT_EQ(code, Extract(path.c_str(), static_cast<long>(list[0].position), 0)) << file;
        EXPECT_EQ(code, ToFolder(path.c_str(), static_cast<long>(list[0].position), folder)) << file;
    }
    EXPECT_TRUE(Listing(folder).empty()) << "nothing half-written is left";
    std::vector<FileInfo> big;
    List(Sample("hostile\\bigmember.zip").c_str(), 0, 0, &big);
    EXPECT_EQ(0x40000000u, big.at(0).filesize) << "the listing tells the size it was given";
}

struct Cancel {
    int calls = 0;
    int at;  // answer non-zero at this call; -1: at the call that reports the whole
    static int WINAPI Callback(int num, int denom, long data) {
        auto* c = reinterpret_cast<Cancel*>(data);
        int n = c->calls++;
        return (c->at >= 0 ? n == c->at : num == denom) ? 1 : 0;
    }
};

TEST_F(ArchivePlugin, CancelGivesOneAndLeavesNothing) {
    std::string zip = Sample("archives\\pictures.zip");
    std::vector<FileInfo> list;
    ASSERT_EQ(0, List(zip.c_str(), 0, 0, &list));
    std::string folder = ScratchFolder("bundled-cancel");
    for (const FileInfo& r : {list[0], list[1]}) {  // stored, deflated
        for (int at : {0, -1}) {
            Cancel c{0, at};
            Blocks::Reset();
            EXPECT_EQ(1, Extract(zip.c_str(), static_cast<long>(r.position), 0, nullptr, &Cancel::Callback,
                                 reinterpret_cast<long>(&c)));
            EXPECT_EQ(0u, Blocks::Outstanding());
            if (at < 0) {
                EXPECT_GE(Blocks::allocations, 1) << "cancelled after the block was made";
            }
            c.calls = 0;
            EXPECT_EQ(1, ToFolder(zip.c_str(), static_cast<long>(r.position), folder, &Cancel::Callback,
                                  reinterpret_cast<long>(&c)));
        }
    }
    EXPECT_TRUE(Listing(folder).empty());
}

TEST_F(ArchivePlugin, CutOrFlippedArchivesNeverReadPastTheirEnd) {
    uint32_t seed = 777;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (const char* file : {"archives\\pictures.zip", "archives\\pictures.tar", "archives\\pictures.tar.gz",
                             "hostile\\escape.tar"}) {
        Bytes data = ReadAll(Sample(file));
        std::vector<Bytes> variants;
        for (size_t n = 0; n < data.size(); n += std::max<size_t>(1, data.size() / 60)) variants.emplace_back(data.begin(), data.begin() + n);
        for (int round = 0; round < 60; ++round) {
            Bytes bad = data;
            for (int k = 1 + next() % 3; k > 0; --k) bad[next() % bad.size()] ^= 1 << (next() % 8);
            variants.push_back(bad);
        }
        for (const Bytes& v : variants) {
            Guarded memory(v);
            std::vector<FileInfo> list;
            int rc = List(memory.get(), static_cast<long>(v.size()), 1, &list);
            EXPECT_TRUE(rc >= 0 && rc <= 4) << file << ": " << rc;
            for (const FileInfo& r : list) {
                if (r.position >= v.size()) continue;
                Bytes tail(v.begin() + r.position, v.end());
                Guarded member(tail);
                int got = Extract(member.get(), static_cast<long>(tail.size()), 1);
                EXPECT_TRUE(got >= -1 && got <= 4) << file << ": " << got;
            }
        }
    }
}

}  // namespace
