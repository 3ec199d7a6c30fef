// The plug-in list behind the manager: discovery in the search folders, the selection walk
// that finds the first plug-in taking a file or a block of bytes, the picture the accepting
// plug-ins decode, first success wins, as a bitmap file in memory, and the file-dialog
// filter made from every plug-in's file types. Names and folders are UTF-16 throughout;
// each plug-in is asked through its wide entries where it has them (names.h tells what a
// narrow one gets). No COM here: the manager class above holds one list and adds the
// Automation members. Errors: HRESULTs; only std::bad_alloc is thrown.
#pragma once
#include <windows.h>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../common/handles.h"
#include "names.h"
#include "picture.h"
#include "remote_plugin.h"
#include "source.h"
#include "spi_interface.h"

namespace SPI {

// Load flags of a discovery (0 given to Init stands for SPI_DEFAULT_FLAGS).
constexpr LONG SPI_UNLOAD_AFTER_PROBE = 0x1;  // list entries start unloaded
constexpr LONG SPI_PICTURE = 0x2;             // picture plug-ins are listed
constexpr LONG SPI_ARCHIVE = 0x4;             // archive plug-ins are listed
constexpr LONG SPI_SUSIE_FOLDER = 0x8;        // the viewer's own plug-in folder is scanned too
constexpr LONG SPI_ISOLATE = 0x10;            // plug-ins run in a helper process, not this one
constexpr LONG SPI_DEFAULT_FLAGS = 15;

// Where the viewer names its plug-in folder (under HKEY_CURRENT_USER).
constexpr const wchar_t* SUSIE_KEY_W = L"Software\\Velkarin\\Susie\\Plug-in";
constexpr const wchar_t* SUSIE_PATH_VALUE_W = L"Path";

// Plug-in paths, search patterns and the folder read from the registry have at most this
// many characters, NUL included; what does not fit is skipped, never cut into another path.
constexpr size_t PATH_BUFFER_SIZE = MAX_PATH;
constexpr DWORD FOLDER_READ_SIZE = 255;  // characters asked for from the system and the registry

// File-type bits of GetFileFilter's `type` (0 stands for both).
constexpr LONG FILTER_PICTURE = 0x1;
constexpr LONG FILTER_ARCHIVE = 0x2;
// Pairs taken from one plug-in at most: some plug-ins answer every information number.
constexpr int MAX_FILE_TYPES = 256;

// The filter text collected from the plug-ins, before it becomes one string.
class FileFilter {
public:
    // Characters of the text: "All images", NUL, the patterns joined by ";", NUL, then
    // every description and pattern each with its NUL. The string's own terminator follows.
    size_t Length() const noexcept;
    // Writes Length() characters to dest.
    void WriteTo(wchar_t* dest) const noexcept;

    void Add(std::wstring description, std::wstring pattern);
    size_t Pairs() const noexcept { return entries_.size() / 2; }

private:
    std::vector<std::wstring> entries_;  // description, pattern, description, ...
    std::wstring patterns_;              // every pattern followed by ";"
};

// Why discovery lists one file or not: Check's answer. `code` is
//   S_OK           listed; `detail` is its kind (information number 0, e.g. "00IN");
//   S_FALSE        a plug-in of a kind the load flags leave out; `detail` is its kind;
//   the system's code for a file that cannot be read (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ...);
//   HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)             no module at all (a text file, a folder);
//   HRESULT_FROM_WIN32(ERROR_EXE_MACHINE_TYPE_MISMATCH)  a module for another machine that this
//                  server does not serve; `detail` names the machine ("x64", "x86", ...);
//   HRESULT_FROM_WIN32(ERROR_INVALID_NAME)  a name discovery does not look at; `detail` the endings;
//   the loader's code as an HRESULT (ERROR_MOD_NOT_FOUND for a missing dependency,
//                  ERROR_DLL_INIT_FAILED for a library whose start-up failed ...);
//   HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)  an entry the plug-in must export is missing;
//                  `detail` is its export name;
//   HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)   a kind no plug-in of this server has; `detail`
//                  is what the library answered;
//   for a plug-in served by another process, the reason it could not be served there
//                  (RemotePlugin::LoadFailure); `detail` names its machine.
struct PluginCheck {
    HRESULT code = S_OK;
    std::wstring detail;
};

// The step of a picture walk that a helper process notes for its client (NoteAsking): 2 i
// while entry i is loaded and asked, 2 i + 1 while it decodes.
constexpr LONG WalkStep(size_t entry, bool decoding) noexcept {
    return static_cast<LONG>(2 * entry + (decoding ? 1 : 0));
}

class PluginList {
public:
    // Discovery with the default flags and no search folder, binding the remote plug-ins
    // through `remote`; null binds every file here.
    explicit PluginList(std::unique_ptr<RemotePlugins> remote = nullptr);
    // Exactly the plug-in files `paths`, in that order, none loaded: a worker's copy of a
    // manager's list, which binds those of another machine through `remote` (null: here).
    // An entry a walk loads stays loaded.
    PluginList(const std::vector<std::wstring>& paths, std::unique_ptr<RemotePlugins> remote);
    PluginList(const PluginList&) = delete;
    PluginList& operator=(const PluginList&) = delete;
    // Its entries go, and with them the modules kept warm for it.
    ~PluginList();

