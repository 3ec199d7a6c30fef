// No C++ exception may leave an exported function (SPI_EXPORT): the host is not C++.
#pragma once
#include <new>

#include "plugin/spi_api.h"

namespace spi {

template <class F>
int Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return SPI::SPI_NO_MEMORY;
    } catch (...) {
        return SPI::SPI_INTERNAL_ERROR;
    }
}

}  // namespace spi

#define SPI_EXPORT extern "C" __declspec(dllexport)
