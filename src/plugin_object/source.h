// What every member that hands data to a plug-in shares: turning a source argument into
// the plug-in's buf/len/flag, the progress callback, and the mapping of result codes.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <string>

#include "../common/automation_types.h"
#include "../plugin/spi_api.h"

namespace tamrix {

// A source argument made ready for one plug-in call. A byte array stays accessed from
// Convert until Release (call it right after the plug-in returns); a file name is owned
// until the object dies.
class SpiSource {
public:
    SpiSource() = default;
    SpiSource(const SpiSource&) = delete;
    SpiSource& operator=(const SpiSource&) = delete;

    // The full form: a file name (by value or by reference) with the offset of the data in
    // the file, or an address or byte array with the data's length. One level of
    // VT_BYREF|VT_VARIANT is looked through. E_INVALIDARG for any other form or an array
    // whose data cannot be accessed, E_OUTOFMEMORY when a name cannot be converted.
    HRESULT Convert(const VARIANT& src, LONG offsetOrLength) noexcept;
    // The memory-only form (an address or a byte array, read directly; no length).
    HRESULT ConvertMemory(const VARIANT& buffer) noexcept;

    LPCSTR Buf() const noexcept { return buf_; }
    LONG Len() const noexcept { return len_; }
    UINT Flag() const noexcept { return flag_; }

    // Ends the access to a byte array, so the caller may resize or destroy it again.
    void Release() noexcept { access_.unaccess(); }

private:
    HRESULT AccessArray(SAFEARRAY* array) noexcept;

    std::string name_;
    SafeArrayDataAccess access_;
    size_t arrayBytes_ = 0;
    LPCSTR buf_ = nullptr;
    LONG len_ = 0;
    UINT flag_ = SPI::FLAG_FILE;
};

// The progress callback given to every plug-in: it never cancels.
int WINAPI IgnoreProgress(int num, int denom, LONG data);

// A plug-in result code as an HRESULT.
HRESULT MapSpiResult(int code) noexcept;

}  // namespace tamrix