    // Replaces the list: the current directory, `folder` when given (an empty one is a
    // folder too), the system directory and, with SPI_SUSIE_FOLDER, the viewer's folder.
    // E_PLUGIN_IN_CALL, the list untouched, while a walk over it is running.
    HRESULT LoadPlugins(LONG flags, const std::optional<std::wstring>& folder);
    // Appends the plug-ins of one folder (null: the current directory) that the load flags
    // accept: "*.spi" files, and in the 64-bit build ".sph" and ".spi" files alike, in the
    // order the system lists them; a 32-bit one is bound as a remote plug-in when there are
    // remote plug-ins, and with SPI_ISOLATE every one is. A remote one that no process could
    // be had for is listed whatever its kind: it fails its calls, it is never left out
    // unseen. False when no file matched.
    bool AddFolder(const wchar_t* folder);

    // The first entry whose IsSupported (IsSupportedW where it has one) accepts `name` and
    // the header at `header`, in list order; null when none does. Entries loaded for the
    // question and declining are unloaded again; the chosen one stays loaded. An entry with
    // only the narrow form is not asked when `name` cannot be given to it: then
    // name.Refused() tells so.
    SpiInterface* FindSupporting(PluginName& name, const void* header);
    // The same with a header of HEADER_SIZE bytes read from `file` at `offset`; bytes the
    // file does not fill are zero.
    SpiInterface* FindSupportingFile(PluginName& name, HANDLE file, LONG offset);
    // The same for a memory source: HEADER_SIZE bytes at its address, or a copy padded with
    // zeros of a shorter source (Source::Bytes).
    SpiInterface* FindSupportingMemory(PluginName& name, const Source& source);

    // Decodes `source` into a bitmap file in a new movable global block. The plug-ins that
    // accept it are asked in list order, as FindSupporting asks them; when one fails (its
    // code, a block missing, a header asking more than the blocks hold), the walk goes on
    // to the next, and the first picture made is the result. An archive plug-in that
    // accepts ends the walk, as it always has. When none succeeds: the first failure, as
    // E_OUTOFMEMORY for a missing block, E_FAIL for a refused header, or the plug-in's code
    // mapped; else E_INVALIDARG when a narrow plug-in could not be given the name, else
    // E_FAIL. Only the plug-in whose picture is the result stays loaded of those the walk
    // loaded. Releases `source`.
    HRESULT ComposePicture(Source& source, Tamrix::UniqueHglobal& bitmap);
    // The same walk, handing back the decoded blocks themselves, their layout accepted.
    HRESULT DecodePicture(Source& source, DecodedPicture& picture);
    // The same walk over the archive plug-ins that accept `source` (picture plug-ins that
    // accept are passed by): `list(entry)` is asked of each in list order until one
    // succeeds, the first failure the answer when none does, as DecodePicture answers.
    // Releases `source`.
    HRESULT ListArchive(Source& source, const std::function<HRESULT(SpiInterface&)>& list);
    // Where a picture walk stands when it is taken a stretch at a time.
    struct WalkPoint {
        size_t next = 0;         // the entry it goes on at; the list's size once it is over
        HRESULT failure = S_OK;  // its first failure so far
    };
    // DecodePicture's walk from point.next on, for one that goes on in a new process when a
    // plug-in ends the one it ran in: it stops after an entry that accepts the source and
    // fails to decode it (the result that failure, `point` past it), or at its end (the
    // result DecodePicture's). Each step is noted (NoteAsking, WalkStep).
    HRESULT DecodeStretch(Source& source, WalkPoint& point, DecodedPicture& picture);
    // The same walk over GetPictureInfo (ReadPictureProperties): nothing is decoded.
    HRESULT ReadPictureProperties(Source& source, PictureProperties& properties);
    // `picture` as the file destPath: a ".bmp" (any case) as the bitmap file, another type
    // by the first picture plug-in in list order that writes it (WritePictureFile); one
    // answering E_TYPE_NOT_WRITTEN hands on to the next. E_TYPE_NOT_WRITTEN, nothing
    // written, when none writes it; E_FAIL when `picture` holds no blocks.
    HRESULT WritePicture(const std::wstring& destPath, const DecodedPicture& picture);

