#include "remote_susie_plugin.h"

#include <climits>
#include <cstring>

#include "../common/automation_types.h"
#include "../common/value_width.h"
#include "../plugin/spi_interface.h"

namespace Tamrix {
namespace {

// How the 32-bit server's plug-in objects are asked for: out of process, as a 32-bit server.
constexpr DWORD REMOTE_CONTEXT = CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER;

// A byte array of `size` bytes copied from `data`.
HRESULT ByteArray(const void* data, size_t size, UniqueSafeArray& out) noexcept {
    SAFEARRAYBOUND bound{static_cast<ULONG>(size), 0};
    UniqueSafeArray array(SafeArrayCreate(VT_UI1, 1, &bound));
    if (!array.get()) return E_OUTOFMEMORY;
    SafeArrayDataAccess access;
    if (HRESULT hr = access.access(array.get()); FAILED(hr)) return hr;
    if (size > 0) std::memcpy(access.data(), data, size);
    access.unaccess();
    out.reset(array.release());
    return S_OK;
}

// The bytes of a block handed back by the other server (an SpiLocalHeap there), read with
// GetBytes: none for a null block or one that is empty.
HRESULT BlockBytes(IDispatch* block, std::vector<BYTE>& out) {
    out.clear();
    if (!block) return S_OK;
    ComPtr<ISpiLocalHeap> heap;
    if (HRESULT hr = block->QueryInterface(IID_ISpiLocalHeap, heap.put_void()); FAILED(hr)) return hr;
    Variant bytes;
    if (HRESULT hr = heap->GetBytes(bytes.get()); FAILED(hr)) return hr;
    if (V_VT(bytes.get()) != (VT_ARRAY | VT_UI1) || !V_ARRAY(bytes.get())) return E_FAIL;
    const SAFEARRAY* array = V_ARRAY(bytes.get());
    const size_t size = array->cDims == 1 ? array->rgsabound[0].cElements : 0;
    SafeArrayDataAccess access;
    if (HRESULT hr = access.access(V_ARRAY(bytes.get())); FAILED(hr)) return hr;
    const BYTE* data = static_cast<const BYTE*>(access.data());
    out.assign(data, data + size);
    return S_OK;
}

HRESULT NewBstr(const std::wstring& text, Bstr& out) noexcept {
    out.reset(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    return out.get() ? S_OK : E_OUTOFMEMORY;
}

class RemoteSusiePlugins final : public SPI::RemotePlugins {
public:
    std::unique_ptr<SPI::RemotePlugin> Bind() const override { return std::make_unique<RemoteSusiePlugin>(session_); }

private:
    std::shared_ptr<RemoteSession> session_ = std::make_shared<RemoteSession>();
};

}  // namespace

HRESULT RemoteSession::NewObject(const std::wstring& path, ComPtr<ISusiePlugin>& out, bool& loaded) noexcept {
    loaded = false;
    ComPtr<ISusiePlugin> object;
    // A surrogate that has gone (ended by a failing plug-in, say) is started again.
    if (first_ && FAILED(first_->NewPlugin(object.put()))) first_.reset();
    if (!first_) {
        if (HRESULT hr = CoCreateInstance(CLSID_SusiePlugin, nullptr, REMOTE_CONTEXT, IID_ISusiePlugin,
                                          object.put_void());
            FAILED(hr))
            return hr;
        if (HRESULT hr = object.query(first_); FAILED(hr)) return hr;
    }
    Bstr name;
    if (HRESULT hr = NewBstr(path, name); FAILED(hr)) return hr;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (HRESULT hr = object->Load(name.get(), &ok); FAILED(hr)) return hr;
    loaded = ok != VARIANT_FALSE;
    out = std::move(object);
    return S_OK;
}

DWORD RemoteSusiePlugin::Load(const std::wstring& path) noexcept {
    Unload();
    ComPtr<ISusiePlugin> object;
    bool loaded = false;
    if (HRESULT hr = session_->NewObject(path, object, loaded); FAILED(hr)) {
        loadFailure_ = hr;
        return 0;
    }
    loadFailure_ = E_FAIL;
    // Loaded over there even when it is no plug-in, as a library that fails its probe stays
    // loaded here; whoever asked unloads it.
    object_ = std::move(object);
    if (FAILED(object_.query(remote_))) remote_.reset();
    return loaded ? Kind() : 0;
}

void RemoteSusiePlugin::Unload() noexcept {
    remote_.reset();
    object_.reset();
}

DWORD RemoteSusiePlugin::Kind() const noexcept {
    if (!remote_) return 0;
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
    if (!remote_) return S_FALSE;
    Bstr text;  // null for no name
    if (!name.IsNull() && FAILED(NewBstr(name.Text(), text))) return S_FALSE;
    UniqueSafeArray bytes;
    if (FAILED(ByteArray(header, SPI::HEADER_SIZE, bytes))) return S_FALSE;
    VARIANT shown;
    VariantInit(&shown);
    V_VT(&shown) = VT_ARRAY | VT_UI1;
    V_ARRAY(&shown) = bytes.get();
    VARIANT_BOOL accepted = VARIANT_FALSE;
    const HRESULT hr = remote_->IsSupported(text.get(), shown, &accepted);
    if (hr == E_INVALIDARG) return hr;  // its narrow entry could not be given the name
    return SUCCEEDED(hr) && accepted != VARIANT_FALSE ? S_OK : S_FALSE;
}

bool RemoteSusiePlugin::InfoText(int infoNo, int size, std::wstring& text) {
    if (!remote_) return false;
    Bstr result;
    VARIANT_BOOL answered = VARIANT_FALSE;
    if (FAILED(remote_->PluginInfoText(infoNo, size, result.put(), &answered))) return false;
    text.assign(result.get() ? result.get() : L"", result.length());
    return answered != VARIANT_FALSE;
}

HRESULT RemoteSusiePlugin::Decode(SPI::Source& source, std::vector<BYTE>& info, std::vector<BYTE>& pixels) {
    info.clear();
    pixels.clear();
    if (!object_) return E_FAIL;
    // The source as the client gave it: a file's name with the offset, or the byte array
    // (still accessed here; the call copies it) with its length.
    VARIANT src;
    VariantInit(&src);
    Bstr name;
    if (source.Flag() == SPI::FLAG_FILE) {
        if (HRESULT hr = NewBstr(source.Name().Text(), name); FAILED(hr)) return hr;
        V_VT(&src) = VT_BSTR;
        V_BSTR(&src) = name.get();
    } else if (source.Array()) {
        V_VT(&src) = VT_ARRAY | VT_UI1;
        V_ARRAY(&src) = source.Array();
    } else {
        return E_INVALIDARG;  // an address means nothing over there
    }
    // A long there; here it came from one, or from an array's size.
    if (source.Len() < LONG_MIN || source.Len() > LONG_MAX) return E_EXCEEDS_32_BITS;
    const LONG length = static_cast<LONG>(source.Len());
    ComPtr<IDispatch> infoBlock, pixelBlock;
    if (HRESULT hr = object_->GetPicture(src, length, infoBlock.put(), pixelBlock.put()); FAILED(hr)) return hr;
    if (HRESULT hr = BlockBytes(infoBlock.get(), info); FAILED(hr)) return hr;
    return BlockBytes(pixelBlock.get(), pixels);
}

HRESULT RemoteSusiePlugin::NewObject(const std::wstring& path, REFIID riid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<ISusiePlugin> object;
    bool loaded = false;
    // Handed out whether the file loads over there or not, as a copy that fails to load
    // again is here.
    if (HRESULT hr = session_->NewObject(path, object, loaded); FAILED(hr)) return hr;
    return object->QueryInterface(riid, out);
}

std::unique_ptr<SPI::RemotePlugins> NewRemotePlugins() {
    if constexpr (sizeof(void*) == 8) return std::make_unique<RemoteSusiePlugins>();
    return nullptr;
}

}  // namespace Tamrix
