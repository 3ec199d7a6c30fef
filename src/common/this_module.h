// The module (DLL or program) that holds the calling code, found through the linker's
// image base symbol: right wherever a static library of ours ends up linked, and needing
// no help from DllMain.
#pragma once
#include <windows.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace Tamrix {

inline HMODULE ThisModule() noexcept {
    return reinterpret_cast<HMODULE>(&__ImageBase);
}

}  // namespace Tamrix
