// Plug-in modules are loaded and freed here, and what a load and unload cost the process is
// watched: a module whose cycle leaves a TLS slot taken (a statically linked runtime that
// never frees its index, as plug-ins built with mingw's C++ have) is kept loaded from its
// next load to the end of the process. A walk that loads and frees every declining plug-in
// for every file then costs one slot per such plug-in, once, instead of one a file until the
// process has none left. Every other module loads and unloads as asked. A helper process
// binds its plug-ins through here too.
#pragma once
#include <windows.h>
#include <string>

#include "../common/handles.h"

namespace SPI {

// LoadLibraryW of a plug-in module: null, with the loader's error as the last error, when
// it fails.
HMODULE LoadPluginModule(const wchar_t* path) noexcept;
// FreeLibrary of a module LoadPluginModule gave: whether the system agreed.
bool FreePluginModule(HMODULE module) noexcept;

struct PluginModuleTraits {
    using type = HMODULE;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { FreePluginModule(h); }
};
using UniquePluginModule = Tamrix::UniqueHandle<PluginModuleTraits>;

// The full path of a loaded module, whatever its length; empty when the system has none.
std::wstring ModulePath(HMODULE module);

}  // namespace SPI
