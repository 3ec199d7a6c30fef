#include "spi_interface.h"

#include <cstring>

namespace SPI {

SpiInterface::SpiInterface(const SpiInterface& other) {
    CopyFrom(other);
}

SpiInterface& SpiInterface::operator=(const SpiInterface& other) {
    if (this != &other) CopyFrom(other);
    return *this;
}

void SpiInterface::CopyFrom(const SpiInterface& other) {
    module_.reset();
    path_ = other.path_;
    getPluginInfo_ = other.getPluginInfo_;
    isSupported_ = other.isSupported_;
    kind1_ = other.kind1_;
    kind2_ = other.kind2_;
    kind3_ = other.kind3_;
    // The copy owns a load reference of its own; if the load fails it is simply unloaded.
    if (other.module_) module_.reset(LoadLibraryA(path_.c_str()));
}

DWORD SpiInterface::AskKind() const noexcept {
    char kind[KIND_BUFFER_SIZE] = {};  // cleared: a plug-in that writes less gives no stale bytes
    getPluginInfo_(0, kind, KIND_BUFFER_SIZE);
    DWORD value;
    std::memcpy(&value, kind, sizeof value);
    return value;
}

DWORD SpiInterface::Kind() const noexcept {
    return module_ && getPluginInfo_ ? AskKind() : 0;
}

DWORD SpiInterface::Probe() {
    if (module_) return getPluginInfo_ ? AskKind() : 0;

    module_.reset(LoadLibraryA(path_.c_str()));
    if (!module_) return 0;
    // Entries of an earlier library must not outlive it into this one: a probe that stops
    // half-way leaves null entries, never addresses in a library that is gone.
    getPluginInfo_ = nullptr;
    isSupported_ = nullptr;
    kind1_ = kind2_ = kind3_ = nullptr;
    HMODULE m = module_.get();
    getPluginInfo_ = EntryAs<GetPluginInfoFn>(GetProcAddress(m, exports::GetPluginInfo));
    isSupported_ = EntryAs<IsSupportedFn>(GetProcAddress(m, exports::IsSupported));
    if (!getPluginInfo_ || !isSupported_) return 0;

    const DWORD kind = AskKind();
    if (kind == KIND_PICTURE) {
        kind1_ = GetProcAddress(m, exports::GetPictureInfo);
        kind2_ = GetProcAddress(m, exports::GetPicture);
        kind3_ = GetProcAddress(m, exports::GetPreview);  // optional
        return HasEntriesFor(kind) ? kind : 0;
    }
    if (kind == KIND_ARCHIVE) {
        kind1_ = GetProcAddress(m, exports::GetArchiveInfo);
        kind3_ = GetProcAddress(m, exports::GetFileInfo);
        kind2_ = GetProcAddress(m, exports::GetFile);
        return HasEntriesFor(kind) ? kind : 0;
    }
    return 0;
}

bool SpiInterface::HasEntriesFor(DWORD kind) const noexcept {
    if (!getPluginInfo_ || !isSupported_) return false;
    if (kind == KIND_PICTURE) return kind1_ && kind2_;  // GetPreview is optional
    if (kind == KIND_ARCHIVE) return kind1_ && kind2_ && kind3_;
    return false;
}

bool SpiInterface::IsBoundAs(DWORD kind) const noexcept {
    // The kind is asked again: the plug-in's answer, not a stored one, decides.
    return IsLoaded() && HasEntriesFor(kind) && Kind() == kind;
}

bool SpiInterface::Free() noexcept {
    HMODULE m = module_.release();
    return !m || FreeLibrary(m) != FALSE;
}

FARPROC SpiInterface::Export(const char* name) const noexcept {
    return module_ ? GetProcAddress(module_.get(), name) : nullptr;
}

}  // namespace SPI
