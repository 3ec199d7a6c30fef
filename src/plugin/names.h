// File names and other texts on their way to plug-ins. Callers give UTF-16 text; a plug-in's
// wide entry takes it as it is, a narrow entry only in the code page of its binding (by
// default the calling thread's ANSI code page); a file's name, which the plug-in opens through
// the system's narrow file functions, only where its bytes there are the same in the thread's
// ANSI code page, which those functions read.
// Text that code page cannot hold is never handed over with replacement characters: a file
// is named by its short name instead where the system has one that the code page holds,
// and otherwise the call is refused (E_INVALIDARG) before any plug-in sees it. Errors:
// HRESULTs; only std::bad_alloc is thrown.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <optional>
#include <string>

namespace SPI {

// The text of a BSTR up to its first NUL (as a plug-in would read it); a null BSTR gives
// an empty text.
std::wstring TextOf(BSTR text);

// `text` in `codePage` when the code page has every one of its characters exactly (no
// replacement, no best-fit look-alike): S_OK; S_FALSE, with `out` cleared, when it does not;
// E_OUTOFMEMORY when the conversion cannot be made.
HRESULT ToExactNarrow(const std::wstring& text, std::string& out, UINT codePage = CP_THREAD_ACP);

// `path` made full, as the system makes it from this process's current folder: true, or
// false when it cannot be made.
bool FullPath(const std::wstring& path, std::wstring& out);
// The same, or `path` as it is when it cannot be made full.
std::wstring FullPathOf(const std::wstring& path);

// A path as the system's file functions take it whatever its length: one of MAX_PATH
// characters or more in its extended-length form ("\\?\" or "\\?\UNC\" and the full
// path), any other as it is.
std::wstring SystemPath(const std::wstring& path);

// A file name, or an archive member's name, for the plug-ins of one call: the caller's UTF-16
// text for wide entries, and its narrow form for narrow ones, made once when first asked for.
class PluginName {
public:
    // No name at all: both forms are null pointers.
    PluginName() = default;
    // `namesFile`: the text names a file, whose short name may stand in for it.
    explicit PluginName(std::wstring text, bool namesFile = true)
        : text_(std::move(text)), namesFile_(namesFile) {}

    bool IsNull() const noexcept { return !text_.has_value(); }
    // The UTF-16 text (null for no name).
    LPCWSTR Wide() const noexcept { return text_ ? text_->c_str() : nullptr; }
    const std::wstring& Text() const noexcept;

    // The narrow form in `codePage`: the text itself when the code page holds it; for a file
    // name the code page cannot hold, the file's short name when the system has one and the
    // code page holds that. E_INVALIDARG otherwise (and Refused() is true from then on);
    // E_OUTOFMEMORY when it cannot be made. No name gives null and S_OK. Made once per code
    // page asked for in a row.
    HRESULT Narrow(LPCSTR& out, UINT codePage);
    // Whether a narrow form was asked for and could not be given, here or by a plug-in
    // served in another process.
    bool Refused() const noexcept { return narrowResult_ == E_INVALIDARG || refusedElsewhere_; }
    // A plug-in served in another process could not be given the narrow form there.
    void MarkRefused() noexcept { refusedElsewhere_ = true; }

private:
    std::optional<std::wstring> text_;
    bool namesFile_ = true;
    bool narrowMade_ = false;
    UINT narrowCodePage_ = 0;
    HRESULT narrowResult_ = S_OK;
    bool refusedElsewhere_ = false;
    std::string narrow_;
};

}  // namespace SPI
