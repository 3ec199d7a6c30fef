// COM object plumbing: QueryInterface from a list of interfaces, reference counting and
// the module lock, after C++/WinRT's implements<> and ATL's CComObject.
//
//   class Foo : public IFoo, public IBar {
//   public:
//       using Interfaces = Tamrix::InterfaceList<IFoo, Tamrix::As<IDispatch, IFoo>, IBar>;
//       ...members...
//   };
//   Tamrix::ComPtr<Tamrix::Object<Foo>> p = Tamrix::Make<Foo>();  // count 1, module lock held
//   return Tamrix::HandOut(std::move(p), ppFoo);                   // the caller's reference
//
// The first entry of the list is the object's IUnknown. Objects are born owned (count 1),
// as C++/WinRT's make<D> makes them, so nobody adds the first reference by hand.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>
#include <new>
#include <utility>

#include "com_ptr.h"
#include "module_lock.h"

namespace Tamrix {

// List entry answering __uuidof(I) with the object seen as Via (Via derives from I).
template <class I, class Via = I>
struct As {
    template <class T>
    static bool Match(T* self, REFIID riid, void** ppv) noexcept {
        if (!IsEqualIID(riid, __uuidof(I))) return false;
        *ppv = static_cast<I*>(static_cast<Via*>(self));
        return true;
    }
    template <class T>
    static IUnknown* Unknown(T* self) noexcept {
        return static_cast<Via*>(self);
    }
};

// A bare interface in the list stands for As<I>.
template <class E>
struct EntryOf : As<E> {};
template <class I, class Via>
struct EntryOf<As<I, Via>> : As<I, Via> {};

template <class... Entries>
struct InterfaceList {
    // Looks riid up without touching the reference count; IUnknown is the first entry.
    template <class T>
    static HRESULT Find(T* self, REFIID riid, void** ppv) noexcept {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = First::Unknown(self);
            return S_OK;
        }
        if ((EntryOf<Entries>::Match(self, riid, ppv) || ...)) return S_OK;
        return E_NOINTERFACE;
    }
    template <class T>
    static IUnknown* Unknown(T* self) noexcept {
        return First::Unknown(self);
    }

private:
    template <class F, class...>
    struct Head {
        using type = EntryOf<F>;
    };
    using First = typename Head<Entries...>::type;
};

// ISupportErrorInfo of a class T whose members are Boundaries: each of its interfaces leaves
// the thread's error object when a member fails (boundary.h).
template <class T>
class SupportsErrorInfo : public ISupportErrorInfo {
public:
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        void* found = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISupportErrorInfo)) return S_FALSE;
        return T::Interfaces::Find(static_cast<T*>(this), riid, &found) == S_OK ? S_OK : S_FALSE;
    }
};

// The reference count of an apartment-threaded object: born at 1 (the maker's reference),
// plain increments, and a sentinel while the object is destroyed, so that an AddRef and
// Release made from inside the destruction cannot start a second one.
class PlainRefCount {
public:
    ULONG Add() noexcept { return ++refs_; }
    template <class Self>
    ULONG Release(Self* self) noexcept {
        const ULONG n = --refs_;
        if (n == 0) {
            refs_ = DESTROYING;
            delete self;
        }
        return n;
    }

private:
    static constexpr ULONG DESTROYING = 0x80000000u / 2;
    ULONG refs_ = 1;
};

// A plain (non-aggregated) instance of T: unguarded reference count, as every class of
// the server is apartment-threaded, and one module lock for the object's whole life.
template <class T>
class Object final : private module_lock::Holder, public T {
public:
    template <class... A>
    explicit Object(A&&... args) : T(std::forward<A>(args)...) {}
    // Teardown that may call back into the object runs while it is still whole; a
    // Release made meanwhile meets the sentinel count and destroys nothing.
    ~Object() {
        if constexpr (requires(T& t) { t.FinalRelease(); }) T::FinalRelease();
    }

