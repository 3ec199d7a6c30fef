#include "tamrix_host.h"


#include <algorithm>
#include <optional>
#include <string>

#include "../common/automation_types.h"
#include "../common/boundary.h"
#include "../common/failure_note.h"
#include "../common/handles.h"
#include "../common/text.h"
#include "../plugin/failure_words.h"
#include "../plugin/names.h"
#include "../plugin/source.h"
#include "../results/picture_properties.h"
#include "conversion_job.h"
#include "picture_object.h"
#include "plugin_enumerator.h"
#include "remote_susie_plugin.h"

namespace Tamrix {

namespace {

// A file name as the plug-ins get it: a null BSTR stays a null name.
SPI::PluginName NameOf(BSTR name) {
    return name ? SPI::PluginName(SPI::TextOf(name)) : SPI::PluginName();
}

// The answer of a query that no plug-in took, saying why: E_INVALIDARG when a plug-in could
// not even be given the name, else E_FAIL; `unread` is why the file could not be opened.
HRESULT NoneTook(const SPI::PluginName& name, const std::wstring& what, DWORD unread = ERROR_SUCCESS) {
    if (name.Refused()) {
        SPI::NoteNameRefusedInWalk(Quoted(name.Text()));
        return E_INVALIDARG;
    }
    if (unread != ERROR_SUCCESS)
        SPI::NoteUnreadable(what, unread);
    else
        NoteFailure(L"no plug-in reads " + what);
    return E_FAIL;
}

}  // namespace

TamrixHost::TamrixHost()
    : sessions_(std::make_shared<RemoteSessions>()), list_(NewRemotePlugins(sessions_)),
      codePage_(std::make_shared<volatile LONG>(0)) {
    list_.FollowCodePage(codePage_);
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    workers_ = static_cast<LONG>(std::clamp<DWORD>(system.dwNumberOfProcessors, 1, MAX_WORKERS));
}

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
    case 7: {
        // Read with no argument, set with one.
        if (SUCCEEDED(call.Expect(1))) {
            if (FAILED(hr = call.Long(0, &number))) return hr;
            return call.Return(put_CallTimeout(number));
        }
        if (FAILED(hr = call.Expect(0))) return hr;
        LONG out = 0;
        hr = get_CallTimeout(&out);
        return call.ReturnLong(hr, out);
    }
    case 8: {
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.Unconverted(1, &value)) ||
            FAILED(hr = call.Long(0, &number)))
            return hr;
        IDispatch* out = nullptr;
        hr = GetPictureProperties(value, number, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 9:
        if (FAILED(hr = call.Expect(3)) || FAILED(hr = call.Unconverted(2, &value)) ||
            FAILED(hr = call.Long(1, &number)) || FAILED(hr = call.String(0, &text)))
            return hr;
        return call.Return(ConvertFile(value, number, text));
    case 10: {
        if (FAILED(hr = call.Expect(1)) || FAILED(hr = call.String(0, &text))) return hr;
        VARIANT out;
        VariantInit(&out);
        hr = CheckPlugin(text, &out);
        return call.ReturnVariant(hr, &out);
    }
    case 11: {
        BSTR type = nullptr;
        if (FAILED(hr = call.Expect(3)) || FAILED(hr = call.Unconverted(2, &value)) ||
            FAILED(hr = call.String(1, &text)) || FAILED(hr = call.String(0, &type)))
            return hr;
        IDispatch* out = nullptr;
        hr = ConvertFiles(value, text, type, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 12: {
        if (SUCCEEDED(call.Expect(1))) {
            if (FAILED(hr = call.Long(0, &number))) return hr;
            return call.Return(put_Workers(number));
        }
        if (FAILED(hr = call.Expect(0))) return hr;
        LONG out = 0;
        hr = get_Workers(&out);
        return call.ReturnLong(hr, out);
    }
    case 13: {
        if (FAILED(hr = call.Expect(2)) || FAILED(hr = call.Unconverted(1, &value)) ||
            FAILED(hr = call.Long(0, &number)))
            return hr;
        IDispatch* out = nullptr;
        hr = GetArchiveInfo(value, number, &out);
        return call.ReturnDispatch(hr, out);
    }
    case 14: {
        if (SUCCEEDED(call.Expect(1))) {
            if (FAILED(hr = call.Long(0, &number))) return hr;
            return call.Return(put_CodePage(number));
        }
        if (FAILED(hr = call.Expect(0))) return hr;
        LONG out = 0;
        hr = get_CodePage(&out);
        return call.ReturnLong(hr, out);
    }
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

STDMETHODIMP TamrixHost::get__NewEnum(IUnknown** ppUnk) {
    return Boundary([&] {
        if (!ppUnk) return E_POINTER;
        *ppUnk = nullptr;
        // The enumerator holds the manager, whose list it walks.
        ComPtr<IUnknown> self(static_cast<ITamrixHost*>(this));
        const HRESULT hr =
            HandOut(Make<PluginEnumerator>(std::move(self), list_), IID_IUnknown, reinterpret_cast<void**>(ppUnk));
        const SPI::PluginList::Walk walk(list_);
        for (SPI::SpiInterface& entry : list_.Plugins()) SPI::LoadOnDemand(entry);
        return hr;
    });
}

STDMETHODIMP TamrixHost::get_Item(LONG Index, IDispatch** pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        if (Index < 1 || static_cast<ULONG>(Index) > list_.Plugins().size()) return E_INVALIDARG;
        const SPI::PluginList::Walk walk(list_);
        SPI::SpiInterface& entry = list_.Plugins()[static_cast<size_t>(Index) - 1];
        if (!SPI::LoadOnDemand(entry)) {
            // A plug-in that no process could be had for says why.
            const SPI::RemotePlugin* remote = entry.Remote();
            return remote && FAILED(remote->LoadFailure()) ? remote->LoadFailure() : E_FAIL;
        }
        return NewPluginObject(entry, IID_IDispatch, reinterpret_cast<void**>(pVal));
    });
}

STDMETHODIMP TamrixHost::get_Count(LONG* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = static_cast<LONG>(list_.Plugins().size());
        return S_OK;
    });
}

