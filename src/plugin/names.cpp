#include "names.h"

#include <cstring>
#include <utility>

#include "../common/text.h"

namespace SPI {
namespace {

const std::wstring EXTENDED_PREFIX = L"\\\\?\\";
const std::wstring EXTENDED_UNC_PREFIX = L"\\\\?\\UNC\\";

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The short name the system keeps for the existing file or folder `name`, in the form the
// caller gave (an extended-length prefix added here for a long name is taken off again).
bool ShortNameOf(const std::wstring& name, std::wstring& out) {
    const std::wstring path = SystemPath(name);
    DWORD n = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return false;
    out.assign(n, L'\0');
    n = GetShortPathNameW(path.c_str(), out.data(), n);
    if (n == 0 || n >= out.size()) return false;
    out.resize(n);
    if (path != name) {
        if (StartsWith(out, EXTENDED_UNC_PREFIX))
            out = L"\\\\" + out.substr(EXTENDED_UNC_PREFIX.size());
        else if (StartsWith(out, EXTENDED_PREFIX))
            out.erase(0, EXTENDED_PREFIX.size());
    }
    return true;
}

// A file name's narrow form in `codePage`: exact there, and, as a plug-in opens the file
// through the system's narrow file functions, which read the bytes in the thread's ANSI code
// page, the same bytes there; S_FALSE otherwise.
HRESULT ToFileNarrow(const std::wstring& text, std::string& out, UINT codePage) {
    HRESULT hr = ToExactNarrow(text, out, codePage);
    if (hr != S_OK || codePage == CP_THREAD_ACP) return hr;
    std::string system;
    if (FAILED(hr = ToExactNarrow(text, system, CP_THREAD_ACP))) return hr;
    if (hr == S_OK && system == out) return S_OK;
    out.clear();
    return S_FALSE;
}

}  // namespace

std::wstring TextOf(BSTR text) {
    if (!text) return std::wstring();
    return std::wstring(text, wcsnlen(text, SysStringLen(text)));
}

HRESULT ToExactNarrow(const std::wstring& text, std::string& out, UINT codePage) {
    out.clear();
    if (text.empty()) return S_OK;
    const int length = static_cast<int>(text.size());
    // Best-fit look-alikes are refused too: they name another file.
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), length, nullptr, 0, nullptr,
                                &usedDefault);
    if (n > 0) {
        if (usedDefault) return S_FALSE;
        out.resize(static_cast<size_t>(n));
        const bool written = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), length, out.data(), n,
                                                 nullptr, &usedDefault) == n;
        if (written && !usedDefault) return S_OK;
        out.clear();
        return written ? S_FALSE : E_OUTOFMEMORY;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INVALID_FLAGS && error != ERROR_INVALID_PARAMETER) return E_OUTOFMEMORY;
    // A code page that takes neither the flag nor the question (UTF-8, UTF-7, the stateful
    // ones): the text is exact there when it comes back unchanged.
    n = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return E_OUTOFMEMORY;
    out.resize(static_cast<size_t>(n));
    if (WideCharToMultiByte(codePage, 0, text.data(), length, out.data(), n, nullptr, nullptr) != n) {
        out.clear();
        return E_OUTOFMEMORY;
    }
    std::wstring back;
    if (FAILED(Tamrix::ToWide(out.data(), out.size(), back, codePage))) {
        out.clear();
        return E_OUTOFMEMORY;
    }
    if (back == text) return S_OK;
    out.clear();
    return S_FALSE;
}

bool FullPath(const std::wstring& path, std::wstring& out) {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return false;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size()) return false;
    full.resize(n);
    out = std::move(full);
    return true;
}

std::wstring FullPathOf(const std::wstring& path) {
    std::wstring full;
    return FullPath(path, full) ? full : path;
}

std::wstring SystemPath(const std::wstring& path) {
    if (path.size() < MAX_PATH) return path;
    if (StartsWith(path, EXTENDED_PREFIX) || StartsWith(path, L"\\\\.\\")) return path;
    std::wstring full;
    if (!FullPath(path, full)) return path;
    if (StartsWith(full, L"\\\\")) return EXTENDED_UNC_PREFIX + full.substr(2);  // \\server\share\...
    return EXTENDED_PREFIX + full;
}

const std::wstring& PluginName::Text() const noexcept {
    static const std::wstring none;
    return text_ ? *text_ : none;
}

HRESULT PluginName::Narrow(LPCSTR& out, UINT codePage) {
    out = nullptr;
    if (!text_) return S_OK;
    if (!narrowMade_ || narrowCodePage_ != codePage) {
        narrowMade_ = true;
        narrowCodePage_ = codePage;
        narrowResult_ =
            namesFile_ ? ToFileNarrow(*text_, narrow_, codePage) : ToExactNarrow(*text_, narrow_, codePage);
        if (narrowResult_ == S_FALSE) {
            narrowResult_ = E_INVALIDARG;
            std::wstring shortName;
            if (namesFile_ && ShortNameOf(*text_, shortName)) {
                const HRESULT hr = ToFileNarrow(shortName, narrow_, codePage);
                narrowResult_ = hr == S_FALSE ? E_INVALIDARG : hr;
            }
        }
    }
    if (SUCCEEDED(narrowResult_)) out = narrow_.c_str();
    return narrowResult_;
}

}  // namespace SPI
