// One archive member's information record, read through eight properties; a number that
// needs more than 32 bits (a 64-bit plug-in's) makes its property fail (value_width.h). The record is
// either the entry's own (looked up by name) or one inside a listing's block, of either kind
// (fileInfo, or fileInfoW from a plug-in's wide entries, whose names are read in full);
// either way the entry shares the ownership of what holds it, so an entry stays valid after
// the collection that made it is gone.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <memory>

#include "Tamrix.h"
#include "../automation/name_table_dispatch.h"
#include "../common/object.h"
#include "../plugin/archive.h"
#include "../plugin/spi_api.h"

namespace Tamrix {

// The record behind an entry of this server, whole: extraction takes the member's position
// and sizes from it, as the properties may not hold a 64-bit plug-in's numbers. In process
// only; it is in no type library and never marshaled, so an entry from elsewhere (another
// process, or a client's own object) simply does not answer it.
MIDL_INTERFACE("e86d3775-b100-4a09-986c-01439432cf58")
IMemberRecordSource : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetRecord(SPI::MemberRecord* out) = 0;
};

}  // namespace Tamrix
__CRT_UUID_DECL(Tamrix::IMemberRecordSource, 0xe86d3775, 0xb100, 0x4a09, 0x98, 0x6c, 0x01, 0x43, 0x94, 0x32, 0xcf,
                0x58)
namespace Tamrix {

class SpiFileInfo : public NameTableDispatch<SpiFileInfo, ISpiFileInfo>,
                    public SupportsErrorInfo<SpiFileInfo>,
                    public IMemberRecordSource {
public:
    using Interfaces = InterfaceList<ISpiFileInfo, As<IDispatch, ISpiFileInfo>, ISupportErrorInfo, IMemberRecordSource>;

    // Late-bound names; "pVal" is the readers' parameter name, answered as DISPID 0, which
    // has no member.
    static constexpr DispName NAMES[] = {
        {L"Method", 1},    {L"pVal", 0},          {L"get_Method", 1},   {L"Position", 2},
        {L"get_Position", 2}, {L"CompSize", 3},   {L"get_CompSize", 3}, {L"FileSize", 4},
        {L"get_FileSize", 4}, {L"TimeStamp", 5},  {L"get_TimeStamp", 5}, {L"Path", 6},
        {L"get_Path", 6},  {L"FileName", 7},      {L"get_FileName", 7}, {L"CRC", 8},
        {L"get_CRC", 8},
    };
    static constexpr UINT MAX_ARGS = 1;
    static constexpr bool CHECKS_NAMED_ARGS = false;
    HRESULT InvokeMember(DISPID id, DispatchCall& call);

    explicit SpiFileInfo(SPI::MemberRecord record) noexcept : record_(std::move(record)) {}
    explicit SpiFileInfo(std::shared_ptr<const SPI::fileInfo> record) noexcept : record_(std::move(record)) {}
    virtual ~SpiFileInfo() = default;

    // A new entry reading `record` (never empty), with the caller's reference.
    // E_INVALIDARG for no record, E_OUTOFMEMORY (and *out null) when it cannot be made.
    static HRESULT Create(SPI::MemberRecord record, ISpiFileInfo** out) noexcept;
    static HRESULT Create(std::shared_ptr<const SPI::fileInfo> record, ISpiFileInfo** out) noexcept {
        return Create(SPI::MemberRecord(std::move(record)), out);
    }
    static HRESULT Create(std::shared_ptr<const SPI::fileInfoW> record, ISpiFileInfo** out) noexcept {
        return Create(SPI::MemberRecord(std::move(record)), out);
    }

    // ISpiFileInfo
    STDMETHODIMP get_Method(BSTR* pVal) override;
    STDMETHODIMP get_Position(LONG* pVal) override;
    STDMETHODIMP get_CompSize(LONG* pVal) override;
    STDMETHODIMP get_FileSize(LONG* pVal) override;
    STDMETHODIMP get_TimeStamp(DATE* pVal) override;
    STDMETHODIMP get_Path(BSTR* pVal) override;
    STDMETHODIMP get_FileName(BSTR* pVal) override;
    STDMETHODIMP get_CRC(LONG* pVal) override;

    // IMemberRecordSource
    STDMETHODIMP GetRecord(SPI::MemberRecord* out) override;

private:
    SPI::MemberRecord record_;
};

}  // namespace Tamrix
