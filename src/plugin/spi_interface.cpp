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
    FreePluginModule(module_.release(), warmOwner_);
    path_ = other.path_;
    modulePath_ = other.modulePath_;
    codePage_ = other.codePage_;
    // A remote plug-in: a copy loaded over there too, if the original is.
    remote_.reset();
    if (other.remote_) {
        remote_ = other.remote_->Clone();
        if (other.remote_->IsLoaded()) remote_->Load(path_);
    }
    getPluginInfo_ = other.getPluginInfo_;
    isSupported_ = other.isSupported_;
    kind1_ = other.kind1_;
    kind2_ = other.kind2_;
    kind3_ = other.kind3_;
    getPluginInfoW_ = other.getPluginInfoW_;
    isSupportedW_ = other.isSupportedW_;
    kind_ = other.kind_;
    kind1W_ = other.kind1W_;
    kind2W_ = other.kind2W_;
    kind3W_ = other.kind3W_;
    create_ = other.create_;
    createW_ = other.createW_;
    if (!other.module_) return;
    // A load reference of its own, by the full path the original loaded: the bound path may
    // be relative, and the current folder may have changed since. The entries are the
    // original's only if the same module came back; otherwise the copy stays unloaded.
    module_.reset(LoadPluginModule(modulePath_.c_str()));
    if (module_.get() != other.module_.get()) {
        module_.reset();
        ClearEntries();
    }
}

void SpiInterface::ClearEntries() noexcept {
    getPluginInfo_ = nullptr;
    isSupported_ = nullptr;
    kind1_ = kind2_ = kind3_ = nullptr;
    getPluginInfoW_ = nullptr;
    isSupportedW_ = nullptr;
    kind_ = 0;
    kind1W_ = kind2W_ = kind3W_ = nullptr;
    create_ = createW_ = nullptr;
}

SpiInterface::InCallScope::InCallScope(const SpiInterface& binding) noexcept : binding_(binding) {
    ++binding_.calls_;
    // The module the binding holds, by its address: no path, no other module.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(binding_.module_.get()),
                       &held_);
}

SpiInterface::InCallScope::~InCallScope() {
    if (held_) FreeLibrary(held_);
    --binding_.calls_;
}

DWORD SpiInterface::AskKind() const noexcept {
    char kind[KIND_BUFFER_SIZE] = {};  // cleared: a plug-in that writes less gives no stale bytes
    Invoke(getPluginInfo_, 0, kind, KIND_BUFFER_SIZE);
    DWORD value;
    std::memcpy(&value, kind, sizeof value);
    return value;
}

DWORD SpiInterface::Kind() const noexcept {
    if (remote_) return remote_->Kind();
    return module_ && getPluginInfo_ ? AskKind() : 0;
}

DWORD SpiInterface::Probe() {
    if (remote_) return remote_->IsLoaded() ? remote_->Kind() : remote_->Load(path_);
    if (module_) return getPluginInfo_ ? AskKind() : 0;

    module_.reset(LoadPluginModule(path_.c_str()));
    if (!module_) return 0;
    modulePath_ = ModulePath(module_.get());
    // Entries of an earlier library must not outlive it into this one: a probe that stops
    // half-way leaves null entries, never addresses in a library that is gone.
    ClearEntries();
    HMODULE m = module_.get();
    getPluginInfo_ = EntryAs<GetPluginInfoFn>(GetProcAddress(m, exports::GetPluginInfo));
    isSupported_ = EntryAs<IsSupportedFn>(GetProcAddress(m, exports::IsSupported));
    if (!getPluginInfo_ || !isSupported_) return 0;
    // The wide forms are optional, each on its own.
    getPluginInfoW_ = EntryAs<GetPluginInfoWFn>(GetProcAddress(m, exports::GetPluginInfoW));
    isSupportedW_ = EntryAs<IsSupportedWFn>(GetProcAddress(m, exports::IsSupportedW));

    const DWORD kind = AskKind();
    if (kind == KIND_PICTURE) {
        kind1_ = GetProcAddress(m, exports::GetPictureInfo);
        kind2_ = GetProcAddress(m, exports::GetPicture);
        kind3_ = GetProcAddress(m, exports::GetPreview);  // optional
        kind_ = kind;
        kind1W_ = GetProcAddress(m, exports::GetPictureInfoW);
        kind2W_ = GetProcAddress(m, exports::GetPictureW);
        kind3W_ = GetProcAddress(m, exports::GetPreviewW);
        create_ = GetProcAddress(m, exports::CreatePicture);
        createW_ = GetProcAddress(m, exports::CreatePictureW);
        return HasEntriesFor(kind) ? kind : 0;
    }
    if (kind == KIND_ARCHIVE) {
        kind1_ = GetProcAddress(m, exports::GetArchiveInfo);
        kind3_ = GetProcAddress(m, exports::GetFileInfo);
        kind2_ = GetProcAddress(m, exports::GetFile);
        kind_ = kind;
        kind1W_ = GetProcAddress(m, exports::GetArchiveInfoW);
        kind3W_ = GetProcAddress(m, exports::GetFileInfoW);
        kind2W_ = GetProcAddress(m, exports::GetFileW);
        return HasEntriesFor(kind) ? kind : 0;
    }
    return 0;
}

const char* SpiInterface::MissingEntry(DWORD kind) const noexcept {
    if (!getPluginInfo_) return exports::GetPluginInfo;
    if (!isSupported_) return exports::IsSupported;
    if (kind == KIND_PICTURE) {  // GetPreview is optional
        if (!kind1_) return exports::GetPictureInfo;
        if (!kind2_) return exports::GetPicture;
    } else if (kind == KIND_ARCHIVE) {
        if (!kind1_) return exports::GetArchiveInfo;
        if (!kind2_) return exports::GetFile;
        if (!kind3_) return exports::GetFileInfo;
    }
    return nullptr;
}

bool SpiInterface::HasEntriesFor(DWORD kind) const noexcept {
    return (kind == KIND_PICTURE || kind == KIND_ARCHIVE) && !MissingEntry(kind);
}

bool SpiInterface::IsBoundAs(DWORD kind) const noexcept {
    // The kind is asked again: the plug-in's answer, not a stored one, decides.
    return IsLoaded() && HasEntriesFor(kind) && Kind() == kind;
}

bool SpiInterface::Free() noexcept {
    if (remote_) remote_->Unload();
    return FreePluginModule(module_.release(), warmOwner_);
}

FARPROC SpiInterface::Export(const char* name) const noexcept {
    return module_ ? GetProcAddress(module_.get(), name) : nullptr;
}

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
    default:
        return E_NOTIMPL;
    }
}

int WINAPI IgnoreProgress(int, int, LONG_PTR) {
    return 0;
}

}  // namespace SPI
