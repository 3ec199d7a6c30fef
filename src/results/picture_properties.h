// A picture's facts as its plug-in's GetPictureInfo told them (position, size, densities,
// depth, text), read through eight properties; scripts take no records, so they get this.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "Tamrix.h"
#include "../automation/name_table_dispatch.h"
#include "../common/object.h"
#include "../plugin/picture.h"

namespace Tamrix {

class PictureProperties : public NameTableDispatch<PictureProperties, IPictureProperties>,
                          public SupportsErrorInfo<PictureProperties> {
public:
    using Interfaces = InterfaceList<IPictureProperties, As<IDispatch, IPictureProperties>, ISupportErrorInfo>;

    // Late-bound names; "pVal" is the readers' parameter name, answered as DISPID 0, which
    // has no member.
    static constexpr DispName NAMES[] = {
        {L"Left", 1},         {L"pVal", 0},        {L"get_Left", 1},     {L"Top", 2},
        {L"get_Top", 2},      {L"Width", 3},       {L"get_Width", 3},    {L"Height", 4},
        {L"get_Height", 4},   {L"XDensity", 5},    {L"get_XDensity", 5}, {L"YDensity", 6},
        {L"get_YDensity", 6}, {L"ColorDepth", 7},  {L"get_ColorDepth", 7}, {L"Text", 8},
        {L"get_Text", 8},
    };
    static constexpr UINT MAX_ARGS = 1;
    static constexpr bool CHECKS_NAMED_ARGS = false;
    HRESULT InvokeMember(DISPID id, DispatchCall& call);

    explicit PictureProperties(SPI::PictureProperties facts) noexcept : facts_(std::move(facts)) {}
    virtual ~PictureProperties() = default;

    // A new object with the caller's reference; E_OUTOFMEMORY (and *out null) when it
    // cannot be made.
    static HRESULT Create(SPI::PictureProperties facts, IDispatch** out) noexcept;

    // IPictureProperties
    STDMETHODIMP get_Left(LONG* pVal) override;
    STDMETHODIMP get_Top(LONG* pVal) override;
    STDMETHODIMP get_Width(LONG* pVal) override;
    STDMETHODIMP get_Height(LONG* pVal) override;
    STDMETHODIMP get_XDensity(LONG* pVal) override;
    STDMETHODIMP get_YDensity(LONG* pVal) override;
    STDMETHODIMP get_ColorDepth(LONG* pVal) override;
    STDMETHODIMP get_Text(BSTR* pVal) override;

private:
    SPI::PictureProperties facts_;
};

}  // namespace Tamrix
