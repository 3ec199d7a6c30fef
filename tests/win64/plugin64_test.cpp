// The 64-bit server with 64-bit plug-ins (.sph) in process: every field of the 64-bit
// records read where their layout puts it (the kit's variants that fill every field and
// pad with FILL_PADDING), pointer-sized lengths reaching the plug-in whole, and what no
// 32-bit member type can hold (a 64-bit plug-in's numbers beyond 32 bits, an address)
// failing with E_EXCEEDS_32_BITS instead of losing bits.
#include <windows.h>
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "common/value_width.h"
#include "plugin_object/archive_fixture.h"
#include "plugins/test_formats.h"
#include "server/server_dll.h"

using namespace plugtest;
using Tamrix::E_EXCEEDS_32_BITS;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

const unsigned long long BIAS = testspi::QQZ_HIGH_BIAS;

// What the loaded test plug-in `name` saw last, read through its 64-bit export.
LONG_PTR LastLength(const std::string& name) {
    auto f = reinterpret_cast<LONG_PTR(WINAPI*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(LoadedModule(name), "TestLastLength")));
    return f ? f() : -12345;
}

// An Automation date in local time for seconds since 1970, as a reader of the records makes it.
DATE LocalDate(long long seconds) {
    const __time64_t t = seconds;
    std::tm local{};
    EXPECT_EQ(0, _localtime64_s(&local, &t));
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(local.tm_year + 1900);
    st.wMonth = static_cast<WORD>(local.tm_mon + 1);
    st.wDay = static_cast<WORD>(local.tm_mday);
    st.wHour = static_cast<WORD>(local.tm_hour);
    st.wMinute = static_cast<WORD>(local.tm_min);
    st.wSecond = static_cast<WORD>(local.tm_sec);
    DATE d = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &d));
    return d;
}

std::string Field(const std::string& text, size_t n) {
    return text + std::string(n - text.size(), testspi::FILL_CHARACTER);
}

ComPtr<ISpiFileInfo> Entry(ISpiFileInfoCollection* list, LONG index) {
    ComPtr<IDispatch> item;
    EXPECT_EQ(S_OK, list->get_Item(index, item.put()));
    ComPtr<ISpiFileInfo> entry;
    if (item) {
        EXPECT_EQ(S_OK, item->QueryInterface(IID_ISpiFileInfo, entry.put_void()));
    }
    return entry;
}

TEST(Records64, ThePictureRecordIsReadAtItsSixtyFourBitOffsets) {
    ComPtr<ISusiePlugin> p = LoadPlugin("qqa_full");
    testspi::QqaHeader h = Qqa(21, -13, 24);
    h.left = -7, h.top = 0x12345678, h.xDensity = 300, h.yDensity = 301;
    std::memcpy(h.text, "with text", 9);
    Variant src;
    SetArray(src, Bytes(h));
    PictureInfo info{};
    ASSERT_EQ(S_OK, p->GetPictureInfo(*src.get(), sizeof h, &info));
    EXPECT_EQ(-7, info.left);
    EXPECT_EQ(0x12345678, info.top);
    EXPECT_EQ(21, info.width);
    EXPECT_EQ(-13, info.height);
    EXPECT_EQ(300, info.x_density);
    EXPECT_EQ(301, info.y_density);
    EXPECT_EQ(24, info.colorDepth);
    // The handle is the whole 8 bytes at 24, not the padding at 22 (FILL_PADDING) with half
    // of it. Wine's 64-bit heaps lie below 4 GB, so it fits a long there; a handle above
    // would fail the call (Width64.ValuesWithBitsAboveThirtyTwoFail).
    const HLOCAL text = reinterpret_cast<HLOCAL>(static_cast<ULONG_PTR>(static_cast<ULONG>(info.hInfo)));
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(10u, LocalSize(text));
    EXPECT_STREQ("with text", static_cast<const char*>(LocalLock(text)));
    LocalUnlock(text);
    LocalFree(text);

    Bstr t;
    ASSERT_EQ(S_OK, p->GetPictureText(*src.get(), sizeof h, t.put()));
    EXPECT_EQ("with text", Narrow(t.get()));
}

