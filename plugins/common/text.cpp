// Text conversions for the plug-in records.
#include "text.h"

#include <cstring>

namespace spi {

int CopyText(char* buf, int size, const char* text) {
    if (!buf || size <= 0) return 0;
    int n = static_cast<int>(std::strlen(text));
    if (n > size - 1) n = size - 1;
    std::memcpy(buf, text, n);
    buf[n] = 0;
    return n;
}

int CopyText(wchar_t* buf, int size, const char* text) {
    if (!buf || size <= 0) return 0;
    std::wstring wide = Widen(text, std::strlen(text), CP_ACP);
    int n = static_cast<int>(wide.size());
    if (n > size - 1) n = size - 1;
    std::memcpy(buf, wide.data(), n * sizeof(wchar_t));
    buf[n] = 0;
    return n;
}

std::wstring Widen(const char* s, size_t n, UINT codePage) {
    if (n == 0) return std::wstring();
    int len = MultiByteToWideChar(codePage, 0, s, static_cast<int>(n), nullptr, 0);
    if (len <= 0) return std::wstring();
    std::wstring out(len, L'\0');
    MultiByteToWideChar(codePage, 0, s, static_cast<int>(n), out.data(), len);
    return out;
}

std::string ToAnsi(const std::wstring& s) {
    if (s.empty()) return std::string();
    int len = WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                                  "?", nullptr);
    if (len <= 0) return std::string();
    std::string out(len, '\0');
    WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), len, "?",
                        nullptr);
    return out;
}

bool IsUtf8(const char* s, size_t n) {
    return n == 0 || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, static_cast<int>(n),
                                         nullptr, 0) > 0;
}

void CopyName(char* field, size_t size, const std::wstring& name) {
    std::memset(field, 0, size);
    // Cut the wide name first so that a multi-byte character is never split.
    std::wstring cut = name;
    std::string narrow = ToAnsi(cut);
    while (narrow.size() > size - 1 && !cut.empty()) {
        cut.pop_back();
        if (!cut.empty() && IS_HIGH_SURROGATE(cut.back())) cut.pop_back();
        narrow = ToAnsi(cut);
    }
    std::memcpy(field, narrow.data(), narrow.size());
}

void CopyName(wchar_t* field, size_t size, const std::wstring& name) {
    std::memset(field, 0, size * sizeof(wchar_t));
    size_t n = name.size() < size - 1 ? name.size() : size - 1;
    if (n > 0 && n < name.size() && IS_HIGH_SURROGATE(name[n - 1])) --n;
    std::memcpy(field, name.data(), n * sizeof(wchar_t));
}

}  // namespace spi
