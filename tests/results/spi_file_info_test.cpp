// An archive entry read late-bound, as scripts read it: its names, the type of each result,
// and the refusals of its name table.
#include <windows.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "common/automation_types.h"
#include "common/com_ptr.h"
#include "common/module_lock.h"
#include "results/spi_file_info.h"

namespace {

using Tamrix::ComPtr;
using Tamrix::Variant;

ComPtr<ISpiFileInfo> Entry() {
    auto record = std::make_shared<SPI::fileInfo>();
    std::memset(record.get(), 0, sizeof(SPI::fileInfo));
    std::memcpy(record->method, "QQZstore", 8);
    record->position = 0x80000000u;
    record->compsize = 12;
    record->filesize = 0xFFFFFFFFu;
    record->timestamp = 0;
    std::strcpy(record->path, "docs\\");
    std::strcpy(record->filename, "a.txt");
    record->crc = 0xDEADBEEFu;
    ComPtr<ISpiFileInfo> e;
    EXPECT_EQ(S_OK, Tamrix::SpiFileInfo::Create(std::move(record), e.put()));
    return e;
}

HRESULT Get(ISpiFileInfo* e, const wchar_t* name, Variant& result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 99;
    HRESULT hr = e->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return e->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.get(), nullptr, nullptr);
}

TEST(SpiFileInfo, LateBoundReadersGiveTypedValues) {
    const LONG locks = Tamrix::module_lock::Count();
    ComPtr<ISpiFileInfo> e = Entry();
    EXPECT_EQ(locks + 1, Tamrix::module_lock::Count()) << "an entry holds the module while it lives";
    struct Case {
        const wchar_t* name;
        VARTYPE vt;
        LONG number;
        const wchar_t* text;
    };
    for (const Case& c : {Case{L"Method", VT_BSTR, 0, L"QQZstore"}, Case{L"position", VT_I4, LONG(0x80000000u), nullptr},
                          Case{L"CompSize", VT_I4, 12, nullptr}, Case{L"get_FileSize", VT_I4, -1, nullptr},
                          Case{L"Path", VT_BSTR, 0, L"docs\\"}, Case{L"FILENAME", VT_BSTR, 0, L"a.txt"},
                          Case{L"CRC", VT_I4, LONG(0xDEADBEEFu), nullptr}, Case{L"TimeStamp", VT_DATE, 0, nullptr}}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        Variant v;
        ASSERT_EQ(S_OK, Get(e.get(), c.name, v));
        ASSERT_EQ(c.vt, V_VT(v.get()));
        switch (c.vt) {
        case VT_I4:
            EXPECT_EQ(c.number, V_I4(v.get()));
            break;
        case VT_BSTR:
            EXPECT_STREQ(c.text, V_BSTR(v.get()));
            break;
        default:
            EXPECT_EQ(0.0, V_DATE(v.get()));
        }
    }

    // "pVal" is a name without a member; unknown names are refused.
    Variant v;
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Get(e.get(), L"pVal", v));
    EXPECT_EQ(VT_EMPTY, V_VT(v.get()));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, Get(e.get(), L"Size", v));

    // Null out-pointers, read early-bound.
    EXPECT_EQ(E_POINTER, e->get_Method(nullptr));
    EXPECT_EQ(E_POINTER, e->get_Position(nullptr));
    EXPECT_EQ(E_POINTER, e->get_CompSize(nullptr));
    EXPECT_EQ(E_POINTER, e->get_FileSize(nullptr));
    EXPECT_EQ(E_POINTER, e->get_TimeStamp(nullptr));
    EXPECT_EQ(E_POINTER, e->get_Path(nullptr));
    EXPECT_EQ(E_POINTER, e->get_FileName(nullptr));
    EXPECT_EQ(E_POINTER, e->get_CRC(nullptr));
    e.reset();
    EXPECT_EQ(locks, Tamrix::module_lock::Count());
}

}  // namespace
