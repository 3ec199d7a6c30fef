// A source argument (file name, address or byte array, with its offset or length) turned
// into the buf, len and flag that a plug-in takes. Errors: HRESULTs; only std::bad_alloc is
// thrown.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <string>

#include "../common/automation_types.h"
#include "names.h"
#include "spi_api.h"

namespace SPI {

// A source argument made ready for plug-in calls. A byte array stays accessed from Convert
// until Release (call it right after the plug-ins return); a file name is owned until the
// object dies, in the caller's UTF-16 and, once a narrow entry needs it, in narrow form.
class Source {
public:
    Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // The full form: a file name (by value or by reference) with the offset of the data in
    // the file, or an address or byte array with the data's length. One level of
    // VT_BYREF|VT_VARIANT is looked through. E_INVALIDARG for any other form or an array
    // whose data cannot be accessed. A name ends at its first NUL. An address is refused
    // where it cannot be one: in a surrogate, and in the 64-bit build, whose addresses no
    // 32-bit integer holds (value_width.h); and, before any plug-in reads there, with
    // HRESULT_FROM_WIN32(ERROR_INVALID_ADDRESS) when it is below 64 KB or the length's bytes
    // from it are not all committed and readable.
    HRESULT Convert(const VARIANT& src, LONG_PTR offsetOrLength);
    // The memory-only form (an address or a byte array, read directly; no length): an
    // address must show HEADER_SIZE readable bytes.
    HRESULT ConvertMemory(const VARIANT& buffer) noexcept;

    // The data's address (a memory source).
    LPCSTR Buf() const noexcept { return buf_; }
    // `buf` for a wide entry: the UTF-16 name of a file source, the address of a memory one.
    LPCWSTR WideBuf() const noexcept;
    // `buf` for a narrow entry: the narrow name of a file source in `codePage`
    // (PluginName::Narrow: the short name stands in for a name the code page cannot hold;
    // E_INVALIDARG when there is none), the address of a memory one.
    HRESULT NarrowBuf(LPCSTR& out, UINT codePage);
    // A file source's name.
    PluginName& Name() noexcept { return name_; }
    const PluginName& Name() const noexcept { return name_; }
    LONG_PTR Len() const noexcept { return len_; }
    UINT Flag() const noexcept { return flag_; }
    // The byte array itself while it is accessed (null for any other source).
    SAFEARRAY* Array() const noexcept { return access_.array(); }
    // Bytes known to be there at Buf(): a byte array's data, or as many as an address was
    // checked for; 0 for a file source.
    size_t Bytes() const noexcept { return flag_ == FLAG_MEMORY ? bytes_ : 0; }

    // Ends the access to a byte array, so the caller may resize or destroy it again.
    void Release() noexcept { access_.unaccess(); }

private:
    HRESULT AccessArray(SAFEARRAY* array) noexcept;
    HRESULT TakeAddress(const VARIANT& v, size_t size) noexcept;

    PluginName name_;
    Tamrix::SafeArrayDataAccess access_;
    size_t bytes_ = 0;
    LPCSTR buf_ = nullptr;
    LONG_PTR len_ = 0;
    UINT flag_ = FLAG_FILE;
};

}  // namespace SPI
