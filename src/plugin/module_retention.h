// Plug-in modules are loaded and freed here, and what a load and unload cost the process is
// watched: a module whose cycle leaves a TLS slot taken (a statically linked runtime that
// never frees its index, as plug-ins built with mingw's C++ have) is kept loaded from its
// next load to the end of the process. A walk that loads and frees every declining plug-in
// for every file then costs one slot per such plug-in, once, instead of one a file until the
// process has none left. A helper process binds its plug-ins through here too.
//
// The bindings of one module share one load reference of the system's, counted here: a
// binding's load of a module already loaded by its full path is a count, not a call into
// the loader. A module whose last binding lets go for an owner (a plug-in list, or the
// helper process as a whole) for the second time within WARM_MILLISECONDS stays warm, still
// mapped, for WARM_MILLISECONDS at most, and at most WARM_MOST modules at a time, so that
// the next walk's load of it is a count too. One let go once is freed at once: a walk over
// many plug-ins asked once each maps one file at a time, where the loader is quickest (a
// module mapped beside others of the same preferred base is relocated).
// Warm modules go when they expire (a timer-queue timer, and a look at every load and free),
// when their owner drops them (a list that goes, a new discovery), and when the server is
// asked whether it may be unloaded. The files named in the registry value AFRESH_VALUE_W
// are never kept warm: each use loads them afresh, as every plug-in was before.
#pragma once
#include <windows.h>
#include <string>

#include "../common/handles.h"

namespace SPI {

// How long and how many modules are kept warm.
constexpr DWORD WARM_MILLISECONDS = 2000;
constexpr size_t WARM_MOST = 64;
// Under HKEY_CURRENT_USER: plug-in files, by full path or by file name alone (a multi-string
// or a string of names separated by ";"), that are freed as soon as no binding holds them.
constexpr const wchar_t* AFRESH_KEY_W = L"Software\\Tamrix";
constexpr const wchar_t* AFRESH_VALUE_W = L"LoadAfresh";

// Who keeps the modules its bindings let go warm; null keeps none.
using WarmOwner = const void*;

// LoadLibraryW of a plug-in module: null, with the loader's error as the last error, when
// it fails.
HMODULE LoadPluginModule(const wchar_t* path) noexcept;
// FreeLibrary of a module LoadPluginModule gave: whether the system agreed. With an owner
// (or the process's, below) the last binding's free keeps the module warm for that owner.
bool FreePluginModule(HMODULE module, WarmOwner owner = nullptr) noexcept;

// Frees given no owner keep modules warm for `owner` from now on: a helper process's.
void KeepFreedModulesWarm(WarmOwner owner) noexcept;
// Frees at once the modules warm for `owner`, or every warm module for null. When none is
// left warm, the expiry timer goes too, a callback of it that is running waited for: none of
// this code runs on after the last drop. Never from DllMain.
void DropWarmModules(WarmOwner owner) noexcept;
// Reads the list of files never kept warm again (AFRESH_VALUE_W).
void ReadAfreshList() noexcept;
// How many modules are warm now.
size_t WarmModules() noexcept;

struct PluginModuleTraits {
    using type = HMODULE;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { FreePluginModule(h); }
};
using UniquePluginModule = Tamrix::UniqueHandle<PluginModuleTraits>;

// The full path of a loaded module, whatever its length; empty when the system has none.
std::wstring ModulePath(HMODULE module);

}  // namespace SPI
