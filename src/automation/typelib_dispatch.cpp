#include "typelib_dispatch.h"

#include <Tamrix.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "../common/automation_types.h"
#include "../common/com_ptr.h"
#include "../common/slim_lock.h"
#include "dispatch_words.h"

namespace Tamrix::typelib {
namespace {

// A method with parameters of object type handed back through a pointer (IDispatch**).
struct ObjectOuts {
    DISPID id;
    std::vector<SHORT> params;  // their positions in the declaration
};

struct Slot {
    std::atomic<ITypeInfo*> info{nullptr};
    // Written before `info` is published and read only after it is seen, so readers need
    // no lock once the slot is filled.
    std::vector<std::pair<std::wstring, DISPID>> names;  // as the library spells them
    std::vector<ObjectOuts> objectOuts;
    std::vector<DISPID> readersOnly;  // property readers with no method of the same DISPID
};

const GUID* const TID_GUIDS[TID_COUNT] = {&IID_ISusiePlugin2, &IID_ISpiFileInfoCollection2, &CLSID_SusiePlugin,
                                          &CLSID_TamrixHost};
Slot g_slots[TID_COUNT];
SRWLOCK g_lock = SRWLOCK_INIT;

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

// The members of `info` and of the interfaces it derives from (a dual interface's
// dispatch form reaches them through its vtable form), IUnknown's and IDispatch's left out.
// The descriptions are walked by index: Wine's GetFuncIndexOfMemId counts differently from
// its GetFuncDesc on a dual interface.
void ReadMembers(ITypeInfo* info, Slot& slot, std::vector<DISPID>& methods, std::vector<DISPID>& readers,
                 int depth = 0) {
    TYPEATTR* attr = nullptr;
    if (depth > 8 || FAILED(info->GetTypeAttr(&attr))) return;
    const UINT funcs = attr->cFuncs;
    const TYPEKIND kind = attr->typekind;
    const bool dual = (attr->wTypeFlags & TYPEFLAG_FDUAL) != 0;
    const bool bases = attr->cImplTypes > 0;
    const bool platform = IsEqualGUID(attr->guid, IID_IDispatch) || IsEqualGUID(attr->guid, IID_IUnknown);
    info->ReleaseTypeAttr(attr);
    if (platform) return;
    for (UINT i = 0; i < funcs; ++i) {
        FUNCDESC* fd = nullptr;
        if (FAILED(info->GetFuncDesc(i, &fd))) continue;
        Bstr name;
        if (SUCCEEDED(info->GetDocumentation(fd->memid, name.put(), nullptr, nullptr, nullptr)) && name.get() &&
            std::find(slot.names.begin(), slot.names.end(), std::pair<std::wstring, DISPID>(name.get(), fd->memid)) ==
                slot.names.end())
            slot.names.emplace_back(name.get(), fd->memid);
        if ((fd->invkind & INVOKE_FUNC) && std::find(methods.begin(), methods.end(), fd->memid) == methods.end()) {
            methods.push_back(fd->memid);
            ObjectOuts outs{fd->memid, {}};
            for (SHORT p = 0; p < fd->cParams; ++p)
                if (IsObjectOut(info, fd->lprgelemdescParam[p])) outs.params.push_back(p);
            if (!outs.params.empty()) slot.objectOuts.push_back(std::move(outs));
        }
        if (fd->invkind & INVOKE_PROPERTYGET) readers.push_back(fd->memid);
        info->ReleaseFuncDesc(fd);
    }
    HREFTYPE ref = 0;
    const bool found = kind == TKIND_DISPATCH ? dual && SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref))
                                              : kind == TKIND_INTERFACE && bases &&
                                                    SUCCEEDED(info->GetRefTypeOfImplType(0, &ref));
    ComPtr<ITypeInfo> base;
    if (found && SUCCEEDED(info->GetRefTypeInfo(ref, base.put())))
        ReadMembers(base.get(), slot, methods, readers, depth + 1);
}

// Everything later calls need from the descriptions, read once.
void ReadFacts(ITypeInfo* info, Slot& slot) {
    std::vector<DISPID> methods, readers;
    ReadMembers(info, slot, methods, readers);
    for (DISPID id : readers)
        if (std::find(methods.begin(), methods.end(), id) == methods.end() &&
            std::find(slot.readersOnly.begin(), slot.readersOnly.end(), id) == slot.readersOnly.end())
            slot.readersOnly.push_back(id);
}

