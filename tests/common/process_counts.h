// What this process holds, for tests that check that nothing grows with the number of calls:
// TLS slots, kernel handles, threads, private bytes, and the helper processes it started.
#pragma once
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

namespace testenv {

// The TLS index the next TlsAlloc gives: every slot below it is taken.
inline DWORD LowestFreeTlsSlot() {
    const DWORD index = TlsAlloc();
    if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
    return index;
}

// Kernel handles of this process, counted in the system's handle table (SystemHandleInformation):
// Wine 8 answers 0 from GetProcessHandleCount.
inline size_t OwnHandles() {
    struct Entry {
        ULONG process;
        BYTE type, flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<BYTE> table(1 << 20);
    // STATUS_INFO_LENGTH_MISMATCH: the table does not fit.
    while (query(16, table.data(), static_cast<ULONG>(table.size()), nullptr) == static_cast<LONG>(0xC0000004))
        table.resize(table.size() * 2);
    const ULONG count = *reinterpret_cast<const ULONG*>(table.data());
    const auto* entries = reinterpret_cast<const Entry*>(table.data() + sizeof(ULONG_PTR));
    size_t own = 0;
    for (ULONG i = 0; i < count; ++i) own += entries[i].process == GetCurrentProcessId();
    return own;
}

// Entries of a toolhelp snapshot of `kind` that `counted` takes.
template <class Entry, class Counted>
int CountInSnapshot(DWORD kind, BOOL(WINAPI* first)(HANDLE, Entry*), BOOL(WINAPI* next)(HANDLE, Entry*),
                    Counted counted) {
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(kind, 0);
    Entry entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = first(snapshot, &entry); more; more = next(snapshot, &entry)) count += counted(entry);
    CloseHandle(snapshot);
    return count;
}

inline int OwnThreads() {
    return CountInSnapshot<THREADENTRY32>(TH32CS_SNAPTHREAD, Thread32First, Thread32Next, [](const THREADENTRY32& e) {
        return e.th32OwnerProcessID == GetCurrentProcessId();
    });
}

// Helper processes (rundll32) that `parent` started that still run.
inline int LiveHelpers(DWORD parent = GetCurrentProcessId()) {
    return CountInSnapshot<PROCESSENTRY32W>(TH32CS_SNAPPROCESS, Process32FirstW, Process32NextW, [=](const auto& e) {
        return e.th32ParentProcessID == parent && _wcsicmp(e.szExeFile, L"rundll32.exe") == 0;
    });
}

// Private bytes: Windows reports them as PrivateUsage; Wine 8 leaves that 0 and reports the
// process's private resident memory as PagefileUsage.
inline long long PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX c{};
    c.cb = sizeof c;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&c), sizeof c);
    return static_cast<long long>(c.PrivateUsage ? c.PrivateUsage : c.PagefileUsage);
}

}  // namespace testenv
