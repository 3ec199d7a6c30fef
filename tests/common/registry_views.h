// The server's registration read back from either registry view (KEY_WOW64_64KEY or
// KEY_WOW64_32KEY) under HKEY_CLASSES_ROOT, and the names it is made of: shared by the tests
// of the 32-bit server on a 64-bit system and of both servers side by side.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "common/handles.h"

namespace regviews {

inline const std::string LIB_ID = "{ECFF1D29-6CE3-483F-B423-45789DC49236}";
inline const std::string TYPELIB_MARSHALER = "{00020424-0000-0000-C000-000000000046}";

struct ClassTree {
    std::string progId, viProgId, clsid, friendly;
};
inline const ClassTree PLUGIN{"Tamrix.SusiePlugin.1", "Tamrix.SusiePlugin", "{CAA01FE7-8699-457F-AB09-894187AA53C2}",
                              "SusiePlugin Object"};
inline const ClassTree HOST{"Tamrix.TamrixHost.1", "Tamrix.TamrixHost", "{B7F035D6-D0AB-4A38-AE8B-FACC351E7C33}",
                            "TamrixHost Object"};
inline const ClassTree TREES[] = {PLUGIN, HOST};

struct Interface {
    std::string iid, name;
};
// The interfaces clients use; the library's own hidden one comes on top of these.
inline const Interface CLIENT_INTERFACES[] = {
    {"{8AA39C5E-B04B-452A-A300-20935EC7B6C5}", "ISusiePlugin"},
    {"{F5F637FF-7518-4628-A662-50382A210732}", "ITamrixHost"},
    {"{D3DDEE4A-64BA-4B50-8E34-91BA376BC61A}", "ITamrixHost2"},
    {"{77D2E36F-E14B-4677-9E06-65E2945A01E3}", "ITamrixHost3"},
    {"{1CDA17F7-1F04-4599-9684-4292BAFAB63D}", "ITamrixHost4"},
    {"{973E1C3A-4609-4BA5-9DF2-4AB5C59DE179}", "IConversionJob"},
    {"{96801BA0-31AB-4785-A065-0F911356086A}", "ISusiePlugin2"},
    {"{317379C3-2C47-4123-8803-383A353323A5}", "IPictureProperties"},
    {"{54BD6FBA-42C6-4374-8234-E0ED9A767FBB}", "ISpiFileInfo"},
    {"{FAF4797D-86CE-46D8-A099-8B22AF949577}", "ISpiFileInfoCollection"},
    {"{5A0D7644-9F6D-4C35-B53B-6E737D80BC3A}", "ISpiLocalHeap"},
};

constexpr REGSAM VIEW_64 = KEY_WOW64_64KEY;
constexpr REGSAM VIEW_32 = KEY_WOW64_32KEY;
constexpr REGSAM VIEWS[] = {VIEW_64, VIEW_32};
inline const char* ViewName(REGSAM view) {
    return view == VIEW_64 ? "64-bit view" : "32-bit view";
}

inline bool KeyExists(REGSAM view, const std::string& path) {
    Tamrix::UniqueRegKey key;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// A string value, checked to be REG_SZ with its terminating NUL counted.
inline std::optional<std::string> String(REGSAM view, const std::string& path, const char* name = nullptr) {
    Tamrix::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return {};
    char data[1024];
    DWORD type = 0, size = sizeof data;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        return {};
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type) << path << " " << (name ? name : "(default)");
    EXPECT_TRUE(size > 0 && data[size - 1] == '\0' && std::strlen(data) + 1 == size) << path;
    return std::string(data, size > 0 && data[size - 1] == '\0' ? size - 1 : size);
}

inline std::set<std::string> Subkeys(REGSAM view, const std::string& path) {
    std::set<std::string> out;
    Tamrix::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return out;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        out.insert(name);
    }
    return out;
}

}  // namespace regviews
