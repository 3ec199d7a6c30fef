// One plug-in file bound: its path, its library (one load reference per loaded binding)
// and its entry points, the wide forms beside the narrow ones where the plug-in exports
// them. A value class: a copy of a loaded binding takes a load reference of its own on the
// same module, so bindings never unload each other. A remote plug-in (remote_plugin.h) is
// bound through a RemotePlugin instead: loaded then means loaded over there, and the
// binding has no entry points.
// Errors in this layer are HRESULTs (or a plain answer where nothing can fail); the only
// exception that leaves it is std::bad_alloc.
#pragma once
#include <windows.h>
#include <memory>
#include <string>

#include "../common/handles.h"
#include "call_guard.h"
#include "module_retention.h"
#include "remote_plugin.h"
#include "spi_api.h"

namespace SPI {

// Buffer sizes handed to GetPluginInfo.
constexpr int KIND_BUFFER_SIZE = 8;      // information number 0
constexpr int TEXT_BUFFER_SIZE = 260;    // number 1 and a client's numbers
constexpr int PATTERN_BUFFER_SIZE = 64;  // numbers 2, 3, 4, ... (file type pairs)

// The answer to a request that would unload a plug-in, or drop the list it is in, while a
// call into it is running (a dialog that pumps messages, a callback into the server).
inline constexpr HRESULT E_PLUGIN_IN_CALL = HRESULT_FROM_WIN32(ERROR_BUSY);

// A plug-in result code as an HRESULT: 0 S_OK, 1 E_ABORT, 4 and 5 E_OUTOFMEMORY, the
// other known failures E_FAIL, and every other code (-1 included) E_NOTIMPL.
HRESULT MapResult(int code) noexcept;

// The progress callback given to every plug-in: it never cancels.
int WINAPI IgnoreProgress(int num, int denom, LONG_PTR data);

// An export found by name, as the entry type it has (via the generic function type,
// which is what GetProcAddress's result really is).
template <class Fn>
Fn EntryAs(FARPROC p) noexcept {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(p));
}

class SpiInterface {
public:
    SpiInterface() = default;
    // The library's path, loaded through the system's wide functions.
    explicit SpiInterface(std::wstring path) : path_(std::move(path)) {}
    // A remote plug-in served through `remote` (unloaded).
    SpiInterface(std::wstring path, std::unique_ptr<RemotePlugin> remote)
        : path_(std::move(path)), remote_(std::move(remote)) {}
    SpiInterface(const SpiInterface& other);
    SpiInterface& operator=(const SpiInterface& other);
    SpiInterface(SpiInterface&& other) noexcept = default;
    SpiInterface& operator=(SpiInterface&& other) noexcept = default;
    ~SpiInterface() { Unload(); }

    // Loads (if needed) and classifies the plug-in: KIND_PICTURE, KIND_ARCHIVE or 0.
    // On a loaded binding it only asks the kind again. A library that loads but fails
    // the probe stays loaded; the caller decides what to do with it.
    DWORD Probe();
    // Frees the library if loaded; path and entries stay.
    void Unload() noexcept {
        if (remote_) remote_->Unload();
        FreePluginModule(module_.release(), warmOwner_);
    }
    // Frees the library and reports whether the system agreed.
    bool Free() noexcept;

    bool IsLoaded() const noexcept { return remote_ ? remote_->IsLoaded() : static_cast<bool>(module_); }
    // The remote plug-in, or null for one bound here.
    RemotePlugin* Remote() const noexcept { return remote_.get(); }
    HMODULE Module() const noexcept { return module_.get(); }
    const std::wstring& WidePath() const noexcept { return path_; }
    void SetPath(std::wstring path) { path_ = std::move(path); }
    // The module this binding lets go stays warm for `owner` (module_retention.h); a copy
    // keeps none warm.
    void KeepWarmFor(WarmOwner owner) noexcept { warmOwner_ = owner; }

    // The code page of the plug-in's narrow texts and names, read now from the setting the
    // binding follows (a manager's, shared by its entries and their copies; text.h).
    UINT CodePage() const noexcept { return Tamrix::CodePageOf(codePage_); }
    const Tamrix::CodePageSetting& FollowedCodePage() const noexcept { return codePage_; }
    void FollowCodePage(Tamrix::CodePageSetting setting) noexcept { codePage_ = std::move(setting); }

    // Calls `entry`, one of this binding's entries, holding a load reference on the library
    // while it runs, so that nothing the plug-in sets off meanwhile can unload the code that
    // runs; InCall() tells such re-entrant requests to wait (E_PLUGIN_IN_CALL). In a
    // helper process the call runs guarded (call_guard.h).
    template <class Entry, class... Args>
    int Invoke(Entry entry, Args... args) const {
        const InCallScope scope(*this);
        return CallGuarded([&] { return entry(args...); });
    }
    bool InCall() const noexcept { return calls_ > 0; }

    // The kind as the loaded plug-in states it now (0 when not loaded).
    DWORD Kind() const noexcept;
    // Whether every entry a plug-in of `kind` must export was resolved.
    bool HasEntriesFor(DWORD kind) const noexcept;
    // The export name of the first entry a plug-in of `kind` must export that was not
    // resolved, null when none is missing; of an unknown kind only the two entries every
    // plug-in has are asked for.
    const char* MissingEntry(DWORD kind) const noexcept;
    // Loaded, with every entry of `kind`, and saying now that it is of `kind`: only then
    // may the kind's entries be called. Entries left from an earlier library never are.
    // Never for a remote plug-in, which has none here.
    bool IsBoundAs(DWORD kind) const noexcept;
    // Loaded (here or over there) and saying now that it is of `kind`.
    bool Is(DWORD kind) const noexcept { return remote_ ? remote_->Kind() == kind : IsBoundAs(kind); }

