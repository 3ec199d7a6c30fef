// Text the plug-ins hand over: the information texts of GetPluginInfo, and names turned
// between code pages and UTF-16.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>

namespace spi {

// Copies `text` into a caller's buffer of `size` characters, cut to fit and always
// NUL-terminated; returns the characters written without the NUL (0 when nothing fits).
int CopyText(char* buf, int size, const char* text);
int CopyText(wchar_t* buf, int size, const char* text);

// Information number infono of GetPluginInfo from a table of texts (0 kind, 1 about,
// then pattern and description pairs); 0 when there is no such number.
template <class Char, size_t N>
int PluginInfo(int infono, Char* buf, int size, const char* const (&table)[N]) {
    if (infono < 0 || static_cast<size_t>(infono) >= N || !buf || size <= 0) return 0;
    return CopyText(buf, size, table[infono]);
}

std::wstring Widen(const char* s, size_t n, UINT codePage);
inline std::wstring Widen(const std::string& s, UINT codePage = CP_ACP) {
    return Widen(s.data(), s.size(), codePage);
}
// To the ANSI code page; characters it cannot hold become '?'.
std::string ToAnsi(const std::wstring& s);
bool IsUtf8(const char* s, size_t n);

// Copies a name into a fixed record field, cut at a character boundary, NUL-terminated.
void CopyName(char* field, size_t size, const std::wstring& name);
void CopyName(wchar_t* field, size_t size, const std::wstring& name);

}  // namespace spi
