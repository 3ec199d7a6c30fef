#include "spi_file_info.h"

#include <utility>

#include "../common/boundary.h"
#include "../common/value_width.h"

namespace Tamrix {
namespace {

// A text property, the whole of a member's body: *pVal is written only when the text could
// be made.
template <class Read>
HRESULT TextProperty(const SPI::MemberRecord& record, BSTR* pVal, Read read) noexcept {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        BSTR text = nullptr;
        if (HRESULT hr = read(record, &text); FAILED(hr)) return hr;
        *pVal = text;
        return S_OK;
    });
}

// The record's 32-bit fields are read bit for bit as signed numbers; a 64-bit record's
// number only when it has no bits above them. The whole of a member's body, as above.
template <class Field>
HRESULT LongProperty(Field field, LONG* pVal) noexcept {
    return Boundary([&] { return pVal ? LongOf(field, *pVal) : E_POINTER; });
}

}  // namespace

HRESULT SpiFileInfo::Create(SPI::MemberRecord record, ISpiFileInfo** out) noexcept {
    *out = nullptr;
    if (!record) return E_INVALIDARG;
    return HandOut(Make<SpiFileInfo>(std::move(record)), out);
}

STDMETHODIMP SpiFileInfo::get_Method(BSTR* pVal) {
    return TextProperty(record_, pVal, [](const SPI::MemberRecord& r, BSTR* t) { return SPI::MethodText(r, t); });
}

STDMETHODIMP SpiFileInfo::get_Position(LONG* pVal) {
    return LongProperty(record_.Position(), pVal);
}

STDMETHODIMP SpiFileInfo::get_CompSize(LONG* pVal) {
    return LongProperty(record_.CompSize(), pVal);
}

STDMETHODIMP SpiFileInfo::get_FileSize(LONG* pVal) {
    return LongProperty(record_.FileSize(), pVal);
}

STDMETHODIMP SpiFileInfo::get_TimeStamp(DATE* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = SPI::LocalDateOf(record_.Timestamp());
        return S_OK;
    });
}

STDMETHODIMP SpiFileInfo::get_Path(BSTR* pVal) {
    return TextProperty(record_, pVal, [](const SPI::MemberRecord& r, BSTR* t) { return SPI::PathText(r, t); });
}

STDMETHODIMP SpiFileInfo::get_FileName(BSTR* pVal) {
    return TextProperty(record_, pVal, [](const SPI::MemberRecord& r, BSTR* t) { return SPI::FileNameText(r, t); });
}

STDMETHODIMP SpiFileInfo::get_CRC(LONG* pVal) {
    return LongProperty(record_.Crc(), pVal);
}

STDMETHODIMP SpiFileInfo::GetRecord(SPI::MemberRecord* out) {
    return Boundary([&] {
        if (!out) return E_POINTER;
        *out = record_;
        return S_OK;
    });
}

// The name table's Invoke rows: every member is a reader that takes no argument.
HRESULT SpiFileInfo::InvokeMember(DISPID id, DispatchCall& call) {
    ISpiFileInfo* self = this;
    using LongReader = HRESULT (STDMETHODCALLTYPE ISpiFileInfo::*)(LONG*);
    using TextReader = HRESULT (STDMETHODCALLTYPE ISpiFileInfo::*)(BSTR*);
    auto readLong = [&](LongReader get) {
        LONG v = 0;
        const HRESULT hr = (self->*get)(&v);  // before v is read
        return call.ReturnLong(hr, v);
    };
    auto readText = [&](TextReader get) {
        BSTR v = nullptr;
        const HRESULT hr = (self->*get)(&v);
        return call.ReturnString(hr, v);
    };
    if (id < 1 || id > 8) return DISP_E_MEMBERNOTFOUND;
    if (HRESULT hr = call.Expect(0); FAILED(hr)) return hr;
    switch (id) {
    case 1:
        return readText(&ISpiFileInfo::get_Method);
    case 2:
        return readLong(&ISpiFileInfo::get_Position);
    case 3:
        return readLong(&ISpiFileInfo::get_CompSize);
    case 4:
        return readLong(&ISpiFileInfo::get_FileSize);
    case 5: {
        DATE v = 0.0;
        const HRESULT hr = self->get_TimeStamp(&v);
        return call.ReturnDate(hr, v);
    }
    case 6:
        return readText(&ISpiFileInfo::get_Path);
    case 7:
        return readText(&ISpiFileInfo::get_FileName);
    default:
        return readLong(&ISpiFileInfo::get_CRC);
    }
}

}  // namespace Tamrix
