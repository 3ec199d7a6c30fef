// What both fuzz targets share: a failed check traps (libFuzzer keeps the input), the
// progress callback checks its counts, and the header test is asked as a host asks it, on
// the first HEADER_SIZE bytes padded with zeros.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "plugin/spi_api.h"

extern "C" int IsSupported(LPCSTR, const void*);

namespace fuzz {

inline void Check(bool ok) {
    if (!ok) __builtin_trap();
}

inline int Progress(int done, int total, LONG_PTR) {
    Check(done >= 0 && total >= 0 && done <= total);
    return 0;
}

// IsSupported on the data's header: 0 or 1, checked.
inline int Supported(const uint8_t* data, size_t size) {
    uint8_t header[SPI::HEADER_SIZE] = {};
    std::memcpy(header, data, size < sizeof header ? size : sizeof header);
    const int supported = IsSupported("fuzz", header);
    Check(supported == 0 || supported == 1);
    return supported;
}

}  // namespace fuzz
