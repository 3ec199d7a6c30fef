#include "conversion_job.h"

#include <objbase.h>

#include <algorithm>
#include <new>
#include <set>
#include <string>

#include "../common/automation_types.h"
#include "../common/boundary.h"
#include "../common/failure_note.h"
#include "../common/com_ptr.h"
#include "../common/handles.h"
#include "../common/module_lock.h"
#include "../common/slim_lock.h"
#include "../plugin/names.h"
#include "../plugin/plugin_list.h"
#include "helper_process.h"
#include "remote_plugin_object.h"

namespace Tamrix {

// What a job and its threads share: the plan, which file goes next, and the results.
class ConversionBatch : private module_lock::Holder {
public:
    ConversionBatch(ConversionPlan plan, size_t threads)
        : plan_(std::move(plan)), results_(plan_.sources.size(), E_PENDING), words_(plan_.sources.size()),
          threads_(threads),
          done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    const ConversionPlan& Plan() const noexcept { return plan_; }
    HANDLE DoneEvent() const noexcept { return done_.get(); }

    // The next file nobody has started; false once there is none.
    bool Take(size_t& index) {
        const ExclusiveLock guard(lock_);
        if (next_ >= results_.size()) return false;
        index = next_++;
        return true;
    }
    void Finish(size_t index, HRESULT hr, std::wstring words) {
        const ExclusiveLock guard(lock_);
        Record(index, hr);
        words_[index] = std::move(words);
    }
    // Files nobody has started are not converted.
    void Cancel() {
        const ExclusiveLock guard(lock_);
        for (; next_ < results_.size(); ++next_) {
            Record(next_, HRESULT_FROM_WIN32(ERROR_CANCELLED));
            words_[next_] = L"cancelled before it was converted";
        }
    }
    // The last thread out says the job is done: by then every file has its result.
    void ThreadEnded() {
        const ExclusiveLock guard(lock_);
        if (--threads_ == 0) SetEvent(done_.get());
    }

    LONG Completed() {
        const ExclusiveLock guard(lock_);
        return completed_;
    }
    LONG Failed() {
        const ExclusiveLock guard(lock_);
        return failed_;
    }
    HRESULT Result(size_t index) {
        const ExclusiveLock guard(lock_);
        return results_[index];
    }
    std::wstring Words(size_t index) {
        const ExclusiveLock guard(lock_);
        return words_[index];
    }

private:
    void Record(size_t index, HRESULT hr) noexcept {
        results_[index] = hr;
        ++completed_;
        if (FAILED(hr)) ++failed_;
    }

    const ConversionPlan plan_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    size_t next_ = 0;
    std::vector<HRESULT> results_;
    std::vector<std::wstring> words_;  // what happened to each file that failed
    LONG completed_ = 0;
    LONG failed_ = 0;
    size_t threads_;
    UniqueKernelHandle done_;
};

namespace {

// One worker process of a job, driven by one thread: started when first needed, and again
// after a plug-in has ended it.
class Worker {
public:
    explicit Worker(const ConversionPlan& plan) noexcept : plan_(plan) {}

