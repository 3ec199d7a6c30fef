// Narrow text as the plug-ins speak it: in the code page a manager is set to, by default the
// ANSI code page of the calling thread's locale. Like everything in this layer, nothing here
// throws: failures, allocation's included, are HRESULTs.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <memory>
#include <string>

namespace Tamrix {

// A manager's code page for narrow plug-in text, shared with everything made from it and read
// at every conversion, so that a change reaches them all; in a helper process, the value its
// client keeps in the block they share. 0 (and no setting at all) stands for the calling
// thread's ANSI code page.
using CodePageSetting = std::shared_ptr<const volatile LONG>;
// The code page to convert with: CP_THREAD_ACP for no setting or 0.
UINT CodePageOf(const CodePageSetting& setting) noexcept;
// Whether `codePage` may be set: 0, or a code page the system converts (IsValidCodePage).
bool IsSettableCodePage(LONG codePage) noexcept;

// BSTR to narrow text. A null BSTR gives an empty string. E_OUTOFMEMORY on failure.
HRESULT ToNarrow(BSTR s, std::string& out, UINT codePage = CP_THREAD_ACP) noexcept;

// Narrow text of at most maxBytes bytes (stopping at the first NUL) to a new BSTR.
// Never reads past maxBytes, so a buffer without a terminating NUL is safe.
HRESULT ToBstr(const char* text, size_t maxBytes, BSTR* out, UINT codePage = CP_THREAD_ACP) noexcept;

// Narrow text of `bytes` bytes (NULs included) to wide text. E_OUTOFMEMORY on failure.
HRESULT ToWide(const char* text, size_t bytes, std::wstring& out, UINT codePage = CP_THREAD_ACP) noexcept;

// Narrow NUL-terminated text to a new BSTR.
HRESULT ToBstr(const char* text, BSTR* out, UINT codePage = CP_THREAD_ACP) noexcept;

}  // namespace Tamrix
