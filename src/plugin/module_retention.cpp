#include "module_retention.h"

#include <algorithm>
#include <new>
#include <vector>

#include "../common/slim_lock.h"
#include "call_guard.h"

namespace SPI {

namespace {

// A module loaded through here: how many of its references are ours, and the TLS index that
// was the lowest free one before the load that mapped it.
struct Watched {
    HMODULE module;
    unsigned references;
    DWORD freeSlot;
};

SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<Watched> g_loaded;
// Full paths of the modules whose last cycle kept a slot, until their next load keeps them.
std::vector<std::wstring> g_costly;

// The index the next TlsAlloc would give.
DWORD LowestFreeSlot() noexcept {
    const DWORD index = TlsAlloc();
    if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
    return index;
}

// Whether TLS index `index` is taken: the free ones below it are taken for the question.
bool SlotTaken(DWORD index) {
    std::vector<DWORD> below;
    DWORD got = TlsAlloc();
    while (got != TLS_OUT_OF_INDEXES && got < index) {
        below.push_back(got);
        got = TlsAlloc();
    }
    if (got != TLS_OUT_OF_INDEXES) TlsFree(got);
    for (DWORD i : below) TlsFree(i);
    return got != index;
}

// Under g_lock: where `module` is watched, or where `path` is listed as costly (else end()).
std::vector<Watched>::iterator Loaded(HMODULE module) noexcept {
    return std::find_if(g_loaded.begin(), g_loaded.end(), [&](const Watched& w) { return w.module == module; });
}
std::vector<std::wstring>::iterator Costly(const std::wstring& path) noexcept {
    return std::find_if(g_costly.begin(), g_costly.end(), [&](const std::wstring& p) {
        return CompareStringOrdinal(p.c_str(), static_cast<int>(p.size()), path.c_str(), static_cast<int>(path.size()),
                                    TRUE) == CSTR_EQUAL;
    });
}

// Counts a load of `module`; true when it is a costly one to keep from now on.
bool NoteLoad(HMODULE module, DWORD freeSlot) {
    const Tamrix::ExclusiveLock hold(g_lock);
    const auto watched = Loaded(module);
    if (watched != g_loaded.end())
        ++watched->references;
    else
        g_loaded.push_back({module, 1, freeSlot});
    if (g_costly.empty()) return false;
    const std::wstring path = ModulePath(module);
    const auto costly = Costly(path);
    if (costly == g_costly.end()) return false;
    g_costly.erase(costly);
    return true;
}

// Counts a free of `module`: the slot that was free before it was mapped, when this is the
// last of our references, else TLS_OUT_OF_INDEXES.
DWORD NoteFree(HMODULE module) noexcept {
    const Tamrix::ExclusiveLock hold(g_lock);
    const auto watched = Loaded(module);
    if (watched == g_loaded.end() || --watched->references > 0) return TLS_OUT_OF_INDEXES;
    const DWORD slot = watched->freeSlot;
    g_loaded.erase(watched);
    return slot;
}

bool StillMapped(HMODULE module) noexcept {
    HMODULE found = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(module), &found) &&
           found == module;
}

}  // namespace

std::wstring ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

HMODULE LoadPluginModule(const wchar_t* path) noexcept {
    const DWORD freeSlot = LowestFreeSlot();
    HMODULE module = LoadLibraryGuarded(path);
    if (!module) return nullptr;
    // Watching is the best this can do: a module it loses sight of for want of memory just
    // loads and unloads as asked.
    try {
        HMODULE kept = nullptr;
        // A reference of its own, never given back.
        if (NoteLoad(module, freeSlot))
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(module), &kept);
    } catch (const std::bad_alloc&) {
    }
    return module;
}

bool FreePluginModule(HMODULE module) noexcept {
    if (!module) return true;
    const DWORD freeSlot = NoteFree(module);
    std::wstring path;
    try {
        if (freeSlot != TLS_OUT_OF_INDEXES) path = ModulePath(module);
    } catch (const std::bad_alloc&) {
    }
    const bool freed = FreeLibraryGuarded(module) != FALSE;
    // Only a module that is gone now has given back all it will: the slot it found free
    // must be free again.
    if (!path.empty() && !StillMapped(module)) {
        try {
            if (SlotTaken(freeSlot)) {
                const Tamrix::ExclusiveLock hold(g_lock);
                if (Costly(path) == g_costly.end()) g_costly.push_back(std::move(path));
            }
        } catch (const std::bad_alloc&) {
        }
    }
    return freed;
}

}  // namespace SPI
