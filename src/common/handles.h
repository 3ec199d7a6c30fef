// Owners for Win32 handles: one type per resource kind, each freed exactly once.
// Modelled on WIL's unique_any: the traits say what "none" is and how to close.
#pragma once
#include <windows.h>
#include <utility>

namespace Tamrix {

template <class Traits>
class UniqueHandle {
public:
    using type = typename Traits::type;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(type h) noexcept : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    type get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::none(); }
    type release() noexcept { return std::exchange(h_, Traits::none()); }
    void reset(type h = Traits::none()) noexcept {
        type old = std::exchange(h_, h);
        if (old != Traits::none()) Traits::close(old);
    }
    // For APIs that write a handle through a pointer: frees what is held first.
    type* put() noexcept {
        reset();
        return &h_;
    }

private:
    type h_ = Traits::none();
};

struct LocalTraits {
    using type = HLOCAL;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { LocalFree(h); }
};
struct GlobalTraits {
    using type = HGLOBAL;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { GlobalFree(h); }
};
struct ModuleTraits {
    using type = HMODULE;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { FreeLibrary(h); }
};
struct FileTraits {
    using type = HANDLE;
    static type none() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { CloseHandle(h); }
};
// Processes, events, mappings: null when there is none.
struct KernelTraits {
    using type = HANDLE;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { CloseHandle(h); }
};
struct FindTraits {
    using type = HANDLE;
    static type none() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { FindClose(h); }
};
struct RegKeyTraits {
    using type = HKEY;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { RegCloseKey(h); }
};
// GDI objects (bitmaps, palettes): null when there is none.
template <class H>
struct GdiObjectTraits {
    using type = H;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { DeleteObject(h); }
};

using UniqueHlocal = UniqueHandle<LocalTraits>;
using UniqueHglobal = UniqueHandle<GlobalTraits>;
using UniqueHmodule = UniqueHandle<ModuleTraits>;
using UniqueFile = UniqueHandle<FileTraits>;
using UniqueFind = UniqueHandle<FindTraits>;
using UniqueKernelHandle = UniqueHandle<KernelTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueBitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;    // gdi32
using UniquePalette = UniqueHandle<GdiObjectTraits<HPALETTE>>;  // gdi32

}  // namespace Tamrix
