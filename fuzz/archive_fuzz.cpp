// The archive plug-in's exported entry points on memory input: the header test, the listing,
// a look-up by name, and each listed member (the first few) extracted to memory from its
// position to the next member's (or the end of the data), as a host hands one member's bytes.
#include <windows.h>

#include <cstring>
#include <string>

#include "harness.h"
#include "plugin/spi_api.h"

extern "C" {
int GetArchiveInfo(LPCSTR, LONG_PTR, unsigned, HLOCAL*);
int GetFileInfo(LPCSTR, LONG_PTR, LPCSTR, unsigned, SPI::fileInfo*);
int GetFile(LPCSTR, LONG_PTR, LPSTR, unsigned, SPI::ProgressCallback, LONG_PTR);
}

namespace {

using fuzz::Check;
using fuzz::Progress;

const size_t MEMBERS_TRIED = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int supported = fuzz::Supported(data, size);

    auto* buf = reinterpret_cast<LPCSTR>(data);
    auto len = static_cast<LONG_PTR>(size);
    HLOCAL list = nullptr;
    int rc = GetArchiveInfo(buf, len, SPI::FLAG_MEMORY, &list);
    if (rc != SPI::SPI_OK) {
        Check(!list);
        return 0;
    }
    Check(supported == 1 && list);
    const auto* records = static_cast<const SPI::fileInfo*>(LocalLock(list));
    size_t count = LocalSize(list) / sizeof(SPI::fileInfo);
    Check(count >= 1 && records[count - 1].method[0] == 0);
    for (size_t i = 0; i + 1 < count && i < MEMBERS_TRIED; ++i) {
        const SPI::fileInfo& r = records[i];
        Check(std::memchr(r.path, 0, sizeof r.path) && std::memchr(r.filename, 0, sizeof r.filename));
        if (i == 0) {
            std::string name = std::string(r.path) + r.filename;
            SPI::fileInfo found{};
            int got = GetFileInfo(buf, len, name.c_str(), SPI::FLAG_MEMORY | SPI::FLAG_IGNORE_CASE, &found);
            Check(got == SPI::SPI_OK || got == SPI::SPI_UNKNOWN_FORMAT);
        }
        if (r.position >= size) continue;
        size_t end = i + 2 < count && records[i + 1].position > r.position && records[i + 1].position <= size
                         ? records[i + 1].position
                         : size;
        HLOCAL member = nullptr;
        int got = GetFile(buf + r.position, static_cast<LONG_PTR>(end - r.position),
                          reinterpret_cast<LPSTR>(&member), SPI::FLAG_MEMORY | SPI::FLAG_OUTPUT_MEMORY, Progress, 0);
        // A member's size is its local header's, which the listing's need not equal.
        if (got == SPI::SPI_OK) {
            Check(member != nullptr && LocalLock(member) != nullptr);
            LocalUnlock(member);
        } else {
            Check(!member);
        }
        LocalFree(member);
    }
    LocalUnlock(list);
    LocalFree(list);
    return 0;
}
