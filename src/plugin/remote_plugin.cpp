#include "remote_plugin.h"

#include <cstring>

#include "../common/handles.h"
#include "names.h"

namespace SPI {
namespace {

RemotePluginsMaker g_helperRemotePlugins = nullptr;

}  // namespace

void SetHelperRemotePlugins(RemotePluginsMaker maker) noexcept {
    g_helperRemotePlugins = maker;
}

std::unique_ptr<RemotePlugins> NewHelperRemotePlugins() {
    return g_helperRemotePlugins ? g_helperRemotePlugins() : nullptr;
}

WORD ImageMachine(const std::wstring& path) {
    Tamrix::UniqueFile file(
        CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return 0;
    auto read = [&](LONG offset, void* out, DWORD size) {
        DWORD got = 0;
        return SetFilePointer(file.get(), offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
               ReadFile(file.get(), out, size, &got, nullptr) && got == size;
    };
    // One read holds the headers of nearly every module (a discovery asks this of every
    // file); one whose headers lie further in is read where they are.
    BYTE start[1024];
    DWORD got = 0;
    if (!ReadFile(file.get(), start, sizeof start, &got, nullptr) || got < sizeof(IMAGE_DOS_HEADER)) return 0;
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, start, sizeof dos);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return 0;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    const size_t at = static_cast<size_t>(dos.e_lfanew);
    if (at + sizeof signature + sizeof header <= got) {
        std::memcpy(&signature, start + at, sizeof signature);
        std::memcpy(&header, start + at + sizeof signature, sizeof header);
    } else if (!read(dos.e_lfanew, &signature, sizeof signature) ||
               !read(dos.e_lfanew + static_cast<LONG>(sizeof signature), &header, sizeof header)) {
        return 0;
    }
    return signature == IMAGE_NT_SIGNATURE ? header.Machine : 0;
}

}  // namespace SPI
