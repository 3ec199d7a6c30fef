// Owning COM interface pointer.
#pragma once
#include <unknwn.h>
#include <utility>

namespace Tamrix {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference on p.
    explicit ComPtr(T* p) noexcept : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& o) noexcept : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(o.detach()) {}
    ComPtr& operator=(ComPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComPtr() { reset(); }

    // Adopts an existing reference.
    static ComPtr adopt(T* p) noexcept {
        ComPtr c;
        c.p_ = p;
        return c;
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T* detach() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    template <class U>
    HRESULT query(ComPtr<U>& out) const noexcept {
        return p_ ? p_->QueryInterface(__uuidof(U), out.put_void()) : E_POINTER;
    }

private:
    T* p_ = nullptr;
};

}  // namespace Tamrix
