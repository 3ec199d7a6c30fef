// One check for every class dispatched through a name table: its names, and the rows of
// its Invoke, agree with the type library, where the same DISPIDs are written a second time.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>

#include <cwctype>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/automation_types.h"
#include "common/com_ptr.h"
#include "common/test_env.h"

namespace nametablecheck {

inline std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

struct LibraryMember {
    DISPID id;
    INVOKEKIND kind;
    UINT inParams;  // parameters a caller passes (the retval parameter excluded)
};

// The interface's members and parameter names as the type library in Tamrix.dll has them.
inline void ReadLibrary(REFIID iid, std::map<std::wstring, LibraryMember>& members,
                        std::map<std::wstring, std::set<DISPID>>& paramNames) {
    Tamrix::ComPtr<ITypeLib> lib;
    ASSERT_EQ(S_OK, LoadTypeLib(testenv::Wide(testenv::DllPath()).c_str(), lib.put()));
    Tamrix::ComPtr<ITypeInfo> dispatch;
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(iid, dispatch.put()));
    // The vtable half of the dual interface, which still names the retval parameters.
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
    Tamrix::ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, dispatch->GetRefTypeInfo(ref, info.put()));
    // The interface's own members, then those of each interface it derives from, up to IDispatch.
    while (info) {
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        const UINT funcs = attr->cFuncs;
        const bool derived = attr->cImplTypes > 0;
        info->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < funcs; ++i) {
            FUNCDESC* fd = nullptr;
            ASSERT_EQ(S_OK, info->GetFuncDesc(i, &fd));
            BSTR names[8] = {};
            UINT count = 0;
            info->GetNames(fd->memid, names, 8, &count);
            UINT in = 0;
            for (SHORT p = 0; p < fd->cParams; ++p)
                if (!(fd->lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FRETVAL)) ++in;
            if (count > 0) members[Lower(names[0])] = {fd->memid, fd->invkind, in};
            for (UINT n = 1; n < count; ++n) paramNames[Lower(names[n])].insert(fd->memid);
            for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
            info->ReleaseFuncDesc(fd);
        }
        Tamrix::ComPtr<ITypeInfo> base;
        HREFTYPE baseRef = 0;
        if (derived && SUCCEEDED(info->GetRefTypeOfImplType(0, &baseRef))) info->GetRefTypeInfo(baseRef, base.put());
        TYPEATTR* baseAttr = nullptr;
        if (base && SUCCEEDED(base->GetTypeAttr(&baseAttr))) {
            const bool dispatchBase = IsEqualGUID(baseAttr->guid, IID_IDispatch);
            base->ReleaseTypeAttr(baseAttr);
            if (dispatchBase) base.reset();
        }
        info = std::move(base);
    }
}

// Every name of the table is a member (or a property reader's get_ name) with the library's
// DISPID, or a parameter name; every member is in the table, readers under get_ too; and
// every member's DISPID has a row in Invoke. `maxArgs` is the class's argument limit.
template <class NameT, size_t N>
void ExpectNameTableMatchesTypeLib(REFIID iid, const NameT (&table)[N], IDispatch* object, UINT maxArgs) {
    std::map<std::wstring, LibraryMember> members;
    std::map<std::wstring, std::set<DISPID>> paramNames;
    ReadLibrary(iid, members, paramNames);
    ASSERT_FALSE(members.empty());

    std::map<std::wstring, DISPID> names;
    for (const NameT& entry : table) {
        const std::wstring name = Lower(entry.name);
        names[name] = entry.id;
        SCOPED_TRACE(testing::Message() << "table name " << testing::PrintToString(std::wstring(entry.name)));
        if (auto m = members.find(name); m != members.end()) {
            EXPECT_EQ(m->second.id, entry.id);
        } else if (name.rfind(L"get_", 0) == 0 && members.count(name.substr(4))) {
            const LibraryMember& reader = members[name.substr(4)];
            EXPECT_EQ(INVOKE_PROPERTYGET, reader.kind) << "only property readers have get_ names";
            EXPECT_EQ(reader.id, entry.id);
        } else {
            EXPECT_TRUE(paramNames.count(name)) << "neither a member nor a parameter of the interface";
        }
    }
    for (const auto& [name, member] : members) {
        SCOPED_TRACE(testing::Message() << "member " << testing::PrintToString(name));
        ASSERT_TRUE(names.count(name)) << "missing from the table";
        EXPECT_EQ(member.id, names[name]);
        if (member.kind == INVOKE_PROPERTYGET) {
            ASSERT_TRUE(names.count(L"get_" + name)) << "reader without its get_ name";
            EXPECT_EQ(member.id, names[L"get_" + name]);
        }
        // One argument too many reaches the member's row, which refuses the count; a DISPID
        // without a row would be refused as unknown instead.
        ASSERT_LE(member.inParams + 1, maxArgs);
        std::vector<VARIANT> args(member.inParams + 1);
        for (VARIANT& v : args) VariantInit(&v);
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        Tamrix::Variant result;
        EXPECT_EQ(DISP_E_BADPARAMCOUNT,
                  object->Invoke(member.id, IID_NULL, 0, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr));
    }
}

}  // namespace nametablecheck
