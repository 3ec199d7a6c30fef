// Source arguments as the plug-in sees them, the byte-array access around a call, and the
// mapping of plug-in result codes to HRESULTs.
#include "common/value_width.h"
#include "plugin_fixture.h"

namespace plugtest {
namespace {

class SourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        plugin = LoadPlugin("qqa");
        counters = std::make_unique<Counters>("qqa");
        picture = Bytes(Qqa(5, 3, 24));
        picture.resize(200, 0x5A);  // trailing bytes the plug-in does not need
    }
    // Calls GetPictureInfo and returns its result; `info` receives the record.
    HRESULT Info(VARIANT src, LONG offsetOrLength, PictureInfo* info = nullptr) {
        PictureInfo local{};
        return plugin->GetPictureInfo(src, offsetOrLength, info ? info : &local);
    }

    ComPtr<ISusiePlugin> plugin;
    std::unique_ptr<Counters> counters;
    std::vector<BYTE> picture;
};

TEST_F(SourceTest, EveryAcceptedFormReachesThePluginAsFileOrMemory) {
    const std::string file = WriteTemp("source_offset.qqa", picture, 128);
    struct Case {
        const char* what;
        std::function<void(Variant&)> make;
        LONG offsetOrLength;
        int flag;
    };
    std::vector<BYTE> memory = picture;  // the VT_I4/VT_UI4 forms point here
    const ULONG address = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(memory.data()));
    Bstr byRefName = MakeBstr(file);
    BSTR byRefSlot = byRefName.get();
    const std::vector<Case> cases = {
        {"BSTR at offset 128", [&](Variant& v) { SetString(v, file); }, 128, 0},
        {"BSTR by reference",
         [&](Variant& v) {
             V_VT(v.get()) = VT_BYREF | VT_BSTR;
             V_BSTRREF(v.get()) = &byRefSlot;
         },
         128, 0},
        {"VT_I4 address",
         [&](Variant& v) {
             V_VT(v.get()) = VT_I4;
             V_I4(v.get()) = static_cast<LONG>(address);
         },
         static_cast<LONG>(memory.size()), 1},
        {"VT_UI4 address",
         [&](Variant& v) {
             V_VT(v.get()) = VT_UI4;
             V_UI4(v.get()) = address;
         },
         static_cast<LONG>(memory.size()), 1},
        {"byte array, lower bound 5", [&](Variant& v) { SetArray(v, picture, 5); },
         static_cast<LONG>(picture.size()), 1},
    };
    for (const Case& c : cases) {
        for (bool viaReference : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (viaReference ? " inside VT_BYREF|VT_VARIANT" : ""));
            Variant value;
            c.make(value);
            VARIANT src = viaReference ? RefTo(value.get()) : *value.get();
            const int callsBefore = counters->Calls();
            PictureInfo info{};
            EXPECT_EQ(S_OK, Info(src, c.offsetOrLength, &info));
            EXPECT_EQ(callsBefore + 1, counters->Calls());
            EXPECT_EQ(c.flag, counters->LastFlag());
            EXPECT_EQ(c.offsetOrLength, counters->LastLength());
            EXPECT_EQ('Q', counters->LastFirstByte());  // the data begins where it should
            EXPECT_EQ(5, info.width);
        }
    }
}

TEST_F(SourceTest, NullOrEmptyNameIsAnEmptyFileName) {
    for (bool empty : {false, true}) {
        Variant v;
        V_VT(v.get()) = VT_BSTR;
        V_BSTR(v.get()) = empty ? SysAllocString(L"") : nullptr;
        const int callsBefore = counters->Calls();
        // No file by that name: the plug-in reports a failure, but it was asked.
        EXPECT_TRUE(FAILED(Info(*v.get(), 0)));
        EXPECT_EQ(callsBefore + 1, counters->Calls());
        EXPECT_EQ(0, counters->LastFlag());
    }
}

TEST_F(SourceTest, ByteArrayLengthIsTheCallersNumberCutBackToTheData) {
    Variant v;
    SetArray(v, picture);
    const LONG size = static_cast<LONG>(picture.size());
    // A shorter length is honoured as given ...
    EXPECT_EQ(S_OK, Info(*v.get(), 150));
    EXPECT_EQ(150, counters->LastLength());
    // ... and one shorter than the picture header hides the rest of the data.
    EXPECT_EQ(E_FAIL, Info(*v.get(), 40));
    EXPECT_EQ(40, counters->LastLength());
    // A length beyond the array never reaches the plug-in.
    for (LONG tooLong : {size + 1, 100000L, -1L}) {
        EXPECT_EQ(S_OK, Info(*v.get(), tooLong));
        EXPECT_EQ(size, counters->LastLength()) << tooLong;
    }
}

