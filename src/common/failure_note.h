// Failures told in words. The code that sees a failure notes what happened (which plug-in,
// which file or member, what it answered) on its thread; the COM member the call came in
// through (boundary.h) turns the note into the thread's error object, which late-bound
// clients get in EXCEPINFO (a script's error description) and early-bound ones through
// ISupportErrorInfo. HRESULTs are not changed by any of it.
#pragma once
#include <windows.h>
#include <string>

namespace Tamrix {

struct HelperLink;

// Replaces this thread's note. Kept only while a COM member runs on this thread: nobody
// else would read it.
void NoteFailure(std::wstring text) noexcept;
// This thread's note, taken; empty when there is none.
std::wstring TakeFailureNote() noexcept;

// The first failure of a walk that asks one plug-in after another: its code and its note,
// which later failures do not replace.
class FirstFailure {
public:
    // Takes this thread's note as the failure `hr`'s, unless a failure came before.
    void Offer(HRESULT hr) noexcept;
    bool Failed() const noexcept { return FAILED(hr_); }
    // The first failure's code, its note noted again; S_OK when there was none.
    HRESULT Report() noexcept;

private:
    HRESULT hr_ = S_OK;
    std::wstring note_;
};

// The words for a plug-in's result code: "broken data", "out of memory", ...
std::wstring PluginCodeText(int code);
// The system's words for an HRESULT (without a trailing full stop), Tamrix's own codes
// included; "error 0x...." for one nobody has words for.
std::wstring ResultText(HRESULT hr);
// `path` in quotes, as a description names a file.
std::wstring Quoted(const std::wstring& path);
// The last part of a path: a plug-in's file name.
std::wstring FileNameOf(const std::wstring& path);

namespace failure {

// One COM member's run on this thread; the outermost one reports.
class MemberScope {
public:
    MemberScope() noexcept;
    ~MemberScope();
    MemberScope(const MemberScope&) = delete;
    MemberScope& operator=(const MemberScope&) = delete;

    bool Outermost() const noexcept { return outermost_; }

private:
    bool outermost_;
};

// Makes the thread's error object for the member `function` (a compiler's name of the
// member function: "virtual HRESULT Tamrix::TamrixHost::GetPicture(...)") failing with `hr`:
// "TamrixHost.GetPicture: " and the thread's note, or the words for hr.
void Report(HRESULT hr, const char* function) noexcept;

// In a helper process: the description of each failing member also goes to the block the
// helper shares with its client.
void ShareWith(HelperLink* link) noexcept;

// "Class.Member" of such a name: get_/put_ prefixes left out, the classes clients know by
// another name told by theirs.
std::wstring MemberName(const char* function);

}  // namespace failure
}  // namespace Tamrix
