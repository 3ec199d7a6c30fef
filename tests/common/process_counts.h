// What this process holds, for tests that check that nothing grows with the number of
// calls: TLS slots, kernel handles, threads, private bytes, and the helper processes it
// started.
#pragma once
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace testenv {

// The TLS index the next TlsAlloc gives: every slot below it is taken.
inline DWORD LowestFreeTlsSlot() {
    const DWORD index = TlsAlloc();
    if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
    return index;
}

// Kernel handles of this process, counted in the system's handle table (Wine 8 answers 0 from
// GetProcessHandleCount); only those of the object type `type` ("Event", "File", ...) if given.
inline size_t OwnHandles(const wchar_t* type = nullptr) {
    struct Entry {
        ULONG process;
        BYTE type, flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    struct Name {
        USHORT length, capacity;
        const wchar_t* text;
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    using QueryObject = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    const auto queryObject =
        reinterpret_cast<QueryObject>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQueryObject")));
    std::vector<BYTE> table(1 << 20);
    ULONG needed = 0;
    // SystemHandleInformation; a table that does not fit answers STATUS_INFO_LENGTH_MISMATCH.
    while (query(16, table.data(), static_cast<ULONG>(table.size()), &needed) == static_cast<LONG>(0xC0000004))
        table.resize(table.size() * 2);
    const ULONG count = *reinterpret_cast<const ULONG*>(table.data());
    const auto* entries = reinterpret_cast<const Entry*>(table.data() + sizeof(ULONG_PTR));
    size_t own = 0;
    for (ULONG i = 0; i < count; ++i) {
        if (entries[i].process != GetCurrentProcessId()) continue;
        // ObjectTypeInformation starts with the type's name.
        alignas(8) BYTE info[1024];
        const auto* name = reinterpret_cast<const Name*>(info);
        own += !type || (queryObject(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(entries[i].handle)), 2, info,
                                     sizeof info, nullptr) == 0 &&
                         std::wstring(name->text, name->length / sizeof(wchar_t)) == type);
    }
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

// Helper processes (rundll32) this process started that still run.
inline int LiveHelpers() {
    return CountInSnapshot<PROCESSENTRY32W>(TH32CS_SNAPPROCESS, Process32FirstW, Process32NextW,
                                            [](const PROCESSENTRY32W& e) {
                                                return e.th32ParentProcessID == GetCurrentProcessId() &&
                                                       _wcsicmp(e.szExeFile, L"rundll32.exe") == 0;
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
