// Owners for the OLE Automation types: BSTR, VARIANT, SAFEARRAY and its data access.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

namespace Tamrix {

class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(BSTR s) noexcept : s_(s) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& o) noexcept : s_(o.release()) {}
    Bstr& operator=(Bstr&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~Bstr() { reset(); }

    BSTR get() const noexcept { return s_; }
    BSTR release() noexcept { return std::exchange(s_, nullptr); }
    void reset(BSTR s = nullptr) noexcept { SysFreeString(std::exchange(s_, s)); }
    BSTR* put() noexcept {
        reset();
        return &s_;
    }
    UINT length() const noexcept { return SysStringLen(s_); }

private:
    BSTR s_ = nullptr;
};

// A new BSTR holding a copy of `text`, NULs included. E_OUTOFMEMORY when it cannot be had.
inline HRESULT NewBstr(const std::wstring& text, BSTR* out) noexcept {
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}
inline HRESULT NewBstr(const std::wstring& text, Bstr& out) noexcept {
    out.reset();
    return NewBstr(text, out.put());
}

class Variant {
public:
    Variant() noexcept { VariantInit(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&v_); }

    VARIANT* get() noexcept { return &v_; }
    const VARIANT* get() const noexcept { return &v_; }
    VARIANT* operator->() noexcept { return &v_; }
    const VARIANT* operator->() const noexcept { return &v_; }
    void clear() noexcept { VariantClear(&v_); }
    // Hands the value to the caller's VARIANT (which must hold nothing to free).
    void detach(VARIANT* out) noexcept {
        *out = v_;
        VariantInit(&v_);
    }

private:
    VARIANT v_;
};

class UniqueSafeArray {
public:
    UniqueSafeArray() noexcept = default;
    explicit UniqueSafeArray(SAFEARRAY* a) noexcept : a_(a) {}
    UniqueSafeArray(const UniqueSafeArray&) = delete;
    UniqueSafeArray& operator=(const UniqueSafeArray&) = delete;
    ~UniqueSafeArray() { reset(); }

    SAFEARRAY* get() const noexcept { return a_; }
    SAFEARRAY* release() noexcept { return std::exchange(a_, nullptr); }
    void reset(SAFEARRAY* a = nullptr) noexcept {
        if (SAFEARRAY* old = std::exchange(a_, a)) SafeArrayDestroy(old);
    }

private:
    SAFEARRAY* a_ = nullptr;
};

// Access to a SAFEARRAY's data for as long as the object lives (or until unaccess()).
class SafeArrayDataAccess {
public:
    SafeArrayDataAccess() noexcept = default;
    SafeArrayDataAccess(const SafeArrayDataAccess&) = delete;
    SafeArrayDataAccess& operator=(const SafeArrayDataAccess&) = delete;
    ~SafeArrayDataAccess() { unaccess(); }

    HRESULT access(SAFEARRAY* a) noexcept {
        unaccess();
        void* data = nullptr;
        if (HRESULT hr = SafeArrayAccessData(a, &data); FAILED(hr)) return hr;
        a_ = a;
        data_ = data;
        return S_OK;
    }
    void unaccess() noexcept {
        if (SAFEARRAY* a = std::exchange(a_, nullptr)) SafeArrayUnaccessData(a);
        data_ = nullptr;
    }
    void* data() const noexcept { return data_; }
    SAFEARRAY* array() const noexcept { return a_; }

private:
    SAFEARRAY* a_ = nullptr;
    void* data_ = nullptr;
};

// A new one-dimensional byte array holding a copy of the `size` bytes at `data`.
// E_OUTOFMEMORY when it cannot be had; sizes beyond an array's 32-bit bound are the caller's
// to refuse.
inline HRESULT NewByteArray(const void* data, size_t size, UniqueSafeArray& out) noexcept {
    SAFEARRAYBOUND bound{static_cast<ULONG>(size), 0};
    UniqueSafeArray array(SafeArrayCreate(VT_UI1, 1, &bound));
    if (!array.get()) return E_OUTOFMEMORY;
    if (size > 0) {
        SafeArrayDataAccess access;
        if (HRESULT hr = access.access(array.get()); FAILED(hr)) return hr;
        std::memcpy(access.data(), data, size);
    }
    out.reset(array.release());
    return S_OK;
}

// The same as the value of a VARIANT (VT_ARRAY | VT_UI1) that owns it.
inline HRESULT NewByteArray(const void* data, size_t size, VARIANT& out) noexcept {
    UniqueSafeArray array;
    if (HRESULT hr = NewByteArray(data, size, array); FAILED(hr)) return hr;
    VariantInit(&out);
    V_VT(&out) = VT_ARRAY | VT_UI1;
    V_ARRAY(&out) = array.release();
    return S_OK;
}

// A new one-dimensional array of BSTRs holding copies of `texts`. E_OUTOFMEMORY when it
// cannot be had.
template <class Texts>
HRESULT NewStringArray(const Texts& texts, UniqueSafeArray& out) noexcept {
    UniqueSafeArray array(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(std::size(texts))));
    if (!array.get()) return E_OUTOFMEMORY;
    LONG i = 0;
    for (const auto& text : texts) {
        Bstr copy;
        if (HRESULT hr = NewBstr(text, copy); FAILED(hr)) return hr;
        if (HRESULT hr = SafeArrayPutElement(array.get(), &i, copy.get()); FAILED(hr)) return hr;  // copies it
        ++i;
    }
    out.reset(array.release());
    return S_OK;
}

}  // namespace Tamrix
