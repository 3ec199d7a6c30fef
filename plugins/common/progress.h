// The host's progress callback. Called with (done, total) at the start, about every
// hundredth of the way and at the end; a non-zero answer cancels the call, which then
// frees what it made and answers 1.
#pragma once
#include <climits>
#include <cstdint>

#include "plugin/spi_api.h"

namespace spi {

class Progress {
public:
    Progress(SPI::ProgressCallback cb, LONG_PTR data) : cb_(cb), data_(data) {}

    void SetTotal(uint64_t total) {
        total_ = total;
        step_ = total / 100 > 4096 ? total / 100 : 4096;
    }
    // False once the host has cancelled.
    bool Report(uint64_t done) {
        if (cancelled_) return false;
        if (!cb_) return true;
        if (done > total_) done = total_;
        if (started_ && done < next_ && done != total_) return true;
        if (started_ && done == last_) return true;
        started_ = true;
        last_ = done;
        next_ = done + step_;
        // The callback takes ints: scale large totals down.
        uint64_t num = done, denom = total_;
        while (denom > INT_MAX) {
            num >>= 1;
            denom >>= 1;
        }
        if (cb_(static_cast<int>(num), static_cast<int>(denom), data_) != 0) cancelled_ = true;
        return !cancelled_;
    }
    bool Cancelled() const { return cancelled_; }

private:
    SPI::ProgressCallback cb_;
    LONG_PTR data_;
    uint64_t total_ = 0;
    uint64_t step_ = 4096;
    uint64_t next_ = 0;
    uint64_t last_ = 0;
    bool started_ = false;
    bool cancelled_ = false;
};

}  // namespace spi
