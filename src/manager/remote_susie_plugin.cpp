#include "remote_susie_plugin.h"

#include <climits>
#include <cstring>

#include "../common/automation_types.h"
#include "../common/failure_note.h"
#include "../common/surrogate_process.h"
#include "../common/value_width.h"
#include "../plugin/failure_words.h"
#include "../plugin/picture.h"
#include "../plugin/spi_interface.h"
#include "remote_plugin_object.h"

namespace Tamrix {
namespace {

// How the 32-bit server's plug-in objects are asked for: out of process, as a 32-bit server.
constexpr DWORD REMOTE_CONTEXT = CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER;

class RemoteSusiePlugins final : public SPI::RemotePlugins {
public:
    // `foreignOnly`: another width's plug-ins alone, always in a helper.
    RemoteSusiePlugins(std::shared_ptr<RemoteSessions> sessions, bool foreignOnly) noexcept
        : sessions_(std::move(sessions)), foreignOnly_(foreignOnly) {}

    std::unique_ptr<SPI::RemotePlugin> Bind(WORD machine, bool isolate) const override {
        if (machine == SPI::OWN_MACHINE)
            return foreignOnly_ ? nullptr : std::make_unique<RemoteSusiePlugin>(sessions_->isolated);
        // Only the 64-bit server has another width's server to ask.
        if (sizeof(void*) == 8 && machine == IMAGE_FILE_MACHINE_I386)
            return std::make_unique<RemoteSusiePlugin>(isolate || foreignOnly_ ? sessions_->foreign
                                                                                : sessions_->surrogate);
        return nullptr;
    }

private:
    std::shared_ptr<RemoteSessions> sessions_;
    bool foreignOnly_;
};

}  // namespace

RemoteSessions::RemoteSessions()
    : isolated(std::make_shared<RemoteSession>(true, SPI::OWN_MACHINE)),
      foreign(std::make_shared<RemoteSession>(true, IMAGE_FILE_MACHINE_I386)),
      surrogate(std::make_shared<RemoteSession>(false, IMAGE_FILE_MACHINE_I386)) {}

void RemoteSessions::SetCallTimeout(LONG timeout) noexcept {
    isolated->SetCallTimeout(timeout);
    foreign->SetCallTimeout(timeout);
}

void RemoteSessions::SetCodePage(LONG codePage) noexcept {
    isolated->SetCodePage(codePage);
    foreign->SetCodePage(codePage);
    surrogate->SetCodePage(codePage);
}

void RemoteSession::SetCodePage(LONG codePage) noexcept {
    codePage_ = codePage;
    if (helper_) helper_->SetCodePage(codePage);
    else if (first_) UseCodePageThere();
}

void RemoteSession::UseCodePageThere() noexcept {
    // The surrogate's objects follow their first object's setting.
    ComPtr<ISusiePluginRemote4> first;
    if (SUCCEEDED(first_.query(first))) first->UseCodePage(codePage_);
}

void RemoteSession::SetCallTimeout(LONG timeout) noexcept {
    timeout_ = timeout;
    if (helper_) helper_->SetCallTimeout(timeout);
}

HRESULT RemoteSession::Connect() noexcept {
    if (!helperRoad_) {
        // A surrogate that has gone (ended by a failing plug-in, say) is started again.
        ComPtr<ISusiePlugin> object;
        if (HRESULT hr = CoCreateInstance(CLSID_SusiePlugin, nullptr, REMOTE_CONTEXT, IID_ISusiePlugin,
                                          object.put_void());
            FAILED(hr))
            return hr;
        if (HRESULT hr = object.query(first_); FAILED(hr)) return hr;
        UseCodePageThere();
        return S_OK;
    }
    std::wstring host, server;
    if (!HelperFor(machine_, host, server)) return REGDB_E_CLASSNOTREG;
    try {
        return HelperProcess::Start(host, server, timeout_, codePage_, helper_, first_);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void RemoteSession::DropEnded() noexcept {
    if (helper_ && helper_->Ended()) {
        first_.reset();
        helper_.reset();
    }
}

size_t RemoteSession::CountDeclining(std::span<const std::wstring> paths, const SPI::PluginName& name,
                                     const void* header) noexcept {
    if (!helperRoad_ || paths.empty()) return 0;
    DropEnded();
    if (!first_ && FAILED(Connect())) return 0;
    ComPtr<ISusiePluginRemote2> first;
    if (!helper_ || FAILED(first_.query(first))) return 0;
    const LONG count = static_cast<LONG>(paths.size());
    UniqueSafeArray files;
    if (FAILED(NewStringArray(paths, files))) return 0;
    Bstr text;  // null for no name
    Variant shown;
    if ((!name.IsNull() && FAILED(NewBstr(name.Text(), text))) ||
        FAILED(NewByteArray(header, SPI::HEADER_SIZE, *shown.get())))
        return 0;
    helper_->ForgetAsking();
    LONG declined = 0;
    HRESULT hr = first->CountDeclining(files.get(), text.get(), *shown.get(), &declined);
    if (SUCCEEDED(hr)) return declined >= 0 && declined <= count ? static_cast<size_t>(declined) : 0;
    // The one that ended the helper declines, as one asked alone would; those before it did.
    hr = helper_->Answer(hr);
    const LONG asked = helper_->Asking();
    if ((hr == E_PLUGIN_CRASHED || hr == E_PLUGIN_TIMEOUT) && asked >= 0 && asked < count)
        return static_cast<size_t>(asked) + 1;
    return 0;
}

HRESULT RemoteSession::NewObject(const std::wstring& path, ComPtr<ISusiePlugin>& out, bool& loaded,
                                 std::shared_ptr<HelperProcess>& helper) noexcept {
    loaded = false;
    helper.reset();
    ComPtr<ISusiePlugin> object;
    DropEnded();
    HRESULT hr = first_ ? first_->NewPlugin(object.put()) : E_FAIL;
    if (FAILED(hr)) {
        first_.reset();
        helper_.reset();
        if (FAILED(hr = Connect())) return hr;
        if (FAILED(hr = first_->NewPlugin(object.put()))) return helper_ ? helper_->Answer(hr) : hr;
    }
    Bstr name;
    if (FAILED(hr = NewBstr(path, name))) return hr;
    VARIANT_BOOL ok = VARIANT_FALSE;
    // Loading runs the plug-in's own code over there: it may end the helper too.
    if (hr = object->Load(name.get(), &ok); FAILED(hr)) return helper_ ? helper_->Answer(hr) : hr;
    loaded = ok != VARIANT_FALSE;
    out = std::move(object);
    helper = helper_;
    return S_OK;
}

DWORD RemoteSusiePlugin::Load(const std::wstring& path) noexcept {
    Unload();
    try {
        path_ = path;
    } catch (...) {
        path_.clear();  // only the words of a failure would miss it
    }
    ComPtr<ISusiePlugin> object;
    bool loaded = false;
    loadFailure_ = session_->NewObject(path, object, loaded, helper_);
    if (FAILED(loadFailure_)) {
        // A helper that ended while the plug-in loaded says nothing against the file being a
        // plug-in... but nothing for it either: the file is no plug-in now.
        if (loadFailure_ == E_PLUGIN_CRASHED || loadFailure_ == E_PLUGIN_TIMEOUT) loadFailure_ = S_OK;
        return 0;
    }
    // Loaded over there even when it is no plug-in, as a library that fails its probe stays
    // loaded here; whoever asked unloads it.
    object_ = std::move(object);
    if (FAILED(object_.query(remote_))) remote_.reset();
    return loaded ? Kind() : 0;
}

void RemoteSusiePlugin::Unload() noexcept {
    remote_.reset();
    object_.reset();
    helper_.reset();
}

DWORD RemoteSusiePlugin::Kind() const noexcept {
    if (!remote_ || !IsLoaded()) return 0;
    // Asked again every time, as a kind is: the first four characters of information 0.
    Bstr text;
    VARIANT_BOOL answered = VARIANT_FALSE;
    if (FAILED(remote_->PluginInfoText(0, SPI::KIND_BUFFER_SIZE, text.put(), &answered)) || text.length() < 4) return 0;
    DWORD kind = 0;
    for (int i = 3; i >= 0; --i) {
        const wchar_t c = text.get()[i];
        if (c == 0 || c > 0x7F) return 0;  // no kind has other characters
        kind = (kind << 8) | static_cast<BYTE>(c);
    }
    return kind;
}

HRESULT RemoteSusiePlugin::IsSupported(const SPI::PluginName& name, const void* header) noexcept {
    if (!remote_ || !IsLoaded()) return S_FALSE;
    Bstr text;  // null for no name
    if (!name.IsNull() && FAILED(NewBstr(name.Text(), text))) return S_FALSE;
    Variant shown;
    if (FAILED(NewByteArray(header, SPI::HEADER_SIZE, *shown.get()))) return S_FALSE;
    VARIANT_BOOL accepted = VARIANT_FALSE;
    const HRESULT hr = remote_->IsSupported(text.get(), *shown.get(), &accepted);
    if (hr == E_INVALIDARG) return hr;  // its narrow entry could not be given the name
    return SUCCEEDED(hr) && accepted != VARIANT_FALSE ? S_OK : S_FALSE;
}

bool RemoteSusiePlugin::InfoText(int infoNo, int size, std::wstring& text) {
    if (!remote_ || !IsLoaded()) return false;
    Bstr result;
    VARIANT_BOOL answered = VARIANT_FALSE;
    if (FAILED(remote_->PluginInfoText(infoNo, size, result.put(), &answered))) return false;
    text.assign(result.get() ? result.get() : L"", result.length());
    return answered != VARIANT_FALSE;
}

HRESULT RemoteSusiePlugin::SourceOverThere(SPI::Source& source, VARIANT& src, Bstr& name, LONG& length) {
    // The source as the client gave it: a file's name with the offset, or the byte array
    // (still accessed here; the call copies it) with its length.
    VariantInit(&src);
    if (source.Flag() == SPI::FLAG_FILE) {
        if (HRESULT hr = NewBstr(source.Name().Text(), name); FAILED(hr)) return hr;
        V_VT(&src) = VT_BSTR;
        V_BSTR(&src) = name.get();
    } else if (source.Array()) {
        V_VT(&src) = VT_ARRAY | VT_UI1;
        V_ARRAY(&src) = source.Array();
    } else {
        return E_ADDRESS_ACROSS_PROCESSES;  // an address means nothing over there
    }
    // A long there; here it came from one, or from an array's size.
    if (source.Len() < LONG_MIN || source.Len() > LONG_MAX) return E_EXCEEDS_32_BITS;
    length = static_cast<LONG>(source.Len());
    return S_OK;
}

HRESULT RemoteSusiePlugin::Usable() const noexcept {
    if (!object_) return E_FAIL;
    return helper_ && helper_->Ended() ? helper_->EndCode() : S_OK;
}

template <class Call>
HRESULT RemoteSusiePlugin::CallWithSource(SPI::Source& source, Call&& call) {
    if (HRESULT hr = Usable(); FAILED(hr)) {
        NoteRemoteFailure(hr, path_, SPI::SourceWords(source), helper_.get());
        return hr;
    }
    VARIANT src;
    Bstr name;
    LONG length = 0;
    if (HRESULT hr = SourceOverThere(source, src, name, length); FAILED(hr)) return hr;
    SetErrorInfo(0, nullptr);  // what the call leaves is its own
    HRESULT hr = call(src, length);
    if (helper_) hr = helper_->Answer(hr);
    if (FAILED(hr)) NoteRemoteFailure(hr, path_, SPI::SourceWords(source), helper_.get());
    return hr;
}

HRESULT RemoteSusiePlugin::ReadPictureProperties(SPI::Source& source, SPI::PictureProperties& out) {
    return CallWithSource(source, [&](const VARIANT& src, LONG length) {
        ComPtr<ISusiePlugin2> plugin;
        ComPtr<IDispatch> facts;
        HRESULT hr = object_->QueryInterface(IID_ISusiePlugin2, plugin.put_void());
        if (SUCCEEDED(hr)) hr = plugin->GetPictureProperties(src, length, facts.put());
        if (SUCCEEDED(hr)) hr = CopyPictureProperties(facts.get(), out);
        return hr;
    });
}

HRESULT RemoteSusiePlugin::WritePicture(const std::wstring& destPath, std::span<const BYTE> info,
                                        std::span<const BYTE> pixels) {
    if (HRESULT hr = Usable(); FAILED(hr)) return hr;
    // The blocks go over as byte arrays, which the plug-in object there takes as blocks.
    Variant blocks[2];
    if (HRESULT hr = NewByteArray(info.data(), info.size(), *blocks[0].get()); FAILED(hr)) return hr;
    if (HRESULT hr = NewByteArray(pixels.data(), pixels.size(), *blocks[1].get()); FAILED(hr)) return hr;
    SetErrorInfo(0, nullptr);  // what the call leaves is its own
    const HRESULT hr = WriteOverThere(object_.get(), helper_.get(), destPath, *blocks[0].get(), *blocks[1].get());
    if (FAILED(hr) && hr != SPI::E_TYPE_NOT_WRITTEN) NoteRemoteFailure(hr, path_, Quoted(destPath), helper_.get());
    return hr;
}

HRESULT RemoteSusiePlugin::Decode(SPI::Source& source, SPI::DecodedPicture& out) {
    return CallWithSource(source, [&](const VARIANT& src, LONG length) {
        if (helper_) {
            SharedLocalBlock info, pixels;
            const HRESULT hr = DecodeShared(object_.get(), *helper_, src, length, false, info, pixels);
            if (SUCCEEDED(hr)) out.Adopt(std::move(info), std::move(pixels));
            return hr;
        }
        // The surrogate's blocks, whose process this one has no handle of: their bytes.
        ComPtr<IDispatch> infoBlock, pixelBlock;
        std::vector<BYTE> info, pixels;
        HRESULT hr = object_->GetPicture(src, length, infoBlock.put(), pixelBlock.put());
        if (SUCCEEDED(hr)) hr = BlockBytes(infoBlock.get(), info);
        if (SUCCEEDED(hr)) hr = BlockBytes(pixelBlock.get(), pixels);
        return SUCCEEDED(hr) ? out.Adopt(info, pixels) : hr;
    });
}

HRESULT RemoteSusiePlugin::NewObject(const std::wstring& path, REFIID riid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<ISusiePlugin> object;
    std::shared_ptr<HelperProcess> helper;
    bool loaded = false;
    // Handed out whether the file loads over there or not, as a copy that fails to load
    // again is here.
    if (HRESULT hr = session_->NewObject(path, object, loaded, helper); FAILED(hr)) return hr;
    if (!helper) return object->QueryInterface(riid, out);
    return HandOut(Make<RemotePluginObject>(std::move(object), std::move(helper), path), riid, out);
}

std::unique_ptr<SPI::RemotePlugins> NewRemotePlugins(std::shared_ptr<RemoteSessions> sessions) {
    return std::make_unique<RemoteSusiePlugins>(std::move(sessions), false);
}

std::unique_ptr<SPI::RemotePlugins> NewForeignPlugins(LONG timeout, LONG codePage) {
    auto sessions = std::make_shared<RemoteSessions>();
    sessions->SetCallTimeout(timeout);
    sessions->SetCodePage(codePage);
    return std::make_unique<RemoteSusiePlugins>(std::move(sessions), true);
}

}  // namespace Tamrix