    GetPluginInfoFn GetPluginInfoEntry() const noexcept { return getPluginInfo_; }
    IsSupportedFn IsSupportedEntry() const noexcept { return isSupported_; }
    // Wide forms, null where the plug-in has none (or, for the kind's entries, where the
    // plug-in is not bound as that kind).
    GetPluginInfoWFn GetPluginInfoWEntry() const noexcept { return getPluginInfoW_; }
    IsSupportedWFn IsSupportedWEntry() const noexcept { return isSupportedW_; }
    // Picture plug-in entries.
    GetPictureInfoFn GetPictureInfoEntry() const noexcept {
        return EntryAs<GetPictureInfoFn>(kind1_);
    }
    GetPictureFn GetPictureEntry() const noexcept { return EntryAs<GetPictureFn>(kind2_); }
    GetPreviewFn GetPreviewEntry() const noexcept { return EntryAs<GetPreviewFn>(kind3_); }
    GetPictureInfoWFn GetPictureInfoWEntry() const noexcept {
        return kind_ == KIND_PICTURE ? EntryAs<GetPictureInfoWFn>(kind1W_) : nullptr;
    }
    GetPictureWFn GetPictureWEntry() const noexcept {
        return kind_ == KIND_PICTURE ? EntryAs<GetPictureWFn>(kind2W_) : nullptr;
    }
    GetPreviewWFn GetPreviewWEntry() const noexcept {
        return kind_ == KIND_PICTURE ? EntryAs<GetPreviewWFn>(kind3W_) : nullptr;
    }
    // A picture plug-in's writer, optional in both forms; null unless bound as one.
    CreatePictureFn CreatePictureEntry() const noexcept {
        return kind_ == KIND_PICTURE ? EntryAs<CreatePictureFn>(create_) : nullptr;
    }
    CreatePictureWFn CreatePictureWEntry() const noexcept {
        return kind_ == KIND_PICTURE ? EntryAs<CreatePictureWFn>(createW_) : nullptr;
    }

    // Archive plug-in entries.
    GetArchiveInfoFn GetArchiveInfoEntry() const noexcept {
        return EntryAs<GetArchiveInfoFn>(kind1_);
    }
    GetFileFn GetFileEntry() const noexcept { return EntryAs<GetFileFn>(kind2_); }
    GetFileInfoFn GetFileInfoEntry() const noexcept { return EntryAs<GetFileInfoFn>(kind3_); }
    GetArchiveInfoWFn GetArchiveInfoWEntry() const noexcept {
        return kind_ == KIND_ARCHIVE ? EntryAs<GetArchiveInfoWFn>(kind1W_) : nullptr;
    }
    GetFileWFn GetFileWEntry() const noexcept { return kind_ == KIND_ARCHIVE ? EntryAs<GetFileWFn>(kind2W_) : nullptr; }
    GetFileInfoWFn GetFileInfoWEntry() const noexcept {
        return kind_ == KIND_ARCHIVE ? EntryAs<GetFileInfoWFn>(kind3W_) : nullptr;
    }
    // An optional export looked up in the loaded module now (null when not loaded).
    FARPROC Export(const char* name) const noexcept;

private:
    // One call into the plug-in: counted, with a load reference of its own on the library.
    class InCallScope {
    public:
        explicit InCallScope(const SpiInterface& binding) noexcept;
        ~InCallScope();
        InCallScope(const InCallScope&) = delete;
        InCallScope& operator=(const InCallScope&) = delete;

    private:
        const SpiInterface& binding_;
        HMODULE held_ = nullptr;
    };

    DWORD AskKind() const noexcept;
    void CopyFrom(const SpiInterface& other);
    void ClearEntries() noexcept;

    std::wstring path_;
    std::wstring modulePath_;  // the loaded module's full path, which a copy loads by
    std::unique_ptr<RemotePlugin> remote_;
    Tamrix::CodePageSetting codePage_ = ProcessCodePage();
    UniquePluginModule module_;
    WarmOwner warmOwner_ = nullptr;
    mutable int calls_ = 0;
    GetPluginInfoFn getPluginInfo_ = nullptr;
    IsSupportedFn isSupported_ = nullptr;
    FARPROC kind1_ = nullptr;  // GetPictureInfo or GetArchiveInfo
    FARPROC kind2_ = nullptr;  // GetPicture or GetFile
    FARPROC kind3_ = nullptr;  // GetPreview or GetFileInfo
    // The wide forms, and the kind whose entries kind1W_ ... kind3W_ hold (0: none).
    GetPluginInfoWFn getPluginInfoW_ = nullptr;
    IsSupportedWFn isSupportedW_ = nullptr;
    DWORD kind_ = 0;
    FARPROC kind1W_ = nullptr;
    FARPROC kind2W_ = nullptr;
    FARPROC kind3W_ = nullptr;
    FARPROC create_ = nullptr;  // CreatePicture and CreatePictureW
    FARPROC createW_ = nullptr;
};

}  // namespace SPI