// Both member records, narrow and wide: names to the end of their 200-character fields,
// 8-byte numbers, the crc after the names, records 448 and 848 bytes apart.
TEST(Records64, TheMemberRecordsAreReadAtTheirSixtyFourBitOffsets) {
    const std::vector<QqzMemberDesc> members = {{"FULLmeth", "dir\\", "one.txt", Pattern(1, 300), 1000000, 0xCAFEF00D},
                                                {"otherMTH", "", "two", Pattern(2, 7), 2000000, 0x0BADBEEF}};
    const std::string archive = WriteTemp("tamrix_x64_full.qqz", Qqz(members), 16);
    for (const char* spi : {"qqz_full", "qqzw_full"}) {
        SCOPED_TRACE(spi);
        ComPtr<ISusiePlugin> p = LoadPlugin(spi);
        Variant src;
        SetString(src, archive);
        ComPtr<IDispatch> listing;
        ASSERT_EQ(S_OK, p->GetArchiveInfo(*src.get(), 16, listing.put()));
        ComPtr<ISpiFileInfoCollection> list;
        ASSERT_EQ(S_OK, listing->QueryInterface(IID_ISpiFileInfoCollection, list.put_void()));
        LONG count = 0;
        ASSERT_EQ(S_OK, list->get_Count(&count));
        ASSERT_EQ(2, count);
        for (LONG i = 0; i < 2; ++i) {
            const QqzMemberDesc& m = members[static_cast<size_t>(i)];
            EntryView v = View(Entry(list.get(), i + 1).get());
            EXPECT_EQ(m.method, v.method);
            EXPECT_EQ(Field(m.path, 200), v.path);
            EXPECT_EQ(Field(m.name, 200), v.fileName);
            EXPECT_EQ(static_cast<LONG>(16 + QqzDataOffset(members, static_cast<size_t>(i))), v.position);
            EXPECT_EQ(static_cast<LONG>(m.data.size()), v.compSize);
            EXPECT_EQ(static_cast<LONG>(m.data.size()), v.fileSize);
            EXPECT_EQ(static_cast<LONG>(m.crc), v.crc);
            EXPECT_DOUBLE_EQ(LocalDate(m.timestamp), v.timeStamp);
        }
        // The member found by its name, and extracted by the entry: the position reaches
        // the plug-in as it is.
        ComPtr<IDispatch> found;
        Bstr name = MakeBstr("one.txt");
        ASSERT_EQ(S_OK, p->GetFileInfo(*src.get(), 16, name.get(), found.put()));
        EXPECT_EQ(Field("dir\\", 200), View(found.get()).path);
        ComPtr<IDispatch> data;
        ASSERT_EQ(S_OK, p->GetFile(*src.get(), found.get(), data.put()));
        EXPECT_EQ(members[0].data, HeapBytes(data.get()));
    }
    DeleteFileA(archive.c_str());
}

// A 64-bit plug-in's numbers beyond 32 bits: the properties fail rather than hand out the
// lower half, the time stamp becomes its date past 2106, and extraction takes the position
// and sizes whole from our own entries.
TEST(Records64, NumbersNoLongHoldsFailWhileExtractionUsesThemWhole) {
    const std::vector<QqzMemberDesc> members = {{"store", "", "a.bin", Pattern(5, 40), 1700000000, 7},
                                                {"store", "", "b.bin", Pattern(6, 3), 12, 8}};
    const std::string archive = WriteTemp("tamrix_x64_high.qqz", Qqz(members, testspi::QQZ_HIGH_FIELDS));
    const std::string out = testenv::TempDir() + "tamrix_x64_high.out";
    DeleteFileA(out.c_str());
    for (const char* spi : {"qqz", "qqzw"}) {
        SCOPED_TRACE(spi);
        ComPtr<ISusiePlugin> p = LoadPlugin(spi);
        Variant src;
        SetString(src, archive);
        ComPtr<IDispatch> listing;
        ASSERT_EQ(S_OK, p->GetArchiveInfo(*src.get(), 0, listing.put()));
        ComPtr<ISpiFileInfoCollection> list;
        ASSERT_EQ(S_OK, listing->QueryInterface(IID_ISpiFileInfoCollection, list.put_void()));
        ComPtr<ISpiFileInfo> first = Entry(list.get(), 1);
        ASSERT_TRUE(first);
        LONG number = 0x5A5A;
        EXPECT_EQ(E_EXCEEDS_32_BITS, first->get_Position(&number));
        EXPECT_EQ(E_EXCEEDS_32_BITS, first->get_CompSize(&number));
        EXPECT_EQ(E_EXCEEDS_32_BITS, first->get_FileSize(&number));
        EXPECT_EQ(0x5A5A, number) << "nothing is handed out on failure";
        EXPECT_EQ(S_OK, first->get_CRC(&number));
        EXPECT_EQ(7, number);
        DATE when = 0;
        EXPECT_EQ(S_OK, first->get_TimeStamp(&when));
        EXPECT_DOUBLE_EQ(LocalDate(1700000000ll + static_cast<long long>(BIAS)), when);
        EXPECT_GT(when, LocalDate(4102444800ll)) << "after 2100";

        // From a file the plug-in gets the position, 2^32 more than the member's offset.
        ComPtr<IDispatch> data;
        ASSERT_EQ(S_OK, p->GetFile(*src.get(), first.get(), data.put()));
        EXPECT_EQ(members[0].data, HeapBytes(data.get()));
        EXPECT_EQ(static_cast<LONG_PTR>(QqzDataOffset(members, 0) + BIAS), LastLength(spi));
        // From memory its stored size, cut to what the array holds: never its lower half.
        Variant memory;
        SetArray(memory, Pattern(9, 5));
        ASSERT_EQ(S_OK, p->GetFile(*memory.get(), first.get(), data.put()));
        EXPECT_EQ(5, LastLength(spi));
        // A file of 2^32 + 40 bytes cannot be written from the 40 the plug-in handed back.
        Bstr dest = MakeBstr(out);
        EXPECT_EQ(E_FAIL, p->GetFileToFile(*src.get(), first.get(), dest.get()));
        EXPECT_FALSE(FileExists(out));
    }
    DeleteFileA(archive.c_str());
}

