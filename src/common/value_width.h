// Values a 64-bit build meets that the 32-bit types of the Automation interfaces were made
// for: addresses, handles, and the numbers of a 64-bit plug-in's member records. A value is
// handed out only whole; one that needs more than 32 bits makes the member fail with
// E_EXCEEDS_32_BITS instead of losing its upper half. In the 32-bit build every such value
// fits, and these helpers change nothing.
#pragma once
#include <windows.h>

#include <type_traits>

namespace Tamrix {

// "Arithmetic result exceeded 32 bits" (HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW)): the
// answer of a member whose 32-bit type cannot hold the value it would hand out, and, in the
// 64-bit build, of the members that would hand an address through one (Buffer, an integer
// source): a 64-bit address does not fit a long.
inline constexpr HRESULT E_EXCEEDS_32_BITS = static_cast<HRESULT>(0x80070216);

// `value` as a long, bit for bit as the 32-bit server hands its 32-bit fields (so 3 GB reads
// as a negative number there and here alike): S_OK, or E_EXCEEDS_32_BITS, `out` untouched,
// when bits above the 32nd are set.
template <class T>
    requires std::is_unsigned_v<T>
HRESULT LongOf(T value, LONG& out) noexcept {
    if constexpr (sizeof(T) > sizeof(ULONG)) {
        if (value > static_cast<T>(0xFFFFFFFFu)) return E_EXCEEDS_32_BITS;
    }
    out = static_cast<LONG>(static_cast<ULONG>(value));
    return S_OK;
}

// A handle or address as a long, the same way: whole, or E_EXCEEDS_32_BITS.
inline HRESULT LongOf(const void* p, LONG& out) noexcept {
    return LongOf(reinterpret_cast<ULONG_PTR>(p), out);
}

// Whether this build's addresses can be handed through a long at all.
inline constexpr bool ADDRESSES_FIT_A_LONG = sizeof(void*) == sizeof(LONG);

}  // namespace Tamrix
