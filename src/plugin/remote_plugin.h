// Remote plug-ins: those this process cannot load (32-bit ones, ".spi", seen from the 64-bit
// server), and those a client asks to have isolated. Such a plug-in is served by a plug-in
// object of ours in another process; what the plug-in list needs of it is declared here and
// made above this layer, where COM objects live. A binding (SpiInterface) that holds one
// has no entry points of its own: everything it is asked goes to the plug-in over there.
#pragma once
#include <windows.h>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "names.h"
#include "source.h"

namespace SPI {

struct PictureProperties;
class DecodedPicture;

class RemotePlugin {
public:
    virtual ~RemotePlugin() = default;

    // A new, unloaded one of the same kind, for a copy of the binding.
    virtual std::unique_ptr<RemotePlugin> Clone() const = 0;

    // Loads the plug-in file at `path` over there: its kind (KIND_PICTURE, KIND_ARCHIVE),
    // or 0 when it cannot be loaded or is no plug-in; then it stays loaded all the same, as a
    // local binding's library does, until Unload.
    virtual DWORD Load(const std::wstring& path) noexcept = 0;
    virtual void Unload() noexcept = 0;
    virtual bool IsLoaded() const noexcept = 0;
    // Why the last Load found no plug-in when no process could serve it (the activation's
    // failure); S_OK when the file was looked at over there.
    virtual HRESULT LoadFailure() const noexcept { return S_OK; }
    // The kind as the loaded plug-in states it now; 0 when not loaded.
    virtual DWORD Kind() const noexcept = 0;

    // IsSupported(W) with `name` and the HEADER_SIZE bytes at `header`: S_OK accepted,
    // S_FALSE declined (or no answer to be had), E_INVALIDARG when its narrow entry could not
    // be given the name.
    virtual HRESULT IsSupported(const PluginName& name, const void* header) noexcept = 0;
    // GetPluginInfo(W) number `infoNo` read into a buffer of `size` characters: false when
    // the plug-in answers 0. Throws std::bad_alloc.
    virtual bool InfoText(int infoNo, int size, std::wstring& text) = 0;
    // GetPicture on `source` (a file name and offset, or a byte array and length): blocks
    // of this process holding the bytes of the two the plug-in handed back (Adopt), in
    // `out`; the plug-in's failure as its code mapped.
    virtual HRESULT Decode(Source& source, DecodedPicture& out) = 0;
    // GetPictureInfo's facts on `source`, as Decode takes it, copied here.
    virtual HRESULT ReadPictureProperties(Source& source, PictureProperties& out) = 0;
    // CreatePicture over there with the bytes of the two blocks, answering as
    // WritePictureFile does (E_TYPE_NOT_WRITTEN for a type it does not write).
    virtual HRESULT WritePicture(const std::wstring& destPath, std::span<const BYTE> info,
                                 std::span<const BYTE> pixels) = 0;

    // How many of the plug-in files `paths`, from the first on, surely decline `name` and
    // `header` (HEADER_SIZE bytes), asked over there in one call: each loaded there for the
    // question and let go again, as a walk here takes it, until one accepts or cannot be
    // given the name. One that ends the process over there counts as declining, as in a
    // walk. 0 when nothing can be told; the walk then asks each as before.
    virtual size_t CountDeclining(std::span<const std::wstring> paths, const PluginName& name,
                                  const void* header) noexcept = 0;
    // Whether `other` is served by the same process as this one: the two can be asked together.
    virtual bool ServedWith(const RemotePlugin& other) const noexcept = 0;

    // A new plug-in object of the other server loaded with the same file, asked for riid:
    // what the manager hands out for this binding.
    virtual HRESULT NewObject(const std::wstring& path, REFIID riid, void** out) noexcept = 0;
};

// Makes the RemotePlugin for each plug-in file discovery finds it cannot load; one for each
// plug-in list, which owns it.
class RemotePlugins {
public:
    virtual ~RemotePlugins() = default;
    // For a module of `machine`; `isolate` when the list isolates its plug-ins.
    virtual std::unique_ptr<RemotePlugin> Bind(WORD machine, bool isolate) const = 0;
};

// How a helper process binds the plug-in files of another machine in the lists it keeps of
// its own (a conversion worker's): set by the server where it runs as a helper; elsewhere
// there is none, and such files are bound here (and fail to load).
using RemotePluginsMaker = std::unique_ptr<RemotePlugins> (*)();
void SetHelperRemotePlugins(RemotePluginsMaker maker) noexcept;
std::unique_ptr<RemotePlugins> NewHelperRemotePlugins();

// The machine a module file is built for (IMAGE_FILE_MACHINE_I386, _AMD64, ...), read from
// its headers; 0 when the file is no module or cannot be read.
WORD ImageMachine(const std::wstring& path);

// This process's own machine.
constexpr WORD OWN_MACHINE = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;

}  // namespace SPI
