// Self-registration: the application identifier, one registry tree per creatable class
// and the embedded type library.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <string_view>

#include "../common/com_ptr.h"

namespace Tamrix {

// What tells one creatable class's tree from the other's.
struct ClassNames {
    std::string_view progId;         // version-dependent, "Tamrix.SusiePlugin.1"
    std::string_view viProgId;       // version-independent, "Tamrix.SusiePlugin"
    std::string_view clsid;          // registry form, with braces
    const char* friendlyName;        // "SusiePlugin Object"
};

inline constexpr ClassNames SUSIE_PLUGIN_NAMES{"Tamrix.SusiePlugin.1", "Tamrix.SusiePlugin",
                                              "{CAA01FE7-8699-457F-AB09-894187AA53C2}",
                                              "SusiePlugin Object"};
inline constexpr ClassNames TAMRIX_HOST_NAMES{"Tamrix.TamrixHost.1", "Tamrix.TamrixHost",
                                             "{B7F035D6-D0AB-4A38-AE8B-FACC351E7C33}",
                                             "TamrixHost Object"};

// Which part of a class's tree a registration step writes or removes.
enum class ClassTree {
    Whole,            // everything: ProgIDs and the class key with its in-process server
    ProgIds,          // the two ProgID keys alone
    SurrogateClass,   // the class key without an in-process server, for a view whose
                      // clients reach the server out of process through the DLL surrogate
};

// Writes (reg true) or removes one creatable class's tree, or a part of it, in the registry
// view `view` (0: the process's own).
HRESULT UpdateClassRegistry(const ClassNames& names, bool reg, ClassTree tree = ClassTree::Whole,
                            REGSAM view = 0) noexcept;

// The library's full path, whole whatever the ANSI code page holds.
HRESULT ModulePath(std::wstring& out) noexcept;
// Loads the type library from the server's file, or else from the ".tlb" file beside it;
// `path` tells which.
HRESULT LoadServerTypeLib(ComPtr<ITypeLib>& lib, std::wstring& path) noexcept;

// The two exports' work.
HRESULT RegisterServer() noexcept;
HRESULT UnregisterServer() noexcept;

}  // namespace Tamrix
