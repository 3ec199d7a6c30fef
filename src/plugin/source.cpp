#include "source.h"

#include "../common/surrogate_process.h"
#include "../common/value_width.h"

namespace SPI {

LPCWSTR Source::WideBuf() const noexcept {
    return flag_ == FLAG_FILE ? name_.Wide() : reinterpret_cast<LPCWSTR>(buf_);
}

HRESULT Source::NarrowBuf(LPCSTR& out, UINT codePage) {
    if (flag_ != FLAG_FILE) {
        out = buf_;
        return S_OK;
    }
    return name_.Narrow(out, codePage);
}

HRESULT Source::AccessArray(SAFEARRAY* array) noexcept {
    if (!array || FAILED(access_.access(array))) return E_INVALIDARG;
    // The data's size, so a length beyond it can be cut back before a plug-in sees it.
    unsigned long long bytes = SafeArrayGetElemsize(array);
    for (UINT d = 0; d < array->cDims; ++d) bytes *= array->rgsabound[d].cElements;
    bytes_ = bytes > 0x7FFFFFFFull ? 0x7FFFFFFFu : static_cast<size_t>(bytes);
    buf_ = static_cast<LPCSTR>(access_.data());
    flag_ = FLAG_MEMORY;
    return S_OK;
}

namespace {

// Whether `size` bytes from `address` are committed and readable, as VirtualQuery shows them.
bool Readable(const BYTE* address, size_t size) noexcept {
    if (size > ~reinterpret_cast<ULONG_PTR>(address)) return false;
    constexpr DWORD READABLE = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    for (const BYTE* end = address + size; address < end;) {
        MEMORY_BASIC_INFORMATION region;
        if (!VirtualQuery(address, &region, sizeof region) || region.State != MEM_COMMIT ||
            !(region.Protect & READABLE) || (region.Protect & PAGE_GUARD))
            return false;
        address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

}  // namespace

// An integer source as an address of this process, or why it cannot be one.
HRESULT Source::TakeAddress(const VARIANT& v, size_t size) noexcept {
    // In a surrogate it can only be an address of the client's.
    if (Tamrix::InSurrogate()) return Tamrix::E_ADDRESS_ACROSS_PROCESSES;
    if constexpr (!Tamrix::ADDRESSES_FIT_A_LONG) return Tamrix::E_EXCEEDS_32_BITS;
    // Nothing is ever allocated in the lowest 64 KB; anything else must be there to be read.
    const BYTE* address = reinterpret_cast<const BYTE*>(static_cast<ULONG_PTR>(V_UI4(&v)));
    if (V_UI4(&v) < 0x10000 || !Readable(address, size)) return HRESULT_FROM_WIN32(ERROR_INVALID_ADDRESS);
    buf_ = reinterpret_cast<LPCSTR>(address);
    bytes_ = size;
    flag_ = FLAG_MEMORY;
    return S_OK;
}

HRESULT Source::Convert(const VARIANT& src, LONG_PTR offsetOrLength) {
    const VARIANT* v = &src;
    if (V_VT(v) == (VT_BYREF | VT_VARIANT)) {
        v = V_VARIANTREF(v);
        if (!v) return E_INVALIDARG;
    }
    len_ = offsetOrLength;
    switch (V_VT(v)) {
    case VT_BSTR:
    case VT_BYREF | VT_BSTR: {
        BSTR name = V_VT(v) == VT_BSTR ? V_BSTR(v) : (V_BSTRREF(v) ? *V_BSTRREF(v) : nullptr);
        // Never a null name: an empty one is an empty text.
        name_ = PluginName(TextOf(name));
        buf_ = nullptr;
        flag_ = FLAG_FILE;
        return S_OK;
    }
    case VT_I4:
    case VT_UI4:
        // An address in this process, typically a block's Buffer handed back unchanged.
        return TakeAddress(*v, len_ > 0 ? static_cast<size_t>(len_) : 0);
    case VT_ARRAY | VT_UI1: {
        HRESULT hr = AccessArray(V_ARRAY(v));
        if (FAILED(hr)) return hr;
        // A length beyond the array's data would let the plug-in read past it.
        if (static_cast<ULONG_PTR>(len_) > bytes_) len_ = static_cast<LONG_PTR>(bytes_);
        return S_OK;
    }
    default:
        return E_INVALIDARG;
    }
}

HRESULT Source::ConvertMemory(const VARIANT& buffer) noexcept {
    len_ = 0;
    switch (V_VT(&buffer)) {
    case VT_I4:
    case VT_UI4:
        // Plug-ins are shown a whole header there.
        return TakeAddress(buffer, HEADER_SIZE);
    case VT_ARRAY | VT_UI1:
        return AccessArray(V_ARRAY(&buffer));
    default:
        return E_INVALIDARG;
    }
}

}  // namespace SPI
