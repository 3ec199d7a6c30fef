// The class object of a creatable class: IUnknown and IClassFactory only. It is cached in
// the class table for the life of the library and may be used from any thread, so its
// count is interlocked; it holds a module lock only while someone other than the class
// table holds it (its count stepping from 1 to 2 and back). Its members, like the exports,
// are Boundaries; what they call answers HRESULTs.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include "../common/object.h"

namespace Tamrix {

// Makes a plain instance (outer null) or one aggregated in outer, asked for riid.
using CreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv) noexcept;

template <class T>
HRESULT CreatePlainOrAggregated(IUnknown* outer, REFIID riid, void** ppv) noexcept {
    return outer ? CreateAggregatedInstance<T>(outer, riid, ppv) : CreateInstance<T>(riid, ppv);
}

class ClassFactory final : public IClassFactory {
public:
    // A new class object asked for riid; E_OUTOFMEMORY when it cannot be made.
    static HRESULT Create(CreateInstanceFn create, REFIID riid, void** ppv) noexcept;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    explicit ClassFactory(CreateInstanceFn create) noexcept : create_(create) {}
    ~ClassFactory() = default;

    CreateInstanceFn create_;
    volatile LONG refs_ = 1;  // born owned by its maker; no module lock at 1
};

}  // namespace Tamrix
