#include "surrogate_registration.h"

#include <oleauto.h>

#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../common/handles.h"
#include "../common/text.h"
#include "module.h"
#include "registration.h"
#include "registry_script.h"

namespace Tamrix {
namespace {

constexpr REGSAM VIEW_64 = KEY_WOW64_64KEY;
constexpr REGSAM VIEW_32 = KEY_WOW64_32KEY;

// The type-library marshaler (PSOAInterface), the proxy of every dual interface.
constexpr std::string_view TYPELIB_MARSHALER = "{00020424-0000-0000-C000-000000000046}";

constexpr Op K(std::uint8_t name) { return {OpKind::Key, name, 0}; }
constexpr Op Default(std::uint8_t data) { return {OpKind::DefaultValue, 0, data}; }
constexpr Op Begin{OpKind::Begin, 0, 0};
constexpr Op End{OpKind::End, 0, 0};

// AppID\{appid} = "Tamrix", with DllSurrogate = "": the system's own surrogate.
enum : std::uint8_t { APP_ID_WORD, APP_ID, TAMRIX, DLL_SURROGATE, EMPTY };
constexpr std::string_view APP_ID_STRINGS[] = {"AppID", "%APPID%", "Tamrix", "DllSurrogate", ""};
constexpr Op APP_ID_SCRIPT[] = {
    {OpKind::KeyNoRemove, APP_ID_WORD, 0}, Begin,
        K(APP_ID), Default(TAMRIX), Begin,
            {OpKind::NamedValue, DLL_SURROGATE, EMPTY},
        End,
    End,
};
// The same key as the 64-bit server writes it, without the surrogate.
constexpr Op NATIVE_APP_ID_SCRIPT[] = {
    {OpKind::KeyNoRemove, APP_ID_WORD, 0}, Begin,
        K(APP_ID), Default(TAMRIX),
    End,
};
constexpr const char* NATIVE_APP_ID_FILE_KEY = "AppID\\Tamrix64.DLL";

// One dual interface's key, as the type library's registration writes it.
enum : std::uint8_t { INTERFACE_WORD, IID_TEXT, NAME, PROXY, PROXY32, MARSHALER, TYPE_LIB, LIB_ID,
                      VERSION_WORD, VERSION, INTERFACE_STRING_COUNT };
constexpr Op INTERFACE_SCRIPT[] = {
    {OpKind::KeyNoRemove, INTERFACE_WORD, 0}, Begin,
        {OpKind::KeyForceRemove, IID_TEXT, 0}, Default(NAME), Begin,
            K(PROXY), Default(MARSHALER),
            K(PROXY32), Default(MARSHALER),
            K(TYPE_LIB), Default(LIB_ID), Begin,
                {OpKind::NamedValue, VERSION_WORD, VERSION},
            End,
        End,
    End,
};

struct DualInterface {
    std::string iid, name;
};

// A GUID in its registry form (ASCII alone).
std::string GuidText(const GUID& guid) {
    wchar_t text[40];
    const int n = StringFromGUID2(guid, text, 40);
    return n > 1 ? std::string(text, text + n - 1) : std::string();
}

// The library's identifier, version and the interfaces the marshaler serves: every
// dispinterface (a dual interface shows as one) and every OLE Automation interface.
HRESULT ReadLibrary(std::string& libId, std::string& version, std::vector<DualInterface>& out) noexcept {
    ComPtr<ITypeLib> lib;
    std::wstring path;
    HRESULT hr = LoadServerTypeLib(lib, path);
    if (FAILED(hr)) return hr;
    try {
        TLIBATTR* libAttr = nullptr;
        hr = lib->GetLibAttr(&libAttr);
        if (FAILED(hr)) return hr;
        libId = GuidText(libAttr->guid);
        char text[16];
        std::snprintf(text, sizeof text, "%x.%x", libAttr->wMajorVerNum, libAttr->wMinorVerNum);
        version = text;
        lib->ReleaseTLibAttr(libAttr);

        const UINT count = lib->GetTypeInfoCount();
        for (UINT i = 0; i < count; ++i) {
            TYPEKIND kind;
            if (FAILED(lib->GetTypeInfoType(i, &kind))) continue;
            if (kind != TKIND_DISPATCH && kind != TKIND_INTERFACE) continue;
            ComPtr<ITypeInfo> info;
            if (FAILED(lib->GetTypeInfo(i, info.put()))) continue;
            TYPEATTR* attr = nullptr;
            if (FAILED(info->GetTypeAttr(&attr))) continue;
            const bool marshaled = kind == TKIND_DISPATCH || (attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
            const GUID iid = attr->guid;
            info->ReleaseTypeAttr(attr);
            if (!marshaled) continue;
            BSTR name = nullptr;
            if (FAILED(lib->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr))) continue;
            std::string narrowName;
            hr = ToNarrow(name, narrowName);
            SysFreeString(name);
            if (FAILED(hr)) return hr;
            out.push_back({GuidText(iid), std::move(narrowName)});
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UpdateInterfaces(bool reg, REGSAM view = VIEW_64) noexcept {
    std::string libId, version;
    std::vector<DualInterface> interfaces;
    HRESULT hr = ReadLibrary(libId, version, interfaces);
    if (FAILED(hr)) return hr;
    const Replacements none;
    for (const DualInterface& i : interfaces) {
        // A "%" would be read as the start of a replacement; the library's names have none.
        if (i.name.find('%') != std::string::npos) return E_FAIL;
        const std::array<std::string_view, INTERFACE_STRING_COUNT> strings{
            "Interface", i.iid, i.name, "ProxyStubClsid", "ProxyStubClsid32", TYPELIB_MARSHALER,
            "TypeLib", libId, "Version", version};
        hr = RunRegistryScript({INTERFACE_SCRIPT, strings, PlainKeyRemoval::WithSubkeys, view}, none, reg);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

bool KeyExists(const std::string& path, REGSAM view) noexcept {
    UniqueRegKey key;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// A 64-bit registration of the type library (Tamrix64.dll), whose interfaces need the
// same keys in the 64-bit view.
bool NativeTypeLibRegistered() noexcept {
    try {
        return KeyExists("TypeLib\\" + GuidText(CTamrixModule::TypeLibId()) + "\\1.0\\0\\win64", VIEW_64);
    } catch (...) {
        return false;
    }
}

}  // namespace

bool OnWow64() noexcept {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool NativeServerRegistered(const char* clsid) noexcept {
    try {
        return KeyExists(std::string("CLSID\\") + clsid + "\\InprocServer32", VIEW_64);
    } catch (...) {
        return false;
    }
}

HRESULT UpdateSurrogateRegistration(bool reg) noexcept {
    for (const ClassNames* names : {&SUSIE_PLUGIN_NAMES, &TAMRIX_HOST_NAMES}) {
        HRESULT hr = S_OK;
        if (NativeServerRegistered(names->clsid.data())) {
            // The 64-bit server's class key stays as it is; its ProgIDs, in a key that both
            // views share, were just removed with ours and are written again.
            if (!reg) hr = UpdateClassRegistry(*names, true, ClassTree::ProgIds, VIEW_64);
        } else {
            hr = UpdateClassRegistry(*names, reg, ClassTree::ProgIds, VIEW_64);
            if (SUCCEEDED(hr)) hr = UpdateClassRegistry(*names, reg, ClassTree::SurrogateClass, VIEW_64);
        }
        if (FAILED(hr)) return hr;
    }
    // The 32-bit library's removal may have taken the interface keys of both views.
    return UpdateInterfaces(reg || NativeTypeLibRegistered());
}

bool Wow64ServerRegistered() noexcept {
    if constexpr (sizeof(void*) == 4) {
        return false;
    } else {
        try {
            for (const ClassNames* names : {&SUSIE_PLUGIN_NAMES, &TAMRIX_HOST_NAMES})
                if (KeyExists("CLSID\\" + std::string(names->clsid) + "\\InprocServer32", VIEW_32)) return true;
            return false;
        } catch (...) {
            return false;
        }
    }
}

HRESULT RestoreSurrogateRegistration() noexcept {
    for (const ClassNames* names : {&SUSIE_PLUGIN_NAMES, &TAMRIX_HOST_NAMES}) {
        HRESULT hr = UpdateClassRegistry(*names, true, ClassTree::ProgIds, VIEW_64);
        if (SUCCEEDED(hr)) hr = UpdateClassRegistry(*names, true, ClassTree::SurrogateClass, VIEW_64);
        if (FAILED(hr)) return hr;
    }
    // The type library's removal may have taken the interface keys of both views.
    for (REGSAM view : {VIEW_64, VIEW_32})
        if (HRESULT hr = UpdateInterfaces(true, view); FAILED(hr)) return hr;
    return UpdateSurrogateAppId(true);
}

HRESULT KeepNativeAppId() noexcept {
    // Tamrix64.dll's registration names its own file under AppID; the identifier itself is
    // one key for both servers.
    if (!KeyExists(NATIVE_APP_ID_FILE_KEY, VIEW_64)) return S_OK;
    Replacements r;
    HRESULT hr = Module().AddCommonRGSReplacements(r);
    if (FAILED(hr)) return hr;
    return RunRegistryScript({NATIVE_APP_ID_SCRIPT, APP_ID_STRINGS, PlainKeyRemoval::IfNoSubkeys, VIEW_64}, r, true);
}

HRESULT UpdateSurrogateAppId(bool reg) noexcept {
    Replacements r;
    HRESULT hr = Module().AddCommonRGSReplacements(r);
    if (FAILED(hr)) return hr;
    // Shared by both views on current systems; each is named so that older ones, which keep
    // two copies, find it where their clients look.
    for (REGSAM view : {VIEW_32, VIEW_64}) {
        hr = RunRegistryScript({APP_ID_SCRIPT, APP_ID_STRINGS, PlainKeyRemoval::IfNoSubkeys, view}, r, reg);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

}  // namespace Tamrix