// The filled slot of tid, filling it on first use.
HRESULT Load(Tid tid, LCID lcid, Slot** out) {
    if (tid < 0 || tid >= TID_COUNT) return E_INVALIDARG;
    Slot& slot = g_slots[tid];
    if (slot.info.load(std::memory_order_acquire)) {
        *out = &slot;
        return S_OK;
    }
    ExclusiveLock hold(g_lock);
    if (slot.info.load(std::memory_order_acquire)) {
        *out = &slot;
        return S_OK;
    }
    ComPtr<ITypeLib> lib;
    if (HRESULT hr = LoadRegTypeLib(LIBID_Tamrix, 1, 0, lcid, lib.put()); FAILED(hr)) return hr;
    ComPtr<ITypeInfo> info;
    if (HRESULT hr = lib->GetTypeInfoOfGuid(*TID_GUIDS[tid], info.put()); FAILED(hr)) return hr;
    // A read that runs out of memory half-way leaves the slot empty, to be filled again.
    slot.names.clear();
    slot.objectOuts.clear();
    slot.readersOnly.clear();
    ReadFacts(info.get(), slot);
    slot.info.store(info.detach(), std::memory_order_release);
    *out = &slot;
    return S_OK;
}

// What a caller can put where an object is to come back: a variable by reference, or a
// value that stands for nothing (empty, null, a null object, a missing argument).
bool IsPlaceholder(const VARIANT& v) {
    return v.vt == (VT_BYREF | VT_VARIANT) || v.vt == VT_EMPTY || v.vt == VT_NULL ||
           (v.vt == VT_DISPATCH && !v.pdispVal) || (v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND);
}

}  // namespace

void ReleaseCache() noexcept {
    ExclusiveLock hold(g_lock);
    for (Slot& slot : g_slots) {
        if (ITypeInfo* info = slot.info.exchange(nullptr)) info->Release();
        slot.names.clear();
        slot.objectOuts.clear();
        slot.readersOnly.clear();
    }
}

HRESULT GetInfo(Tid tid, LCID lcid, ITypeInfo** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    Slot* s = nullptr;
    HRESULT hr = Load(tid, lcid, &s);
    if (FAILED(hr)) return hr;
    ITypeInfo* info = s->info.load(std::memory_order_acquire);
    info->AddRef();
    *out = info;
    return S_OK;
}

HRESULT GetIDsOfNames(Tid tid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
    Slot* s = nullptr;
    HRESULT hr = Load(tid, lcid, &s);
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

// The library's Invoke, with two widenings. A property reader called as a method alone is
// read as a property: Wine's JScript asks for _NewEnum that way when a script makes an
// Enumerator, and the platform would not find the member. And an out-parameter of object
// type may come as a by-reference VARIANT (what VBScript passes for a variable) or as an
// empty value (what a script without by-reference arguments can pass). The platform refuses
// both as a type mismatch; here the member gets a local object pointer, and the object is
// then stored in the caller's variable, or released when there is no variable to take it.
namespace {
HRESULT InvokeAsTheLibrary(Tid tid, void* instance, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excep, UINT* argErr);
}  // namespace

// The library's Invoke, and words for the arguments it refuses (dispatch_words.h).
HRESULT Invoke(Tid tid, void* instance, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
               VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    UINT slot = UINT_MAX;  // Wine 8 leaves it as it was: no argument named then
    const HRESULT hr = InvokeAsTheLibrary(tid, instance, id, lcid, flags, params, result, excep, &slot);
    if (argErr && slot != UINT_MAX) *argErr = slot;
    if (!excep || !dispatch::RefusesArguments(hr)) return hr;
    ComPtr<ITypeInfo> info;
    if (FAILED(GetInfo(tid, lcid, info.put()))) return hr;
    return dispatch::ArgumentsRefused(info.get(), id, flags, params, hr, slot, excep);
}

namespace {
HRESULT InvokeAsTheLibrary(Tid tid, void* instance, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    Slot* s = nullptr;
    HRESULT hr = Load(tid, lcid, &s);
    if (FAILED(hr)) return hr;
    ITypeInfo* info = s->info.load(std::memory_order_acquire);
    if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == DISPATCH_METHOD &&
        std::find(s->readersOnly.begin(), s->readersOnly.end(), id) != s->readersOnly.end())
        flags |= DISPATCH_PROPERTYGET;
    if (!params || params->cNamedArgs != 0 || !(flags & DISPATCH_METHOD))
        return info->Invoke(instance, id, flags, params, result, excep, argErr);

    const ObjectOuts* outs = nullptr;
    for (const ObjectOuts& o : s->objectOuts)
        if (o.id == id) outs = &o;
    const UINT cArgs = params->cArgs;
    if (!outs || cArgs > 16) return info->Invoke(instance, id, flags, params, result, excep, argErr);

    struct Fixup {
        UINT slot;
        IDispatch* local;
    };
    Fixup fixups[8];
    UINT fixed = 0;
    VARIANT args[16];
    for (SHORT p : outs->params) {
        if (static_cast<UINT>(p) >= cArgs || fixed == 8) continue;
        const UINT slot = cArgs - 1 - static_cast<UINT>(p);
        if (!IsPlaceholder(params->rgvarg[slot])) continue;
        if (fixed == 0)
            for (UINT a = 0; a < cArgs; ++a) args[a] = params->rgvarg[a];
        fixups[fixed++] = {slot, nullptr};
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
}  // namespace

}  // namespace Tamrix::typelib
