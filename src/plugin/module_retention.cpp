#include "module_retention.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "../common/slim_lock.h"
#include "call_guard.h"

namespace SPI {

namespace {

// A module loaded through here: one load reference of the system's for all its bindings,
// how many bindings hold it, its full path, the TLS index that was the lowest free one
// before the load that mapped it, and, while no binding holds it, whom it is warm for and
// until when.
struct Watched {
    HMODULE module;
    unsigned references;
    DWORD freeSlot;
    std::wstring path;
    WarmOwner owner;
    ULONGLONG until;
};

// A module the system maps no more: what its last free has to check.
struct Freed {
    HMODULE module;
    DWORD freeSlot;
    std::wstring path;
};

// The timer stays made between uses, parked this far ahead.
constexpr DWORD PARKED = 0xFFFFFFFE;

SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<Watched> g_loaded;
// Full paths of the modules whose last cycle kept a slot, until their next load keeps them.
std::vector<std::wstring> g_costly;
// Files never kept warm, and whether the list was read.
std::vector<std::wstring> g_afresh;
bool g_afreshRead = false;
WarmOwner g_processOwner = nullptr;
// Full paths of modules let go once and freed, and when: only a module let go again within
// WARM_MILLISECONDS is kept warm, so that a walk over plug-ins asked once each (one question
// after a discovery) maps each file alone, as the loader does best.
std::vector<std::pair<std::wstring, ULONGLONG>> g_recent;
constexpr size_t RECENT_MOST = 2 * WARM_MOST;  // a walk over more than the bound still keeps some
size_t g_warm = 0;              // entries of g_loaded with no reference
ULONGLONG g_nextExpiry = 0;     // when the first of them expires (0: none is warm)
HANDLE g_timer = nullptr;       // the expiry timer, once made
ULONGLONG g_timerDue = 0;       // when it fires next (0: parked)

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

bool SamePath(const std::wstring& a, const wchar_t* b, size_t length) noexcept {
    return a.size() == length && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b,
                                                      static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

// Under g_lock: where `module` is watched, or where `path` is listed as costly (else end()).
std::vector<Watched>::iterator Loaded(HMODULE module) noexcept {
    return std::find_if(g_loaded.begin(), g_loaded.end(), [&](const Watched& w) { return w.module == module; });
}
std::vector<std::wstring>::iterator Costly(const std::wstring& path) noexcept {
    return std::find_if(g_costly.begin(), g_costly.end(),
                        [&](const std::wstring& p) { return SamePath(p, path.c_str(), path.size()); });
}

// Under g_lock: whether `path` is a file never kept warm.
bool LoadedAfresh(const std::wstring& path) noexcept {
    const size_t slash = path.find_last_of(L"\\/");
    const wchar_t* name = path.c_str() + (slash == std::wstring::npos ? 0 : slash + 1);
    const size_t nameLength = path.size() - static_cast<size_t>(name - path.c_str());
    return std::any_of(g_afresh.begin(), g_afresh.end(), [&](const std::wstring& listed) {
        return SamePath(listed, path.c_str(), path.size()) || SamePath(listed, name, nameLength);
    });
}

void ReadAfresh(std::vector<std::wstring>& names) {
    names.clear();
    Tamrix::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, AFRESH_KEY_W, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return;
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExW(key.get(), AFRESH_VALUE_W, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return;
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), AFRESH_VALUE_W, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS)
        return;
    text.resize(std::min(text.size(), static_cast<size_t>(size / sizeof(wchar_t))));
    // The strings of a multi-string and the parts of a string alike, spaces around them dropped.
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of(std::wstring(L";\0", 2), at);
        if (end == std::wstring::npos) end = text.size();
        size_t first = at, last = end;
        while (first < last && text[first] == L' ') ++first;
        while (last > first && text[last - 1] == L' ') --last;
        if (last > first) names.push_back(text.substr(first, last - first));
        at = end + 1;
    }
}

void CALLBACK ExpiryTick(void*, BOOLEAN) noexcept;

// Under g_lock: the timer set to fire when the first warm module expires, unless it is set
// already (for that time or an earlier one: it sets itself again when it fires early). A
// module warm and taken back between two walks costs no call here.
void ScheduleExpiry() noexcept {
    if (g_warm == 0 || g_timerDue != 0) return;
    const ULONGLONG now = GetTickCount64();
    const DWORD wait = static_cast<DWORD>(g_nextExpiry > now ? g_nextExpiry - now : 0) + 1;
    if (!g_timer) {
        if (!CreateTimerQueueTimer(&g_timer, nullptr, ExpiryTick, nullptr, wait, PARKED, WT_EXECUTEDEFAULT)) {
            g_timer = nullptr;
            return;  // the next load or free lets them go
        }
    } else if (!ChangeTimerQueueTimer(nullptr, g_timer, wait, PARKED)) {
        return;
    }
    g_timerDue = g_nextExpiry;
}

// Under g_lock: the warm entries `leaving` selects taken out of the watch into `freed`.
template <class Leaving>
void TakeWarm(Leaving leaving, std::vector<Freed>& freed) {
    freed.reserve(g_warm);
    g_nextExpiry = 0;
    for (auto at = g_loaded.begin(); at != g_loaded.end();) {
        if (at->references == 0 && leaving(*at)) {
            freed.push_back({at->module, at->freeSlot, std::move(at->path)});
            at = g_loaded.erase(at);
            --g_warm;
            continue;
        }
        if (at->references == 0 && (g_nextExpiry == 0 || at->until < g_nextExpiry)) g_nextExpiry = at->until;
        ++at;
    }
    ScheduleExpiry();
}

// The system's reference on a module given back; when the module is gone with it, the slot
// it found free must be free again, or it is a costly one.
bool Release(const Freed& freed) noexcept {
    const bool ok = FreeLibraryGuarded(freed.module) != FALSE;
    HMODULE found = nullptr;
    const bool mapped =
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(freed.module), &found) &&
        found == freed.module;
    if (!freed.path.empty() && !mapped && freed.freeSlot != TLS_OUT_OF_INDEXES) {
        try {
            if (SlotTaken(freed.freeSlot)) {
                const Tamrix::ExclusiveLock hold(g_lock);
                if (Costly(freed.path) == g_costly.end()) g_costly.push_back(freed.path);
            }
        } catch (const std::bad_alloc&) {
        }
    }
    return ok;
}

