// The type library embedded in Tamrix.dll, read back through ITypeLib/ITypeInfo.
#include <windows.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/automation_types.h"
#include "common/com_ptr.h"
#include "common/test_env.h"

using Tamrix::Bstr;
using Tamrix::ComPtr;

namespace {

struct Param {
    const wchar_t* name;
    USHORT flags;        // PARAMFLAG_F* that must be set (and no other of IN/OUT/RETVAL/OPT/HASDEFAULT)
    int defaultValue;    // meaningful with PARAMFLAG_FHASDEFAULT
};
struct Member {
    const wchar_t* name;
    DISPID id;
    INVOKEKIND kind;
    std::vector<Param> params;
    bool hidden = false;
};

constexpr USHORT PARAM_IN = PARAMFLAG_FIN, PARAM_OUT = PARAMFLAG_FOUT, PARAM_RETVAL = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL,
                 PARAM_OPT = PARAMFLAG_FIN | PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT;
constexpr INVOKEKIND PROPGET = INVOKE_PROPERTYGET, PROPPUT = INVOKE_PROPERTYPUT, METHOD = INVOKE_FUNC;

struct Interface {
    const IID* iid;
    const wchar_t* name;
    std::vector<Member> members;
    const wchar_t* base = L"IDispatch";  // a later version derives from the one before
};

const std::vector<Interface>& Expected() {
    static const std::vector<Interface> all = {
        {&IID_ISusiePlugin, L"ISusiePlugin",
         {{L"About", 0, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Version", 1, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"PluginInfo", 2, PROPGET, {{L"infoNo", PARAM_IN, 0}, {L"pVal", PARAM_RETVAL, 0}}},
          {L"CanPreview", 3, PROPGET, {{L"pbCan", PARAM_RETVAL, 0}}},
          {L"CanConfigDlg", 4, PROPGET, {{L"pbCan", PARAM_RETVAL, 0}}},
          {L"ConfigurationDlg", 10, METHOD, {{L"hParent", PARAM_OPT, 0}, {L"function", PARAM_OPT, 1}}},
          {L"GetPictureInfo", 11, METHOD,
           {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"pPictInfo", PARAM_RETVAL, 0}}},
          {L"GetPicture", 12, METHOD,
           {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"ppInfo", PARAM_OUT, 0}, {L"ppPixels", PARAM_RETVAL, 0}}},
          {L"GetPreview", 13, METHOD,
           {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"ppInfo", PARAM_OUT, 0}, {L"ppPixels", PARAM_RETVAL, 0}}},
          {L"GetFileInfo", 14, METHOD,
           {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"FileName", PARAM_IN, 0}, {L"ppInfo", PARAM_RETVAL, 0}}},
          {L"GetArchiveInfo", 15, METHOD,
           {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"ppCollection", PARAM_RETVAL, 0}}},
          {L"GetFile", 16, METHOD, {{L"src", PARAM_IN, 0}, {L"pInfo", PARAM_IN, 0}, {L"ppDest", PARAM_RETVAL, 0}}},
          {L"GetFileToFile", 17, METHOD, {{L"src", PARAM_IN, 0}, {L"pInfo", PARAM_IN, 0}, {L"destPath", PARAM_IN, 0}}},
          {L"GetPictureToFile", 18, METHOD,
           {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"destPath", PARAM_IN, 0}}},
          {L"GetPictureText", 19, METHOD, {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"pText", PARAM_RETVAL, 0}}},
          {L"Load", 20, METHOD, {{L"spiPath", PARAM_IN, 0}, {L"pbOk", PARAM_RETVAL, 0}}},
          {L"Free", 21, METHOD, {}}}},
        {&IID_ITamrixHost, L"ITamrixHost",
         {{L"_NewEnum", DISPID_NEWENUM, PROPGET, {{L"ppUnk", PARAM_RETVAL, 0}}, true},
          {L"Item", 0, PROPGET, {{L"Index", PARAM_IN, 0}, {L"pVal", PARAM_RETVAL, 0}}},
          {L"Count", 1, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Init", 2, METHOD, {{L"loadFlags", PARAM_IN, 0}, {L"searchPath", PARAM_IN, 0}}},
          {L"QuerySpiFromFile", 3, METHOD, {{L"FileName", PARAM_IN, 0}, {L"offset", PARAM_OPT, 0}, {L"ppSpi", PARAM_RETVAL, 0}}},
          {L"QuerySpi", 4, METHOD, {{L"FileName", PARAM_IN, 0}, {L"Buffer", PARAM_IN, 0}, {L"ppSpi", PARAM_RETVAL, 0}}},
          {L"GetPicture", 5, METHOD, {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"ppPicture", PARAM_RETVAL, 0}}},
          {L"GetFileFilter", 6, METHOD, {{L"type", PARAM_OPT, 0}, {L"pVal", PARAM_RETVAL, 0}}}}},
        {&IID_ITamrixHost2, L"ITamrixHost2",
         {{L"CallTimeout", 7, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"CallTimeout", 7, PROPPUT, {{L"newVal", PARAM_IN, 0}}},
          {L"GetPictureProperties", 8, METHOD,
           {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"ppProperties", PARAM_RETVAL, 0}}},
          {L"ConvertFile", 9, METHOD, {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"destPath", PARAM_IN, 0}}},
          {L"CheckPlugin", 10, METHOD, {{L"FileName", PARAM_IN, 0}, {L"pResult", PARAM_RETVAL, 0}}}},
         L"ITamrixHost"},
        {&IID_ITamrixHost3, L"ITamrixHost3",
         {{L"ConvertFiles", 11, METHOD,
           {{L"sources", PARAM_IN, 0}, {L"destFolder", PARAM_IN, 0}, {L"destType", PARAM_IN, 0}, {L"ppJob", PARAM_RETVAL, 0}}},
          {L"Workers", 12, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Workers", 12, PROPPUT, {{L"newVal", PARAM_IN, 0}}},
          {L"GetArchiveInfo", 13, METHOD,
           {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"ppCollection", PARAM_RETVAL, 0}}}},
         L"ITamrixHost2"},
        {&IID_ITamrixHost4, L"ITamrixHost4",
         {{L"CodePage", 14, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}}, {L"CodePage", 14, PROPPUT, {{L"newVal", PARAM_IN, 0}}}},
         L"ITamrixHost3"},
        {&IID_IConversionJob, L"IConversionJob",
         {{L"Total", 1, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Completed", 2, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Failed", 3, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Done", 4, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Wait", 5, METHOD, {{L"milliseconds", PARAM_IN, 0}, {L"pDone", PARAM_RETVAL, 0}}},
          {L"Result", 6, PROPGET, {{L"Index", PARAM_IN, 0}, {L"pVal", PARAM_RETVAL, 0}}},
          {L"Destination", 7, PROPGET, {{L"Index", PARAM_IN, 0}, {L"pVal", PARAM_RETVAL, 0}}},
          {L"Cancel", 8, METHOD, {}},
          {L"Description", 9, PROPGET, {{L"Index", PARAM_IN, 0}, {L"pVal", PARAM_RETVAL, 0}}}}},
        {&IID_ISusiePlugin2, L"ISusiePlugin2",
         {{L"CanCreatePicture", 22, PROPGET, {{L"pbCan", PARAM_RETVAL, 0}}},
          {L"CreatePicture", 23, METHOD, {{L"destPath", PARAM_IN, 0}, {L"info", PARAM_IN, 0}, {L"pixels", PARAM_IN, 0}}},
          {L"GetPictureProperties", 24, METHOD,
           {{L"src", PARAM_IN, 0}, {L"offsetOrLength", PARAM_IN, 0}, {L"ppProperties", PARAM_RETVAL, 0}}}},
         L"ISusiePlugin"},
        {&IID_IPictureProperties, L"IPictureProperties",
         {{L"Left", 1, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Top", 2, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Width", 3, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Height", 4, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"XDensity", 5, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"YDensity", 6, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"ColorDepth", 7, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Text", 8, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}}}},
        {&IID_ISpiFileInfo, L"ISpiFileInfo",
         {{L"Method", 1, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Position", 2, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"CompSize", 3, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"FileSize", 4, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"TimeStamp", 5, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"Path", 6, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"FileName", 7, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"CRC", 8, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}}}},
        {&IID_ISpiFileInfoCollection, L"ISpiFileInfoCollection",
         {{L"_NewEnum", DISPID_NEWENUM, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}, true},
          {L"Item", 0, PROPGET, {{L"Index", PARAM_IN, 0}, {L"pVal", PARAM_RETVAL, 0}}},
          {L"Count", 1, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}}}},
        {&IID_ISpiFileInfoCollection2, L"ISpiFileInfoCollection2",
         {{L"Plugin", 2, PROPGET, {{L"ppSpi", PARAM_RETVAL, 0}}}},
         L"ISpiFileInfoCollection"},
        {&IID_ISpiLocalHeap, L"ISpiLocalHeap",
         {{L"Buffer", 0, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}},
          {L"GetBytes", 1, METHOD, {{L"pArray", PARAM_RETVAL, 0}}},
          {L"Length", 2, PROPGET, {{L"pVal", PARAM_RETVAL, 0}}}}},
    };
    return all;
}

