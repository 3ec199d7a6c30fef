// What the tour wrote: a bitmap file for every sample picture and for every picture inside
// the sample archives, each holding the picture's own pixels, and a contact sheet showing
// them all. Both tours (JScript and VBScript) are read back.
#include <set>
#include <string>

#include "bundled/bundled.h"

namespace {

using bundled::Bytes;

// Member names outside the ANSI code page reach the bitmap files' names whole, so the
// folder is read through the wide calls.
std::wstring TourDir(const char* kind) {
    return testenv::Wide(testenv::WinPath(testenv::Env("TAMRIX_TOUR_DIR")) + "\\" + kind);
}

std::set<std::wstring> Listing(const std::wstring& dir) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do
        if (fd.cFileName != std::wstring(L".") && fd.cFileName != std::wstring(L"..")) names.insert(fd.cFileName);
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

Bytes ReadAll(const std::wstring& path) {
    Bytes out;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return out;
    out.resize(GetFileSize(f, nullptr));
    DWORD got = 0;
    if (!out.empty()) ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &got, nullptr);
    CloseHandle(f);
    out.resize(got);
    return out;
}

std::string Printable(const std::wstring& name) {
    std::string out;
    for (wchar_t c : name) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

bool EndsWith(const std::wstring& s, const wchar_t* tail) {
    const std::wstring t = tail;
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

const samples::Picture& SampleNamed(const std::string& file) {
    for (const samples::Picture& p : samples::PICTURES)
        if (file == p.file) return p;
    ADD_FAILURE() << "no sample " << file;
    return samples::PICTURES[0];
}

// The sample that an archive member copies: the archives hold the samples under their own
// names, one under a long name and two under names outside ASCII ("ünï-Ω").
const samples::Picture& SampleOfMember(const std::wstring& member) {
    for (const samples::Picture& p : samples::PICTURES)
        if (member == testenv::Wide(p.file) + L".bmp") return p;
    if (member.rfind(L"gnu-long-name-", 0) == 0) return SampleNamed("rgb.bmp");
    if (member == L"\u00FCn\u00EF-\u03A9.gif.bmp") return SampleNamed("palette.gif");
    if (member == L"\u00FCn\u00EF-\u03A9.tga.bmp") return SampleNamed("rgb.tga");
    ADD_FAILURE() << "member of no sample: " << Printable(member);
    return samples::PICTURES[0];
}

class Tour : public ::testing::TestWithParam<const char*> {};

TEST_P(Tour, EverySamplePictureIsABitmapOfItsPixels) {
    const std::wstring dir = TourDir(GetParam());
    for (const samples::Picture& p : samples::PICTURES) {
        SCOPED_TRACE(p.file);
        bundled::ExpectPicture(bundled::ParseBmpFile(ReadAll(dir + L"\\" + testenv::Wide(p.file) + L".bmp")), p);
    }
}

TEST_P(Tour, EveryPictureInsideTheArchivesIsABitmapOfItsPixels) {
    const std::wstring dir = TourDir(GetParam());
    int zip = 0, tar = 0, tgz = 0;
    for (const std::wstring& name : Listing(dir)) {
        std::wstring member;
        if (!EndsWith(name, L".bmp")) {
            continue;
        } else if (name.rfind(L"pictures.zip_", 0) == 0) {
            member = name.substr(13);
            ++zip;
        } else if (name.rfind(L"pictures.tar.gz_", 0) == 0) {
            member = name.substr(16);
            ++tgz;
        } else if (name.rfind(L"pictures.tar_", 0) == 0) {
            member = name.substr(13);
            ++tar;
        } else {
            continue;
        }
        SCOPED_TRACE(Printable(name));
        bundled::ExpectPicture(bundled::ParseBmpFile(ReadAll(dir + L"\\" + name)), SampleOfMember(member));
    }
    EXPECT_EQ(4, zip) << "the ZIP holds four pictures and a text file";
    EXPECT_EQ(5, tar);
    EXPECT_EQ(5, tgz);
}

TEST_P(Tour, TheContactSheetShowsEveryBitmap) {
    const std::wstring dir = TourDir(GetParam());
    const Bytes page = ReadAll(dir + L"\\index.html");
    ASSERT_GE(page.size(), 2u);
    // Written as UTF-16 with its byte-order mark.
    ASSERT_EQ(0xFF, page[0]);
    ASSERT_EQ(0xFE, page[1]);
    std::wstring text(reinterpret_cast<const wchar_t*>(page.data() + 2), (page.size() - 2) / 2);
    // Every picture is a bitmap file and, with /to:png, a PNG file beside it, which the
    // sheet shows.
    int bitmaps = 0;
    const std::set<std::wstring> names = Listing(dir);
    for (const std::wstring& name : names) {
        if (!EndsWith(name, L".bmp")) continue;
        ++bitmaps;
        const std::wstring png = name.substr(0, name.size() - 4) + L".png";
        EXPECT_EQ(1u, names.count(png)) << Printable(png);
        // ASCII names stand as they are; the others are checked by their count below (the
        // two tours spell them in a link differently).
        bool ascii = true;
        for (wchar_t c : name) ascii = ascii && c < 0x80;
        if (ascii) {
            EXPECT_NE(std::wstring::npos, text.find(L"src=\"" + png + L"\"")) << Printable(png);
        }
    }
    EXPECT_EQ(18 + 14, bitmaps);
    size_t figures = 0;
    for (size_t at = text.find(L"<figure>"); at != std::wstring::npos; at = text.find(L"<figure>", at + 1)) ++figures;
    EXPECT_EQ(static_cast<size_t>(bitmaps), figures);
    EXPECT_NE(std::wstring::npos, text.find(L"22 file(s) read, 32 picture(s) decoded, 0 failure(s)."));
}

INSTANTIATE_TEST_SUITE_P(Scripts, Tour, ::testing::Values("js", "vbs"));

}  // namespace
