// Plug-in calls. Every one, in any process, leaves the calling thread as it found it: a
// plug-in may unmask floating-point exceptions (Delphi and Pascal runtimes do), leave
// exception flags pending, change the current folder or the error mode, and the client's
// own arithmetic and relative paths must not notice.
// In a helper process, besides, an exception that the plug-in does not handle itself (a
// fault, RaiseException, another runtime's C++ exception) ends the process (its exit code
// E_PLUGIN_CRASHED tells the client why), rather than reaching COM, which would catch it
// and leave the plug-in's damage behind; and a call that runs past the client's
// time limit ends it too (exit code E_PLUGIN_TIMEOUT). Loading and freeing a plug-in runs
// its start-up and clean-up code (DllMain), guarded the same way.
#pragma once
#include <windows.h>

#include "../common/helper_link.h"
#include "../common/text.h"

namespace SPI {

// Turns the guard on for this process, with the time limit read from the block it shares
// with its client whenever an outermost call is running. Once, in a helper process only.
bool GuardPluginCalls(Tamrix::HelperLink* link) noexcept;
bool PluginCallsGuarded() noexcept;
// The block shared with the client; null where calls are not guarded.
Tamrix::HelperLink* SharedLink() noexcept;
// The code page setting a binding made in this process starts with: in a helper process the
// one its client keeps in the block they share, elsewhere none (the thread's ANSI code page).
Tamrix::CodePageSetting ProcessCodePage() noexcept;
// Tells the client which of a run of plug-in files is being asked now (nothing where
// calls are not guarded).
void NoteAsking(LONG index) noexcept;

// The calling thread's state a plug-in may change, kept while one is alive and put back as
// it was when it goes: the x87 control and status words (pending exception flags cleared
// first, so that none fires in the caller), MXCSR with its flags, the current folder, and
// the process's and the thread's error modes.
class CallerState {
public:
    CallerState() noexcept;
    ~CallerState();
    CallerState(const CallerState&) = delete;
    CallerState& operator=(const CallerState&) = delete;

private:
    // The x87 environment as FNSTENV stores it (28 bytes in 32-bit protected mode).
    unsigned char x87_[28];
    unsigned mxcsr_ = 0;
    UINT errorMode_ = 0;
    DWORD threadErrorMode_ = 0;
    DWORD folderLength_ = 0;  // 0: the folder was not read, and is left alone
    wchar_t folder_[MAX_PATH + 1];
};

// Runs fn(context) inside the process's fault frame, timed when it is the outermost call.
void RunGuarded(void (*fn)(void*), void* context) noexcept;

// fn() run as a call into a plug-in (as it is where calls are not guarded), the caller's
// state kept: its result.
template <class Fn>
auto CallGuarded(Fn fn) noexcept {
    const CallerState kept;
    if (!PluginCallsGuarded()) return fn();
    struct Call {
        Fn& fn;
        decltype(fn()) result;
    } call{fn, {}};
    RunGuarded([](void* p) {
        Call& c = *static_cast<Call*>(p);
        c.result = c.fn();
    }, &call);
    return call.result;
}

// LoadLibraryW and FreeLibrary of a plug-in file, run as calls into the plug-in (its DllMain
// runs in them). Plug-in modules are loaded and freed through module_retention.h, which
// calls these.
HMODULE LoadLibraryGuarded(const wchar_t* path) noexcept;
BOOL FreeLibraryGuarded(HMODULE module) noexcept;

// While one is alive, calls are not timed: a dialog waits for its user.
class UntimedCalls {
public:
    UntimedCalls() noexcept;
    ~UntimedCalls();
    UntimedCalls(const UntimedCalls&) = delete;
    UntimedCalls& operator=(const UntimedCalls&) = delete;
};

}  // namespace SPI
