#include "dispatch_words.h"

#include <string>
#include <vector>

#include "../common/automation_types.h"
#include "../common/failure_note.h"

namespace Tamrix::dispatch {
namespace {

// "ITamrixHost3" is the class TamrixHost to a script.
std::wstring ClassName(ITypeInfo* info) {
    Bstr name;
    if (FAILED(info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr)) || !name.get()) return L"";
    std::wstring text(name.get(), SysStringLen(name.get()));
    if (text.size() > 1 && text[0] == L'I') text.erase(0, 1);
    while (!text.empty() && text.back() >= L'0' && text.back() <= L'9') text.pop_back();
    return text;
}

// The member's name and its parameters' names, and how many of them a caller passes at
// least and at most (the value of a property writer counts as one).
struct Member {
    std::vector<std::wstring> names;
    UINT least = 0, most = 0;
};

// Looks for the member in `info` and then in the interfaces it derives from (a dual
// interface's dispatch description may leave its bases' members to them).
bool Find(ITypeInfo* info, DISPID id, bool writer, Member& m, int depth) {
    TYPEATTR* attr = nullptr;
    if (depth > 8 || FAILED(info->GetTypeAttr(&attr))) return false;
    const WORD functions = attr->cFuncs, bases = attr->cImplTypes;
    const bool dual = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attr);
    for (WORD f = 0; f < functions; ++f) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(f, &desc))) continue;
        const bool found = desc->memid == id && writer == ((desc->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) != 0);
        if (found) {
            for (SHORT p = 0; p < desc->cParams; ++p) {
                const USHORT pf = desc->lprgelemdescParam[p].paramdesc.wParamFlags;
                if (pf & PARAMFLAG_FRETVAL) continue;
                ++m.most;
                if (!(pf & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT))) ++m.least;
            }
            BSTR names[17] = {};
            UINT count = 0;
            if (SUCCEEDED(info->GetNames(id, names, 17, &count)))
                for (UINT i = 0; i < count; ++i) {
                    m.names.emplace_back(names[i] ? names[i] : L"", names[i] ? SysStringLen(names[i]) : 0);
                    SysFreeString(names[i]);
                }
        }
        info->ReleaseFuncDesc(desc);
        if (found) return true;
    }
    HREFTYPE ref = 0;
    ITypeInfo* base = nullptr;
    if (bases == 0 || FAILED(info->GetRefTypeOfImplType(dual ? -1 : 0, &ref)) ||
        FAILED(info->GetRefTypeInfo(ref, &base)))
        return false;
    const bool found = Find(base, id, writer, m, depth + 1);
    base->Release();
    return found;
}

Member Describe(ITypeInfo* info, DISPID id, WORD flags) {
    Member m;
    Find(info, id, (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0, m, 0);
    return m;
}

std::wstring Given(const VARIANT& v) {
    VARTYPE vt = v.vt & ~VT_BYREF;
    if (vt == VT_VARIANT && (v.vt & VT_BYREF) && v.pvarVal) vt = v.pvarVal->vt & ~VT_BYREF;
    if (vt & VT_ARRAY) return L"an array";
    switch (vt) {
    case VT_EMPTY: return L"nothing";
    case VT_NULL: return L"null";
    case VT_BSTR: return L"a string";
    case VT_DISPATCH:
    case VT_UNKNOWN: return L"an object";
    case VT_BOOL: return L"a boolean";
    case VT_DATE: return L"a date";
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_CY: case VT_DECIMAL: return L"a number";
    default: return L"a value of type " + std::to_wstring(vt);
    }
}

std::wstring Words(ITypeInfo* info, DISPID id, WORD flags, const DISPPARAMS* params, HRESULT hr, UINT argErr) {
    const Member m = Describe(info, id, flags);
    const bool writer = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    std::wstring words = ClassName(info) + L"." + (m.names.empty() ? L"member " + std::to_wstring(id) : m.names[0]) + L": ";
    const UINT given = params ? params->cArgs : 0;
    if (hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_PARAMNOTOPTIONAL) {
        if (writer) return words + L"a property is given one value, not " + std::to_wstring(given);
        std::wstring list;
        for (size_t i = 1; i < m.names.size() && i <= m.most; ++i) list += (i > 1 ? L", " : L"") + m.names[i];
        const std::wstring takes = m.least == m.most ? std::to_wstring(m.most)
                                                     : std::to_wstring(m.least) + L" to " + std::to_wstring(m.most);
        return words + L"takes " + takes + (m.most == 1 ? L" argument" : L" arguments") +
               (list.empty() ? L"" : L" (" + list + L")") + L", given " + std::to_wstring(given);
    }
    words += ResultText(hr);
    if (!params || argErr >= given) return words;
    const VARIANT& arg = params->rgvarg[argErr];
    if (argErr < params->cNamedArgs && params->rgdispidNamedArgs[argErr] == DISPID_PROPERTYPUT)
        return words + L": the value given is " + Given(arg);
    const UINT position = given - argErr;  // rgvarg holds the arguments last first
    std::wstring which = L"argument " + std::to_wstring(position);
    if (position < m.names.size()) which += L" (" + m.names[position] + L")";
    return words + L": " + which + L" is " + Given(arg);
}

}  // namespace

bool RefusesArguments(HRESULT hr) noexcept {
    return hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTOPTIONAL ||
           hr == DISP_E_OVERFLOW || hr == DISP_E_BADVARTYPE || hr == DISP_E_NONAMEDARGS || hr == DISP_E_PARAMNOTFOUND;
}

HRESULT ArgumentsRefused(ITypeInfo* info, DISPID id, WORD flags, const DISPPARAMS* params, HRESULT hr,
                         UINT argErr, EXCEPINFO* excep) noexcept {
    if (!excep || !info) return hr;
    try {
        const std::wstring words = Words(info, id, flags, params, hr, argErr);
        const std::wstring source = L"Tamrix." + ClassName(info);
        excep->scode = hr;
        excep->pfnDeferredFillIn = nullptr;
        excep->bstrSource = SysAllocStringLen(source.data(), static_cast<UINT>(source.size()));
        excep->bstrDescription = SysAllocStringLen(words.data(), static_cast<UINT>(words.size()));
        return DISP_E_EXCEPTION;
    } catch (...) {
        return hr;
    }
}

}  // namespace Tamrix::dispatch
