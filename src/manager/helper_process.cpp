#include "helper_process.h"

#include <objbase.h>

#include <cstring>
#include <cwchar>
#include <iterator>
#include <vector>

#include "../common/this_module.h"
#include "../plugin/module_retention.h"
#include "../plugin/remote_plugin.h"

namespace Tamrix {
namespace {

// The registered path of the plug-in class's server in the given registry view.
std::wstring RegisteredServer(REGSAM view) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{CAA01FE7-8699-457F-AB09-894187AA53C2}\\InprocServer32", 0,
                      KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof path - sizeof(wchar_t);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    return std::wstring(path, wcsnlen(path, size / sizeof(wchar_t)));
}

// A failure that says the other process is gone or going, rather than an answer of its.
bool IsConnectionFailure(HRESULT hr) noexcept {
    return hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVERFAULT || hr == RPC_E_SERVER_DIED ||
           hr == RPC_E_SERVER_DIED_DNE || HRESULT_FACILITY(hr) == FACILITY_RPC ||
           hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
           hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE);
}

// The server library's path as rundll32 takes it: rundll32 ends the library's name at its
// first comma, quoted or not, so a path holding one is named by its short form. Empty when
// there is none without a comma (a volume that keeps no short names).
std::wstring LibraryArgument(const std::wstring& server) {
    if (server.find(L',') == std::wstring::npos) return server;
    std::wstring brief(GetShortPathNameW(server.c_str(), nullptr, 0), L'\0');
    const DWORD n = GetShortPathNameW(server.c_str(), brief.data(), static_cast<DWORD>(brief.size()));
    brief.resize(n < brief.size() ? n : 0);
    return brief.find(L',') == std::wstring::npos ? brief : std::wstring();
}

// The job limits of a helper: ended with the last handle to the job (the client's, closed
// by the system when the client ends, however it ends) when `killOnClose`; no process of its
// own; an unhandled exception ends it without the system's error dialog.
bool LimitJob(HANDLE job, bool killOnClose) noexcept {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_ACTIVE_PROCESS |
                                              JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION |
                                              (killOnClose ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0);
    limits.BasicLimitInformation.ActiveProcessLimit = 1;
    return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) != FALSE;
}

// A job for a new helper, or none where the system has none to give.
UniqueKernelHandle NewHelperJob(HANDLE process) noexcept {
    UniqueKernelHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job || !LimitJob(job.get(), true) || !AssignProcessToJobObject(job.get(), process)) return {};
    // Nor may it end the session, switch desktops or change system-wide settings, where
    // the system can say so.
    JOBOBJECT_BASIC_UI_RESTRICTIONS ui{JOB_OBJECT_UILIMIT_EXITWINDOWS | JOB_OBJECT_UILIMIT_DESKTOP |
                                       JOB_OBJECT_UILIMIT_DISPLAYSETTINGS | JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS};
    SetInformationJobObject(job.get(), JobObjectBasicUIRestrictions, &ui, sizeof ui);
    return job;
}

}  // namespace

bool HelperFor(WORD machine, std::wstring& host, std::wstring& server) {
    wchar_t system[MAX_PATH] = {};
    UINT length = 0;
#ifdef _WIN64
    if (machine == IMAGE_FILE_MACHINE_I386) {
        // The 32-bit rundll32 and the 32-bit server.
        length = GetSystemWow64DirectoryW(system, MAX_PATH);
        server = RegisteredServer(KEY_WOW64_32KEY);
    }
#endif
    if (machine == SPI::OWN_MACHINE) {
        // A 32-bit process asking for System32 is sent to its own width's folder.
        length = GetSystemDirectoryW(system, MAX_PATH);
        server = SPI::ModulePath(ThisModule());
        // Linked into a program rather than loaded as the server: the server as registered.
        if (!GetProcAddress(ThisModule(), "RemoteHostW")) server = RegisteredServer(0);
    }
    if (length == 0 || length >= MAX_PATH || server.empty()) return false;
    host.assign(system, length);
    host += L"\\rundll32.exe";
    return true;
}

HelperProcess::~HelperProcess() {
    if (link_) UnmapViewOfFile(link_);
    // Letting go of a helper here does not end it: it ends on its own once let go of.
    if (job_) LimitJob(job_.get(), false);
}

