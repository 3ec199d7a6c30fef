#include "remote_plugin.h"

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
    IMAGE_DOS_HEADER dos{};
    if (!read(0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return 0;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    if (!read(dos.e_lfanew, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE) return 0;
    if (!read(dos.e_lfanew + static_cast<LONG>(sizeof signature), &header, sizeof header)) return 0;
    return header.Machine;
}

}  // namespace SPI
