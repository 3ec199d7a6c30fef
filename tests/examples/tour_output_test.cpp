// What the tour wrote: a bitmap file for every sample picture and for every picture inside
// the sample archives, each holding the picture's own pixels, and a contact sheet showing
// them all. Both tours (JScript and VBScript) are read back.
#include <string>

#include "bundled/bundled.h"

namespace {

using bundled::Bytes;

std::string TourDir(const char* kind) {
    return testenv::WinPath(testenv::Env("TAMRIX_TOUR_DIR")) + "\\" + kind;
}

const samples::Picture& SampleNamed(const std::string& file) {
    for (const samples::Picture& p : samples::PICTURES)
        if (file == p.file) return p;
    ADD_FAILURE() << "no sample " << file;
    return samples::PICTURES[0];
}

// The sample that an archive member copies: the archives hold the samples under their own
// names, one under a long name and two under names outside ASCII (whose spelling depends
// on the code page the plug-in converts them to).
const samples::Picture& SampleOfMember(const std::string& member) {
    for (const samples::Picture& p : samples::PICTURES)
        if (member == std::string(p.file) + ".bmp") return p;
    if (member.rfind("gnu-long-name-", 0) == 0) return SampleNamed("rgb.bmp");
    if (member.size() > 8 && member.compare(member.size() - 8, 8, ".gif.bmp") == 0) return SampleNamed("palette.gif");
    if (member.size() > 8 && member.compare(member.size() - 8, 8, ".tga.bmp") == 0) return SampleNamed("rgb.tga");
    ADD_FAILURE() << "member of no sample: " << member;
    return samples::PICTURES[0];
}

class Tour : public ::testing::TestWithParam<const char*> {};

TEST_P(Tour, EverySamplePictureIsABitmapOfItsPixels) {
    const std::string dir = TourDir(GetParam());
    for (const samples::Picture& p : samples::PICTURES) {
        SCOPED_TRACE(p.file);
        bundled::ExpectPicture(bundled::ParseBmpFile(bundled::ReadAll(dir + "\\" + p.file + ".bmp")), p);
    }
}

TEST_P(Tour, EveryPictureInsideTheArchivesIsABitmapOfItsPixels) {
    const std::string dir = TourDir(GetParam());
    int zip = 0, tar = 0, tgz = 0;
    for (const std::string& name : bundled::Listing(dir)) {
        std::string member;
        if (name.rfind("pictures.zip_", 0) == 0) {
            member = name.substr(13);
            ++zip;
        } else if (name.rfind("pictures.tar.gz_", 0) == 0) {
            member = name.substr(16);
            ++tgz;
        } else if (name.rfind("pictures.tar_", 0) == 0) {
            member = name.substr(13);
            ++tar;
        } else {
            continue;
        }
        SCOPED_TRACE(name);
        bundled::ExpectPicture(bundled::ParseBmpFile(bundled::ReadAll(dir + "\\" + name)), SampleOfMember(member));
    }
    EXPECT_EQ(4, zip) << "the ZIP holds four pictures and a text file";
    EXPECT_EQ(5, tar);
    EXPECT_EQ(5, tgz);
}

TEST_P(Tour, TheContactSheetShowsEveryBitmap) {
    const std::string dir = TourDir(GetParam());
    const Bytes page = bundled::ReadAll(dir + "\\index.html");
    ASSERT_GE(page.size(), 2u);
    // Written as UTF-16 with its byte-order mark.
    ASSERT_EQ(0xFF, page[0]);
    ASSERT_EQ(0xFE, page[1]);
    std::wstring text(reinterpret_cast<const wchar_t*>(page.data() + 2), (page.size() - 2) / 2);
    int bitmaps = 0;
    for (const std::string& name : bundled::Listing(dir)) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".bmp") != 0) continue;
        ++bitmaps;
        // ASCII names stand as they are; the others are checked by their count below.
        bool ascii = true;
        for (unsigned char c : name) ascii = ascii && c < 0x80;
        if (ascii) {
            EXPECT_NE(std::wstring::npos, text.find(L"src=\"" + testenv::Wide(name) + L"\"")) << name;
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