STDMETHODIMP TamrixHost::Init(LONG loadFlags, BSTR searchPath) {
    return Boundary([&] {
        // A null path names no folder; an empty one names the current drive's root.
        std::optional<std::wstring> folder;
        if (searchPath) folder = SPI::TextOf(searchPath);
        return list_.LoadPlugins(loadFlags == 0 ? SPI::SPI_DEFAULT_FLAGS : loadFlags, folder);
    });
}

STDMETHODIMP TamrixHost::QuerySpiFromFile(BSTR FileName, LONG offset, IDispatch** ppSpi) {
    return Boundary([&] {
        if (!ppSpi) return E_POINTER;
        *ppSpi = nullptr;
        SPI::PluginName name = NameOf(FileName);
        // A file that cannot be opened reads as zeros; the plug-ins still get its name.
        UniqueFile file;
        DWORD unread = ERROR_SUCCESS;
        if (FileName) {
            file.reset(CreateFileW(SPI::SystemPath(name.Text()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
            if (!file) unread = GetLastError();
        }
        const SPI::SpiInterface* chosen = list_.FindSupportingFile(name, file.get(), offset);
        // Nobody took it; E_INVALIDARG when a plug-in could not even be given the name.
        if (!chosen) return NoneTook(name, Quoted(name.Text()), unread);
        return NewPluginObject(*chosen, IID_IDispatch, reinterpret_cast<void**>(ppSpi));
    });
}

STDMETHODIMP TamrixHost::QuerySpi(BSTR FileName, VARIANT Buffer, IDispatch** ppSpi) {
    return Boundary([&] {
        if (!ppSpi) return E_POINTER;
        *ppSpi = nullptr;
        SPI::Source source;
        ThrowIfFailed(source.ConvertMemory(Buffer));
        SPI::PluginName name = NameOf(FileName);
        const SPI::SpiInterface* chosen = list_.FindSupportingMemory(name, source);
        source.Release();
        if (!chosen) return NoneTook(name, SPI::SourceWords(source));
        return NewPluginObject(*chosen, IID_IDispatch, reinterpret_cast<void**>(ppSpi));
    });
}

STDMETHODIMP TamrixHost::GetPicture(VARIANT src, LONG offsetOrLength, IDispatch** ppPicture) {
    return Boundary([&] {
        if (!ppPicture) return E_POINTER;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        SPI::DecodedPicture picture;
        ThrowIfFailed(list_.DecodePicture(source, picture));
        return NewPictureObject(picture, ppPicture);
    });
}

STDMETHODIMP TamrixHost::GetFileFilter(LONG type, BSTR* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        const SPI::FileFilter filter = list_.CollectFileFilter(type);
        // Allocated once at its final length; the text holds NULs, so only its length tells
        // where it ends.
        BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(filter.Length()));
        if (!text) return E_OUTOFMEMORY;
        filter.WriteTo(text);
        *pVal = text;
        return S_OK;
    });
}

STDMETHODIMP TamrixHost::GetPictureProperties(VARIANT src, LONG offsetOrLength, IDispatch** ppProperties) {
    return Boundary([&] {
        if (!ppProperties) return E_POINTER;
        *ppProperties = nullptr;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        SPI::PictureProperties facts;
        ThrowIfFailed(list_.ReadPictureProperties(source, facts));
        return PictureProperties::Create(std::move(facts), ppProperties);
    });
}

STDMETHODIMP TamrixHost::ConvertFile(VARIANT src, LONG offsetOrLength, BSTR destPath) {
    return Boundary([&] {
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        SPI::DecodedPicture picture;
        ThrowIfFailed(list_.DecodePicture(source, picture));
        return list_.WritePicture(SPI::TextOf(destPath), picture);
    });
}