// Help texts are stored as code page 932 bytes; the type library loader turns them into
// UTF-16 with the process's ANSI code page, so on a Japanese system they read as written
// and elsewhere as those bytes decoded by the local code page.
std::wstring AsStored(const std::wstring& text) {
    char bytes[256];
    int n = WideCharToMultiByte(932, 0, text.c_str(), -1, bytes, sizeof bytes, nullptr, nullptr);
    wchar_t wide[256];
    int w = MultiByteToWideChar(CP_ACP, 0, bytes, n, wide, 256);
    return w > 0 ? std::wstring(wide, w - 1) : std::wstring();
}

class TypeLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, LoadTypeLib(testenv::Wide(testenv::DllPath()).c_str(), lib_.put()))
            << "type library embedded in " << testenv::DllPath();
    }
    std::wstring Name(ITypeInfo* info, MEMBERID id) {
        Bstr name;
        EXPECT_EQ(S_OK, info->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr));
        return name.get() ? name.get() : L"";
    }
    ComPtr<ITypeLib> lib_;
};

TEST_F(TypeLibrary, IdentifiesItselfAsTamrix10) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib_->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_Tamrix));
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(SYS_WIN32, attr->syskind);
    lib_->ReleaseTLibAttr(attr);
    Bstr name, help;
    ASSERT_EQ(S_OK, lib_->GetDocumentation(-1, name.put(), help.put(), nullptr, nullptr));
    EXPECT_STREQ(L"Tamrix", name.get());
    ASSERT_NE(nullptr, help.get());
    EXPECT_EQ(AsStored(L"Tamrix 1.0 タイプ ライブラリ"), help.get());
}

