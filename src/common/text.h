// Narrow text as the plug-ins speak it: the ANSI code page of the calling thread's locale.
// Like everything in this layer, nothing here throws: failures, allocation's included, are
// HRESULTs.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <string>

namespace Tamrix {

// BSTR to narrow text. A null BSTR gives an empty string. E_OUTOFMEMORY on failure.
HRESULT ToNarrow(BSTR s, std::string& out) noexcept;

// Narrow text of at most maxBytes bytes (stopping at the first NUL) to a new BSTR.
// Never reads past maxBytes, so a buffer without a terminating NUL is safe.
HRESULT ToBstr(const char* text, size_t maxBytes, BSTR* out) noexcept;

// Narrow text of `bytes` bytes (NULs included) to wide text. E_OUTOFMEMORY on failure.
HRESULT ToWide(const char* text, size_t bytes, std::wstring& out) noexcept;

// Narrow NUL-terminated text to a new BSTR.
HRESULT ToBstr(const char* text, BSTR* out) noexcept;

}  // namespace Tamrix
