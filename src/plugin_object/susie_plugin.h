// The Automation object for one Susie plug-in: it holds the plug-in's binding and offers
// the plug-in's information, configuration, picture decoding and bitmap output, archive
// listing and member extraction. Each member is a Boundary; the helpers below return
// HRESULTs (std::bad_alloc passes through them).
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <memory>

#include "Tamrix.h"
#include "../automation/typelib_dispatch.h"
#include "../common/object.h"
#include "../plugin/archive.h"
#include "../plugin/picture.h"
#include "../plugin/plugin_list.h"
#include "../plugin/spi_interface.h"

namespace Tamrix {

class SusiePlugin : public TypeLibDispatch<ISusiePlugin2, typelib::TID_SUSIE_PLUGIN>,
                    public ProvideClassInfo<typelib::TID_SUSIE_PLUGIN_CLASS>,
                    public SupportsErrorInfo<SusiePlugin>,
                    public ISusiePluginRemote4 {
public:
    using Interfaces =
        InterfaceList<ISusiePlugin2, As<ISusiePlugin, ISusiePlugin2>, As<IDispatch, ISusiePlugin2>,
                      IProvideClassInfo, ISupportErrorInfo, As<ISusiePluginRemote, ISusiePluginRemote4>,
                      As<ISusiePluginRemote2, ISusiePluginRemote4>, As<ISusiePluginRemote3, ISusiePluginRemote4>,
                      ISusiePluginRemote4>;

    SusiePlugin() = default;
    // Bound to a copy of an existing binding (the copy owns its own library reference).
    explicit SusiePlugin(const SPI::SpiInterface& binding) : binding_(binding) {}
    virtual ~SusiePlugin() = default;

    const SPI::SpiInterface& Binding() const noexcept { return binding_; }

    // ISusiePlugin
    STDMETHODIMP get_About(BSTR* pVal) override;
    STDMETHODIMP get_Version(BSTR* pVal) override;
    STDMETHODIMP get_PluginInfo(LONG infoNo, BSTR* pVal) override;
    STDMETHODIMP get_CanPreview(VARIANT_BOOL* pbCan) override;
    STDMETHODIMP get_CanConfigDlg(VARIANT_BOOL* pbCan) override;
    STDMETHODIMP ConfigurationDlg(LONG hParent, LONG function) override;
    STDMETHODIMP GetPictureInfo(VARIANT src, LONG offsetOrLength, PictureInfo* pPictInfo) override;
    STDMETHODIMP GetPicture(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo,
                            IDispatch** ppPixels) override;
    STDMETHODIMP GetPreview(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo,
                            IDispatch** ppPixels) override;
    STDMETHODIMP GetFileInfo(VARIANT src, LONG offsetOrLength, BSTR FileName,
                             IDispatch** ppInfo) override;
    STDMETHODIMP GetArchiveInfo(VARIANT src, LONG offsetOrLength,
                                IDispatch** ppCollection) override;
    STDMETHODIMP GetFile(VARIANT src, IDispatch* pInfo, IDispatch** ppDest) override;
    STDMETHODIMP GetFileToFile(VARIANT src, IDispatch* pInfo, BSTR destPath) override;
    STDMETHODIMP GetPictureToFile(VARIANT src, LONG offsetOrLength, BSTR destPath) override;
    STDMETHODIMP GetPictureText(VARIANT src, LONG offsetOrLength, BSTR* pText) override;
    STDMETHODIMP Load(BSTR spiPath, VARIANT_BOOL* pbOk) override;
    STDMETHODIMP Free() override;

    // ISusiePlugin2
    STDMETHODIMP get_CanCreatePicture(VARIANT_BOOL* pbCan) override;
    STDMETHODIMP CreatePicture(BSTR destPath, VARIANT info, VARIANT pixels) override;
    STDMETHODIMP GetPictureProperties(VARIANT src, LONG offsetOrLength, IDispatch** ppProperties) override;

    // ISusiePluginRemote: the 64-bit server's manager asking this object in a surrogate.
    STDMETHODIMP IsSupported(BSTR FileName, VARIANT Header, VARIANT_BOOL* pbSupported) override;
    STDMETHODIMP PluginInfoText(LONG infoNo, LONG bufferLength, BSTR* pText, VARIANT_BOOL* pbAnswered) override;
    STDMETHODIMP NewPlugin(ISusiePlugin** ppSpi) override;
    // ISusiePluginRemote2: a manager asking this object in the helper process it started.
    STDMETHODIMP CountDeclining(SAFEARRAY* Paths, BSTR FileName, VARIANT Header, LONG* pCount) override;
    STDMETHODIMP DecodeShared(VARIANT src, LONG offsetOrLength, VARIANT_BOOL Preview, VARIANT* pInfo,
                              LONG* pPixelSize, LONG* pSection) override;
    STDMETHODIMP ListingRecords(VARIANT src, LONG offsetOrLength, VARIANT_BOOL* pWide, LONG* pRecordSize,
                                VARIANT* pRecords) override;
    STDMETHODIMP MemberRecordOf(VARIANT src, LONG offsetOrLength, BSTR FileName, VARIANT_BOOL* pWide,
                                LONG* pRecordSize, VARIANT* pRecord) override;
    // ISusiePluginRemote3: a manager writing through this object into a file it made.
    STDMETHODIMP CreatePictureAt(BSTR Path, VARIANT info, VARIANT pixels) override;
    // ISusiePluginRemote3: a conversion job asking the first object of a worker it started.
    STDMETHODIMP UsePlugins(SAFEARRAY* Paths) override;
    STDMETHODIMP ConvertThrough(BSTR Source, BSTR Destination, LONG From, LONG Failure, LONG* pNext, BSTR* pWords,
                                LONG* pResult) override;
    // ISusiePluginRemote4: the 64-bit server's manager setting its code page in a surrogate.
    STDMETHODIMP UseCodePage(LONG codePage) override;

private:
    // S_OK when a plug-in of `kind` is loaded here; E_FAIL, saying which is, when not.
    HRESULT Require(DWORD kind) const;
    // Reads one information item into a cleared buffer of `size` characters.
    HRESULT InfoText(int infoNo, int size, BSTR* out);
    // Converts the source and asks the plug-in for the picture's information record.
    HRESULT QueryPictureInfo(const VARIANT& src, LONG offsetOrLength, SPI::PictureInfoRecord& record, int& code);
    HRESULT DecodeToHeaps(SPI::Decoder which, const VARIANT& src, LONG offsetOrLength, IDispatch** ppInfo,
                          IDispatch** ppPixels);
    // Extracts the member that the entry `pInfo` names from the archive `src` into memory;
    // `fileSize` receives the entry's FileSize. E_INVALIDARG for an object that is no entry.
    // A file source the plug-in fails is listed again and asked once more.
    HRESULT ExtractMember(const VARIANT& src, IDispatch* pInfo, SPI::ExtractedMember& member,
                          SPI::RecordNumber& fileSize);

    SPI::SpiInterface binding_;
    std::unique_ptr<SPI::PluginList> list_;  // a worker's (UsePlugins)
    std::shared_ptr<volatile LONG> codePage_;  // UseCodePage's, followed by the objects made here
};

}  // namespace Tamrix
