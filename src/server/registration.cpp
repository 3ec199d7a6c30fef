#include "registration.h"

#include <oleauto.h>
#include <shellapi.h>

#include <array>
#include <string>

#include "../common/com_ptr.h"
#include "class_table.h"
#include "module.h"
#include "registry_script.h"
#include "surrogate_registration.h"

namespace Tamrix {
namespace {

// The class tree's strings; the three that differ between classes come first.
enum : std::uint8_t {
    PROG_ID,
    VI_PROG_ID,
    CLASS_ID,
    FRIENDLY,
    CLSID_WORD,
    CUR_VER,
    PROG_ID_WORD,
    VI_PROG_ID_WORD,
    PROGRAMMABLE,
    MODULE_TYPE,
    MODULE,
    THREADING_MODEL,
    APARTMENT,
    APP_ID_WORD,
    APP_ID,
    TYPE_LIB_WORD,
    MODULE_GUID,
    STRING_COUNT
};

constexpr std::array<std::string_view, STRING_COUNT> ClassStrings(const ClassNames& n) {
    return {n.progId,      n.viProgId,         n.clsid,       "%FriendlyName%",
            "CLSID",       "CurVer",           "ProgID",      "VersionIndependentProgID",
            "Programmable", "%MODULETYPE%",    "%Module%",    "ThreadingModel",
            "apartment",   "AppID",            "%APPID%",     "TypeLib",
            "%MODULEGUID%"};
}

constexpr Op K(std::uint8_t name) { return {OpKind::Key, name, 0}; }
constexpr Op Default(std::uint8_t data) { return {OpKind::DefaultValue, 0, data}; }
constexpr Op Begin{OpKind::Begin, 0, 0};
constexpr Op End{OpKind::End, 0, 0};

// One creatable class's tree, in the order it is written.
constexpr Op CLASS_SCRIPT[] = {
    K(PROG_ID), Default(FRIENDLY), Begin,
        K(CLSID_WORD), Default(CLASS_ID),
    End,
    K(VI_PROG_ID), Default(FRIENDLY), Begin,
        K(CLSID_WORD), Default(CLASS_ID),
        K(CUR_VER), Default(PROG_ID),
    End,
    {OpKind::KeyNoRemove, CLSID_WORD, 0}, Begin,
        {OpKind::KeyForceRemove, CLASS_ID, 0}, Default(FRIENDLY), Begin,
            K(PROG_ID_WORD), Default(PROG_ID),
            K(VI_PROG_ID_WORD), Default(VI_PROG_ID),
            {OpKind::KeyForceRemove, PROGRAMMABLE, 0},
            K(MODULE_TYPE), Default(MODULE), Begin,
                {OpKind::NamedValue, THREADING_MODEL, APARTMENT},
            End,
            {OpKind::NamedValue, APP_ID_WORD, APP_ID},
            K(TYPE_LIB_WORD), Default(MODULE_GUID),
        End,
    End,
};

// Rows 1 to 5 of the class tree alone.
constexpr Op PROG_ID_SCRIPT[] = {
    K(PROG_ID), Default(FRIENDLY), Begin,
        K(CLSID_WORD), Default(CLASS_ID),
    End,
    K(VI_PROG_ID), Default(FRIENDLY), Begin,
        K(CLSID_WORD), Default(CLASS_ID),
        K(CUR_VER), Default(PROG_ID),
    End,
};

// Rows 6 to 14 without the in-process server: what a client of the other bitness reads to
// find the class, its AppID (and so the DLL surrogate) and its type library.
constexpr Op SURROGATE_CLASS_SCRIPT[] = {
    {OpKind::KeyNoRemove, CLSID_WORD, 0}, Begin,
        {OpKind::KeyForceRemove, CLASS_ID, 0}, Default(FRIENDLY), Begin,
            K(PROG_ID_WORD), Default(PROG_ID),
            K(VI_PROG_ID_WORD), Default(VI_PROG_ID),
            {OpKind::KeyForceRemove, PROGRAMMABLE, 0},
            {OpKind::NamedValue, APP_ID_WORD, APP_ID},
            K(TYPE_LIB_WORD), Default(MODULE_GUID),
        End,
    End,
};

constexpr WORD APP_ID_SCRIPT_ID = 101;
constexpr WORD APP_ID_SCRIPT_LANGUAGE = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);  // 1041

HRESULT LastError() noexcept {
    DWORD e = GetLastError();
    return e ? HRESULT_FROM_WIN32(e) : E_FAIL;
}

// "Module" and "Module_Raw"; the first would be quoted only for the process's own program.
HRESULT AddModuleReplacements(Replacements& r, const std::wstring& path) noexcept {
    const bool program = Module().Instance() == GetModuleHandleW(nullptr);
    try {
        HRESULT hr = r.Add("Module", program ? L"\"" + path + L"\"" : path);
        if (SUCCEEDED(hr)) hr = r.Add("Module_Raw", path);
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT TypeLibIdText(std::wstring& out) noexcept {
    LPOLESTR text = nullptr;
    HRESULT hr = StringFromCLSID(CTamrixModule::TypeLibId(), &text);
    if (FAILED(hr)) return hr;
    try {
        out.assign(text);
    } catch (...) {
        hr = E_OUTOFMEMORY;
    }
    CoTaskMemFree(text);
    return hr;
}

HRESULT RunAppIdScript(bool reg) noexcept {
    const HMODULE instance = Module().Instance();
    HRSRC res = FindResourceExA(instance, "REGISTRY", MAKEINTRESOURCEA(APP_ID_SCRIPT_ID), APP_ID_SCRIPT_LANGUAGE);
    if (!res) return LastError();
    HGLOBAL loaded = LoadResource(instance, res);
    const DWORD size = SizeofResource(instance, res);
    const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!text) return LastError();

    Replacements r;
    std::wstring path;
    HRESULT hr = Module().AddCommonRGSReplacements(r);
    if (SUCCEEDED(hr)) hr = ModulePath(path);
    if (SUCCEEDED(hr)) hr = AddModuleReplacements(r, path);
    ParsedScript script;
    if (SUCCEEDED(hr)) hr = script.Parse(std::string_view(text, size));
    if (SUCCEEDED(hr)) hr = RunRegistryScript(script.Script(), r, reg);
    return hr;
}

HRESULT UpdateTypeLibRegistration(bool reg) noexcept {
    ComPtr<ITypeLib> lib;
    std::wstring path;
    HRESULT hr = LoadServerTypeLib(lib, path);
    if (FAILED(hr)) return hr;
    if (reg) {
        try {
            std::wstring helpDir = path.substr(0, path.find_last_of(L"\\/:") + 1);
            return RegisterTypeLib(lib.get(), path.data(), helpDir.data());
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    lib->ReleaseTLibAttr(attr);
    return hr;
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

}  // namespace

HRESULT ModulePath(std::wstring& out) noexcept {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(Module().Instance(), path, MAX_PATH);
    if (n == 0) return LastError();
    if (n == MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    try {
        out.assign(path, n);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT LoadServerTypeLib(ComPtr<ITypeLib>& lib, std::wstring& path) noexcept {
    HRESULT hr = ModulePath(path);
    if (FAILED(hr)) return hr;
    try {
        hr = LoadTypeLib(path.c_str(), lib.put());
        if (SUCCEEDED(hr)) return hr;
        const size_t slash = path.find_last_of(L'\\');
        const size_t dot = path.find_last_of(L'.');
        if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) path.resize(dot);
        path += L".tlb";
        return LoadTypeLib(path.c_str(), lib.put());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UpdateClassRegistry(const ClassNames& names, bool reg, ClassTree tree, REGSAM view) noexcept {
    Replacements r;
    std::wstring path, libId;
    HRESULT hr = ModulePath(path);
    if (SUCCEEDED(hr)) hr = AddModuleReplacements(r, path);
    if (SUCCEEDED(hr)) hr = TypeLibIdText(libId);
    if (SUCCEEDED(hr)) hr = r.Add("MODULEGUID", std::move(libId));
    if (SUCCEEDED(hr)) {
        const bool program = SHGetFileInfoW(path.c_str(), 0, nullptr, 0, SHGFI_EXETYPE) != 0;
        hr = r.Add("MODULETYPE", program ? "LocalServer32" : "InprocServer32");
    }
    if (SUCCEEDED(hr)) hr = Module().AddCommonRGSReplacements(r);
    if (SUCCEEDED(hr)) hr = r.Add("FriendlyName", names.friendlyName);
    if (FAILED(hr)) return hr;
    const auto strings = ClassStrings(names);
    std::span<const Op> ops = CLASS_SCRIPT;
    if (tree == ClassTree::ProgIds) ops = PROG_ID_SCRIPT;
    if (tree == ClassTree::SurrogateClass) ops = SURROGATE_CLASS_SCRIPT;
    return RunRegistryScript({ops, strings, PlainKeyRemoval::WithSubkeys, view}, r, reg);
}

HRESULT RegisterServer() noexcept {
    SystemLocaleScope locale;
    HRESULT hr = RunAppIdScript(true);
    if (SUCCEEDED(hr)) hr = UpdateClassRegistrations(true);
    if (SUCCEEDED(hr)) hr = UpdateTypeLibRegistration(true);
    // On a 64-bit system, 64-bit clients reach this 32-bit server out of process.
    if (SUCCEEDED(hr) && OnWow64()) {
        hr = UpdateSurrogateRegistration(true);
        if (SUCCEEDED(hr)) hr = UpdateSurrogateAppId(true);
    }
    return hr;
}

HRESULT UnregisterServer() noexcept {
    SystemLocaleScope locale;
    HRESULT hr = UpdateClassRegistrations(false);
    if (SUCCEEDED(hr)) hr = UpdateTypeLibRegistration(false);
    if (SUCCEEDED(hr) && OnWow64()) hr = UpdateSurrogateRegistration(false);
    // The application identifier goes only when everything else went.
    if (SUCCEEDED(hr)) hr = RunAppIdScript(false);
    if (SUCCEEDED(hr) && OnWow64()) hr = UpdateSurrogateAppId(false);
    if (SUCCEEDED(hr) && OnWow64()) hr = KeepNativeAppId();
    // The 64-bit server leaves the 32-bit server's way in for 64-bit clients as it was.
    if (SUCCEEDED(hr) && Wow64ServerRegistered()) hr = RestoreSurrogateRegistration();
    return hr;
}

}  // namespace Tamrix