// Lengths and offsets are LONG_PTR for a 64-bit plug-in: a client's negative offset reaches
// it sign-extended, an array's length cut to the array.
TEST(Plugin64, LengthsReachThePlugInPointerSized) {
    ComPtr<ISusiePlugin> p = LoadPlugin("qqa");
    testspi::QqaHeader h = Qqa(4, 4, 8);
    const std::string file = WriteTemp("tamrix_x64_offset.qqa", Bytes(h), 50);
    Variant src;
    SetString(src, file);
    PictureInfo info{};
    EXPECT_EQ(S_OK, p->GetPictureInfo(*src.get(), 50, &info));
    EXPECT_EQ(50, LastLength("qqa"));
    EXPECT_NE(S_OK, p->GetPictureInfo(*src.get(), -1, &info));
    EXPECT_EQ(-1, LastLength("qqa")) << "sign-extended, not 0xFFFFFFFF";
    Variant memory;
    SetArray(memory, Bytes(h));
    ComPtr<IDispatch> bits, infoBlock;
    ASSERT_EQ(S_OK, p->GetPicture(*memory.get(), 0x7FFFFFFF, infoBlock.put(), bits.put()));
    EXPECT_EQ(static_cast<LONG_PTR>(sizeof h), LastLength("qqa"));
    EXPECT_EQ(Pattern(h.seed, 16), HeapBytes(bits.get()));
    DeleteFileA(file.c_str());
}

// No address goes through a long in the 64-bit server, whatever its value, so a script gets
// the same answer on every 64-bit system: the byte arrays are the way.
TEST(Plugin64, AddressesNeverGoThroughALong) {
    ComPtr<ISusiePlugin> p = LoadPlugin("qqa");
    Counters counters("qqa");
    testspi::QqaHeader h = Qqa(2, 2, 24);
    Variant memory;
    SetArray(memory, Bytes(h));
    ComPtr<IDispatch> infoBlock, bits;
    ASSERT_EQ(S_OK, p->GetPicture(*memory.get(), sizeof h, infoBlock.put(), bits.put()));
    ComPtr<ISpiLocalHeap> heap;
    ASSERT_EQ(S_OK, bits->QueryInterface(IID_ISpiLocalHeap, heap.put_void()));
    LONG value = 0x5A5A;
    EXPECT_EQ(E_EXCEEDS_32_BITS, heap->get_Buffer(&value));
    EXPECT_EQ(S_OK, heap->get_Length(&value));
    EXPECT_EQ(16, value);
    EXPECT_EQ(Pattern(h.seed, 16), HeapBytes(bits.get()));

    const int calls = counters.Calls();
    for (VARTYPE type : {VT_I4, VT_UI4}) {
        Variant address;
        V_VT(address.get()) = type;
        V_I4(address.get()) = 0x10000;
        PictureInfo info{};
        EXPECT_EQ(E_EXCEEDS_32_BITS, p->GetPictureInfo(*address.get(), sizeof h, &info));
        EXPECT_EQ(E_EXCEEDS_32_BITS, p->GetPicture(*address.get(), sizeof h, infoBlock.put(), bits.put()));
    }
    EXPECT_EQ(calls, counters.Calls()) << "the plug-in is never called with one";
}

// The boundary itself, which Wine's low heaps never reach with a real handle.
TEST(Width64, ValuesWithBitsAboveThirtyTwoFail) {
    LONG out = 1;
    EXPECT_EQ(S_OK, Tamrix::LongOf(0xFFFFFFFFull, out));
    EXPECT_EQ(-1, out) << "as the 32-bit server hands a field of all ones";
    EXPECT_EQ(E_EXCEEDS_32_BITS, Tamrix::LongOf(0x100000000ull, out));
    EXPECT_EQ(-1, out);
    EXPECT_EQ(E_EXCEEDS_32_BITS, Tamrix::LongOf(reinterpret_cast<void*>(0x123456789ull), out));
    EXPECT_EQ(S_OK, Tamrix::LongOf(reinterpret_cast<void*>(0x89ABCDEFull), out));
    EXPECT_EQ(static_cast<LONG>(0x89ABCDEF), out);
}

// A 64-bit process cannot load a 32-bit library: a plug-in object of this server says so;
// the manager serves such plug-ins from the 32-bit server instead (host64_test.cpp).
TEST(Plugin64, AThirtyTwoBitPlugInDoesNotLoadInProcess) {
    ComPtr<ISusiePlugin> p = NewPlugin();
    Bstr path = MakeBstr(testenv::WinPath(testenv::Env("TAMRIX_SPI32_DIR")) + "\\qqa.spi");
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(S_OK, p->Load(path.get(), &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
}

}  // namespace
