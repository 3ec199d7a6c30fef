// Plug-in calls in a helper process. There a fault that the plug-in does not handle itself
// ends the process (its exit code E_PLUGIN_CRASHED tells the client why), rather than
// reaching COM, which would catch it and leave the plug-in's damage behind; and a call that
// runs past the client's time limit ends it too (exit code E_PLUGIN_TIMEOUT). In a client's
// own process plug-in calls run as they are.
#pragma once
#include <windows.h>

namespace SPI {

// Turns the guard on for this process, with the time limit read at `timeout` (ms, 0 for
// none) whenever an outermost call is running. Once, in a helper process only.
bool GuardPluginCalls(const volatile LONG* timeout) noexcept;
bool PluginCallsGuarded() noexcept;

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
