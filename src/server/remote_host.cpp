// The helper process's body: rundll32 calls RemoteHostW in a process a client started (see
// src/common/helper_link.h). It hands the client one plug-in object, marshaled into the
// shared block, and serves that object and those it makes until the client lets go of them
// all or ends; plug-in calls here run guarded (src/plugin/call_guard.h).
#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <cwchar>

#include "../common/com_ptr.h"
#include "../common/failure_note.h"
#include "../common/handles.h"
#include "../common/helper_link.h"
#include "../common/surrogate_process.h"
#include "../manager/remote_susie_plugin.h"
#include "../plugin/call_guard.h"
#include "../plugin/module_retention.h"
#include "../plugin_object/susie_plugin.h"
#include "module.h"
#include "remote_host.h"

namespace Tamrix {
namespace {

HelperLink* g_link = nullptr;  // the block shared with the client, while serving

// "<pid> <event> <mapping>", decimal.
bool ParseArguments(const wchar_t* text, DWORD& pid, HANDLE& event, HANDLE& mapping) {
    if (!text) return false;
    wchar_t* end = nullptr;
    ULONGLONG values[3];
    for (ULONGLONG& value : values) {
        value = wcstoull(text, &end, 10);
        if (end == text) return false;
        text = end;
    }
    pid = static_cast<DWORD>(values[0]);
    event = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(values[1]));
    mapping = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(values[2]));
    return true;
}

HRESULT MarshalFirst(HelperLink& link) {
    ComPtr<Object<SusiePlugin>> first = Make<SusiePlugin>();
    if (!first) return E_OUTOFMEMORY;
    ComPtr<IStream> stream;
    if (HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.put()); FAILED(hr)) return hr;
    if (HRESULT hr = CoMarshalInterface(stream.get(), IID_ISusiePluginRemote,
                                        static_cast<ISusiePluginRemote*>(first.get()), MSHCTX_LOCAL, nullptr,
                                        MSHLFLAGS_NORMAL);
        FAILED(hr))
        return hr;
    HGLOBAL memory = nullptr;
    STATSTG stat{};
    if (FAILED(GetHGlobalFromStream(stream.get(), &memory)) || FAILED(stream->Stat(&stat, STATFLAG_NONAME)) ||
        stat.cbSize.QuadPart > sizeof link.objref) {
        // Nobody will unmarshal it: the reference it holds goes.
        LARGE_INTEGER start{};
        stream->Seek(start, STREAM_SEEK_SET, nullptr);
        CoReleaseMarshalData(stream.get());
        return E_FAIL;
    }
    link.objrefSize = static_cast<DWORD>(stat.cbSize.QuadPart);
    std::memcpy(link.objref, GlobalLock(memory), link.objrefSize);
    GlobalUnlock(memory);
    return S_OK;
}

// Ends this process when the client's process (`parent`, which it owns) ends, whatever the
// helper's own thread is doing then: in a plug-in call without a time limit, say.
DWORD WINAPI WatchClient(void* parent) {
    WaitForSingleObject(parent, INFINITE);
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}

}  // namespace

void ServeRemoteHost(const wchar_t* commandLine) {
    DWORD pid = 0;
    HANDLE eventValue = nullptr, mappingValue = nullptr;
    if (!ParseArguments(commandLine, pid, eventValue, mappingValue)) return;
    UniqueKernelHandle event(eventValue), mapping(mappingValue);
    UniqueKernelHandle parent(OpenProcess(SYNCHRONIZE, FALSE, pid));
    auto* link = static_cast<HelperLink*>(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(HelperLink)));
    // Watched before any plug-in is loaded; the client sees the helper end before the event
    // when it cannot be.
    if (!parent || !link) return;
    const HANDLE watcher = CreateThread(nullptr, 0, WatchClient, parent.get(), 0, nullptr);
    if (!watcher) return;
    parent.release();  // the watcher's
    CloseHandle(watcher);
    // A plug-in's fault outside its calls (on a thread of its own) ends the helper, with no
    // dialog to wait for a user.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    MarkRemoteHost();
    // The plug-ins the client's walks let go stay warm here as in its own process, until the
    // helper ends.
    SPI::KeepFreedModulesWarm(&g_link);
    failure::ShareWith(link);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(hr)) hr = SPI::GuardPluginCalls(link) ? S_OK : HRESULT_FROM_WIN32(GetLastError());
    // A worker's list has another width's plug-ins served as an isolating manager has them,
    // within the time limit and in the code page the client gives this helper.
    g_link = link;
    SPI::SetHelperRemotePlugins([] { return NewForeignPlugins(g_link->callTimeout, g_link->codePage); });
    if (SUCCEEDED(hr)) hr = MarshalFirst(*link);
    link->marshalResult = hr;
    SetEvent(event.get());
    // Served until the client has let go of every object here (or has ended: the watcher).
    while (SUCCEEDED(hr) && Module().GetLockCount() > 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 250, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    UnmapViewOfFile(link);
    // The process ends here, without COM's orderly shutdown: a call still on its way in (the
    // client's last releases, or one a client that ended left behind) is no longer served by
    // this thread, and Wine's shutdown waits for such a call for ever, keeping the plug-ins
    // loaded. Nothing here needs saving.
    TerminateProcess(GetCurrentProcess(), 0);
}

}  // namespace Tamrix
