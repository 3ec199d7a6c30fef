// Reading a plug-in's member records without the plug-in: how far a listing is walked, and
// how text fields that fill their whole width are read.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/automation_types.h"
#include "plugin/archive.h"

namespace {

using SPI::fileInfo;

std::vector<fileInfo> Records(size_t n) {
    std::vector<fileInfo> r(n);
    std::memset(r.data(), 0, n * sizeof(fileInfo));
    for (fileInfo& f : r) f.method[0] = 'm';
    return r;
}

TEST(ArchiveRecords, ListingEndsAtItsTerminatorOrItsLastWholeRecord) {
    std::vector<fileInfo> r = Records(4);
    const size_t all = r.size() * sizeof(fileInfo);
    EXPECT_EQ(4u, SPI::CountRecords(r.data(), all)) << "no terminator: every whole record";
    EXPECT_EQ(3u, SPI::CountRecords(r.data(), all - 1)) << "a partial record is not read";
    EXPECT_EQ(0u, SPI::CountRecords(r.data(), sizeof(fileInfo) - 1));
    EXPECT_EQ(0u, SPI::CountRecords(nullptr, all));
    r[2].method[0] = 0;  // only the first byte decides
    r[2].method[1] = 'x';
    EXPECT_EQ(2u, SPI::CountRecords(r.data(), all));
    r[0].method[0] = 0;
    EXPECT_EQ(0u, SPI::CountRecords(r.data(), all));
}

std::wstring Read(HRESULT (*text)(const fileInfo&, BSTR*), const fileInfo& f) {
    Tamrix::Bstr b;
    EXPECT_EQ(S_OK, text(f, b.put()));
    return b.get() ? std::wstring(b.get(), b.length()) : L"<null>";
}

TEST(ArchiveRecords, TextFieldsStopAtTheirNulOrTheirWidth) {
    std::vector<fileInfo> r = Records(1);
    fileInfo& f = r[0];
    // Every field full, and the bytes after each non-zero, as a plug-in without NULs leaves them.
    std::memcpy(f.method, "ABCDEFGH", 8);
    f.position = 0x31313131;
    std::memset(f.path, 'p', sizeof f.path);
    std::memset(f.filename, 'f', sizeof f.filename);
    f.crc = 0x32323232;
    EXPECT_EQ(L"ABCDEFGH", Read(SPI::MethodText, f));
    EXPECT_EQ(std::wstring(200, L'p'), Read(SPI::PathText, f));
    EXPECT_EQ(std::wstring(200, L'f'), Read(SPI::FileNameText, f));

    std::memcpy(f.method, "lzh\0\0XYZ", 8);
    f.path[0] = 0;
    f.filename[3] = 0;
    EXPECT_EQ(L"lzh", Read(SPI::MethodText, f));
    EXPECT_EQ(L"", Read(SPI::PathText, f)) << "an empty field is an empty string, not a null one";
    EXPECT_EQ(L"fff", Read(SPI::FileNameText, f));
}

TEST(ArchiveRecords, TextIsInTheThreadsAnsiCodePageOrTheOneGiven) {
    std::vector<fileInfo> r = Records(1);
    std::strcpy(r[0].filename, "\x83\x65\x83\x58\x83\x67.txt");  // "テスト.txt" in Shift_JIS
    const auto inJapanese = [](const fileInfo& f, BSTR* b) { return SPI::FileNameText(f, b, 932); };
    EXPECT_EQ(L"\x30C6\x30B9\x30C8.txt", Read(inJapanese, r[0]));
    const LCID before = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
    const std::wstring name = Read(SPI::FileNameText, r[0]);
    SetThreadLocale(before);
    EXPECT_EQ(L"\x30C6\x30B9\x30C8.txt", name);
}

}  // namespace