TEST_F(TypeLibrary, InterfacesAreDualAndListMembersInVtableOrder) {
    for (const Interface& want : Expected()) {
        SCOPED_TRACE(testing::Message() << "interface " << std::string(want.name, want.name + wcslen(want.name)));
        ComPtr<ITypeInfo> disp;
        ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(*want.iid, disp.put()));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, disp->GetTypeAttr(&attr));
        EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
        EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE,
                  attr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE));
        disp->ReleaseTypeAttr(attr);
        EXPECT_EQ(want.name, Name(disp.get(), -1));
        Bstr help;
        ASSERT_EQ(S_OK, disp->GetDocumentation(-1, nullptr, help.put(), nullptr, nullptr));
        ASSERT_NE(nullptr, help.get());
        EXPECT_EQ(AsStored(std::wstring(want.name) + L" インターフェイス"), help.get());

        // The vtable view: derives from its base, own members from the base's last slot on.
        HREFTYPE ref = 0;
        ASSERT_EQ(S_OK, disp->GetRefTypeOfImplType(-1, &ref));
        ComPtr<ITypeInfo> vt;
        ASSERT_EQ(S_OK, disp->GetRefTypeInfo(ref, vt.put()));
        ASSERT_EQ(S_OK, vt->GetTypeAttr(&attr));
        EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
        EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
                  attr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE));
        const UINT funcs = attr->cFuncs;
        vt->ReleaseTypeAttr(attr);
        HREFTYPE baseRef = 0;
        ASSERT_EQ(S_OK, vt->GetRefTypeOfImplType(0, &baseRef));
        ComPtr<ITypeInfo> base;
        ASSERT_EQ(S_OK, vt->GetRefTypeInfo(baseRef, base.put()));
        EXPECT_EQ(want.base, Name(base.get(), -1));
        ASSERT_EQ(S_OK, base->GetTypeAttr(&attr));
        const UINT firstSlot = attr->cbSizeVft / sizeof(void*);
        base->ReleaseTypeAttr(attr);
        ASSERT_EQ(want.members.size(), funcs);

        for (UINT i = 0; i < funcs; ++i) {
            const Member& m = want.members[i];
            FUNCDESC* fd = nullptr;
            ASSERT_EQ(S_OK, vt->GetFuncDesc(i, &fd));
            SCOPED_TRACE(testing::Message() << "member " << i);
            EXPECT_EQ(m.id, fd->memid);
            EXPECT_EQ(m.kind, fd->invkind);
            EXPECT_EQ(static_cast<SHORT>((firstSlot + i) * sizeof(void*)), fd->oVft);
            EXPECT_EQ(VT_HRESULT, fd->elemdescFunc.tdesc.vt);
            EXPECT_EQ(m.hidden, (fd->wFuncFlags & FUNCFLAG_FHIDDEN) != 0);
            ASSERT_EQ(m.params.size(), static_cast<size_t>(fd->cParams));

            std::vector<BSTR> names(fd->cParams + 1);
            UINT got = 0;
            ASSERT_EQ(S_OK, vt->GetNames(fd->memid, names.data(), fd->cParams + 1, &got));
            // GetNames finds a shared DISPID's reader: a writer's parameter names are the reader's.
            // A library keeps one spelling per name (Left is the PictureInfo record's left).
            EXPECT_EQ(0, _wcsicmp(m.name, names[0])) << testing::PrintToString(std::wstring(names[0]));
            for (SHORT p = 0; p < fd->cParams; ++p) {
                const Param& want_p = m.params[p];
                const PARAMDESC& pd = fd->lprgelemdescParam[p].paramdesc;
                SCOPED_TRACE(testing::Message() << "param " << p);
                if (m.kind == INVOKE_PROPERTYPUT) {
                } else if (static_cast<UINT>(p + 1) < got) {
                    EXPECT_EQ(want_p.name, std::wstring(names[p + 1]));
                } else {
                    ADD_FAILURE() << "parameter name missing";
                }
                const USHORT mask = PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FRETVAL | PARAMFLAG_FOPT |
                                    PARAMFLAG_FHASDEFAULT;
                EXPECT_EQ(want_p.flags, pd.wParamFlags & mask);
                if (want_p.flags & PARAMFLAG_FHASDEFAULT) {
                    ASSERT_NE(nullptr, pd.pparamdescex);
                    VARIANT v;
                    VariantInit(&v);
                    ASSERT_EQ(S_OK, VariantChangeType(&v, &pd.pparamdescex->varDefaultValue, 0, VT_I4));
                    EXPECT_EQ(want_p.defaultValue, v.lVal);
                }
            }
            for (UINT n = 0; n < got; ++n) SysFreeString(names[n]);

            Bstr help;
            ASSERT_EQ(S_OK, vt->GetDocumentation(fd->memid, nullptr, help.put(), nullptr, nullptr));
            const std::wstring prefix = m.kind == INVOKE_FUNC ? L"メソッド" : L"プロパティ";
            EXPECT_EQ(AsStored(prefix + m.name), std::wstring(help.get() ? help.get() : L""));
            vt->ReleaseFuncDesc(fd);
        }
    }
}