void ReleaseAll(const std::vector<Freed>& freed) noexcept {
    for (const Freed& f : freed) Release(f);
}

// Lets go of the warm modules whose time is up.
void LetExpiredGo() noexcept {
    std::vector<Freed> freed;
    try {
        const Tamrix::ExclusiveLock hold(g_lock);
        const ULONGLONG now = GetTickCount64();
        if (g_warm == 0 || g_nextExpiry > now) return;
        TakeWarm([now](const Watched& w) { return w.until <= now; }, freed);
    } catch (const std::bad_alloc&) {
    }
    ReleaseAll(freed);
}

void CALLBACK ExpiryTick(void*, BOOLEAN) noexcept {
    {
        const Tamrix::ExclusiveLock hold(g_lock);
        g_timerDue = 0;  // fired: it fires again only when set again
    }
    LetExpiredGo();
    const Tamrix::ExclusiveLock hold(g_lock);
    ScheduleExpiry();
}

// Under g_lock: a load of `module` counted, with the system's reference it came with; true
// when that reference is one too many (the module was watched already), or when it is a
// costly one to keep from now on (`keep`).
bool NoteLoad(HMODULE module, DWORD freeSlot, bool& keep) {
    keep = false;
    const auto watched = Loaded(module);
    if (watched != g_loaded.end()) {
        if (watched->references++ == 0) --g_warm;
        return true;
    }
    g_loaded.push_back({module, 1, freeSlot, ModulePath(module), nullptr, 0});
    if (g_costly.empty()) return false;
    const auto costly = Costly(g_loaded.back().path);
    if (costly == g_costly.end()) return false;
    g_costly.erase(costly);
    keep = true;
    return false;
}

// Under g_lock: the module loaded already by the full path `path`, counted once more; null
// when none is.
HMODULE LoadedByPath(const wchar_t* path) noexcept {
    const size_t length = wcslen(path);
    for (Watched& w : g_loaded) {
        if (!SamePath(w.path, path, length)) continue;
        if (w.references++ == 0) --g_warm;
        return w.module;
    }
    return nullptr;
}

// Under g_lock: whether the module at `path`, let go now, was let go before within the time
// a module stays warm; if not, it is noted as let go now.
bool LetGoBefore(const std::wstring& path, ULONGLONG now) {
    auto oldest = g_recent.end();
    for (auto at = g_recent.begin(); at != g_recent.end(); ++at) {
        if (SamePath(at->first, path.c_str(), path.size())) {
            const bool recent = at->second + WARM_MILLISECONDS >= now;
            g_recent.erase(at);
            if (recent) return true;
            break;
        }
    }
    for (auto at = g_recent.begin(); at != g_recent.end(); ++at)
        if (oldest == g_recent.end() || at->second < oldest->second) oldest = at;
    if (g_recent.size() < RECENT_MOST) {
        g_recent.emplace_back(path, now);
    } else if (oldest != g_recent.end()) {
        oldest->first = path;
        oldest->second = now;
    }
    return false;
}

