#include "text.h"

#include <cstring>
#include <new>

namespace Tamrix {

UINT CodePageOf(const CodePageSetting& setting) noexcept {
    const LONG value = setting ? *setting : 0;
    return value == 0 ? CP_THREAD_ACP : static_cast<UINT>(value);
}

bool IsSettableCodePage(LONG codePage) noexcept {
    return codePage == 0 || (codePage > 0 && IsValidCodePage(static_cast<UINT>(codePage)));
}

HRESULT ToNarrow(BSTR s, std::string& out, UINT codePage) noexcept {
    try {
        out.clear();
        const int wlen = static_cast<int>(SysStringLen(s));
        if (wlen == 0) return S_OK;
        const int n = WideCharToMultiByte(codePage, 0, s, wlen, nullptr, 0, nullptr, nullptr);
        if (n <= 0) return E_OUTOFMEMORY;
        out.resize(static_cast<size_t>(n));
        WideCharToMultiByte(codePage, 0, s, wlen, out.data(), n, nullptr, nullptr);
        // Text ends at an embedded NUL, as it does for the plug-in that receives it.
        out.resize(std::strlen(out.c_str()));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ToBstr(const char* text, size_t maxBytes, BSTR* out, UINT codePage) noexcept {
    const size_t len = text ? strnlen(text, maxBytes) : 0;
    int wlen = 0;
    if (len > 0) {
        wlen = MultiByteToWideChar(codePage, 0, text, static_cast<int>(len), nullptr, 0);
        if (wlen <= 0) return E_OUTOFMEMORY;
    }
    BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(wlen));
    if (!b) return E_OUTOFMEMORY;
    if (wlen > 0) MultiByteToWideChar(codePage, 0, text, static_cast<int>(len), b, wlen);
    b[wlen] = L'\0';
    *out = b;
    return S_OK;
}

HRESULT ToWide(const char* text, size_t bytes, std::wstring& out, UINT codePage) noexcept {
    try {
        out.clear();
        if (bytes == 0) return S_OK;
        const int n = MultiByteToWideChar(codePage, 0, text, static_cast<int>(bytes), nullptr, 0);
        if (n <= 0) return E_OUTOFMEMORY;
        out.resize(static_cast<size_t>(n));
        MultiByteToWideChar(codePage, 0, text, static_cast<int>(bytes), out.data(), n);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ToBstr(const char* text, BSTR* out, UINT codePage) noexcept {
    return ToBstr(text, text ? std::strlen(text) : 0, out, codePage);
}

}  // namespace Tamrix
