#include "call_guard.h"

#include <intrin.h>
#include <cwchar>

#include "../common/helper_link.h"

namespace SPI {
namespace {

bool g_guarded = false;
Tamrix::HelperLink* g_link = nullptr;
// Only the helper's one apartment thread calls plug-ins; the watchdog only reads these.
volatile LONG g_depth = 0;
volatile LONG g_untimed = 0;
volatile ULONGLONG g_start = 0;

DWORD WINAPI Watchdog(void*) {
    for (;;) {
        Sleep(50);
        if (g_depth == 0 || g_untimed > 0) continue;
        const LONG limit = g_link->callTimeout;
        if (limit > 0 && GetTickCount64() - g_start >= static_cast<ULONGLONG>(limit))
            TerminateProcess(GetCurrentProcess(), static_cast<UINT>(Tamrix::E_PLUGIN_TIMEOUT));
    }
}

}  // namespace

// A frame handler, not a vectored one: a plug-in that handles its own exceptions deeper down
// (Delphi-built ones do) never gets here. Whatever does get here, a fault, RaiseException or
// another runtime's C++ exception, the plug-in left unhandled; unwinding past this frame
// would leave the call's counters raised and the plug-in's damage behind.
extern "C" EXCEPTION_DISPOSITION __cdecl TamrixPluginFaultFilter(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
    if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) == 0)
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(Tamrix::E_PLUGIN_CRASHED));
    return ExceptionContinueSearch;
}

#ifdef _WIN64
extern "C" void TamrixGuardedCall(void (*fn)(void*), void* context);
// fn(context) with TamrixPluginFaultFilter as the handler of this frame's unwind data.
asm(".text\n"
    ".globl TamrixGuardedCall\n"
    ".def TamrixGuardedCall; .scl 2; .type 32; .endef\n"
    ".seh_proc TamrixGuardedCall\n"
    "TamrixGuardedCall:\n"
    "  subq $40, %rsp\n"
    "  .seh_stackalloc 40\n"
    "  .seh_endprologue\n"
    "  .seh_handler TamrixPluginFaultFilter, @except\n"
    "  movq %rcx, %rax\n"
    "  movq %rdx, %rcx\n"
    "  call *%rax\n"
    "  nop\n"
    "  addq $40, %rsp\n"
    "  ret\n"
    ".seh_endproc\n");
#else
namespace {
// An x86 exception registration record, linked at fs:[0] for the length of the call.
struct Registration {
    Registration* previous;
    void* handler;
};
}  // namespace
__attribute__((noinline)) static void TamrixGuardedCall(void (*fn)(void*), void* context) {
    volatile Registration frame{reinterpret_cast<Registration*>(__readfsdword(0)),
                                reinterpret_cast<void*>(&TamrixPluginFaultFilter)};
    __writefsdword(0, reinterpret_cast<DWORD>(&frame));
    fn(context);
    __writefsdword(0, reinterpret_cast<DWORD>(frame.previous));
}
#endif

bool GuardPluginCalls(Tamrix::HelperLink* link) noexcept {
    if (g_guarded) return true;
    g_link = link;
    HANDLE thread = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    g_guarded = true;
    return true;
}

bool PluginCallsGuarded() noexcept {
    return g_guarded;
}

Tamrix::HelperLink* SharedLink() noexcept {
    return g_guarded ? g_link : nullptr;
}

Tamrix::CodePageSetting ProcessCodePage() noexcept {
    // The block outlives every binding: it stays mapped until the helper ends.
    if (!g_guarded) return nullptr;
    return Tamrix::CodePageSetting(std::shared_ptr<void>(), &g_link->codePage);
}

void NoteAsking(LONG index) noexcept {
    if (g_guarded) InterlockedExchange(&g_link->asking, index);
}

CallerState::CallerState() noexcept {
    // FNSTENV masks every x87 exception once it has stored the environment: load it back.
    asm volatile("fnstenv %0\n\tfldenv %0" : "=m"(x87_) : : "memory");
#ifndef _WIN64
    if (IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE))
#endif
        asm volatile("stmxcsr %0" : "=m"(mxcsr_) : : "memory");
    errorMode_ = GetErrorMode();
    threadErrorMode_ = GetThreadErrorMode();
    const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, folder_);
    folderLength_ = length <= MAX_PATH ? length : 0;  // a longer one is left as the call leaves it
}

CallerState::~CallerState() {
    // FNCLEX first: flags the plug-in left pending under exceptions it unmasked would
    // otherwise fire at the next x87 instruction, FLDENV's own included. The x87 stack is
    // empty at every call boundary, so the tag word stored before the call still holds.
    asm volatile("fnclex\n\tfldenv %0" : : "m"(x87_) : "memory");
#ifndef _WIN64
    if (IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE))
#endif
        asm volatile("ldmxcsr %0" : : "m"(mxcsr_) : "memory");
    if (GetErrorMode() != errorMode_) SetErrorMode(errorMode_);
    if (GetThreadErrorMode() != threadErrorMode_) SetThreadErrorMode(threadErrorMode_, nullptr);
    if (folderLength_ == 0) return;
    wchar_t now[MAX_PATH + 1];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, now);
    if (length != folderLength_ || wmemcmp(now, folder_, length) != 0) SetCurrentDirectoryW(folder_);
}

void RunGuarded(void (*fn)(void*), void* context) noexcept {
    if (g_depth == 0) g_start = GetTickCount64();
    InterlockedIncrement(&g_depth);
    TamrixGuardedCall(fn, context);
    InterlockedDecrement(&g_depth);
}

HMODULE LoadLibraryGuarded(const wchar_t* path) noexcept {
    return CallGuarded([&] { return LoadLibraryW(path); });
}

BOOL FreeLibraryGuarded(HMODULE module) noexcept {
    return CallGuarded([&] { return FreeLibrary(module); });
}

UntimedCalls::UntimedCalls() noexcept {
    InterlockedIncrement(&g_untimed);
}

UntimedCalls::~UntimedCalls() {
    InterlockedDecrement(&g_untimed);
}

}  // namespace SPI