HRESULT HelperProcess::Start(const std::wstring& host, const std::wstring& server, LONG timeout, LONG codePage,
                             std::shared_ptr<HelperProcess>& helper, ComPtr<ISusiePluginRemote>& first) {
    helper.reset();
    first.reset();
    auto made = std::make_shared<HelperProcess>();
    // Only these two handles are meant for the helper; inheritable so that it can have them.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueKernelHandle event(CreateEventW(&inherit, TRUE, FALSE, nullptr));
    UniqueKernelHandle mapping(
        CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, sizeof(HelperLink), nullptr));
    if (!event || !mapping) return HRESULT_FROM_WIN32(GetLastError());
    made->link_ = static_cast<HelperLink*>(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(HelperLink)));
    if (!made->link_) return HRESULT_FROM_WIN32(GetLastError());
    made->link_->callTimeout = timeout;
    made->link_->codePage = codePage;
    made->link_->marshalResult = E_HELPER_NOT_STARTED;
    made->link_->asking = -1;

    const std::wstring library = LibraryArgument(server);
    if (library.empty()) return E_HELPER_NOT_STARTED;
    std::wstring command = L"\"" + host + L"\" \"" + library + L"\"," + HELPER_ENTRY + L" " +
                           std::to_wstring(GetCurrentProcessId()) + L" " +
                           std::to_wstring(reinterpret_cast<ULONG_PTR>(event.get())) + L" " +
                           std::to_wstring(reinterpret_cast<ULONG_PTR>(mapping.get()));
    // Where the system allows it, the helper inherits these two handles and no other.
    HANDLE handed[] = {event.get(), mapping.get()};
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<BYTE> listBytes(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    const bool listed = listSize > 0 && InitializeProcThreadAttributeList(list, 1, 0, &listSize) &&
                        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handed, sizeof handed,
                                                  nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = listed ? sizeof startup : sizeof startup.StartupInfo;
    startup.lpAttributeList = listed ? list : nullptr;
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessW(
        host.c_str(), command.data(), nullptr, nullptr, TRUE,
        CREATE_NO_WINDOW | CREATE_SUSPENDED | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr, nullptr,
        &startup.StartupInfo, &started);
    const DWORD error = GetLastError();
    if (listed) DeleteProcThreadAttributeList(list);
    if (!created) return HRESULT_FROM_WIN32(error);
    made->process_.reset(started.hProcess);
    // In its job before it runs any code. Where there is none (a client in a job that takes
    // no other, before Windows 8), the helper's own watch of the client remains.
    made->job_ = NewHelperJob(started.hProcess);
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    const HRESULT hr = made->TakeFirst(event.get(), first);
    // One that did not hand its object over goes, and with it what it made.
    if (FAILED(hr)) TerminateProcess(made->process_.get(), static_cast<UINT>(E_HELPER_NOT_STARTED));
    else helper = std::move(made);
    return hr;
}

HRESULT HelperProcess::TakeFirst(HANDLE event, ComPtr<ISusiePluginRemote>& first) {
    const HANDLE waits[] = {event, process_.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, ACTIVATION_TIMEOUT) != WAIT_OBJECT_0) return E_HELPER_NOT_STARTED;
    HelperLink& link = *link_;
    if (FAILED(link.marshalResult)) return link.marshalResult;
    if (link.objrefSize > sizeof link.objref) return E_HELPER_NOT_STARTED;
    ComPtr<IStream> stream;
    UniqueHglobal memory(GlobalAlloc(GMEM_MOVEABLE, link.objrefSize));
    if (!memory) return E_OUTOFMEMORY;
    std::memcpy(GlobalLock(memory.get()), link.objref, link.objrefSize);
    GlobalUnlock(memory.get());
    if (HRESULT hr = CreateStreamOnHGlobal(memory.get(), TRUE, stream.put()); FAILED(hr)) return hr;
    memory.release();  // the stream frees it
    return CoUnmarshalInterface(stream.get(), IID_ISusiePluginRemote, first.put_void());
}

bool HelperProcess::Ended() const noexcept {
    return !process_ || WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

HRESULT HelperProcess::EndCode() const noexcept {
    DWORD code = 0;
    if (process_ && GetExitCodeProcess(process_.get(), &code) && static_cast<HRESULT>(code) == E_PLUGIN_TIMEOUT)
        return E_PLUGIN_TIMEOUT;
    return E_PLUGIN_CRASHED;
}

HRESULT HelperProcess::Answer(HRESULT hr) const noexcept {
    if (SUCCEEDED(hr) || !process_) return hr;
    // The connection may break a moment before the process shows as ended.
    const DWORD wait = IsConnectionFailure(hr) ? 5000 : 0;
    return WaitForSingleObject(process_.get(), wait) == WAIT_OBJECT_0 ? EndCode() : hr;
}

void HelperProcess::SetCallTimeout(LONG timeout) noexcept {
    if (link_) InterlockedExchange(&link_->callTimeout, timeout);
}

void HelperProcess::SetCodePage(LONG codePage) noexcept {
    if (link_) InterlockedExchange(&link_->codePage, codePage);
}

UINT HelperProcess::CodePage() const noexcept {
    const LONG codePage = link_ ? link_->codePage : 0;
    return codePage == 0 ? CP_THREAD_ACP : static_cast<UINT>(codePage);
}

LONG HelperProcess::Asking() const noexcept {
    return link_ ? link_->asking : -1;
}

void HelperProcess::ForgetAsking() noexcept {
    if (link_) InterlockedExchange(&link_->asking, -1);
}

std::wstring HelperProcess::LastFailure() const {
    if (!link_) return std::wstring();
    const wchar_t* words = link_->failure;
    return std::wstring(words, wcsnlen(words, std::size(link_->failure)));
}

void HelperProcess::PixelsRead(LONG section) const noexcept {
    for (int i = 0; link_ && section != 0 && i < PIXEL_SLOTS; ++i)
        InterlockedCompareExchange(&link_->handed[i], 0, section);
}

HRESULT HelperProcess::DuplicateHandleOf(LONG value, UniqueKernelHandle& out) const noexcept {
    HANDLE mine = nullptr;
    const HANDLE theirs = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(value));
    if (!process_ || !DuplicateHandle(process_.get(), theirs, GetCurrentProcess(), &mine, 0, FALSE,
                                      DUPLICATE_SAME_ACCESS))
        return HRESULT_FROM_WIN32(GetLastError());
    out.reset(mine);
    return S_OK;
}

}  // namespace Tamrix
