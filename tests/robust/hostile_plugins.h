// The hostile plug-ins (tests/plugins/hostile.h) as a test drives them: their test-only
// exports, and the test program's own LocalFree routed through them, so a block counts as
// freed exactly when the server frees it and a second free of one value is caught (freed
// handle values are handed out again at once, so counting live handles alone would miss it).
//
// The server's code is linked into the test program, so every LocalFree it makes goes
// through the program's import table; the hook replaces that one entry.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/test_env.h"
#include "plugins/hostile.h"

namespace robust {

class HostilePlugin {
public:
    // Loads the plug-in file at `path` once more and keeps it loaded, so objects loading and
    // freeing it never unload it (its counts would go with it).
    explicit HostilePlugin(std::string path) : path_(std::move(path)), module_(LoadLibraryA(path_.c_str())) {
        EXPECT_NE(nullptr, module_) << path_;
        setSeed_ = Fn<void(WINAPI*)(uint32_t)>("HostileSetSeed");
        reset_ = Fn<void(WINAPI*)()>("HostileReset");
        hookFrees_ = Fn<void(WINAPI*)(int)>("HostileHookFrees");
        noteFree_ = Fn<int(WINAPI*)(HLOCAL)>("HostileNoteFree");
        blockState_ = Fn<int(WINAPI*)(HLOCAL)>("HostileBlockState");
        outstanding_ = Fn<int(WINAPI*)()>("HostileOutstanding");
        badFrees_ = Fn<int(WINAPI*)()>("HostileBadFrees");
        protocolErrors_ = Fn<int(WINAPI*)()>("HostileProtocolErrors");
        lastCall_ = Fn<int(WINAPI*)(hostile::CallReport*)>("HostileLastCall");
        lastBytes_ = Fn<int(WINAPI*)(int, BYTE*, int)>("HostileLastBytes");
    }
    ~HostilePlugin() {
        if (module_) FreeLibrary(module_);
    }
    HostilePlugin(const HostilePlugin&) = delete;
    HostilePlugin& operator=(const HostilePlugin&) = delete;

    bool Ready() const { return module_ && setSeed_ && lastBytes_; }
    const std::string& Path() const { return path_; }

    void SetSeed(uint32_t seed) const { setSeed_(seed); }
    void Reset() const { reset_(); }
    void HookFrees(bool on) const { hookFrees_(on ? 1 : 0); }
    int NoteFree(HLOCAL h) const { return noteFree_(h); }
    int BlockState(HLOCAL h) const { return blockState_(h); }
    int Outstanding() const { return outstanding_(); }
    int BadFrees() const { return badFrees_(); }
    int ProtocolErrors() const { return protocolErrors_(); }
    // The report of the last data call; returns the number of data calls so far.
    int LastCall(hostile::CallReport& out) const { return lastCall_(&out); }
    int Calls() const {
        hostile::CallReport ignored;
        return lastCall_(&ignored);
    }
    std::vector<BYTE> LastBytes(int which) const {
        std::vector<BYTE> bytes(static_cast<size_t>(lastBytes_(which, nullptr, 0)));
        bytes.resize(static_cast<size_t>(lastBytes_(which, bytes.data(), static_cast<int>(bytes.size()))));
        return bytes;
    }

private:
    template <class F>
    F Fn(const char* name) const {
        F f = module_ ? reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name))) : nullptr;
        EXPECT_NE(nullptr, f) << name;
        return f;
    }

    std::string path_;
    HMODULE module_;
    void(WINAPI* setSeed_)(uint32_t) = nullptr;
    void(WINAPI* reset_)() = nullptr;
    void(WINAPI* hookFrees_)(int) = nullptr;
    int(WINAPI* noteFree_)(HLOCAL) = nullptr;
    int(WINAPI* blockState_)(HLOCAL) = nullptr;
    int(WINAPI* outstanding_)() = nullptr;
    int(WINAPI* badFrees_)() = nullptr;
    int(WINAPI* protocolErrors_)() = nullptr;
    int(WINAPI* lastCall_)(hostile::CallReport*) = nullptr;
    int(WINAPI* lastBytes_)(int, BYTE*, int) = nullptr;
};

// The program's LocalFree, routed through the hostile plug-ins while the hook lives. A value
// that is a live block of one of them is freed and counted; a value none of them may see
// freed (a block freed already, one a plug-in freed itself, a value that never was a block)
// is counted as a bad free and not passed on, so the heap stays whole for the next seed.
class FreeHook {
public:
    explicit FreeHook(std::vector<const HostilePlugin*> plugins) {
        plugins_ = std::move(plugins);
        slot_ = ImportSlot(GetModuleHandleA(nullptr), "kernel32.dll", "LocalFree");
        EXPECT_NE(nullptr, slot_) << "the program imports LocalFree";
        if (!slot_) return;
        real_ = reinterpret_cast<LocalFreeFn>(*slot_);
        Patch(reinterpret_cast<void*>(&Hooked));
        for (const HostilePlugin* p : plugins_) p->HookFrees(true);
    }
    ~FreeHook() {
        if (!slot_) return;
        Patch(reinterpret_cast<void*>(real_));
        for (const HostilePlugin* p : plugins_) p->HookFrees(false);
        plugins_.clear();
    }
    FreeHook(const FreeHook&) = delete;
    FreeHook& operator=(const FreeHook&) = delete;

    // LocalFree calls the hook has seen (a check that it is in the way at all).
    static long Seen() { return seen_; }

private:
    using LocalFreeFn = HLOCAL(WINAPI*)(HLOCAL);

    static HLOCAL WINAPI Hooked(HLOCAL h) {
        ++seen_;
        const HostilePlugin* poisonedBy = nullptr;
        for (const HostilePlugin* p : plugins_) {
            const int state = p->BlockState(h);
            if (state == 1) {
                p->NoteFree(h);
                return real_(h);
            }
            if (state == -1 && !poisonedBy) poisonedBy = p;
        }
        if (poisonedBy) {
            poisonedBy->NoteFree(h);  // counted there as a bad free
            return h;                 // as LocalFree answers for a handle it refuses
        }
        return real_(h);
    }

    void Patch(void* fn) {
        DWORD old = 0;
        VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &old);
        *slot_ = fn;
        VirtualProtect(slot_, sizeof(void*), old, &old);
    }

    // The import address table entry of `module` for `name` in `dll`.
    static void** ImportSlot(HMODULE module, const char* dll, const char* name) {
        auto* base = reinterpret_cast<BYTE*>(module);
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (!dir.VirtualAddress) return nullptr;
        for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
            if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), dll) != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk
                                                                                            : d->FirstThunk));
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<char*>(byName->Name), name) == 0)
                    return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
        return nullptr;
    }

    void** slot_ = nullptr;
    static inline LocalFreeFn real_ = nullptr;
    static inline std::vector<const HostilePlugin*> plugins_;
    static inline long seen_ = 0;
};

}  // namespace robust
