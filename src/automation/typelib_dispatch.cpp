#include "typelib_dispatch.h"

#include <Tamrix.h>

#include <atomic>
#include <string>
#include <vector>

#include "../common/automation_types.h"
#include "../common/com_ptr.h"
#include "../server/module.h"

namespace tamrix::typelib {
namespace {

struct Slot {
    GUID guid{};
    std::atomic<ITypeInfo*> info{nullptr};
    // Member names as the library spells them, for the fast, exact-case lookup.
    std::vector<std::pair<std::wstring, DISPID>> names;
};

// Five interfaces and two creatable classes ask at most; a few spare.
constexpr int kSlots = 12;
Slot g_slots[kSlots];
std::atomic<int> g_used{0};

void FillNames(ITypeInfo* info, Slot& slot) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* fd = nullptr;
        if (FAILED(info->GetFuncDesc(i, &fd))) continue;
        Bstr name;
        if (SUCCEEDED(info->GetDocumentation(fd->memid, name.put(), nullptr, nullptr, nullptr)) && name.get())
            slot.names.emplace_back(name.get(), fd->memid);
        info->ReleaseFuncDesc(fd);
    }
    info->ReleaseTypeAttr(attr);
}

Slot* Find(REFGUID guid) {
    const int used = g_used.load(std::memory_order_acquire);
    for (int i = 0; i < used; ++i)
        if (IsEqualGUID(g_slots[i].guid, guid)) return &g_slots[i];
    return nullptr;
}

// The cached slot for guid, loading it under the static-data lock on first use.
HRESULT Load(REFGUID guid, LCID lcid, Slot** out) noexcept {
    if (Slot* s = Find(guid); s && s->info.load(std::memory_order_acquire)) {
        *out = s;
        return S_OK;
    }
    CRITICAL_SECTION& lock = Module().StaticDataLock();
    EnterCriticalSection(&lock);
    HRESULT hr = S_OK;
    try {
        Slot* s = Find(guid);
        if (!s || !s->info.load(std::memory_order_acquire)) {
            ComPtr<ITypeLib> lib;
            hr = LoadRegTypeLib(LIBID_Tamrix, 1, 0, lcid, lib.put());
            ComPtr<ITypeInfo> info;
            if (SUCCEEDED(hr)) hr = lib->GetTypeInfoOfGuid(guid, info.put());
            if (SUCCEEDED(hr)) {
                if (!s) {
                    const int used = g_used.load(std::memory_order_relaxed);
                    // The first cached entry arranges the release of all at unload;
                    // nothing is cached that could not be released.
                    if (used == kSlots) hr = E_OUTOFMEMORY;
                    else if (used == 0) hr = Module().AddTermFunc([](DWORD_PTR) { ReleaseCache(); }, 0);
                    if (SUCCEEDED(hr)) {
                        s = &g_slots[used];
                        s->guid = guid;
                        g_used.store(used + 1, std::memory_order_release);
                    }
                }
                if (s) {
                    FillNames(info.get(), *s);
                    s->info.store(info.detach(), std::memory_order_release);
                }
            }
        }
        if (SUCCEEDED(hr)) *out = s;
    } catch (...) {
        hr = E_OUTOFMEMORY;
    }
    LeaveCriticalSection(&lock);
    return hr;
}

// True for a parameter of type IDispatch** (an object handed back through a pointer).
bool IsObjectOut(ITypeInfo* owner, const ELEMDESC& e) {
    if (!(e.paramdesc.wParamFlags & PARAMFLAG_FOUT) || (e.paramdesc.wParamFlags & PARAMFLAG_FRETVAL))
        return false;
    const TYPEDESC* t = &e.tdesc;
    if (t->vt != VT_PTR) return false;
    t = t->lptdesc;
    if (t->vt == VT_PTR) t = t->lptdesc;
    if (t->vt == VT_DISPATCH || t->vt == VT_UNKNOWN) return true;
    // IDispatch and IUnknown usually appear as references to stdole's interfaces.
    if (t->vt != VT_USERDEFINED) return false;
    ComPtr<ITypeInfo> ref;
    if (FAILED(owner->GetRefTypeInfo(t->hreftype, ref.put()))) return false;
    TYPEATTR* attr = nullptr;
    if (FAILED(ref->GetTypeAttr(&attr))) return false;
    const bool object = attr->typekind == TKIND_DISPATCH || attr->typekind == TKIND_INTERFACE;
    ref->ReleaseTypeAttr(attr);
    return object;
}