    // A new instance with reference count 1, owned by the caller, or null when memory
    // runs out. Make<T>() wraps it in an owning pointer.
    template <class... A>
    static Object* New(A&&... args) noexcept {
        try {
            return new (std::nothrow) Object(std::forward<A>(args)...);
        } catch (...) {
            return nullptr;
        }
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        HRESULT hr = T::Interfaces::Find(static_cast<T*>(this), riid, ppv);
        if (SUCCEEDED(hr)) static_cast<IUnknown*>(*ppv)->AddRef();
        return hr;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return refs_.Add(); }
    STDMETHODIMP_(ULONG) Release() override { return refs_.Release(this); }

    // The object's identity, without adding a reference.
    IUnknown* Unknown() noexcept { return T::Interfaces::Unknown(static_cast<T*>(this)); }

private:
    PlainRefCount refs_;
};

// The class inside an aggregated instance: every interface it hands out forwards
// QueryInterface, AddRef and Release to the outer object, after ATL's CComContainedObject.
template <class T>
class ContainedObject final : public T {
public:
    template <class... A>
    explicit ContainedObject(IUnknown* outer, A&&... args) : T(std::forward<A>(args)...), outer_(outer) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return outer_->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

    // The class's own interfaces, for the wrapper; the reference added goes to the outer object.
    HRESULT InnerQueryInterface(REFIID riid, void** ppv) noexcept {
        HRESULT hr = T::Interfaces::Find(static_cast<T*>(this), riid, ppv);
        if (SUCCEEDED(hr)) static_cast<IUnknown*>(*ppv)->AddRef();
        return hr;
    }

private:
    IUnknown* outer_;  // not counted: the outer object owns us
};

// An aggregated instance of T, after ATL's CComAggObject: this wrapper is the inner
// IUnknown handed to the outer object, counts its own references and holds the module
// lock; the contained object lives and dies with it.
template <class T>
class AggregatedObject final : private module_lock::Holder, public IUnknown {
public:
    template <class... A>
    explicit AggregatedObject(IUnknown* outer, A&&... args) : contained_(outer, std::forward<A>(args)...) {}
    // The contained object is torn down as a plain instance would be.
    ~AggregatedObject() {
        if constexpr (requires(T& t) { t.FinalRelease(); }) contained_.FinalRelease();
    }

    template <class... A>
    static AggregatedObject* New(IUnknown* outer, A&&... args) noexcept {
        try {
            return new (std::nothrow) AggregatedObject(outer, std::forward<A>(args)...);
        } catch (...) {
            return nullptr;
        }
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return contained_.InnerQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return refs_.Add(); }
    STDMETHODIMP_(ULONG) Release() override { return refs_.Release(this); }

    ContainedObject<T>& Contained() noexcept { return contained_; }

private:
    PlainRefCount refs_;
    ContainedObject<T> contained_;
};

// A new plain instance of T in an owning pointer (count 1), or null when memory runs out.
template <class T, class... A>
ComPtr<Object<T>> Make(A&&... args) noexcept {
    return ComPtr<Object<T>>::adopt(Object<T>::New(std::forward<A>(args)...));
}

// Hands a new object out asked for riid; the maker's reference goes when `obj` does, so a
// failed QueryInterface destroys the object again (and with it its module lock).
template <class O>
HRESULT HandOut(ComPtr<O> obj, REFIID riid, void** ppv) noexcept {
    if (!obj) return E_OUTOFMEMORY;
    return obj->QueryInterface(riid, ppv);
}

// Hands a new object out as interface I; the maker's reference passes to the caller.
template <class I, class O>
HRESULT HandOut(ComPtr<O> obj, I** out) noexcept {
    if (!obj) return E_OUTOFMEMORY;
    *out = obj.detach();
    return S_OK;
}

// Creates a plain instance of T and hands it out asked for riid.
template <class T, class... A>
HRESULT CreateInstance(REFIID riid, void** ppv, A&&... args) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return HandOut(Make<T>(std::forward<A>(args)...), riid, ppv);
}

// Creates an instance of T aggregated in outer and hands out the inner IUnknown (the only
// interface an outer object may ask for at creation).
template <class T, class... A>
HRESULT CreateAggregatedInstance(IUnknown* outer, REFIID riid, void** ppv, A&&... args) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return HandOut(ComPtr<AggregatedObject<T>>::adopt(AggregatedObject<T>::New(outer, std::forward<A>(args)...)),
                   riid, ppv);
}

}  // namespace Tamrix