// Under g_lock: the last binding of `watched` gone. Warm for `owner` when it has one, the file
// is not loaded afresh, it was warm or let go before not long ago, and fewer than WARM_MOST are warm;
// else into `freed`, with any warm module whose time is up.
void LetGo(std::vector<Watched>::iterator watched, WarmOwner owner, std::vector<Freed>& freed) {
    if (owner && !g_afreshRead) {
        ReadAfresh(g_afresh);
        g_afreshRead = true;
    }
    const ULONGLONG now = GetTickCount64();
    // A module warm before stays so; another one only when let go twice in a short time.
    const bool again = owner && (watched->owner || LetGoBefore(watched->path, now));
    if (!again || LoadedAfresh(watched->path) || g_warm >= WARM_MOST) {
        freed.push_back({watched->module, watched->freeSlot, std::move(watched->path)});
        g_loaded.erase(watched);
    } else {
        watched->owner = owner;
        watched->until = now + WARM_MILLISECONDS;
        if (g_warm++ == 0 || watched->until < g_nextExpiry) g_nextExpiry = watched->until;
    }
    if (g_warm > 0 && g_nextExpiry <= now) TakeWarm([now](const Watched& w) { return w.until <= now; }, freed);
    ScheduleExpiry();
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
    if (!path) return LoadLibraryGuarded(path);
    std::vector<Freed> expired;
    HMODULE known = nullptr;
    try {
        const Tamrix::ExclusiveLock hold(g_lock);
        known = LoadedByPath(path);
        const ULONGLONG now = GetTickCount64();
        if (g_warm > 0 && g_nextExpiry <= now) TakeWarm([now](const Watched& w) { return w.until <= now; }, expired);
    } catch (const std::bad_alloc&) {
    }
    ReleaseAll(expired);
    if (known) return known;
    const DWORD freeSlot = LowestFreeSlot();
    HMODULE module = LoadLibraryGuarded(path);
    if (!module) return nullptr;
    // Watching is the best this can do: a module it loses sight of for want of memory just
    // loads and unloads as asked.
    bool extra = false, keep = false;
    try {
        const Tamrix::ExclusiveLock hold(g_lock);
        extra = NoteLoad(module, freeSlot, keep);
    } catch (const std::bad_alloc&) {
    }
    // The module was watched already, by another spelling of its path: its bindings share
    // the reference they had.
    if (extra) FreeLibrary(module);
    HMODULE kept = nullptr;
    // A reference of its own, never given back.
    if (keep) GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(module), &kept);
    return module;
}

bool FreePluginModule(HMODULE module, WarmOwner owner) noexcept {
    if (!module) return true;
    std::vector<Freed> freed;
    try {
        const Tamrix::ExclusiveLock hold(g_lock);
        const auto watched = Loaded(module);
        if (watched == g_loaded.end())
            freed.push_back({module, TLS_OUT_OF_INDEXES, std::wstring()});  // lost sight of: freed as asked
        else if (--watched->references == 0)
            LetGo(watched, owner ? owner : g_processOwner, freed);
    } catch (const std::bad_alloc&) {
        return true;  // the module stays loaded
    }
    bool ok = true;
    for (const Freed& f : freed) {
        const bool released = Release(f);
        if (f.module == module) ok = released;
    }
    return ok;
}

void KeepFreedModulesWarm(WarmOwner owner) noexcept {
    const Tamrix::ExclusiveLock hold(g_lock);
    g_processOwner = owner;
}

void DropWarmModules(WarmOwner owner) noexcept {
    std::vector<Freed> freed;
    HANDLE timer = nullptr;
    try {
        const Tamrix::ExclusiveLock hold(g_lock);
        if (g_warm > 0) TakeWarm([owner](const Watched& w) { return !owner || w.owner == owner; }, freed);
        if (!owner) g_recent.clear();
        if (g_warm == 0) {
            timer = g_timer;
            g_timer = nullptr;
            g_timerDue = 0;
        }
    } catch (const std::bad_alloc&) {
    }
    // Waits for a callback that is running: none of this module's code runs on after this.
    if (timer) DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
    ReleaseAll(freed);
}

void ReadAfreshList() noexcept {
    try {
        std::vector<std::wstring> names;
        ReadAfresh(names);
        const Tamrix::ExclusiveLock hold(g_lock);
        g_afresh.swap(names);
        g_afreshRead = true;
    } catch (const std::bad_alloc&) {
    }
}

size_t WarmModules() noexcept {
    const Tamrix::ExclusiveLock hold(g_lock);
    return g_warm;
}

}  // namespace SPI
