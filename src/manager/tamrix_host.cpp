#include "tamrix_host.h"

#include <olectl.h>

#include <cstring>
#include <optional>
#include <string>

#include "../common/automation_types.h"
#include "../common/handles.h"
#include "../common/text.h"
#include "../plugin/names.h"
#include "../plugin/source.h"
#include "plugin_enumerator.h"
#include "surrogate_plugin.h"

namespace Tamrix {

namespace {

// A file name as the plug-ins get it: a null BSTR stays a null name.
SPI::PluginName NameOf(BSTR name) {
    return name ? SPI::PluginName(SPI::TextOf(name)) : SPI::PluginName();
}

}  // namespace

TamrixHost::TamrixHost() : SPI::TamrixHost(NewSurrogatePlugins()) {}

// The name table's Invoke rows: exact argument counts, no declared defaults.
HRESULT TamrixHost::InvokeMember(DISPID id, DispatchCall& call) {
    HRESULT hr = S_OK;
    LONG number = 0;
    BSTR text = nullptr;
    VARIANT value;
    switch (id) {
    case DISPID_NEWENUM: {
        if (FAILED(hr = call.Expect(0))) return hr;
        IUnknown* out = nullptr;
        hr = get__NewEnum(&out);
        return call.ReturnUnknown(hr, out);
    }
    case 0: {
        if (FAILED(hr = call.Expect(1)) || FAILED(hr = call.Long(0, &number))) return hr;
        IDispatch* out = nullptr;
        hr = get_Item(number, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 1: {
        if (FAILED(hr = call.Expect(0))) return hr;
        LONG out = 0;
        hr = get_Count(&out);
        return call.ReturnLong(hr, out);
    }
    case 2:
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.Long(1, &number)) ||
            FAILED(hr = call.String(0, &text)))
            return hr;
        return call.Return(Init(number, text));
    case 3: {
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.String(1, &text)) ||
            FAILED(hr = call.Long(0, &number)))
            return hr;
        IDispatch* out = nullptr;
        hr = QuerySpiFromFile(text, number, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 4: {
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.String(1, &text)) ||
            FAILED(hr = call.Unconverted(0, &value)))
            return hr;
        IDispatch* out = nullptr;
        hr = QuerySpi(text, value, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 5: {
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.Unconverted(1, &value)) ||
            FAILED(hr = call.Long(0, &number)))
            return hr;
        IDispatch* out = nullptr;
        hr = GetPicture(value, number, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 6: {
        if (FAILED(hr = call.Expect(1)) || FAILED(hr = call.Long(0, &number))) return hr;
        BSTR out = nullptr;
        hr = GetFileFilter(number, &out);
        return call.ReturnString(hr, out);
    }
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

STDMETHODIMP TamrixHost::get__NewEnum(IUnknown** ppUnk) {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    // The enumerator holds the manager, whose list it walks.
    ComPtr<IUnknown> self(static_cast<ITamrixHost*>(this));
    HRESULT hr = HandOut(Make<PluginEnumerator>(std::move(self), *this), IID_IUnknown, reinterpret_cast<void**>(ppUnk));
    for (SPI::SpiInterface& entry : Plugins()) SPI::LoadOnDemand(entry);
    return hr;
}

STDMETHODIMP TamrixHost::get_Item(LONG Index, IDispatch** pVal) {
    if (!pVal) return E_POINTER;
    if (Index < 1 || static_cast<ULONG>(Index) > Plugins().size()) return E_INVALIDARG;
    SPI::SpiInterface& entry = Plugins()[static_cast<size_t>(Index) - 1];
    if (!SPI::LoadOnDemand(entry)) return E_FAIL;
    return NewPluginObject(entry, IID_IDispatch, reinterpret_cast<void**>(pVal));
}

STDMETHODIMP TamrixHost::get_Count(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(Plugins().size());
    return S_OK;
}

STDMETHODIMP TamrixHost::Init(LONG loadFlags, BSTR searchPath) {
    try {
        // A null path names no folder; an empty one names the current drive's root.
        std::optional<std::wstring> folder;
        if (searchPath) folder = SPI::TextOf(searchPath);
        LoadPlugins(loadFlags == 0 ? SPI::SPI_DEFAULT_FLAGS : loadFlags, folder);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP TamrixHost::QuerySpiFromFile(BSTR FileName, LONG offset, IDispatch** ppSpi) {
    if (!ppSpi) return E_POINTER;
    *ppSpi = nullptr;
    try {
        SPI::PluginName name = NameOf(FileName);
        // A file that cannot be opened reads as zeros; the plug-ins still get its name.
        SPI::SpiInterface* chosen = nullptr;
        {
            UniqueFile file;
            if (FileName) {
                file.reset(CreateFileW(SPI::SystemPath(name.Text()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
            }
            chosen = FindSupportingFile(name, file.get(), offset);
        }
        // Nobody took it; E_INVALIDARG when a plug-in could not even be given the name.
        if (!chosen) return name.Refused() ? E_INVALIDARG : E_FAIL;
        return NewPluginObject(*chosen, IID_IDispatch, reinterpret_cast<void**>(ppSpi));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP TamrixHost::QuerySpi(BSTR FileName, VARIANT Buffer, IDispatch** ppSpi) {
    if (!ppSpi) return E_POINTER;
    *ppSpi = nullptr;
    try {
        SPI::Source source;
        if (HRESULT hr = source.ConvertMemory(Buffer); FAILED(hr)) return hr;
        SPI::PluginName name = NameOf(FileName);
        SPI::SpiInterface* chosen = FindSupportingMemory(name, source);
        source.Release();
        if (!chosen) return name.Refused() ? E_INVALIDARG : E_FAIL;
        return NewPluginObject(*chosen, IID_IDispatch, reinterpret_cast<void**>(ppSpi));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP TamrixHost::GetPicture(VARIANT src, LONG offsetOrLength, IDispatch** ppPicture) {
    if (!ppPicture) return E_POINTER;
    try {
        SPI::Source source;
        if (HRESULT hr = source.Convert(src, offsetOrLength); FAILED(hr)) return hr;
        UniqueHglobal bitmap;
        if (HRESULT hr = ComposePicture(source, bitmap); FAILED(hr)) return hr;
        // The loader reads as many bytes as the file says it holds.
        DWORD fileSize = 0;
        if (const BYTE* file = static_cast<const BYTE*>(GlobalLock(bitmap.get()))) {
            std::memcpy(&fileSize, file + 2, sizeof fileSize);
            GlobalUnlock(bitmap.get());
        } else {
            return E_OUTOFMEMORY;
        }
        ComPtr<IStream> stream;
        if (HRESULT hr = CreateStreamOnHGlobal(bitmap.get(), TRUE, stream.put()); FAILED(hr)) return hr;
        bitmap.release();  // the stream frees it
        IDispatch* picture = nullptr;
        HRESULT hr = OleLoadPicture(stream.get(), static_cast<LONG>(fileSize), TRUE, IID_IPictureDisp,
                                    reinterpret_cast<void**>(&picture));
        *ppPicture = picture;
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP TamrixHost::GetFileFilter(LONG type, BSTR* pVal) {
    if (!pVal) return E_POINTER;
    try {
        const SPI::FileFilter filter = CollectFileFilter(type);
        // Allocated once at its final length; the text holds NULs, so only its length tells
        // where it ends.
        BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(filter.Length()));
        if (!text) return E_OUTOFMEMORY;
        filter.WriteTo(text);
        *pVal = text;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace Tamrix
