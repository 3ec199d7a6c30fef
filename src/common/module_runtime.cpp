// What lets a module built with the statically linked C++ runtime give back everything when
// it is unloaded, linked into every module that a running process loads and unloads (the
// server, the plug-ins):
// - the POSIX thread functions that runtime calls (libgcc's unwinder and emulated TLS,
//   libstdc++'s locks and its guard of static initialisation), made of Win32 primitives, in
//   place of winpthreads. winpthreads takes a TLS index on first use, which on i686 is the
//   unwinder's registration at load, and never frees it: each load of a module cost the
//   process one of its TLS slots for good, until loads failed or the runtime aborted;
// - the module's entry point, ModuleRuntimeEntry (tamrix_module_runtime in src/CMakeLists.txt
//   sets it), which after the C runtime's own teardown frees the keys and libstdc++'s
//   emergency exception pool, which nothing else frees.
#include <windows.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <new>
#include <utility>

namespace {

// A mutex word holds one of the runtime's static initialisers (PTHREAD_MUTEX_INITIALIZER and
// its recursive and error-checking forms), 0 before pthread_mutex_init, or the address of
// its record. Records come from this module's own table, so that mutexes never destroyed
// (every static one) cost nothing once the module is gone; past the table, from the heap.
struct MutexRecord {
    SRWLOCK lock;
    std::atomic<DWORD> owner;  // the thread holding it, 0 when free
    unsigned depth;            // how often that thread holds it (a recursive one more than once)
    bool recursive;
    LONG taken;                // in use, in the table
};
constexpr int TABLE_RECORDS = 64;
MutexRecord g_records[TABLE_RECORDS];

bool InTable(const MutexRecord* record) noexcept {
    return record >= g_records && record < g_records + TABLE_RECORDS;
}

MutexRecord* NewRecord(bool recursive) noexcept {
    MutexRecord* record = nullptr;
    for (MutexRecord& r : g_records) {
        if (InterlockedCompareExchange(&r.taken, 1, 0) == 0) {
            record = &r;
            break;
        }
    }
    if (!record) {
        void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(MutexRecord));
        if (!memory) return nullptr;
        record = new (memory) MutexRecord{};
    }
    InitializeSRWLock(&record->lock);
    record->owner = 0;
    record->depth = 0;
    record->recursive = recursive;
    return record;
}

void DeleteRecord(MutexRecord* record) noexcept {
    if (InTable(record))
        InterlockedExchange(&record->taken, 0);
    else
        HeapFree(GetProcessHeap(), 0, record);
}

// The record behind a mutex word, made on first use for a static initialiser.
MutexRecord* RecordOf(pthread_mutex_t* m) noexcept {
    const intptr_t value = *reinterpret_cast<volatile intptr_t*>(m);
    if (value != 0 && value != PTHREAD_MUTEX_INITIALIZER && value != PTHREAD_RECURSIVE_MUTEX_INITIALIZER &&
        value != PTHREAD_ERRORCHECK_MUTEX_INITIALIZER)
        return reinterpret_cast<MutexRecord*>(value);
    MutexRecord* made = NewRecord(value == PTHREAD_RECURSIVE_MUTEX_INITIALIZER);
    if (!made) return nullptr;
    void* const seen = InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(m), made,
                                                         reinterpret_cast<void*>(value));
    if (seen == reinterpret_cast<void*>(value)) return made;
    DeleteRecord(made);  // another thread made it first
    return static_cast<MutexRecord*>(seen);
}

// Keys live in fiber-local storage: the system calls a key's destructor for every thread's
// value when the thread ends and when the index is freed. Its callback receives only the
// value, so each key has a callback of its own.
struct Key {
    DWORD index;
    void (*destructor)(void*);
    LONG taken;
};
constexpr size_t KEYS = 8;
Key g_keys[KEYS];

template <size_t I>
void WINAPI RunDestructor(void* value) {
    if (void (*destructor)(void*) = g_keys[I].destructor) destructor(value);
}
template <size_t... I>
constexpr std::array<PFLS_CALLBACK_FUNCTION, sizeof...(I)> Callbacks(std::index_sequence<I...>) {
    return {&RunDestructor<I>...};
}
constexpr auto KEY_CALLBACKS = Callbacks(std::make_index_sequence<KEYS>());

// Frees the index of every key still in use; the destructors run for the values still set.
void FreeKeys() noexcept {
    for (Key& key : g_keys) {
        if (key.taken) FlsFree(key.index);
        key.taken = 0;
    }
}

}  // namespace

// libstdc++'s release of its emergency exception pool, made for memory checkers.
namespace __gnu_cxx {
void __freeres();
}

