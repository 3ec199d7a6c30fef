// Helpers shared by the robustness tests: counts from the environment, files, an entry
// object of the client's own, and the plug-in result mapping as a client expects it.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/automation_types.h"
#include "common/test_env.h"
#include "plugin_object/fake_entry.h"

namespace robust {

// A count from the environment (the documented full runs set them), or `fallback`.
inline uint32_t EnvCount(const char* name, uint32_t fallback) {
    const std::string text = testenv::Env(name);
    if (text.empty()) return fallback;
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

inline Tamrix::Bstr MakeBstr(const std::string& s) {
    return Tamrix::Bstr(SysAllocString(testenv::Wide(s).c_str()));
}

inline std::vector<BYTE> ReadBytes(const std::string& path) {
    std::vector<BYTE> out;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return out;
    out.resize(GetFileSize(f, nullptr));
    DWORD read = 0;
    if (!out.empty()) ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &read, nullptr);
    CloseHandle(f);
    out.resize(read);
    return out;
}

inline bool WriteBytes(const std::string& path, const void* data, size_t size) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = size == 0 || WriteFile(f, data, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(f);
    return ok && written == size;
}

inline bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Names of the files in `folder` (no folders).
inline std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

// Removes the files of `folder` and then the folder (one level: the tests make no deeper ones).
inline void RemoveFolder(const std::string& folder) {
    for (const std::string& name : FilesIn(folder)) {
        const std::string path = folder + "\\" + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
    RemoveDirectoryA(folder.c_str());
}

// What a plug-in's result code becomes for a client: the table clients are told.
inline HRESULT ExpectedFor(int32_t code) {
    switch (code) {
    case 0:
        return S_OK;
    case 1:
        return E_ABORT;
    case 4:
    case 5:
        return E_OUTOFMEMORY;
    case 2:
    case 3:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
        return E_FAIL;
    default:
        return E_NOTIMPL;
    }
}

// A byte array VARIANT holding `data`.
inline void SetArray(Tamrix::Variant& v, const void* data, size_t size) {
    v.clear();
    SAFEARRAYBOUND b{static_cast<ULONG>(size), 0};
    SAFEARRAY* a = SafeArrayCreate(VT_UI1, 1, &b);
    void* p = nullptr;
    if (a && SUCCEEDED(SafeArrayAccessData(a, &p))) {
        if (size) std::memcpy(p, data, size);
        SafeArrayUnaccessData(a);
    }
    V_VT(v.get()) = VT_ARRAY | VT_UI1;
    V_ARRAY(v.get()) = a;
}

inline void SetString(Tamrix::Variant& v, const std::string& s) {
    v.clear();
    V_VT(v.get()) = VT_BSTR;
    V_BSTR(v.get()) = MakeBstr(s).release();
}

// A by-reference VARIANT pointing at `target`, as a script passes its variables.
inline VARIANT RefTo(VARIANT* target) {
    VARIANT r;
    VariantInit(&r);
    V_VT(&r) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&r) = target;
    return r;
}

inline std::vector<BYTE> ArrayBytes(const VARIANT& v) {
    std::vector<BYTE> out;
    if (V_VT(&v) != (VT_ARRAY | VT_UI1) || !V_ARRAY(&v)) return out;
    SAFEARRAY* a = V_ARRAY(&v);
    void* p = nullptr;
    if (FAILED(SafeArrayAccessData(a, &p))) return out;
    out.assign(static_cast<BYTE*>(p), static_cast<BYTE*>(p) + a->rgsabound[0].cElements);
    SafeArrayUnaccessData(a);
    return out;
}

}  // namespace robust
