// What a client and the helper process it started share: the codes that say how a helper
// ended, and the small shared block through which the helper hands its first object over,
// the client tells it the time limit of a plug-in call, the helper tells which plug-in of a
// run it is asking (so that the client knows which one ended it) and what its last failure
// was, and the two tell which pixel mappings the client has yet to read; and the client's code
// page for its plug-ins' narrow texts and names.
#pragma once
#include <windows.h>

namespace Tamrix {

// "The process terminated unexpectedly": a plug-in faulted, or let an exception escape, and its
// helper ended. No plug-in result code maps to it.
inline constexpr HRESULT E_PLUGIN_CRASHED = HRESULT_FROM_WIN32(ERROR_PROCESS_ABORTED);
// A plug-in call ran past the time limit and its helper was ended.
inline constexpr HRESULT E_PLUGIN_TIMEOUT = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// The time limit of a call into an isolated plug-in unless the client sets another (ms).
inline constexpr LONG DEFAULT_CALL_TIMEOUT = 30000;

// The helper's entry: rundll32 "<server dll>",RemoteHost <parent pid> <event> <mapping>
// (the two handles inherited, as decimal numbers); rundll32 finds RemoteHostW and hands it
// the wide command line.
inline constexpr wchar_t HELPER_ENTRY[] = L"RemoteHost";

// How many decoded pictures a helper can have handed over that its client has not read yet:
// more than one only while calls overlap (another apartment's, or one a window message
// makes while the client waits for the first).
inline constexpr int PIXEL_SLOTS = 8;

struct HelperLink {
    volatile LONG callTimeout;  // ms, 0 for none; written by the client at any time
    HRESULT marshalResult;      // the helper's, set before the event
    DWORD objrefSize;
    BYTE objref[4000];          // the marshaled ISusiePluginRemote
    volatile LONG asking;       // which of a run of plug-in files the helper is asking
    // The pixel mappings handed over and not read yet, by the helper's handle value (0: a
    // free slot); the client clears the one it has read.
    volatile LONG handed[PIXEL_SLOTS];
    // The description of the helper's last failing call, for a client whose system does not
    // bring a call's error object over (Wine's does not); NUL-terminated, cut to fit.
    wchar_t failure[512];
    // The code page of narrow plug-in texts and names (0: the helper thread's ANSI code
    // page); written by the client at any time, read at every conversion.
    volatile LONG codePage;
};

}  // namespace Tamrix
