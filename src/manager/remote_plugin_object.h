// The plug-in object a manager hands out for a plug-in isolated in a helper process: ours,
// in the client, with the plug-in object's interfaces, passing each member to the plug-in
// object over there. Blocks come back as local copies (an SpiLocalHeap here, whose Buffer
// answers as for 64-bit clients, as does an integer source over there), decoded pixels
// through shared memory, archive listings and entries as copies made here (so that they
// outlive it, and are read without a call); once the helper has
// ended, every member answers how it ended
// (E_PLUGIN_CRASHED or E_PLUGIN_TIMEOUT) without calling anything.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <memory>
#include <source_location>
#include <string>
#include <vector>

#include "Tamrix.h"
#include "../automation/typelib_dispatch.h"
#include "../common/local_block.h"
#include "../common/object.h"
#include "../plugin/picture.h"
#include "helper_process.h"

namespace Tamrix {

class RemotePluginObject : public TypeLibDispatch<ISusiePlugin2, typelib::TID_SUSIE_PLUGIN>,
                           public ProvideClassInfo<typelib::TID_SUSIE_PLUGIN_CLASS>,
                           public SupportsErrorInfo<RemotePluginObject> {
public:
    using Interfaces =
        InterfaceList<ISusiePlugin2, As<ISusiePlugin, ISusiePlugin2>, As<IDispatch, ISusiePlugin2>, IProvideClassInfo,
                      ISupportErrorInfo>;

    // `path` names the plug-in file, for the words of a failure.
    RemotePluginObject(ComPtr<ISusiePlugin> remote, std::shared_ptr<HelperProcess> helper, std::wstring path) noexcept
        : remote_(std::move(remote)), helper_(std::move(helper)), path_(std::move(path)) {}
    virtual ~RemotePluginObject() = default;

    // ISusiePlugin
    STDMETHODIMP get_About(BSTR* pVal) override;
    STDMETHODIMP get_Version(BSTR* pVal) override;
    STDMETHODIMP get_PluginInfo(LONG infoNo, BSTR* pVal) override;
    STDMETHODIMP get_CanPreview(VARIANT_BOOL* pbCan) override;
    STDMETHODIMP get_CanConfigDlg(VARIANT_BOOL* pbCan) override;
    STDMETHODIMP ConfigurationDlg(LONG hParent, LONG function) override;
    STDMETHODIMP GetPictureInfo(VARIANT src, LONG offsetOrLength, PictureInfo* pPictInfo) override;
    STDMETHODIMP GetPicture(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo, IDispatch** ppPixels) override;
    STDMETHODIMP GetPreview(VARIANT src, LONG offsetOrLength, IDispatch** ppInfo, IDispatch** ppPixels) override;
    STDMETHODIMP GetFileInfo(VARIANT src, LONG offsetOrLength, BSTR FileName, IDispatch** ppInfo) override;
    STDMETHODIMP GetArchiveInfo(VARIANT src, LONG offsetOrLength, IDispatch** ppCollection) override;
    STDMETHODIMP GetFile(VARIANT src, IDispatch* pInfo, IDispatch** ppDest) override;
    STDMETHODIMP GetFileToFile(VARIANT src, IDispatch* pInfo, BSTR destPath) override;
    STDMETHODIMP GetPictureToFile(VARIANT src, LONG offsetOrLength, BSTR destPath) override;
    STDMETHODIMP GetPictureText(VARIANT src, LONG offsetOrLength, BSTR* pText) override;
    STDMETHODIMP Load(BSTR spiPath, VARIANT_BOOL* pbOk) override;
    STDMETHODIMP Free() override;

    // ISusiePlugin2: blocks go over as byte arrays, and the facts come back as a copy here.
    STDMETHODIMP get_CanCreatePicture(VARIANT_BOOL* pbCan) override;
    STDMETHODIMP CreatePicture(BSTR destPath, VARIANT info, VARIANT pixels) override;
    STDMETHODIMP GetPictureProperties(VARIANT src, LONG offsetOrLength, IDispatch** ppProperties) override;

private:
    // call(remote) over there, answered as the helper's state says; `src` is the source the
    // member was given, if it has one, for the words of a failure.
    template <class Call>
    HRESULT CallOverThere(Call&& call, const VARIANT* src);
    // The same as a whole member.
    template <class Call>
    HRESULT Forward(Call&& call, const VARIANT* src = nullptr,
                    std::source_location where = std::source_location::current()) noexcept;
    // The same with the object over there as ISusiePlugin2.
    template <class Call>
    HRESULT Forward2(Call&& call, const VARIANT* src = nullptr,
                     std::source_location where = std::source_location::current()) noexcept;
    // GetPicture or (preview) GetPreview over there, both blocks copied here.
    HRESULT DecodeHere(const VARIANT& src, LONG offsetOrLength, bool preview, IDispatch** ppInfo, IDispatch** ppPixels,
                       std::source_location where = std::source_location::current()) noexcept;

    // ListingRecords or MemberRecordOf (`ask`) over there: the records' bytes, as records of
    // this build, in `records`, fileInfoW when `wide`; `handed` tells whether the plug-in
    // handed any back (a listing may have no record).
    template <class Ask>
    HRESULT RecordsOverThere(ISusiePlugin* remote, Ask&& ask, std::vector<BYTE>& records, bool& wide, bool& handed);

    ComPtr<ISusiePlugin> remote_;
    std::shared_ptr<HelperProcess> helper_;
    std::wstring path_;
};

// How a call into the plug-in `path` ended its helper (hr E_PLUGIN_CRASHED or
// E_PLUGIN_TIMEOUT) while it was working on `what` ("" for nothing named), in words.
std::wstring EndedWords(HRESULT hr, const std::wstring& path, const std::wstring& what);
// Notes why a call into the plug-in `path` over there failed with hr: how its helper ended,
// or the words the object over there gave (its member's name left out) if `helper` (null for
// the surrogate) or the system brought them; `what` names the file or bytes it was working
// on ("" for none). The thread's error object is cleared before such a call.
void NoteRemoteFailure(HRESULT hr, const std::wstring& path, const std::wstring& what, const HelperProcess* helper);
// What a source argument names, for those words: a file's name in quotes, a byte array's size.
std::wstring SourceWordsOf(const VARIANT* src);

// The bytes of a block (an SpiLocalHeap of another process), read with GetBytes: none for a
// null block.
HRESULT BlockBytes(IDispatch* block, std::vector<BYTE>& out);
// The facts of a PictureProperties object of another process, copied.
HRESULT CopyPictureProperties(IDispatch* remote, SPI::PictureProperties& out);
// A new SpiLocalHeap here holding a copy of the block `remote` (null stays null), with no Buffer.
HRESULT LocalHeapCopy(IDispatch* remote, IDispatch** out);
// CreatePicture of the plug-in object `object` of another process (served by `helper`, or
// null for the surrogate) to destPath: the blocks' bytes written over there into a file made
// here, which replaces destPath only when complete and goes whatever happens, however that
// process ends.
HRESULT WriteOverThere(ISusiePlugin* object, const HelperProcess* helper, const std::wstring& destPath,
                       const VARIANT& info, const VARIANT& pixels);
// GetPicture or (preview) GetPreview of the plug-in object `object`, which lives in `helper`,
// its pixels handed over in shared memory: blocks here holding the bytes of the two blocks
// (null for a missing one). The failure as the object over there answers it.
HRESULT DecodeShared(ISusiePlugin* object, const HelperProcess& helper, const VARIANT& src, LONG length,
                     bool preview, SharedLocalBlock& info, SharedLocalBlock& pixels) noexcept;

}  // namespace Tamrix