    // Source `index` of the plan converted: the file's result, and what happened in `words`
    // when it failed.
    HRESULT Convert(size_t index, std::wstring& words) {
        const std::wstring& source = plan_.sources[index];
        // A file that is not there says so itself; no plug-in is asked.
        if (GetFileAttributesW(SPI::SystemPath(source).c_str()) == INVALID_FILE_ATTRIBUTES) {
            const HRESULT missing = HRESULT_FROM_WIN32(GetLastError());
            words = L"cannot read " + Quoted(source) + L": " + ResultText(missing);
            return missing;
        }
        const std::wstring& destination = plan_.destinations[index];
        Bstr src, dest;
        if (FAILED(NewBstr(source, src)) || FAILED(NewBstr(destination, dest))) return E_OUTOFMEMORY;
        LONG from = 0;
        HRESULT failure = S_OK;  // the walk's first failure, and its words
        std::wstring failureWords;
        for (;;) {
            if (!remote_ || helper_->Ended()) {
                if (HRESULT hr = Start(); FAILED(hr)) {
                    words = L"no worker process could be started: " + ResultText(hr);
                    return hr;
                }
            }
            helper_->ForgetAsking();
            LONG next = -1, result = E_FAIL;
            Bstr said;
            HRESULT hr = remote_->ConvertThrough(src.get(), dest.get(), from, failure, &next, said.put(), &result);
            if (SUCCEEDED(hr)) {
                const std::wstring stretchWords(said.get() ? said.get() : L"", said.length());
                if (next < 0) {
                    if (FAILED(result)) words = failureWords.empty() ? stretchWords : failureWords;
                    return result;
                }
                if (SUCCEEDED(failure)) {
                    failure = result;
                    failureWords = stretchWords;
                }
                from = next;
                continue;
            }
            hr = helper_->Answer(hr);
            const LONG step = helper_->Asking();
            if ((hr != E_PLUGIN_CRASHED && hr != E_PLUGIN_TIMEOUT) || step < 0) {
                words = L"the worker process failed: " + ResultText(hr);
                return hr;
            }
            // A plug-in ended the worker: the walk goes on past it in a new one, that plug-in
            // having declined (ended while asked) or failed with the end's code (while decoding),
            // as a walk over isolated plug-ins takes it.
            if (step % 2 == 1 && SUCCEEDED(failure)) {
                failure = hr;
                const size_t plugin = static_cast<size_t>(step / 2);
                failureWords = EndedWords(hr, plugin < plan_.plugins.size() ? plan_.plugins[plugin] : L"a plug-in",
                                          Quoted(source));
            }
            from = step / 2 + 1;
        }
    }

private:
    HRESULT Start() {
        remote_.reset();
        helper_.reset();
        std::wstring host, server;
        if (!HelperFor(SPI::OWN_MACHINE, host, server)) return REGDB_E_CLASSNOTREG;
        std::shared_ptr<HelperProcess> helper;
        ComPtr<ISusiePluginRemote> first;
        ComPtr<ISusiePluginRemote3> remote;
        UniqueSafeArray plugins;
        HRESULT hr = HelperProcess::Start(host, server, plan_.callTimeout, plan_.codePage, helper, first);
        if (SUCCEEDED(hr)) hr = first.query(remote);
        if (SUCCEEDED(hr)) hr = NewStringArray(plan_.plugins, plugins);
        if (SUCCEEDED(hr)) hr = helper->Answer(remote->UsePlugins(plugins.get()));
        if (FAILED(hr)) return hr;
        helper_ = std::move(helper);
        remote_ = std::move(remote);
        return S_OK;
    }

    const ConversionPlan& plan_;
    std::shared_ptr<HelperProcess> helper_;  // before the proxy, which goes first
    ComPtr<ISusiePluginRemote3> remote_;
};

struct ThreadStart {
    std::shared_ptr<ConversionBatch> batch;
    HMODULE module;  // the thread's own reference on the module it runs in
};

DWORD WINAPI DriveWorker(void* parameter) {
    HMODULE module = nullptr;
    {
        const std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
        module = start->module;
        ConversionBatch& batch = *start->batch;
        // Its own apartment: the worker's proxy is this thread's.
        const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            Worker worker(batch.Plan());
            size_t index = 0;
            while (batch.Take(index)) {
                HRESULT hr = com;
                std::wstring words;
                try {
                    if (SUCCEEDED(com)) hr = worker.Convert(index, words);
                } catch (const std::bad_alloc&) {
                    hr = E_OUTOFMEMORY;
                }
                try {
                    batch.Finish(index, hr, std::move(words));
                } catch (const std::bad_alloc&) {
                    batch.Finish(index, hr, std::wstring());
                }
            }
        }
        if (SUCCEEDED(com)) CoUninitialize();
        batch.ThreadEnded();
    }
    // The module may be unloaded once this thread has let go of it: no code of it runs after.
    FreeLibraryAndExitThread(module, 0);
}

HRESULT StartThread(const std::shared_ptr<ConversionBatch>& batch) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&DriveWorker),
                            &module))
        return HRESULT_FROM_WIN32(GetLastError());
    auto start = std::make_unique<ThreadStart>(ThreadStart{batch, module});
    const HANDLE thread = CreateThread(nullptr, 0, DriveWorker, start.get(), 0, nullptr);
    if (!thread) {
        const DWORD error = GetLastError();
        FreeLibrary(module);
        return HRESULT_FROM_WIN32(error);
    }
    start.release();  // the thread's now
    CloseHandle(thread);
    return S_OK;
}