// What a caller can put where an object is to come back: a variable by reference, or a
// value that stands for nothing (empty, null, a null object, a missing argument).
bool IsPlaceholder(const VARIANT& v) {
    return v.vt == (VT_BYREF | VT_VARIANT) || v.vt == VT_EMPTY || v.vt == VT_NULL ||
           (v.vt == VT_DISPATCH && !v.pdispVal) || (v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND);
}

}  // namespace

void ReleaseCache() noexcept {
    const int used = g_used.load(std::memory_order_acquire);
    for (int i = 0; i < used; ++i)
        if (ITypeInfo* info = g_slots[i].info.exchange(nullptr)) info->Release();
}

HRESULT GetInfo(REFGUID guid, LCID lcid, ITypeInfo** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    Slot* s = nullptr;
    HRESULT hr = Load(guid, lcid, &s);
    if (FAILED(hr)) return hr;
    ITypeInfo* info = s->info.load(std::memory_order_acquire);
    info->AddRef();
    *out = info;
    return S_OK;
}

HRESULT GetIDsOfNames(REFGUID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) noexcept {
    Slot* s = nullptr;
    HRESULT hr = Load(iid, lcid, &s);
    if (FAILED(hr)) return hr;
    if (count == 1 && names && names[0] && ids) {
        for (const auto& [name, id] : s->names) {
            if (name == names[0]) {
                ids[0] = id;
                return S_OK;
            }
        }
    }
    return s->info.load(std::memory_order_acquire)->GetIDsOfNames(names, count, ids);
}

// The library's Invoke, with one widening: an out-parameter of object type may come as a
// by-reference VARIANT (what VBScript passes for a variable) or as an empty value (what
// a script without by-reference arguments can pass). The platform refuses both as a type
// mismatch; here the member gets a local object pointer, and the object is then stored in
// the caller's variable, or released when there is no variable to take it.
HRESULT Invoke(REFGUID iid, void* instance, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
               VARIANT* result, EXCEPINFO* excep, UINT* argErr) noexcept {
    Slot* s = nullptr;
    HRESULT hr = Load(iid, lcid, &s);
    if (FAILED(hr)) return hr;
    ITypeInfo* info = s->info.load(std::memory_order_acquire);
    if (!params || params->cNamedArgs != 0 || !(flags & DISPATCH_METHOD))
        return info->Invoke(instance, id, flags, params, result, excep, argErr);

    struct Fixup {
        UINT slot;
        IDispatch* local;
    };
    Fixup fixups[8];
    UINT fixed = 0;
    VARIANT args[16];
    const UINT cArgs = params->cArgs;
    if (cArgs <= 16) {
        // The member's description, found by walking the descriptions: Wine's
        // GetFuncIndexOfMemId counts differently from its GetFuncDesc on a dual interface.
        FUNCDESC* fd = nullptr;
        for (UINT i = 0; i < 256 && !fd; ++i) {
            FUNCDESC* d = nullptr;
            if (FAILED(info->GetFuncDesc(i, &d))) break;
            if (d->memid == id && (d->invkind & INVOKE_FUNC)) fd = d;
            else info->ReleaseFuncDesc(d);
        }
        if (fd) {
            for (SHORT p = 0; p < fd->cParams && static_cast<UINT>(p) < cArgs && fixed < 8; ++p) {
                const UINT slot = cArgs - 1 - static_cast<UINT>(p);
                if (IsObjectOut(info, fd->lprgelemdescParam[p]) && IsPlaceholder(params->rgvarg[slot])) {
                    if (fixed == 0)
                        for (UINT a = 0; a < cArgs; ++a) args[a] = params->rgvarg[a];
                    fixups[fixed] = {slot, nullptr};
                    ++fixed;
                }
            }
            info->ReleaseFuncDesc(fd);
        }
    }
    if (fixed == 0) return info->Invoke(instance, id, flags, params, result, excep, argErr);

    for (UINT f = 0; f < fixed; ++f) {
        VARIANT& a = args[fixups[f].slot];
        a.vt = VT_BYREF | VT_DISPATCH;
        a.ppdispVal = &fixups[f].local;
    }
    DISPPARAMS local = *params;
    local.rgvarg = args;
    hr = info->Invoke(instance, id, flags, &local, result, excep, argErr);
    for (UINT f = 0; f < fixed; ++f) {
        IDispatch* obj = fixups[f].local;
        const VARIANT& original = params->rgvarg[fixups[f].slot];
        // A member that succeeds sets the variable, to Nothing if it hands back no object.
        if (SUCCEEDED(hr) && original.vt == (VT_BYREF | VT_VARIANT)) {
            VariantClear(original.pvarVal);
            original.pvarVal->vt = VT_DISPATCH;
            original.pvarVal->pdispVal = obj;
        } else if (obj) {
            obj->Release();
        }
    }
    return hr;
}

}  // namespace tamrix::typelib