TEST_F(SourceTest, RejectedFormsFailBeforeThePluginIsCalled) {
    std::vector<std::unique_ptr<Variant>> keep;
    auto make = [&](VARTYPE vt) {
        keep.push_back(std::make_unique<Variant>());
        V_VT(keep.back()->get()) = vt;
        return keep.back()->get();
    };
    LONG number = 7;
    SAFEARRAY* array = MakeArray(picture);
    VARIANT inner = RefTo(nullptr);
    Variant target;
    SetString(target, "x.qqa");
    V_VARIANTREF(&inner) = target.get();

    std::vector<std::pair<const char*, VARIANT>> cases;
    cases.emplace_back("VT_EMPTY", *make(VT_EMPTY));
    VARIANT* i2 = make(VT_I2);
    V_I2(i2) = 1;
    cases.emplace_back("VT_I2", *i2);
    VARIANT byRefI4;
    V_VT(&byRefI4) = VT_BYREF | VT_I4;
    V_I4REF(&byRefI4) = &number;
    cases.emplace_back("VT_BYREF|VT_I4", byRefI4);
    VARIANT byRefArray;
    V_VT(&byRefArray) = VT_BYREF | VT_ARRAY | VT_UI1;
    V_ARRAYREF(&byRefArray) = &array;
    cases.emplace_back("VT_BYREF|VT_ARRAY|VT_UI1", byRefArray);
    cases.emplace_back("reference to a reference", RefTo(&inner));
    VARIANT refToByRefI4 = RefTo(&byRefI4);
    cases.emplace_back("reference to VT_BYREF|VT_I4", refToByRefI4);

    const int callsBefore = counters->Calls();
    for (auto& [what, src] : cases) {
        SCOPED_TRACE(what);
        PictureInfo info{};
        info.width = 1234;
        EXPECT_EQ(E_INVALIDARG, plugin->GetPictureInfo(src, 0, &info));
        EXPECT_EQ(1234, info.width);  // untouched
        IDispatch* a = reinterpret_cast<IDispatch*>(1);
        IDispatch* b = reinterpret_cast<IDispatch*>(1);
        EXPECT_EQ(E_INVALIDARG, plugin->GetPicture(src, 0, &a, &b));
        EXPECT_EQ(nullptr, a);
        EXPECT_EQ(nullptr, b);
        BSTR text = nullptr;
        EXPECT_EQ(E_INVALIDARG, plugin->GetPictureText(src, 0, &text));
        Bstr dest = MakeBstr(testenv::TempDir() + "rejected.bmp");
        EXPECT_EQ(E_INVALIDARG, plugin->GetPictureToFile(src, 0, dest.get()));
        EXPECT_FALSE(FileExists(testenv::TempDir() + "rejected.bmp"));
    }
    EXPECT_EQ(callsBefore, counters->Calls());
    SafeArrayDestroy(array);
}