HRESULT Number(LONG value, LONG* pVal) noexcept {
    if (!pVal) return E_POINTER;
    *pVal = value;
    return S_OK;
}

// One name of a sources array: a non-empty string.
HRESULT AddName(const VARIANT& item, std::vector<std::wstring>& names) {
    const VARIANT* v = V_VT(&item) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(&item) : &item;
    BSTR text = V_VT(v) == VT_BSTR ? V_BSTR(v) : V_VT(v) == (VT_BYREF | VT_BSTR) ? *V_BSTRREF(v) : nullptr;
    if (SysStringLen(text) == 0) return E_INVALIDARG;
    names.push_back(SPI::TextOf(text));
    return S_OK;
}

// The property `name` of a script object.
HRESULT PropertyOf(IDispatch* object, const std::wstring& name, Variant& value) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
    DISPID id = DISPID_UNKNOWN;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)) ||
        FAILED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value.get(), nullptr,
                              nullptr)))
        return E_INVALIDARG;
    return S_OK;
}

HRESULT NamesIn(const VARIANT& value, std::vector<std::wstring>& names) {
    const VARIANT* v = V_VT(&value) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(&value) : &value;
    if (V_VT(v) == VT_DISPATCH && V_DISPATCH(v)) {
        // A script's array: its length, then its elements by their names "0", "1", ...
        Variant length;
        if (FAILED(PropertyOf(V_DISPATCH(v), L"length", length)) ||
            FAILED(VariantChangeType(length.get(), length.get(), 0, VT_I4)))
            return E_INVALIDARG;
        for (LONG i = 0; i < V_I4(length.get()); ++i) {
            Variant item;
            if (HRESULT hr = PropertyOf(V_DISPATCH(v), std::to_wstring(i), item); FAILED(hr)) return hr;
            if (HRESULT hr = AddName(*item.get(), names); FAILED(hr)) return hr;
        }
        return names.empty() ? E_INVALIDARG : S_OK;
    }
    if (!(V_VT(v) & VT_ARRAY)) return E_INVALIDARG;
    SAFEARRAY* array = (V_VT(v) & VT_BYREF) ? *V_ARRAYREF(v) : V_ARRAY(v);
    VARTYPE type = VT_EMPTY;
    if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetVartype(array, &type)) ||
        (type != VT_BSTR && type != VT_VARIANT))
        return E_INVALIDARG;
    SafeArrayDataAccess access;
    if (HRESULT hr = access.access(array); FAILED(hr)) return hr;
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) {
        VARIANT item;
        if (type == VT_BSTR) {
            V_VT(&item) = VT_BSTR;
            V_BSTR(&item) = static_cast<BSTR*>(access.data())[i];
        } else {
            item = static_cast<VARIANT*>(access.data())[i];  // looked at, not owned
        }
        if (HRESULT hr = AddName(item, names); FAILED(hr)) return hr;
    }
    return names.empty() ? E_INVALIDARG : S_OK;
}

