// No C++ exception may leave an exported function: the host is not C++.
#pragma once
#include <new>

#include "spi.h"

namespace spi {

template <class F>
int Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return NO_MEMORY;
    } catch (...) {
        return INTERNAL_ERROR;
    }
}

}  // namespace spi