TEST_F(SourceTest, AnAddressIsCheckedBeforeAnyPluginReadsThere) {
    // A readable page, a committed page nobody may read, and a reserved one; the picture ends
    // where the readable memory does.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const ULONG page = system.dwPageSize;
    BYTE* region = static_cast<BYTE*>(VirtualAlloc(nullptr, 3 * page, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(nullptr, VirtualAlloc(region, page, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, VirtualAlloc(region + page, page, MEM_COMMIT, PAGE_NOACCESS));
    std::memcpy(region + page - picture.size(), picture.data(), picture.size());
    const ULONG start = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(region));
    const ULONG at = start + page - static_cast<ULONG>(picture.size());
    const LONG size = static_cast<LONG>(picture.size());
    const HRESULT refused = sizeof(void*) == 8 ? Tamrix::E_EXCEEDS_32_BITS : HRESULT_FROM_WIN32(ERROR_INVALID_ADDRESS);
    const struct {
        const char* what;
        ULONG address;
        LONG length;
        HRESULT expected;
    } cases[] = {
        {"the readable bytes", at, size, S_OK},
        {"a byte beyond them", at, size + 1, refused},
        {"a number", 1234, 100, refused},
        {"the last address below 64 KB", 0xFFFF, 0, refused},
        {"a page nobody may read", start + page, 16, refused},
        {"a reserved page", start + 2 * page, 16, refused},
    };
    const std::string dest = testenv::TempDir() + "address.bmp";
    for (const auto& c : cases) {
        Variant src;
        V_VT(src.get()) = VT_UI4;
        V_UI4(src.get()) = c.address;
        const int callsBefore = counters->Calls();
        EXPECT_EQ(c.expected, plugin->GetPictureToFile(*src.get(), c.length, MakeBstr(dest).get())) << c.what;
        EXPECT_EQ(callsBefore + (c.expected == S_OK ? 1 : 0), counters->Calls()) << c.what;
    }
    DeleteFileA(dest.c_str());
    VirtualFree(region, 0, MEM_RELEASE);
}

TEST_F(SourceTest, ByteArrayIsReleasedAfterEveryCall) {
    // By value and through a script variable; after success and after failure. A caller
    // can then resize the array, which a still-accessed array refuses.
    for (bool viaReference : {false, true}) {
        for (int32_t code : {0, 3}) {
            SCOPED_TRACE(testing::Message() << "reference " << viaReference << " code " << code);
            testspi::QqaHeader h = Qqa(4, 4, 8);
            h.resultCode = code;
            Variant value;
            SetArray(value, Bytes(h));
            VARIANT src = viaReference ? RefTo(value.get()) : *value.get();
            SAFEARRAY* a = V_ARRAY(value.get());
            const LONG len = static_cast<LONG>(sizeof h);

            const HRESULT expected = code == 0 ? S_OK : E_FAIL;
            EXPECT_EQ(expected, Info(src, len));
            EXPECT_EQ(0u, a->cLocks);
            ComPtr<IDispatch> info, pixels;
            EXPECT_EQ(expected, plugin->GetPicture(src, len, info.put(), pixels.put()));
            EXPECT_EQ(0u, a->cLocks);
            BSTR text = nullptr;
            EXPECT_EQ(S_OK, plugin->GetPictureText(src, len, &text));
            SysFreeString(text);
            EXPECT_EQ(0u, a->cLocks);
            Bstr dest = MakeBstr(testenv::TempDir() + "released.bmp");
            EXPECT_EQ(expected, plugin->GetPictureToFile(src, len, dest.get()));
            EXPECT_EQ(0u, a->cLocks);

            SAFEARRAYBOUND bigger{400, 0};
            EXPECT_EQ(S_OK, SafeArrayRedim(a, &bigger));
        }
    }
    DeleteFileA((testenv::TempDir() + "released.bmp").c_str());
}

// ConfigurationDlg answers its window handle as the result code, so it shows the whole
// mapping; the decoding members map the same way.
TEST_F(SourceTest, ResultCodesMapToHresults) {
    const struct {
        int code;
        HRESULT hr;
    } table[] = {
        {0, S_OK},         {1, E_ABORT},   {2, E_FAIL},      {3, E_FAIL},
        {4, E_OUTOFMEMORY}, {5, E_OUTOFMEMORY}, {6, E_FAIL}, {7, E_FAIL},
        {8, E_FAIL},       {9, E_FAIL},    {10, E_FAIL},     {11, E_NOTIMPL},
        {12, E_NOTIMPL},   {-1, E_NOTIMPL}, {-2, E_NOTIMPL}, {0x7FFF, E_NOTIMPL},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(row.hr, plugin->ConfigurationDlg(row.code, 1));
        int hParent = 0, function = 0;
        counters->LastConfig(&hParent, &function);
        EXPECT_EQ(row.code, hParent);

        // A code of 0 from the header would be a success; the rest fail each member alike.
        if (row.code == 0) continue;
        testspi::QqaHeader h = Qqa(2, 2, 24);
        h.resultCode = row.code;
        Variant src;
        SetArray(src, Bytes(h));
        PictureInfo info{};
        EXPECT_EQ(row.hr, plugin->GetPictureInfo(*src.get(), sizeof h, &info));
        IDispatch* a = nullptr;
        IDispatch* b = nullptr;
        EXPECT_EQ(row.hr, plugin->GetPicture(*src.get(), sizeof h, &a, &b));
        EXPECT_EQ(nullptr, a);
        EXPECT_EQ(nullptr, b);
        EXPECT_EQ(row.hr, plugin->GetPreview(*src.get(), sizeof h, &a, &b));
    }
    EXPECT_EQ(0, counters->Outstanding());
}

}  // namespace
}  // namespace plugtest
