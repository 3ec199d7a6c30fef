#include "registration.h"

#include <oleauto.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <new>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "../common/automation_types.h"
#include "../common/com_ptr.h"
#include "../common/handles.h"
#include "module.h"
#include "registry_rows.h"

namespace Tamrix {
namespace {

constexpr REGSAM VIEW_64 = KEY_WOW64_64KEY;
constexpr REGSAM VIEW_32 = KEY_WOW64_32KEY;
constexpr std::uint8_t BOTH_VIEWS = OWN_VIEW | SURROGATE_VIEW;

constexpr wchar_t APP_ID[] = L"{ECFF1D29-6CE3-483F-B423-45789DC49236}";
// The type-library marshaler (PSOAInterface), the proxy of every dual interface.
constexpr const wchar_t* MARSHALER = L"{00020424-0000-0000-C000-000000000046}";

// One creatable class's tree. A 64-bit process cannot load the 32-bit server: in the 64-bit
// view, COM finds it through the class's AppID, in the system's DLL surrogate.
constexpr Row CLASS_ROWS[] = {
    {BOTH_VIEWS | SHARED_KEY, L"%ProgID%", nullptr, L"%Name%"},
    {BOTH_VIEWS | SHARED_KEY, L"%ProgID%\\CLSID", nullptr, L"%CLSID%"},
    {BOTH_VIEWS | SHARED_KEY, L"%VIProgID%", nullptr, L"%Name%"},
    {BOTH_VIEWS | SHARED_KEY, L"%VIProgID%\\CLSID", nullptr, L"%CLSID%"},
    {BOTH_VIEWS | SHARED_KEY, L"%VIProgID%\\CurVer", nullptr, L"%ProgID%"},
    {BOTH_VIEWS, L"CLSID\\%CLSID%", nullptr, L"%Name%", REPLACE},
    {BOTH_VIEWS, L"CLSID\\%CLSID%\\ProgID", nullptr, L"%ProgID%"},
    {BOTH_VIEWS, L"CLSID\\%CLSID%\\VersionIndependentProgID", nullptr, L"%VIProgID%"},
    {BOTH_VIEWS, L"CLSID\\%CLSID%\\Programmable"},
    {OWN_VIEW, L"CLSID\\%CLSID%\\InprocServer32", nullptr, L"%Module%"},
    {OWN_VIEW, L"CLSID\\%CLSID%\\InprocServer32", L"ThreadingModel", L"apartment"},
    {BOTH_VIEWS, L"CLSID\\%CLSID%", L"AppID", L"%AppID%"},
    {BOTH_VIEWS, L"CLSID\\%CLSID%\\TypeLib", nullptr, L"%LibID%"},
};

// The application identifier, one for both servers, each naming its own file. The empty
// "DllSurrogate" is the system's own surrogate; it is written in both views, so that older
// systems, which keep two copies of the key, find it where their clients look.
constexpr Row APP_ID_ROWS[] = {
    {BOTH_VIEWS | SHARED_KEY, L"AppID\\%AppID%", nullptr, L"Tamrix"},
    {OWN_VIEW, sizeof(void*) == 8 ? L"AppID\\Tamrix64.DLL" : L"AppID\\Tamrix.DLL", L"AppID", L"%AppID%"},
    {SURROGATE_VIEW, L"AppID\\%AppID%", L"DllSurrogate", L""},
};

// One dual interface's key as the type library's registration writes it: for the marshaler
// of the other bitness, and in a registration for the user alone.
constexpr Row INTERFACE_ROWS[] = {
    {SURROGATE_VIEW, L"Interface\\%IID%", nullptr, L"%Interface%", REPLACE},
    {SURROGATE_VIEW, L"Interface\\%IID%\\ProxyStubClsid", nullptr, MARSHALER},
    {SURROGATE_VIEW, L"Interface\\%IID%\\ProxyStubClsid32", nullptr, MARSHALER},
    {SURROGATE_VIEW, L"Interface\\%IID%\\TypeLib", nullptr, L"%LibID%"},
    {SURROGATE_VIEW, L"Interface\\%IID%\\TypeLib", L"Version", L"%Version%"},
};

// The type library's keys as RegisterTypeLib writes them, for a registration below the
// user's classes. RegisterTypeLibForUser writes the same on Windows, but Wine 8's registers
// the library for the whole machine, so the server writes them itself.
constexpr Row TYPELIB_ROWS[] = {
    {OWN_VIEW, L"TypeLib\\%LibID%\\%Version%", nullptr, L"%Doc%"},
    {OWN_VIEW, L"TypeLib\\%LibID%\\%Version%\\FLAGS", nullptr, L"%Flags%"},
    {OWN_VIEW, L"TypeLib\\%LibID%\\%Version%\\%Lcid%\\%Platform%", nullptr, L"%Path%"},
    {OWN_VIEW, L"TypeLib\\%LibID%\\%Version%\\HELPDIR", nullptr, L"%HelpDir%"},
};
// What goes with the library's last platform key when it is removed, when nothing else is
// left below: its locale's key, then the LIBID's.
constexpr Row TYPELIB_PARENT_ROWS[] = {
    {OWN_VIEW, L"TypeLib\\%LibID%\\%Version%\\%Lcid%"},
    {OWN_VIEW, L"TypeLib\\%LibID%"},
};

struct ClassNames {
    std::wstring_view progId, viProgId, clsid, name;
};
constexpr ClassNames CLASSES[] = {
    {L"Tamrix.SusiePlugin.1", L"Tamrix.SusiePlugin", L"{CAA01FE7-8699-457F-AB09-894187AA53C2}", L"SusiePlugin Object"},
    {L"Tamrix.TamrixHost.1", L"Tamrix.TamrixHost", L"{B7F035D6-D0AB-4A38-AE8B-FACC351E7C33}", L"TamrixHost Object"},
};

constexpr Placeholder APP_ID_VALUES[] = {{L"AppID", APP_ID}};

struct GuidText {
    explicit GuidText(const GUID& guid) noexcept { StringFromGUID2(guid, text, 39); }
    operator std::wstring_view() const noexcept { return text; }
    wchar_t text[39] = L"";
};

HRESULT LastError() noexcept {
    const DWORD e = GetLastError();
    return e ? HRESULT_FROM_WIN32(e) : E_FAIL;
}

// The library's full path, whole whatever the ANSI code page holds.
HRESULT ModulePath(std::wstring& out) noexcept try {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(Module().Instance(), path, MAX_PATH);
    if (n == 0) return LastError();
    if (n == MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    out.assign(path, n);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

// What a class's rows name besides the class: the library's path, the AppID and the LIBID.
struct ModuleValues {
    HRESULT Read() noexcept { return ModulePath(path); }
    std::array<Placeholder, 7> For(const ClassNames& c) const noexcept {
        return {{{L"ProgID", c.progId}, {L"VIProgID", c.viProgId}, {L"CLSID", c.clsid}, {L"Name", c.name},
                 {L"Module", path}, {L"AppID", APP_ID}, {L"LibID", libId}}};
    }
    std::wstring path;
    GuidText libId{CTamrixModule::TypeLibId()};
};

// Loads the type library from the server's file, or else from the ".tlb" file beside it;
// `path` tells which.
HRESULT LoadServerTypeLib(ComPtr<ITypeLib>& lib, std::wstring& path) noexcept try {
    HRESULT hr = ModulePath(path);
    if (FAILED(hr)) return hr;
    hr = LoadTypeLib(path.c_str(), lib.put());
    if (SUCCEEDED(hr)) return hr;
    const size_t slash = path.find_last_of(L'\\');
    const size_t dot = path.find_last_of(L'.');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) path.resize(dot);
    path += L".tlb";
    return LoadTypeLib(path.c_str(), lib.put());
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

// Writes (reg true) or removes the type library's keys below the user's classes. Its
// LIBID and version key go only with the last platform registered there (the other server
// registers its own below the same key).
HRESULT UpdateUserTypeLib(bool reg, ITypeLib* lib, const std::wstring& path, const std::wstring& helpDir) noexcept try {
    TLIBATTR* attr = nullptr;
    if (HRESULT hr = lib->GetLibAttr(&attr); FAILED(hr)) return hr;
    const GuidText libId(attr->guid);
    wchar_t version[16], lcid[16], flags[16];
    std::swprintf(version, 16, L"%x.%x", attr->wMajorVerNum, attr->wMinorVerNum);
    std::swprintf(lcid, 16, L"%lx", static_cast<unsigned long>(attr->lcid));
    std::swprintf(flags, 16, L"%u", static_cast<unsigned>(attr->wLibFlags));
    const wchar_t* platform = attr->syskind == SYS_WIN64 ? L"win64" : attr->syskind == SYS_WIN16 ? L"win16" : L"win32";
    lib->ReleaseTLibAttr(attr);
    Bstr doc;
    lib->GetDocumentation(-1, nullptr, doc.put(), nullptr, nullptr);
    const Placeholder values[] = {{L"LibID", libId},     {L"Version", version},
                                  {L"Lcid", lcid},       {L"Platform", platform},
                                  {L"Path", path},       {L"HelpDir", helpDir},
                                  {L"Flags", flags},     {L"Doc", {doc.get() ? doc.get() : L"", doc.length()}}};
    if (reg) return WriteRows(TYPELIB_ROWS, values, OWN_VIEW, 0, USER_CLASSES);

    const std::span<const Row> platformRow = std::span(TYPELIB_ROWS).subspan(2, 1);
    HRESULT hr = RemoveRows(platformRow, values, OWN_VIEW, 0, Removal::Trees, USER_CLASSES);
    if (SUCCEEDED(hr))
        hr = RemoveRows(std::span(TYPELIB_PARENT_ROWS).first(1), values, OWN_VIEW, 0, Removal::EmptyKeys, USER_CLASSES);
    std::vector<std::wstring> left;
    const std::wstring versionKey = L"TypeLib\\" + std::wstring(libId) + L"\\" + version;
    if (SUCCEEDED(hr)) hr = Subkeys(versionKey.c_str(), 0, USER_CLASSES, left);
    if (FAILED(hr)) return hr;
    if (std::ranges::all_of(left, [](const std::wstring& k) { return k == L"FLAGS" || k == L"HELPDIR"; }))
        hr = RemoveRows(std::span(TYPELIB_ROWS).first(1), values, OWN_VIEW, 0, Removal::Trees, USER_CLASSES);
    if (SUCCEEDED(hr))
        hr = RemoveRows(std::span(TYPELIB_PARENT_ROWS).subspan(1), values, OWN_VIEW, 0, Removal::EmptyKeys, USER_CLASSES);
    return hr;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT UpdateInterfaces(bool reg, REGSAM view, const ClassesKey& at) noexcept;

// Registers or unregisters the type library: for the machine through the system, for the
// user by its keys and its interfaces' keys in the server's own view.
HRESULT UpdateTypeLibRegistration(bool reg, Scope scope) noexcept try {
    ComPtr<ITypeLib> lib;
    std::wstring path;
    HRESULT hr = LoadServerTypeLib(lib, path);
    if (FAILED(hr)) return hr;
    std::wstring helpDir = path.substr(0, path.find_last_of(L"\\/:") + 1);
    if (scope == Scope::User) {
        if (!reg) hr = UpdateInterfaces(false, 0, USER_CLASSES);
        if (SUCCEEDED(hr)) hr = UpdateUserTypeLib(reg, lib.get(), path, helpDir);
        if (SUCCEEDED(hr) && reg) hr = UpdateInterfaces(true, 0, USER_CLASSES);
        return hr;
    }
    if (reg) return RegisterTypeLib(lib.get(), path.data(), helpDir.data());
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    lib->ReleaseTLibAttr(attr);
    return hr;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

// The interface at `index` if the type-library marshaler serves it: a dispinterface (a dual
// interface shows as one) or an OLE Automation interface.
bool Marshaled(ITypeLib* lib, UINT index, GUID& iid) noexcept {
    TYPEKIND kind;
    ComPtr<ITypeInfo> info;
    TYPEATTR* attr = nullptr;
    if (FAILED(lib->GetTypeInfoType(index, &kind)) || (kind != TKIND_DISPATCH && kind != TKIND_INTERFACE) ||
        FAILED(lib->GetTypeInfo(index, info.put())) || FAILED(info->GetTypeAttr(&attr)))
        return false;
    const bool marshaled = kind == TKIND_DISPATCH || (attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    iid = attr->guid;
    info->ReleaseTypeAttr(attr);
    return marshaled;
}

// Writes (reg true) or removes each marshaled interface's key in `view`.
HRESULT UpdateInterfaces(bool reg, REGSAM view, const ClassesKey& at) noexcept {
    ComPtr<ITypeLib> lib;
    std::wstring path;
    HRESULT hr = LoadServerTypeLib(lib, path);
    if (FAILED(hr)) return hr;
    TLIBATTR* libAttr = nullptr;
    if (hr = lib->GetLibAttr(&libAttr); FAILED(hr)) return hr;
    const GuidText libId(libAttr->guid);
    wchar_t version[16];
    std::swprintf(version, 16, L"%x.%x", libAttr->wMajorVerNum, libAttr->wMinorVerNum);
    lib->ReleaseTLibAttr(libAttr);

    for (UINT i = 0, count = lib->GetTypeInfoCount(); i < count; ++i) {
        GUID iid;
        Bstr name;
        if (!Marshaled(lib.get(), i, iid) ||
            FAILED(lib->GetDocumentation(static_cast<INT>(i), name.put(), nullptr, nullptr, nullptr)))
            continue;
        const GuidText iidText(iid);
        const Placeholder values[] = {{L"IID", iidText},
                                      {L"Interface", {name.get(), name.length()}},
                                      {L"LibID", libId},
                                      {L"Version", version}};
        hr = reg ? WriteRows(INTERFACE_ROWS, values, SURROGATE_VIEW, view, at)
                 : RemoveRows(INTERFACE_ROWS, values, SURROGATE_VIEW, view, Removal::Trees, at);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

// A class key in `view` that names an in-process server: a 64-bit one in the 64-bit view
// owns the class key there.
bool ServerRegistered(const ClassNames& c, REGSAM view, const ClassesKey& at) noexcept {
    wchar_t path[80];
    std::swprintf(path, 80, L"CLSID\\%ls\\InprocServer32", c.clsid.data());
    return KeyExists(path, view, at);
}

// A 64-bit registration of the type library (Tamrix64.dll), whose interfaces need the same
// keys in the 64-bit view.
bool NativeTypeLibRegistered(const ModuleValues& m, const ClassesKey& at) noexcept {
    wchar_t path[80];
    std::swprintf(path, 80, L"TypeLib\\%ls\\1.0\\0\\win64", m.libId.text);
    return KeyExists(path, VIEW_64, at);
}

// True for a 32-bit process on a 64-bit system: only there is the 64-bit view written.
bool OnWow64() noexcept {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// In the 64-bit server: the 32-bit server of the same classes is registered too.
bool Wow64ServerRegistered(const ClassesKey& at) noexcept {
    if constexpr (sizeof(void*) == 4) {
        return false;
    } else {
        for (const ClassNames& c : CLASSES)
            if (ServerRegistered(c, VIEW_32, at)) return true;
        return false;
    }
}

// The 64-bit view's entries for 64-bit clients of the 32-bit server: each class tree that
// no 64-bit server owns, the interface keys (in `interfaceViews`), the AppID with its
// surrogate.
HRESULT WriteSurrogateEntries(const ModuleValues& m, std::initializer_list<REGSAM> interfaceViews,
                              const ClassesKey& at) noexcept {
    for (const ClassNames& c : CLASSES) {
        if (ServerRegistered(c, VIEW_64, at)) continue;
        if (HRESULT hr = WriteRows(CLASS_ROWS, m.For(c), SURROGATE_VIEW, VIEW_64, at); FAILED(hr)) return hr;
    }
    for (REGSAM view : interfaceViews)
        if (HRESULT hr = UpdateInterfaces(true, view, at); FAILED(hr)) return hr;
    for (REGSAM view : {VIEW_32, VIEW_64})
        if (HRESULT hr = WriteRows(APP_ID_ROWS, APP_ID_VALUES, SURROGATE_VIEW, view, at); FAILED(hr)) return hr;
    return S_OK;
}

// Removes the 32-bit server's entries of the 64-bit view, after its class trees and type
// library went. What a registered 64-bit server still needs stays: its class keys, and its
// ProgIDs and interface keys, which the removal took from the key both views share, are
// written again.
HRESULT RemoveSurrogateEntries(const ModuleValues& m, const ClassesKey& at) noexcept {
    for (const ClassNames& c : CLASSES) {
        const auto values = m.For(c);
        HRESULT hr = ServerRegistered(c, VIEW_64, at)
                         ? WriteRows(CLASS_ROWS, values, SHARED_KEY, VIEW_64, at)
                         : RemoveRows(CLASS_ROWS, values, SURROGATE_VIEW, VIEW_64, Removal::Trees, at);
        if (FAILED(hr)) return hr;
    }
    return UpdateInterfaces(NativeTypeLibRegistered(m, at), VIEW_64, at);
}

// Runs registration on the system default locale and gives the caller's back on the way out.
class SystemLocaleScope {
public:
    SystemLocaleScope() noexcept : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope() { SetThreadLocale(saved_); }
    SystemLocaleScope(const SystemLocaleScope&) = delete;
    SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

private:
    LCID saved_;
};

const ClassesKey& Classes(Scope scope) noexcept {
    return scope == Scope::User ? USER_CLASSES : MACHINE_CLASSES;
}

constexpr const wchar_t* OWN_APP_ID_KEY = sizeof(void*) == 8 ? L"AppID\\Tamrix64.DLL" : L"AppID\\Tamrix.DLL";

// This server's own registration in `scope`, read where that scope's keys alone lie (on
// Windows HKEY_CLASSES_ROOT shows the user's keys too).
bool Registered(Scope scope) noexcept {
    const ClassesKey& at = scope == Scope::User ? USER_CLASSES : LOCAL_MACHINE_CLASSES;
    for (const ClassNames& c : CLASSES)
        if (ServerRegistered(c, 0, at)) return true;
    return KeyExists(OWN_APP_ID_KEY, 0, at);
}

HRESULT Register(const ModuleValues& m, Scope scope) noexcept {
    const ClassesKey& to = Classes(scope);
    HRESULT hr = WriteRows(APP_ID_ROWS, APP_ID_VALUES, OWN_VIEW, 0, to);
    if (FAILED(hr)) return hr;
    for (const ClassNames& c : CLASSES)
        if (hr = WriteRows(CLASS_ROWS, m.For(c), OWN_VIEW, 0, to); FAILED(hr)) return hr;
    if (hr = UpdateTypeLibRegistration(true, scope); FAILED(hr)) return hr;
    // On a 64-bit system, 64-bit clients reach this 32-bit server out of process.
    return OnWow64() ? WriteSurrogateEntries(m, {VIEW_64}, to) : S_OK;
}

HRESULT Unregister(const ModuleValues& m, Scope scope) noexcept {
    const ClassesKey& at = Classes(scope);
    HRESULT hr = S_OK;
    for (const ClassNames& c : CLASSES)
        if (hr = RemoveRows(CLASS_ROWS, m.For(c), OWN_VIEW, 0, Removal::Trees, at); FAILED(hr)) return hr;
    if (hr = UpdateTypeLibRegistration(false, scope); FAILED(hr)) return hr;
    if (OnWow64())
        if (hr = RemoveSurrogateEntries(m, at); FAILED(hr)) return hr;
    // The application identifier goes only when everything else went.
    if (hr = RemoveRows(APP_ID_ROWS, APP_ID_VALUES, OWN_VIEW, 0, Removal::EmptyKeys, at); FAILED(hr)) return hr;
    if (OnWow64()) {
        for (REGSAM view : {VIEW_32, VIEW_64})
            if (hr = RemoveRows(APP_ID_ROWS, APP_ID_VALUES, SURROGATE_VIEW, view, Removal::EmptyKeys, at); FAILED(hr))
                return hr;
        // The 64-bit server's registration names its own file under the same identifier.
        if (KeyExists(L"AppID\\Tamrix64.DLL", VIEW_64, at))
            if (hr = WriteRows(APP_ID_ROWS, APP_ID_VALUES, SHARED_KEY, VIEW_64, at); FAILED(hr)) return hr;
    }
    // The 64-bit server leaves the 32-bit server's way in for 64-bit clients as it was.
    return Wow64ServerRegistered(at) ? WriteSurrogateEntries(m, {VIEW_64, VIEW_32}, at) : S_OK;
}

}  // namespace

HRESULT RegisterServer(Scope scope) noexcept {
    SystemLocaleScope locale;
    ModuleValues m;
    HRESULT hr = m.Read();
    if (FAILED(hr)) return hr;
    // The registering user's own registration goes first: for that user its keys would hide
    // the machine's, and on Windows the machine's would be written into them.
    if (scope == Scope::Machine && Registered(Scope::User))
        if (hr = Unregister(m, Scope::User); FAILED(hr)) return hr;
    return Register(m, scope);
}

// Unregistering removes the server's registration whichever way it was made: the user's
// first, so that on Windows the machine's removal through HKEY_CLASSES_ROOT meets its own
// keys alone. Removing the machine's needs an administrator; without one it fails with
// access denied. With neither registered, the scope named goes through its steps as if it
// were (for the machine, the type library's unregistration then fails).
HRESULT UnregisterServer(Scope scope) noexcept {
    SystemLocaleScope locale;
    ModuleValues m;
    HRESULT hr = m.Read();
    if (FAILED(hr)) return hr;
    const bool user = Registered(Scope::User), machine = Registered(Scope::Machine);
    if (user || (scope == Scope::User && !machine))
        if (hr = Unregister(m, Scope::User); FAILED(hr)) return hr;
    if (machine || (scope == Scope::Machine && !user)) hr = Unregister(m, Scope::Machine);
    return hr;
}

bool ScopeFromCommandLine(const wchar_t* text, Scope& out) noexcept {
    if (!text || !*text || CompareStringOrdinal(text, -1, L"machine", -1, TRUE) == CSTR_EQUAL) {
        out = Scope::Machine;
        return true;
    }
    if (CompareStringOrdinal(text, -1, L"user", -1, TRUE) != CSTR_EQUAL) return false;
    out = Scope::User;
    return true;
}

}  // namespace Tamrix
