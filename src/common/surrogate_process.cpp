#include "surrogate_process.h"

#include <cwchar>

namespace Tamrix {
namespace {

// The server's AppID and its two creatable classes. They are written out here, at the
// bottom of the server, because every layer may need to ask.
constexpr const wchar_t* SURROGATE_IDS[] = {
    L"{ECFF1D29-6CE3-483F-B423-45789DC49236}",  // AppID (and LIBID)
    L"{CAA01FE7-8699-457F-AB09-894187AA53C2}",  // SusiePlugin
    L"{B7F035D6-D0AB-4A38-AE8B-FACC351E7C33}",  // TamrixHost
};
constexpr wchar_t SWITCH[] = L"/processid:";
constexpr size_t SWITCH_LENGTH = sizeof SWITCH / sizeof SWITCH[0] - 1;
constexpr size_t GUID_LENGTH = 38;

wchar_t Fold(wchar_t c) noexcept {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameText(const wchar_t* a, const wchar_t* b, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i)
        if (!a[i] || Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

}  // namespace

bool IsSurrogateCommandLine(const wchar_t* commandLine) noexcept {
    if (!commandLine) return false;
    for (const wchar_t* p = commandLine; *p; ++p) {
        if (!SameText(p, SWITCH, SWITCH_LENGTH)) continue;
        const wchar_t* id = p + SWITCH_LENGTH;
        for (const wchar_t* ours : SURROGATE_IDS)
            if (SameText(id, ours, GUID_LENGTH)) return true;
    }
    return false;
}

namespace {
bool g_remoteHost = false;
}  // namespace

void MarkRemoteHost() noexcept {
    g_remoteHost = true;
}

bool InSurrogate() noexcept {
    // A process's command line does not change, so one look is enough.
    static const bool surrogate = IsSurrogateCommandLine(GetCommandLineW());
    return surrogate || g_remoteHost;
}

}  // namespace Tamrix
