#include "spi_api.h"

namespace SPI {

HRESULT MapResult(int code) noexcept {
    switch (code) {
    case SPI_OK:
        return S_OK;
    case SPI_ABORTED:
        return E_ABORT;
    case SPI_NO_MEMORY:
    case SPI_MEMORY_ERROR:
        return E_OUTOFMEMORY;
    case SPI_UNKNOWN_FORMAT:
    case SPI_BROKEN_DATA:
    case SPI_READ_ERROR:
    case SPI_WINDOW_ERROR:
    case SPI_INTERNAL_ERROR:
    case SPI_WRITE_ERROR:
    case SPI_END_OF_FILE:
        return E_FAIL;
    case SPI_NOT_IMPLEMENTED:
    default:
        return E_NOTIMPL;
    }
}

int WINAPI IgnoreProgress(int, int, LONG_PTR) {
    return 0;
}

}  // namespace SPI