// A file name as the file system compares names: upper-cased, letter by letter.
std::wstring UpperCase(const std::wstring& name) {
    std::wstring upper(name);
    if (!upper.empty())
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()), upper.data(),
                      static_cast<int>(upper.size()), nullptr, nullptr, 0);
    return upper;
}

}  // namespace

HRESULT ConversionPlan::SetFiles(const VARIANT& sourceNames, BSTR destFolder, BSTR destType) {
    std::vector<std::wstring> names;
    if (HRESULT hr = NamesIn(sourceNames, names); FAILED(hr)) return hr;
    std::wstring type = SPI::TextOf(destType);
    if (!type.empty() && type[0] == L'.') type.erase(0, 1);
    if (type.empty() || type.find_first_of(L"\\/:") != std::wstring::npos) return E_INVALIDARG;
    if (SysStringLen(destFolder) == 0) return E_INVALIDARG;
    std::wstring folder = SPI::FullPathOf(SPI::TextOf(destFolder));
    const DWORD attributes = GetFileAttributesW(SPI::SystemPath(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    sources.clear();
    destinations.clear();
    std::set<std::wstring> taken;  // the names given so far, upper-cased as the file system compares them
    for (const std::wstring& name : names) {
        const std::wstring file = FileNameOf(name);
        if (file.empty()) return E_INVALIDARG;
        sources.push_back(SPI::FullPathOf(name));
        const size_t dot = file.rfind(L'.');
        const size_t stem = dot == 0 || dot == std::wstring::npos ? file.size() : dot;
        std::wstring given = file + L"." + type;
        for (unsigned n = 2; !taken.insert(UpperCase(given)).second; ++n)
            given = file.substr(0, stem) + L" (" + std::to_wstring(n) + L")" + file.substr(stem) + L"." + type;
        destinations.push_back(folder + given);
    }
    return S_OK;
}

ConversionJob::~ConversionJob() {
    if (batch_) batch_->Cancel();
}

HRESULT ConversionJob::Start(ConversionPlan plan, IDispatch** out) {
    *out = nullptr;
    const size_t threads = std::min(static_cast<size_t>(std::max(plan.workers, 1L)), plan.sources.size());
    auto batch = std::make_shared<ConversionBatch>(std::move(plan), threads);
    if (!batch->DoneEvent()) return HRESULT_FROM_WIN32(GetLastError());
    ComPtr<Object<ConversionJob>> job = Make<ConversionJob>(batch);
    if (!job) return E_OUTOFMEMORY;
    HRESULT started = E_UNEXPECTED;
    for (size_t i = 0; i < threads; ++i) {
        const HRESULT hr = StartThread(batch);
        if (SUCCEEDED(hr) || FAILED(started)) started = hr;
        if (FAILED(hr)) batch->ThreadEnded();
    }
    // None started: nobody converts, and the job goes again.
    if (FAILED(started)) return started;
    return HandOut(std::move(job), IID_IDispatch, reinterpret_cast<void**>(out));
}

STDMETHODIMP ConversionJob::get_Total(LONG* pVal) {
    return Boundary([&] { return Number(static_cast<LONG>(batch_->Plan().sources.size()), pVal); });
}

STDMETHODIMP ConversionJob::get_Completed(LONG* pVal) {
    return Boundary([&] { return Number(batch_->Completed(), pVal); });
}

STDMETHODIMP ConversionJob::get_Failed(LONG* pVal) {
    return Boundary([&] { return Number(batch_->Failed(), pVal); });
}

STDMETHODIMP ConversionJob::get_Done(VARIANT_BOOL* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = WaitForSingleObject(batch_->DoneEvent(), 0) == WAIT_OBJECT_0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP ConversionJob::Wait(LONG milliseconds, VARIANT_BOOL* pDone) {
    return Boundary([&] {
        if (!pDone) return E_POINTER;
        *pDone = VARIANT_FALSE;
        // -1, the usual "for ever", waits without limit.
        if (milliseconds < -1) {
            NoteFailure(L"wait for " + std::to_wstring(milliseconds) + L" ms: give 0 or more, or -1 to wait until done");
            return E_INVALIDARG;
        }
        // Calls into this apartment, and its window messages, are served meanwhile.
        HANDLE done = batch_->DoneEvent();
        DWORD which = 0;
        const DWORD limit = milliseconds == -1 ? INFINITE : static_cast<DWORD>(milliseconds);
        const HRESULT hr = CoWaitForMultipleHandles(0, limit, 1, &done, &which);
        if (FAILED(hr) && hr != RPC_S_CALLPENDING) return hr;
        return get_Done(pDone);
    });
}

STDMETHODIMP ConversionJob::get_Result(LONG Index, LONG* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        if (Index < 0 || static_cast<size_t>(Index) >= batch_->Plan().sources.size()) return E_INVALIDARG;
        *pVal = batch_->Result(static_cast<size_t>(Index));
        return S_OK;
    });
}

STDMETHODIMP ConversionJob::get_Destination(LONG Index, BSTR* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = nullptr;
        const std::vector<std::wstring>& destinations = batch_->Plan().destinations;
        if (Index < 0 || static_cast<size_t>(Index) >= destinations.size()) return E_INVALIDARG;
        return NewBstr(destinations[static_cast<size_t>(Index)], pVal);
    });
}

