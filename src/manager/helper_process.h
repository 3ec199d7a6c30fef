// A helper process that serves one manager's isolated plug-ins: rundll32 running the
// server's RemoteHost entry, started by the manager itself so that it is the manager's alone
// (a crash, or an end for a time-out, takes nobody else's objects with it) and its process
// handle tells how it ended. It ends on its own once the client has let go of every object
// it served, or when the client ends, whatever it is doing then: it watches the client, and
// where the system allows it, it runs in a job that the system ends with the client (and
// that lets it start no process of its own).
#pragma once
#include <windows.h>
#include <memory>
#include <string>

#include "Tamrix.h"
#include "../common/com_ptr.h"
#include "../common/handles.h"
#include "../common/helper_link.h"

namespace Tamrix {

// What a helper that never answered makes of its activation: "server execution failed".
inline constexpr HRESULT E_HELPER_NOT_STARTED = CO_E_SERVER_EXEC_FAILURE;
// How long a helper may take to hand its first object over (ms).
inline constexpr DWORD ACTIVATION_TIMEOUT = 30000;

class HelperProcess {
public:
    HelperProcess() = default;
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;
    ~HelperProcess();

    // Starts `host` (a rundll32.exe) on the server library `server` with the call time
    // limit `timeout` and the code page `codePage` (SetCodePage), and takes the helper's
    // first object; the activation's failure when the helper cannot be started (a server
    // whose path holds a comma and has no short form among the reasons), ends or does not
    // answer in time, or hands no object over (it is then ended).
    static HRESULT Start(const std::wstring& host, const std::wstring& server, LONG timeout, LONG codePage,
                         std::shared_ptr<HelperProcess>& helper, ComPtr<ISusiePluginRemote>& first);

    bool Ended() const noexcept;
    // How it ended: E_PLUGIN_TIMEOUT when it ended a call for its time limit, else
    // E_PLUGIN_CRASHED.
    HRESULT EndCode() const noexcept;
    // The answer of a call into it that gave `hr`: the end's code when the helper has ended
    // (a failed call waits a moment for the end to show), else hr.
    HRESULT Answer(HRESULT hr) const noexcept;

    void SetCallTimeout(LONG timeout) noexcept;
    // The code page of its plug-ins' narrow texts and names (0: the thread's ANSI code page),
    // and the one to convert their texts with here.
    void SetCodePage(LONG codePage) noexcept;
    UINT CodePage() const noexcept;

    // Which of a run of plug-in files it was asking (ISusiePluginRemote2::CountDeclining)
    // when last told; -1 before any.
    LONG Asking() const noexcept;
    void ForgetAsking() noexcept;
    // The description of its last failing call ("" for none).
    std::wstring LastFailure() const;
    // A handle of this process to the object that the handle `value` of the helper names.
    HRESULT DuplicateHandleOf(LONG value, UniqueKernelHandle& out) const noexcept;
    // Tells the helper that the pixel mapping `section` it handed over has been read, so
    // that it may use it again.
    void PixelsRead(LONG section) const noexcept;

private:
    // Waits for the started helper to say, through `event`, that its first object is there,
    // and takes it: the activation's failure when it ends or does not say in time.
    HRESULT TakeFirst(HANDLE event, ComPtr<ISusiePluginRemote>& first);

    UniqueKernelHandle process_;
    UniqueKernelHandle job_;
    HelperLink* link_ = nullptr;
};

// The rundll32.exe that runs a helper for plug-ins of `machine`, and the server library it
// loads: this server for plug-ins of its own width, the 32-bit server (as registered) for
// 32-bit plug-ins in the 64-bit server. False when there is none.
bool HelperFor(WORD machine, std::wstring& host, std::wstring& server);

}  // namespace Tamrix