TEST_F(TypeLibrary, PictureInfoIsTheAlignedTwentyEightByteRecord) {
    ComPtr<ITypeInfo> rec;
    UINT count = 0;
    for (UINT i = 0, n = lib_->GetTypeInfoCount(); i < n && !rec; ++i) {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, lib_->GetTypeInfo(i, info.put()));
        if (Name(info.get(), -1) == L"PictureInfo") {
            TYPEATTR* a = nullptr;
            ASSERT_EQ(S_OK, info->GetTypeAttr(&a));
            if (a->typekind == TKIND_RECORD) rec = info;
            info->ReleaseTypeAttr(a);
        }
    }
    ASSERT_TRUE(rec) << "no record PictureInfo";
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, rec->GetTypeAttr(&attr));
    EXPECT_EQ(28u, attr->cbSizeInstance);
    count = attr->cVars;
    rec->ReleaseTypeAttr(attr);
    struct Field {
        const wchar_t* name;
        ULONG offset;
        VARTYPE vt;
    } fields[] = {{L"left", 0, VT_I4},        {L"top", 4, VT_I4},         {L"width", 8, VT_I4},
                  {L"height", 12, VT_I4},     {L"x_density", 16, VT_I2}, {L"y_density", 18, VT_I2},
                  {L"colorDepth", 20, VT_I2}, {L"hInfo", 24, VT_I4}};
    ASSERT_EQ(std::size(fields), count);
    for (UINT i = 0; i < count; ++i) {
        VARDESC* vd = nullptr;
        ASSERT_EQ(S_OK, rec->GetVarDesc(i, &vd));
        EXPECT_EQ(fields[i].name, Name(rec.get(), vd->memid));
        EXPECT_EQ(fields[i].offset, vd->oInst) << "field " << i;
        EXPECT_EQ(fields[i].vt, vd->elemdescVar.tdesc.vt) << "field " << i;
        rec->ReleaseVarDesc(vd);
    }
    static_assert(sizeof(PictureInfo) == 28 && offsetof(PictureInfo, hInfo) == 24);
}

