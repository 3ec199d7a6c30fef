#include "file_output.h"

#include "../common/handles.h"

namespace SPI {
namespace {

bool WriteAll(HANDLE file, std::span<const BYTE> data) noexcept {
    // WriteFile takes 32-bit counts; write in pieces so no size is cut short.
    constexpr size_t PIECE = 0x40000000;
    while (!data.empty()) {
        const DWORD n = static_cast<DWORD>(data.size() < PIECE ? data.size() : PIECE);
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), n, &written, nullptr) || written != n) return false;
        data = data.subspan(n);
    }
    return true;
}

// The folder part of a path ("." for a bare name), where the temporary file goes so that
// the final move stays on one volume.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) {
        // "C:name" is relative to that drive's current folder.
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : std::string(".");
    }
    if (slash == 0) return path.substr(0, 1);
    if (slash == 2 && path[1] == ':') return path.substr(0, 3);
    return path.substr(0, slash);
}

}  // namespace

HRESULT WriteFileReplacing(const std::string& destPath,
                           std::initializer_list<std::span<const BYTE>> parts) noexcept {
    try {
        if (destPath.empty()) return E_FAIL;
        // A read-only file is not replaced, nor is a folder: Windows' move refuses both, and
        // Wine's replaces a read-only file, so the attributes are looked at here.
        const DWORD existing = GetFileAttributesA(destPath.c_str());
        if (existing != INVALID_FILE_ATTRIBUTES && (existing & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
            return E_FAIL;
        char temp[MAX_PATH];
        // Creates the (empty) temporary file, so its name is ours alone.
        if (!GetTempFileNameA(FolderOf(destPath).c_str(), "tmx", 0, temp)) return E_FAIL;
        bool ok = false;
        {
            Tamrix::UniqueFile file(CreateFileA(temp, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                CREATE_ALWAYS, 0, nullptr));
            if (file) {
                ok = true;
                for (std::span<const BYTE> part : parts) ok = ok && WriteAll(file.get(), part);
                // Closing can still report a failed write-back.
                ok = CloseHandle(file.release()) && ok;
            }
        }
        if (ok) ok = MoveFileExA(temp, destPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        if (!ok) DeleteFileA(temp);
        return ok ? S_OK : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace SPI