STDMETHODIMP ConversionJob::get_Description(LONG Index, BSTR* pVal) {
    return Boundary([&] {
        if (!pVal) return E_POINTER;
        *pVal = nullptr;
        if (Index < 0 || static_cast<size_t>(Index) >= batch_->Plan().sources.size()) return E_INVALIDARG;
        return NewBstr(batch_->Words(static_cast<size_t>(Index)), pVal);
    });
}

STDMETHODIMP ConversionJob::Cancel() {
    return Boundary([&] { batch_->Cancel(); });
}

// The name table's Invoke rows: exact argument counts.
HRESULT ConversionJob::InvokeMember(DISPID id, DispatchCall& call) {
    HRESULT hr = S_OK;
    LONG number = 0, out = 0;
    switch (id) {
    case 1:
    case 2:
    case 3: {
        if (FAILED(hr = call.Expect(0))) return hr;
        hr = id == 1 ? get_Total(&out) : id == 2 ? get_Completed(&out) : get_Failed(&out);
        return call.ReturnLong(hr, out);
    }
    case 4:
    case 5: {
        VARIANT_BOOL done = VARIANT_FALSE;
        if (id == 4) {
            if (FAILED(hr = call.Expect(0))) return hr;
            hr = get_Done(&done);
        } else {
            if (FAILED(hr = call.Expect(1)) || FAILED(hr = call.Long(0, &number))) return hr;
            hr = Wait(number, &done);
        }
        VARIANT value;
        V_VT(&value) = VT_BOOL;
        V_BOOL(&value) = done;
        return call.ReturnVariant(hr, &value);
    }
    case 6:
        if (FAILED(hr = call.Expect(1)) || FAILED(hr = call.Long(0, &number))) return hr;
        hr = get_Result(number, &out);
        return call.ReturnLong(hr, out);
    case 7: {
        if (FAILED(hr = call.Expect(1)) || FAILED(hr = call.Long(0, &number))) return hr;
        BSTR path = nullptr;
        hr = get_Destination(number, &path);
        return call.ReturnString(hr, path);
    }
    case 8:
        if (FAILED(hr = call.Expect(0))) return hr;
        return call.Return(Cancel());
    case 9: {
        if (FAILED(hr = call.Expect(1)) || FAILED(hr = call.Long(0, &number))) return hr;
        BSTR words = nullptr;
        hr = get_Description(number, &words);
        return call.ReturnString(hr, words);
    }
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace Tamrix