TEST_F(TypeLibrary, CoclassesAndWhichOnesClientsMayCreate) {
    struct Class {
        const CLSID* clsid;
        const wchar_t* name;
        const IID* iface;
        bool creatable;
    } classes[] = {
        {&CLSID_SusiePlugin, L"SusiePlugin", &IID_ISusiePlugin2, true},
        {&CLSID_TamrixHost, L"TamrixHost", &IID_ITamrixHost4, true},
        {&CLSID_SpiFileInfo, L"SpiFileInfo", &IID_ISpiFileInfo, false},
        {&CLSID_SpiFileInfoCollection, L"SpiFileInfoCollection", &IID_ISpiFileInfoCollection2, false},
        {&CLSID_SpiLocalHeap, L"SpiLocalHeap", &IID_ISpiLocalHeap, false},
        {&CLSID_PictureProperties, L"PictureProperties", &IID_IPictureProperties, false},
        {&CLSID_ConversionJob, L"ConversionJob", &IID_IConversionJob, false},
    };
    for (const Class& c : classes) {
        SCOPED_TRACE(testing::Message() << "class " << std::string(c.name, c.name + wcslen(c.name)));
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(*c.clsid, info.put()));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(TKIND_COCLASS, attr->typekind);
        EXPECT_EQ(c.creatable, (attr->wTypeFlags & TYPEFLAG_FCANCREATE) != 0);
        EXPECT_EQ(1, attr->cImplTypes);
        info->ReleaseTypeAttr(attr);
        Bstr help;
        ASSERT_EQ(S_OK, info->GetDocumentation(-1, nullptr, help.put(), nullptr, nullptr));
        EXPECT_EQ(std::wstring(c.name) + L" Class", help.get() ? help.get() : L"");
        INT implFlags = 0;
        ASSERT_EQ(S_OK, info->GetImplTypeFlags(0, &implFlags));
        EXPECT_TRUE(implFlags & IMPLTYPEFLAG_FDEFAULT);
        HREFTYPE ref = 0;
        ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
        ComPtr<ITypeInfo> iface;
        ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, iface.put()));
        ASSERT_EQ(S_OK, iface->GetTypeAttr(&attr));
        EXPECT_TRUE(IsEqualGUID(*c.iface, attr->guid));
        iface->ReleaseTypeAttr(attr);
    }
}

}  // namespace
