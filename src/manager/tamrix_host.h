// The manager class that clients create as "Tamrix.TamrixHost.1": the plug-ins found in
// the search folders as a collection, and the queries and picture loading over them.
// The list and its rules are its SPI::PluginList's; this class converts arguments and hands
// out objects. Late-bound clients reach it through a name table. Each member is a Boundary.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include "Tamrix.h"
#include "../automation/name_table_dispatch.h"
#include "../automation/typelib_dispatch.h"
#include "../common/object.h"
#include "../plugin/plugin_list.h"
#include "remote_susie_plugin.h"

namespace Tamrix {

class TamrixHost : public NameTableDispatch<TamrixHost, ITamrixHost4>,
                   public ProvideClassInfo<typelib::TID_TAMRIX_HOST_CLASS>,
                   public SupportsErrorInfo<TamrixHost> {
public:
    using Interfaces =
        InterfaceList<ITamrixHost4, As<ITamrixHost3, ITamrixHost4>, As<ITamrixHost2, ITamrixHost4>,
                      As<ITamrixHost, ITamrixHost4>, As<IDispatch, ITamrixHost4>, IProvideClassInfo,
                      ISupportErrorInfo>;

    // Names late-bound clients may use; property readers also answer to their get_ names.
    static constexpr DispName NAMES[] = {
        {L"_NewEnum", DISPID_NEWENUM}, {L"get__NewEnum", DISPID_NEWENUM},
        {L"Item", 0},                  {L"get_Item", 0},
        {L"Count", 1},                 {L"get_Count", 1},
        {L"Init", 2},                  {L"QuerySpiFromFile", 3},
        {L"QuerySpi", 4},              {L"GetPicture", 5},
        {L"GetFileFilter", 6},         {L"CallTimeout", 7},
        {L"GetPictureProperties", 8},  {L"ConvertFile", 9},
        {L"CheckPlugin", 10},          {L"ConvertFiles", 11},
        {L"Workers", 12},              {L"GetArchiveInfo", 13},
        {L"CodePage", 14},
    };
    static constexpr UINT MAX_ARGS = 4;
    // The most worker processes a conversion job may use.
    static constexpr LONG MAX_WORKERS = 64;
    static constexpr bool CHECKS_NAMED_ARGS = true;
    // Checks the count, converts the arguments and calls the member of DISPID id.
    HRESULT InvokeMember(DISPID id, DispatchCall& call);

    // Discovery runs at once, with the default flags; in the 64-bit server 32-bit plug-ins
    // are remote, as are all with Init flag 16 (remote_susie_plugin.h).
    TamrixHost();
    virtual ~TamrixHost() = default;

    SPI::PluginList& List() noexcept { return list_; }

    // ITamrixHost
    STDMETHODIMP get__NewEnum(IUnknown** ppUnk) override;
    STDMETHODIMP get_Item(LONG Index, IDispatch** pVal) override;
    STDMETHODIMP get_Count(LONG* pVal) override;
    STDMETHODIMP Init(LONG loadFlags, BSTR searchPath) override;
    STDMETHODIMP QuerySpiFromFile(BSTR FileName, LONG offset, IDispatch** ppSpi) override;
    STDMETHODIMP QuerySpi(BSTR FileName, VARIANT Buffer, IDispatch** ppSpi) override;
    STDMETHODIMP GetPicture(VARIANT src, LONG offsetOrLength, IDispatch** ppPicture) override;
    STDMETHODIMP GetFileFilter(LONG type, BSTR* pVal) override;

    // ITamrixHost2
    STDMETHODIMP get_CallTimeout(LONG* pVal) override;
    STDMETHODIMP put_CallTimeout(LONG newVal) override;
    STDMETHODIMP GetPictureProperties(VARIANT src, LONG offsetOrLength, IDispatch** ppProperties) override;
    STDMETHODIMP ConvertFile(VARIANT src, LONG offsetOrLength, BSTR destPath) override;
    STDMETHODIMP CheckPlugin(BSTR FileName, VARIANT* pResult) override;

    // ITamrixHost3
    STDMETHODIMP ConvertFiles(VARIANT sources, BSTR destFolder, BSTR destType, IDispatch** ppJob) override;
    STDMETHODIMP get_Workers(LONG* pVal) override;
    STDMETHODIMP put_Workers(LONG newVal) override;
    STDMETHODIMP GetArchiveInfo(VARIANT src, LONG offsetOrLength, IDispatch** ppCollection) override;

    // ITamrixHost4
    STDMETHODIMP get_CodePage(LONG* pVal) override;
    STDMETHODIMP put_CodePage(LONG newVal) override;

private:
    std::shared_ptr<RemoteSessions> sessions_;  // before the list, whose entries use them
    SPI::PluginList list_;
    LONG callTimeout_ = DEFAULT_CALL_TIMEOUT;
    // Followed by every entry of the list and every plug-in object made from them.
    std::shared_ptr<volatile LONG> codePage_;
    LONG workers_;  // a job's worker processes
};

}  // namespace Tamrix
