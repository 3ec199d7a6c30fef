// Shared helpers of the plug-in object tests: objects bound to the test plug-ins, the
// plug-ins' test counters, and QQA1 pictures built from a header.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/automation_types.h"
#include "common/com_ptr.h"
#include "common/test_env.h"
#include "plugin_object/susie_plugin.h"
#include "plugins/test_formats.h"

namespace plugtest {

using Tamrix::Bstr;
using Tamrix::ComPtr;
using Tamrix::Variant;

inline Bstr MakeBstr(const std::string& s) {
    return Bstr(SysAllocString(testenv::Wide(s).c_str()));
}

inline std::string Narrow(BSTR s) {
    std::string out;
    for (UINT i = 0; i < SysStringLen(s); ++i) out += static_cast<char>(s[i]);
    return out;
}

// A new, unbound plug-in object, reached through its interface only.
inline ComPtr<ISusiePlugin> NewPlugin() {
    ComPtr<ISusiePlugin> p;
    EXPECT_EQ(S_OK, Tamrix::CreateInstance<Tamrix::SusiePlugin>(IID_ISusiePlugin, p.put_void()));
    return p;
}

inline ComPtr<ISusiePlugin> LoadPlugin(const std::string& name) {
    ComPtr<ISusiePlugin> p = NewPlugin();
    Bstr path = MakeBstr(testenv::SpiPath(name));
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(S_OK, p->Load(path.get(), &ok));
    EXPECT_EQ(VARIANT_TRUE, ok) << name;
    return p;
}

// The module of a loaded test plug-in, as the loader knows it (no reference taken).
inline HMODULE LoadedModule(const std::string& name) {
    return GetModuleHandleA(testenv::SpiPath(name).c_str());
}

// The test-only exports of a loaded test plug-in.
class Counters {
public:
    explicit Counters(const std::string& name) : m_(LoadedModule(name)) {
        EXPECT_NE(nullptr, m_) << name << " is not loaded";
        if (auto reset = Fn<void(WINAPI*)()>("TestResetCounters")) reset();
    }
    int Outstanding() const { return Call("TestOutstandingBlocks"); }
    int Calls() const { return Call("TestCallCount"); }
    int LastLength() const { return Call("TestLastLength"); }
    int LastFlag() const { return Call("TestLastFlag"); }
    int LastFirstByte() const { return Call("TestLastFirstByte"); }
    int LastConfig(int* hParent, int* function) const {
        auto f = Fn<int(WINAPI*)(int*, int*)>("TestLastConfig");
        return f ? f(hParent, function) : -1000;
    }

private:
    template <class F>
    F Fn(const char* name) const {
        return m_ ? reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(m_, name)))
                  : nullptr;
    }
    int Call(const char* name) const {
        auto f = Fn<int(WINAPI*)()>(name);
        EXPECT_NE(nullptr, f) << name;
        return f ? f() : -1000;
    }
    HMODULE m_;
};

// A QQA1 picture header with the given geometry and everything else neutral.
inline testspi::QqaHeader Qqa(int32_t width, int32_t height, uint16_t bits, uint32_t clrUsed = 0) {
    testspi::QqaHeader h{};
    std::memcpy(h.magic, "QQA1", 4);
    h.width = width;
    h.height = height;
    h.bitCount = bits;
    h.clrUsed = clrUsed;
    h.seed = 0x11;
    return h;
}

inline std::vector<BYTE> Bytes(const testspi::QqaHeader& h) {
    std::vector<BYTE> v(sizeof h);
    std::memcpy(v.data(), &h, sizeof h);
    return v;
}

// A file in the scratch folder holding `prefix` junk bytes followed by `data`.
inline std::string WriteTemp(const std::string& name, const std::vector<BYTE>& data,
                             size_t prefix = 0) {
    std::string path = testenv::TempDir() + name;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, f) << path;
    std::vector<BYTE> all(prefix, 0xEE);
    all.insert(all.end(), data.begin(), data.end());
    DWORD written = 0;
    WriteFile(f, all.data(), static_cast<DWORD>(all.size()), &written, nullptr);
    CloseHandle(f);
    return path;
}

inline std::vector<BYTE> ReadFileBytes(const std::string& path) {
    std::vector<BYTE> out;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return out;
    out.resize(GetFileSize(f, nullptr));
    DWORD read = 0;
    ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &read, nullptr);
    CloseHandle(f);
    out.resize(read);
    return out;
}

inline bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// VARIANT sources. The returned Variant owns what it holds.
inline void SetString(Variant& v, const std::string& s) {
    V_VT(v.get()) = VT_BSTR;
    V_BSTR(v.get()) = MakeBstr(s).release();
}

inline SAFEARRAY* MakeArray(const std::vector<BYTE>& data, LONG lowerBound = 0) {
    SAFEARRAYBOUND b{static_cast<ULONG>(data.size()), lowerBound};
    SAFEARRAY* a = SafeArrayCreate(VT_UI1, 1, &b);
    void* p = nullptr;
    SafeArrayAccessData(a, &p);
    if (!data.empty()) std::memcpy(p, data.data(), data.size());
    SafeArrayUnaccessData(a);
    return a;
}

inline void SetArray(Variant& v, const std::vector<BYTE>& data, LONG lowerBound = 0) {
    V_VT(v.get()) = VT_ARRAY | VT_UI1;
    V_ARRAY(v.get()) = MakeArray(data, lowerBound);
}

// A by-reference VARIANT pointing at `target`, as a script passes its variables.
inline VARIANT RefTo(VARIANT* target) {
    VARIANT r;
    VariantInit(&r);
    V_VT(&r) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&r) = target;
    return r;
}

inline std::vector<BYTE> HeapBytes(IDispatch* heap) {
    ComPtr<ISpiLocalHeap> h;
    EXPECT_EQ(S_OK, heap->QueryInterface(IID_ISpiLocalHeap, h.put_void()));
    Variant v;
    EXPECT_EQ(S_OK, h->GetBytes(v.get()));
    std::vector<BYTE> out;
    if (V_VT(v.get()) != (VT_ARRAY | VT_UI1)) return out;
    SAFEARRAY* a = V_ARRAY(v.get());
    void* p = nullptr;
    SafeArrayAccessData(a, &p);
    out.assign(static_cast<BYTE*>(p), static_cast<BYTE*>(p) + a->rgsabound[0].cElements);
    SafeArrayUnaccessData(a);
    return out;
}

// Width, height and depth read from a PictureProperties object.
inline std::vector<LONG> SizeAndDepth(IDispatch* facts) {
    ComPtr<IPictureProperties> read;
    std::vector<LONG> out(3);
    if (!facts || FAILED(facts->QueryInterface(IID_IPictureProperties, read.put_void()))) return {};
    read->get_Width(&out[0]);
    read->get_Height(&out[1]);
    read->get_ColorDepth(&out[2]);
    return out;
}

}  // namespace plugtest
