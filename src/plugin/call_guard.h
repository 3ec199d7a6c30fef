// Plug-in calls in a helper process. There a fault that the plug-in does not handle itself
// ends the process (its exit code E_PLUGIN_CRASHED tells the client why), rather than
// reaching COM, which would catch it and leave the plug-in's damage behind; and a call that
// runs past the client's time limit ends it too (exit code E_PLUGIN_TIMEOUT). In a client's
// own process plug-in calls run as they are.
#pragma once
#include <windows.h>

#include "../common/helper_link.h"

namespace SPI {

// Turns the guard on for this process, with the time limit read from the block it shares
// with its client whenever an outermost call is running. Once, in a helper process only.
bool GuardPluginCalls(Tamrix::HelperLink* link) noexcept;
bool PluginCallsGuarded() noexcept;
// Tells the client which of a run of plug-in files is being asked now (nothing where
// calls are not guarded).
void NoteAsking(LONG index) noexcept;

// Runs fn(context) inside the process's fault frame, timed when it is the outermost call.
void RunGuarded(void (*fn)(void*), void* context) noexcept;

// While one is alive, calls are not timed: a dialog waits for its user.
class UntimedCalls {
public:
    UntimedCalls() noexcept;
    ~UntimedCalls();
    UntimedCalls(const UntimedCalls&) = delete;
    UntimedCalls& operator=(const UntimedCalls&) = delete;
};

}  // namespace SPI