    // Whether discovery with this list's load flags and remote plug-ins would list the file
    // at `path`, and why not. The file is loaded for the question and unloaded again.
    PluginCheck Check(const std::wstring& path) const;

    // The file types of the plug-ins whose kind `type` selects; every entry ends in the
    // load state it had.
    FileFilter CollectFileFilter(LONG type);

    LONG LoadFlags() const noexcept { return loadFlags_; }
    // The code page setting of the plug-ins' narrow texts and names, for every entry now and
    // every one a later discovery makes (by default ProcessCodePage()).
    void FollowCodePage(Tamrix::CodePageSetting setting);
    std::vector<SpiInterface>& Plugins() noexcept { return plugins_; }
    const std::vector<SpiInterface>& Plugins() const noexcept { return plugins_; }

    // Marks the list as walked for its lifetime: LoadPlugins is refused meanwhile, so a
    // plug-in that calls back into the manager cannot drop the entries being walked.
    class Walk {
    public:
        explicit Walk(PluginList& list) noexcept : list_(list) { ++list_.walks_; }
        ~Walk() { --list_.walks_; }
        Walk(const Walk&) = delete;
        Walk& operator=(const Walk&) = delete;

    private:
        PluginList& list_;
    };

private:
    bool Accepts(DWORD kind) const noexcept;
    HRESULT Decode(SpiInterface& entry, Source& source, DecodedPicture& picture);
    // Asks `ask(entry)` of the plug-ins of `kind` accepting `source`, in list order, until one
    // succeeds; the failures and the result as DecodePicture tells. Releases `source`.
    // `point` and `stretch` as DecodeStretch takes them.
    template <class Ask>
    HRESULT FirstAccepting(Source& source, DWORD kind, WalkPoint& point, bool stretch, Ask&& ask);
    // How many entries from index `first` on decline `name` and `header` for sure: remote
    // entries not loaded, served by one process, asked there in one call (a walk of such
    // entries one by one costs a few calls into that process each). 0 when the entry at
    // `first` is none such or nothing could be told: the walk then asks it as any other.
    size_t DecliningAhead(size_t first, const PluginName& name, const void* header);
    // A binding for the plug-in file at `path`: here, or as a remote plug-in for a module of
    // another machine.
    SpiInterface Binding(std::wstring path) const;

    std::unique_ptr<RemotePlugins> remote_;  // before the list, which may use it to the end
    Tamrix::CodePageSetting codePage_ = ProcessCodePage();
    LONG loadFlags_ = SPI_DEFAULT_FLAGS;
    std::vector<SpiInterface> plugins_;
    bool keepsLoaded_ = false;  // entries a walk loads stay loaded
    int walks_ = 0;
};

// Loads an unloaded entry for the length of one question and unloads it again at the end,
// unless Keep() was called (or `keep` given); an entry loaded before is left as it is.
class LoadedForCall {
public:
    explicit LoadedForCall(SpiInterface& entry, bool keep = false);
    LoadedForCall(const LoadedForCall&) = delete;
    LoadedForCall& operator=(const LoadedForCall&) = delete;
    ~LoadedForCall();

    // Loaded and probed as a plug-in.
    bool Ok() const noexcept { return ok_; }
    void Keep() noexcept { keep_ = true; }

private:
    SpiInterface& entry_;
    bool loadedHere_;
    bool ok_;
    bool keep_ = false;
};

// Loads an unloaded entry for good (Item, enumeration): false, and unloaded, when it no
// longer probes as a plug-in.
bool LoadOnDemand(SpiInterface& entry);

// The header a memory source shows IsSupported: HEADER_SIZE bytes at its address, or, as
// plug-ins may read a whole header, `copy` holding a shorter source padded with zeros.
const void* ShownHeader(const Source& source, BYTE (&copy)[HEADER_SIZE]);

// IsSupported(W) of one loaded entry (here or remote) with the HEADER_SIZE bytes at
// `header`: S_OK accepted, S_FALSE declined or no entry, E_INVALIDARG when a narrow entry
// cannot be given the name (it is not called).
HRESULT AskSupported(const SpiInterface& entry, PluginName& name, const void* header);

// GetPluginInfo(W) number `infoNo` of a loaded entry into a cleared buffer of `size`
// characters (at most TEXT_BUFFER_SIZE): false when the plug-in answers 0. The text is what
// the buffer holds up to its first NUL, never past the buffer, whatever the plug-in answered.
bool PluginInfoText(const SpiInterface& entry, int infoNo, int size, std::wstring& text);

}  // namespace SPI