extern "C" {

int pthread_once(pthread_once_t* once, void (*init)(void)) {
    // 0 not run, 1 running, 2 done.
    if (InterlockedCompareExchange(once, 0, 0) == 2) return 0;
    if (InterlockedCompareExchange(once, 1, 0) == 0) {
        init();
        InterlockedExchange(once, 2);
        return 0;
    }
    while (InterlockedCompareExchange(once, 2, 2) != 2) SwitchToThread();
    return 0;
}

int pthread_mutex_init(pthread_mutex_t* m, const pthread_mutexattr_t* attr) {
    MutexRecord* record = NewRecord(attr && (*attr & 3) == PTHREAD_MUTEX_RECURSIVE);
    if (!record) return ENOMEM;
    *m = reinterpret_cast<pthread_mutex_t>(record);
    return 0;
}

int pthread_mutex_destroy(pthread_mutex_t* m) {
    const intptr_t value = *m;
    *m = PTHREAD_MUTEX_INITIALIZER;
    if (value != 0 && value != PTHREAD_MUTEX_INITIALIZER && value != PTHREAD_RECURSIVE_MUTEX_INITIALIZER &&
        value != PTHREAD_ERRORCHECK_MUTEX_INITIALIZER)
        DeleteRecord(reinterpret_cast<MutexRecord*>(value));
    return 0;
}

int pthread_mutex_lock(pthread_mutex_t* m) {
    MutexRecord* record = RecordOf(m);
    if (!record) return ENOMEM;
    const DWORD self = GetCurrentThreadId();
    if (record->recursive && record->owner == self) {
        ++record->depth;
        return 0;
    }
    AcquireSRWLockExclusive(&record->lock);
    record->owner = self;
    record->depth = 1;
    return 0;
}

int pthread_mutex_unlock(pthread_mutex_t* m) {
    MutexRecord* record = RecordOf(m);
    if (!record || record->owner != GetCurrentThreadId()) return EPERM;
    if (--record->depth == 0) {
        record->owner = 0;
        ReleaseSRWLockExclusive(&record->lock);
    }
    return 0;
}

// A condition word holds the system's condition variable in place (PTHREAD_COND_INITIALIZER
// until first used).
int pthread_cond_wait(pthread_cond_t* c, pthread_mutex_t* m) {
    InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(c), nullptr,
                                      reinterpret_cast<void*>(PTHREAD_COND_INITIALIZER));
    MutexRecord* record = RecordOf(m);
    if (!record || record->owner != GetCurrentThreadId()) return EPERM;
    const unsigned depth = record->depth;
    record->owner = 0;
    SleepConditionVariableSRW(reinterpret_cast<CONDITION_VARIABLE*>(c), &record->lock, INFINITE, 0);
    record->owner = GetCurrentThreadId();
    record->depth = depth;
    return 0;
}

int pthread_cond_broadcast(pthread_cond_t* c) {
    InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(c), nullptr,
                                      reinterpret_cast<void*>(PTHREAD_COND_INITIALIZER));
    WakeAllConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(c));
    return 0;
}

int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    for (size_t i = 0; i < KEYS; ++i) {
        Key& k = g_keys[i];
        if (InterlockedCompareExchange(&k.taken, 1, 0) != 0) continue;
        k.destructor = destructor;
        k.index = FlsAlloc(KEY_CALLBACKS[i]);
        if (k.index == FLS_OUT_OF_INDEXES) {
            InterlockedExchange(&k.taken, 0);
            return EAGAIN;
        }
        *key = static_cast<pthread_key_t>(i);
        return 0;
    }
    return EAGAIN;
}

void* pthread_getspecific(pthread_key_t key) {
    if (key >= KEYS || !g_keys[key].taken) return nullptr;
    // The runtime reads its keys between a failing call and the caller's GetLastError.
    const DWORD error = GetLastError();
    void* value = FlsGetValue(g_keys[key].index);
    SetLastError(error);
    return value;
}

int pthread_setspecific(pthread_key_t key, const void* value) {
    if (key >= KEYS || !g_keys[key].taken) return EINVAL;
    return FlsSetValue(g_keys[key].index, const_cast<void*>(value)) ? 0 : ENOMEM;
}

BOOL WINAPI DllMainCRTStartup(HANDLE module, DWORD reason, LPVOID reserved);

BOOL WINAPI ModuleRuntimeEntry(HANDLE module, DWORD reason, LPVOID reserved) {
    const BOOL ok = DllMainCRTStartup(module, reason, reserved);
    // Unloaded by FreeLibrary: a process that ends takes everything with it.
    if (reason == DLL_PROCESS_DETACH && !reserved) {
        FreeKeys();
        __gnu_cxx::__freeres();
    }
    return ok;
}

}  // extern "C"
