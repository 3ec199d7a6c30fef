// Self-registration: the application identifier, one registry tree per creatable class
// and the embedded type library.
#pragma once
#include <windows.h>

#include <string_view>

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

// Writes (reg true) or removes one creatable class's tree.
HRESULT UpdateClassRegistry(const ClassNames& names, bool reg) noexcept;

// The two exports' work.
HRESULT RegisterServer() noexcept;
HRESULT UnregisterServer() noexcept;

}  // namespace Tamrix