STDMETHODIMP TamrixHost::CheckPlugin(BSTR FileName, VARIANT* pResult) {
    return Boundary([&] {
        if (!pResult) return E_POINTER;
        VariantInit(pResult);
        if (SysStringLen(FileName) == 0) return E_INVALIDARG;
        const SPI::PluginCheck check = list_.Check(SPI::TextOf(FileName));
        // An array of two variants: the reason as a number, the detail as text.
        SAFEARRAYBOUND bound{2, 0};
        UniqueSafeArray array(SafeArrayCreate(VT_VARIANT, 1, &bound));
        if (!array.get()) return E_OUTOFMEMORY;
        Variant code, detail;
        V_VT(code.get()) = VT_I4;
        V_I4(code.get()) = check.code;
        V_VT(detail.get()) = VT_BSTR;
        V_BSTR(detail.get()) = SysAllocStringLen(check.detail.data(), static_cast<UINT>(check.detail.size()));
        if (!V_BSTR(detail.get())) return E_OUTOFMEMORY;
        LONG index = 0;
        ThrowIfFailed(SafeArrayPutElement(array.get(), &index, code.get()));
        index = 1;
        ThrowIfFailed(SafeArrayPutElement(array.get(), &index, detail.get()));
        V_VT(pResult) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(pResult) = array.release();
        return S_OK;
    });
}

STDMETHODIMP TamrixHost::ConvertFiles(VARIANT sources, BSTR destFolder, BSTR destType, IDispatch** ppJob) {
    return Boundary([&] {
        if (!ppJob) return E_POINTER;
        *ppJob = nullptr;
        ConversionPlan plan;
        ThrowIfFailed(plan.SetFiles(sources, destFolder, destType));
        // The workers load the files themselves, from other current folders.
        for (const SPI::SpiInterface& entry : list_.Plugins()) plan.plugins.push_back(SPI::FullPathOf(entry.WidePath()));
        plan.workers = workers_;
        plan.callTimeout = callTimeout_;
        plan.codePage = *codePage_;
        return ConversionJob::Start(std::move(plan), ppJob);
    });
}

STDMETHODIMP TamrixHost::get_Workers(LONG* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = workers_;
        return S_OK;
    });
}

STDMETHODIMP TamrixHost::put_Workers(LONG newVal) {
    return Boundary([&] {
        if (newVal < 1 || newVal > MAX_WORKERS) return E_INVALIDARG;
        workers_ = newVal;
        return S_OK;
    });
}

STDMETHODIMP TamrixHost::GetArchiveInfo(VARIANT src, LONG offsetOrLength, IDispatch** ppCollection) {
    return Boundary([&] {
        if (!ppCollection) return E_POINTER;
        *ppCollection = nullptr;
        SPI::Source source;
        ThrowIfFailed(source.Convert(src, offsetOrLength));
        ComPtr<IDispatch> listed;
        // Each accepting archive plug-in lists through a plug-in object of its own, which the
        // listing keeps as its Plugin: extraction goes to the plug-in that listed.
        ThrowIfFailed(list_.ListArchive(source, [&](SPI::SpiInterface& entry) {
            ComPtr<ISusiePlugin> plugin;
            if (HRESULT hr = NewPluginObject(entry, IID_ISusiePlugin, plugin.put_void()); FAILED(hr)) return hr;
            ComPtr<IDispatch> collection;
            if (HRESULT hr = plugin->GetArchiveInfo(src, offsetOrLength, collection.put()); FAILED(hr)) return hr;
            if (!collection) {
                NoteFailure(FileNameOf(entry.WidePath()) + L" answered success but handed back no listing");
                return E_FAIL;
            }
            listed = std::move(collection);
            return S_OK;
        }));
        *ppCollection = listed.detach();
        return S_OK;
    });
}

STDMETHODIMP TamrixHost::get_CallTimeout(LONG* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = callTimeout_;
        return S_OK;
    });
}

STDMETHODIMP TamrixHost::put_CallTimeout(LONG newVal) {
    return Boundary([&] {
        if (newVal < 0) return E_INVALIDARG;
        callTimeout_ = newVal;
        sessions_->SetCallTimeout(newVal);
        return S_OK;
    });
}

STDMETHODIMP TamrixHost::get_CodePage(LONG* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = *codePage_;
        return S_OK;
    });
}

STDMETHODIMP TamrixHost::put_CodePage(LONG newVal) {
    return Boundary([&] {
        if (!IsSettableCodePage(newVal)) {
            NoteFailure(L"the system has no code page " + std::to_wstring(newVal));
            return E_INVALIDARG;
        }
        *codePage_ = newVal;
        sessions_->SetCodePage(newVal);
        return S_OK;
    });
}

}  // namespace Tamrix
