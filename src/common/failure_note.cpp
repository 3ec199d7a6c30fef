#include "failure_note.h"

#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>
#include <utility>
#include <vector>

#include "com_ptr.h"
#include "slim_lock.h"
#include "helper_link.h"

namespace Tamrix {
namespace {

// How deep this thread is in COM members, times two, plus one while it has a note: one
// TLS slot, taken when the library loads and given back when it unloads (no C++ thread_local,
// whose runtime would keep a slot of the process for good at every load).
class ThreadState {
public:
    ThreadState() noexcept : index_(TlsAlloc()) {}
    ~ThreadState() {
        if (index_ != TLS_OUT_OF_INDEXES) TlsFree(index_);
    }
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;

    ULONG_PTR Get() const noexcept {
        return index_ == TLS_OUT_OF_INDEXES ? 0 : reinterpret_cast<ULONG_PTR>(TlsGetValue(index_));
    }
    void Set(ULONG_PTR value) const noexcept {
        if (index_ != TLS_OUT_OF_INDEXES) TlsSetValue(index_, reinterpret_cast<void*>(value));
    }

private:
    DWORD index_;
};

constexpr ULONG_PTR HAS_NOTE = 1;
constexpr ULONG_PTR ONE_LEVEL = 2;

ThreadState g_state;
HelperLink* g_link = nullptr;

// The notes of threads inside a COM member that have one: as many as such threads at most.
SRWLOCK g_notesLock = SRWLOCK_INIT;
std::vector<std::pair<DWORD, std::wstring>>& Notes() {
    static std::vector<std::pair<DWORD, std::wstring>> notes;
    return notes;
}

std::wstring Take() noexcept {
    const ULONG_PTR state = g_state.Get();
    if (!(state & HAS_NOTE)) return std::wstring();
    g_state.Set(state & ~HAS_NOTE);
    const DWORD me = GetCurrentThreadId();
    std::wstring text;
    const ExclusiveLock guard(g_notesLock);
    auto& notes = Notes();
    for (size_t i = 0; i < notes.size(); ++i) {
        if (notes[i].first != me) continue;
        text = std::move(notes[i].second);
        notes[i] = std::move(notes.back());
        notes.pop_back();
        break;
    }
    return text;
}

// A compiler's name of a member function cut to its class and member.
std::string QualifiedMember(const char* function) {
    std::string name(function ? function : "");
    const size_t open = name.find('(');
    if (open != std::string::npos) name.resize(open);
    const size_t space = name.rfind(' ');
    if (space != std::string::npos) name.erase(0, space + 1);
    const size_t memberAt = name.rfind("::");
    if (memberAt == std::string::npos) return name;
    std::string member = name.substr(memberAt + 2);
    name.resize(memberAt);
    const size_t classAt = name.rfind("::");
    std::string owner = classAt == std::string::npos ? name : name.substr(classAt + 2);
    const size_t templateAt = owner.find('<');
    if (templateAt != std::string::npos) owner.resize(templateAt);
    for (const char* prefix : {"get_", "put_"})
        if (member.compare(0, 4, prefix) == 0) member.erase(0, 4);
    // The object a client holds for an isolated plug-in is a plug-in object to it.
    if (owner == "RemotePluginObject") owner = "SusiePlugin";
    if (owner == "PluginEnumerator") owner = "TamrixHost";
    return owner + "." + member;
}

}  // namespace

void NoteFailure(std::wstring text) noexcept {
    const ULONG_PTR state = g_state.Get();
    if (state < ONE_LEVEL) return;  // no member runs here
    const DWORD me = GetCurrentThreadId();
    const ExclusiveLock guard(g_notesLock);
    try {
        auto& notes = Notes();
        bool replaced = false;
        for (auto& [thread, note] : notes)
            if (thread == me) {
                note = std::move(text);
                replaced = true;
            }
        if (!replaced) notes.emplace_back(me, std::move(text));
        g_state.Set(state | HAS_NOTE);
    } catch (...) {
        // Without memory the failure goes without words; its code still tells.
    }
}

std::wstring TakeFailureNote() noexcept {
    try {
        return Take();
    } catch (...) {
        return std::wstring();
    }
}

void FirstFailure::Offer(HRESULT hr) noexcept {
    if (SUCCEEDED(hr)) return;
    std::wstring note = TakeFailureNote();
    if (FAILED(hr_)) return;
    hr_ = hr;
    note_ = std::move(note);
}

HRESULT FirstFailure::Report() noexcept {
    if (FAILED(hr_) && !note_.empty()) NoteFailure(std::move(note_));
    return hr_;
}

std::wstring PluginCodeText(int code) {
    switch (code) {
    case -1: return L"not implemented";
    case 0: return L"success";
    case 1: return L"aborted";
    case 2: return L"not supported (unknown format)";
    case 3: return L"broken data";
    case 4: return L"out of memory";
    case 5: return L"memory error";
    case 6: return L"read error";
    case 7: return L"window error";
    case 8: return L"internal error";
    case 9: return L"write error";
    case 10: return L"end of file";
    default: return L"code " + std::to_wstring(code);
    }
}

std::wstring ResultText(HRESULT hr) {
    if (hr == E_PLUGIN_CRASHED) return L"the plug-in crashed, and its helper process ended";
    if (hr == E_PLUGIN_TIMEOUT) return L"the plug-in did not answer in time, and its helper process was ended";
    wchar_t text[512];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(hr), 0, text, static_cast<DWORD>(std::size(text)), nullptr);
    std::wstring words(text, n < std::size(text) ? n : 0);
    while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' ' ||
                              words.back() == L'.'))
        words.pop_back();
    if (!words.empty()) return words;
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return std::wstring(L"error ") + code;
}

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/:");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

namespace failure {

MemberScope::MemberScope() noexcept {
    const ULONG_PTR state = g_state.Get();
    outermost_ = state < ONE_LEVEL;
    g_state.Set(state + ONE_LEVEL);
    if (outermost_ && g_link) g_link->failure[0] = L'\0';
}

void ShareWith(HelperLink* link) noexcept {
    g_link = link;
}

MemberScope::~MemberScope() {
    // The outermost member's note goes with it, reported or not.
    if (outermost_ && (g_state.Get() & HAS_NOTE)) TakeFailureNote();
    g_state.Set(g_state.Get() - ONE_LEVEL);
}

std::wstring MemberName(const char* function) {
    const std::string name = QualifiedMember(function);
    return std::wstring(name.begin(), name.end());  // ASCII: identifiers
}

void Report(HRESULT hr, const char* function) noexcept {
    try {
        std::wstring note = TakeFailureNote();
        const std::wstring member = MemberName(function);
        const std::wstring description = member + L": " + (note.empty() ? ResultText(hr) : note);
        ComPtr<ICreateErrorInfo> made;
        if (FAILED(CreateErrorInfo(made.put()))) return;
        made->SetGUID(GUID_NULL);
        const std::wstring source = L"Tamrix." + member.substr(0, member.find(L'.'));
        made->SetSource(const_cast<LPOLESTR>(source.c_str()));
        made->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        ComPtr<IErrorInfo> error;
        if (SUCCEEDED(made.query(error))) SetErrorInfo(0, error.get());
        if (g_link) {
            const size_t length = std::min(description.size(), std::size(g_link->failure) - 1);
            std::memcpy(g_link->failure, description.data(), length * sizeof(wchar_t));
            g_link->failure[length] = L'\0';
        }
    } catch (...) {
        // Without memory there are no words; the code still tells.
    }
}

}  // namespace failure
}  // namespace Tamrix
