#include "plugin_list.h"

#include <cstring>
#include <cwchar>
#include <iterator>
#include <new>

#include "../common/failure_note.h"
#include "../common/text.h"
#include "failure_words.h"

namespace SPI {

namespace {

constexpr wchar_t ALL_IMAGES[] = L"All images";
constexpr size_t ALL_IMAGES_LENGTH = std::size(ALL_IMAGES) - 1;

// The folder the viewer keeps its plug-ins in, from its registry value; false when the key
// or the value is missing or longer than the read allows. A string value is read as UTF-16;
// any other kind holds the folder's narrow text, in the ANSI code page, as the viewer wrote it.
bool ReadSusieFolder(std::wstring& folder) {
    Tamrix::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SUSIE_KEY_W, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    wchar_t buffer[FOLDER_READ_SIZE] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(key.get(), SUSIE_PATH_VALUE_W, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return false;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        // A value stored without its NUL ends where the read ended.
        const size_t length = size / sizeof(wchar_t);
        folder.assign(buffer, wcsnlen(buffer, length));
        return true;
    }
    if (size > FOLDER_READ_SIZE) return false;
    const char* bytes = reinterpret_cast<const char*>(buffer);
    return SUCCEEDED(Tamrix::ToWide(bytes, strnlen(bytes, size), folder));
}

// The header shown to IsSupported for a file: HEADER_SIZE bytes read from `file` at
// `offset`, zeros wherever a short or failed read leaves bytes unfilled.
void ReadHeader(HANDLE file, LONG offset, BYTE (&header)[HEADER_SIZE]) {
    std::memset(header, 0, HEADER_SIZE);
    DWORD read = 0;
    // An offset the file cannot be positioned at (a negative one) has no bytes: reading on
    // from wherever the file stood would show the plug-ins other data.
    if (SetFilePointer(file, offset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, header, HEADER_SIZE, &read, nullptr) || read > HEADER_SIZE)
        read = 0;
    std::memset(header + read, 0, HEADER_SIZE - read);
}

// The files discovery looks at: 32-bit plug-ins (".spi"), and, in the 64-bit build, 64-bit
// ones (".sph") too, both listed by one enumeration so that each folder keeps the system's
// order; the extension is checked on the long name.
#ifdef _WIN64
constexpr wchar_t PLUGIN_PATTERN[] = L"*.sp?";
bool IsPluginName(const wchar_t* name, size_t length) {
    if (length < 4) return false;
    const wchar_t* ext = name + length - 4;
    return CompareStringOrdinal(ext, 4, L".spi", 4, TRUE) == CSTR_EQUAL ||
           CompareStringOrdinal(ext, 4, L".sph", 4, TRUE) == CSTR_EQUAL;
}
#else
constexpr wchar_t PLUGIN_PATTERN[] = L"*.spi";
bool IsPluginName(const wchar_t*, size_t) {
    return true;  // the pattern alone decides, as it always has
}
#endif

// The extensions discovery lists (the long name's), as Check names them.
#ifdef _WIN64
constexpr wchar_t PLUGIN_ENDINGS[] = L".spi .sph";
#else
constexpr wchar_t PLUGIN_ENDINGS[] = L".spi";
#endif
bool HasPluginEnding(const std::wstring& path) {
#ifdef _WIN64
    return IsPluginName(path.c_str(), path.size());
#else
    return path.size() >= 4 && CompareStringOrdinal(path.c_str() + path.size() - 4, 4, L".spi", 4, TRUE) == CSTR_EQUAL;
#endif
}

// A machine's usual name, or its number.
std::wstring MachineName(WORD machine) {
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return L"x86";
    case IMAGE_FILE_MACHINE_AMD64:
        return L"x64";
    case 0xAA64:  // IMAGE_FILE_MACHINE_ARM64
        return L"ARM64";
    case IMAGE_FILE_MACHINE_ARMNT:
        return L"ARM";
    default: {
        wchar_t number[8];
        swprintf(number, 8, L"0x%04X", machine);
        return number;
    }
    }
}

// A file opened for reading its header, by any name the system takes.
Tamrix::UniqueFile OpenForHeader(const PluginName& name) {
    if (name.IsNull()) return Tamrix::UniqueFile();
    return Tamrix::UniqueFile(CreateFileW(SystemPath(name.Text()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
}

// The bytes a locked block holds.
std::span<const BYTE> BytesOf(const Tamrix::SharedLocalBlock& block) noexcept {
    return {static_cast<const BYTE*>(block->Address()), block->Size()};
}

}  // namespace

const void* ShownHeader(const Source& source, BYTE (&copy)[HEADER_SIZE]) {
    if (source.Bytes() >= HEADER_SIZE) return source.Buf();
    std::memset(copy, 0, HEADER_SIZE);
    if (source.Bytes() > 0) std::memcpy(copy, source.Buf(), source.Bytes());
    return copy;
}

// ---- Loading on demand -----------------------------------------------------------------

LoadedForCall::LoadedForCall(SpiInterface& entry, bool keep)
    : entry_(entry), loadedHere_(!entry.IsLoaded()), keep_(keep) {
    ok_ = !loadedHere_ || entry_.Probe() != 0;
}

LoadedForCall::~LoadedForCall() {
    // A failed probe may leave the library loaded: it goes too.
    if (loadedHere_ && (!keep_ || !ok_)) entry_.Unload();
}

bool LoadOnDemand(SpiInterface& entry) {
    LoadedForCall loaded(entry);
    if (loaded.Ok()) loaded.Keep();
    return loaded.Ok();
}

bool PluginInfoText(const SpiInterface& entry, int infoNo, int size, std::wstring& text) {
    if (size < 0 || size > TEXT_BUFFER_SIZE) size = TEXT_BUFFER_SIZE;
    if (RemotePlugin* remote = entry.Remote()) return remote->InfoText(infoNo, size, text);
    const size_t length = static_cast<size_t>(size);
    // Read only as far as the buffer goes: some plug-ins write no NUL. GetPluginInfoW's where
    // the plug-in has it.
    if (GetPluginInfoWFn wide = entry.GetPluginInfoWEntry()) {
        wchar_t buffer[TEXT_BUFFER_SIZE] = {};
        const int answer = entry.Invoke(wide, infoNo, buffer, size);
        text.assign(buffer, wcsnlen(buffer, length));
        return answer != 0;
    }
    char buffer[TEXT_BUFFER_SIZE] = {};
    const int answer = entry.Invoke(entry.GetPluginInfoEntry(), infoNo, buffer, size);
    if (FAILED(Tamrix::ToWide(buffer, strnlen(buffer, length), text, entry.CodePage()))) throw std::bad_alloc();
    return answer != 0;
}

// ---- Discovery -------------------------------------------------------------------------

PluginList::PluginList(std::unique_ptr<RemotePlugins> remote) : remote_(std::move(remote)) {
    LoadPlugins(SPI_DEFAULT_FLAGS, std::nullopt);
}

PluginList::PluginList(const std::vector<std::wstring>& paths, std::unique_ptr<RemotePlugins> remote)
    : remote_(std::move(remote)), keepsLoaded_(true) {
    plugins_.reserve(paths.size());
    for (const std::wstring& path : paths) plugins_.push_back(Binding(path));
}

PluginList::~PluginList() {
    plugins_.clear();
    DropWarmModules(this);
}

SpiInterface PluginList::Binding(std::wstring path) const {
    if (remote_) {
        const WORD machine = ImageMachine(path);
        const bool isolate = (loadFlags_ & SPI_ISOLATE) != 0;
        if (machine != 0 && (machine != OWN_MACHINE || isolate)) {
            // Another process loads it, from another current directory: by its full path.
            std::wstring full(PATH_BUFFER_SIZE, L'\0');
            const DWORD n = GetFullPathNameW(path.c_str(), PATH_BUFFER_SIZE, full.data(), nullptr);
            if (n > 0 && n < PATH_BUFFER_SIZE) {
                full.resize(n);
                if (std::unique_ptr<RemotePlugin> plugin = remote_->Bind(machine, isolate)) {
                    SpiInterface binding(std::move(full), std::move(plugin));
                    binding.FollowCodePage(codePage_);
                    return binding;
                }
            }
        }
    }
    SpiInterface binding(std::move(path));
    binding.KeepWarmFor(this);
    binding.FollowCodePage(codePage_);
    return binding;
}

void PluginList::FollowCodePage(Tamrix::CodePageSetting setting) {
    codePage_ = std::move(setting);
    for (SpiInterface& entry : plugins_) entry.FollowCodePage(codePage_);
}

PluginCheck PluginList::Check(const std::wstring& path) const {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return {HRESULT_FROM_WIN32(GetLastError()), {}};
    const WORD machine = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ImageMachine(path);
    if (machine == 0) return {HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT), {}};
    // Another machine's module is served only where another process can load it.
    if (machine != OWN_MACHINE && !(remote_ && remote_->Bind(machine, false)))
        return {HRESULT_FROM_WIN32(ERROR_EXE_MACHINE_TYPE_MISMATCH), MachineName(machine)};
    if (!HasPluginEnding(path)) return {HRESULT_FROM_WIN32(ERROR_INVALID_NAME), PLUGIN_ENDINGS};

    SpiInterface probe = Binding(path);
    probe.KeepWarmFor(nullptr);  // the question's load is freed at once
    // Loaded here first by the caller's own request, so that the loader's reason is told;
    // the probe takes a reference of its own on the same module.
    UniquePluginModule module;
    if (!probe.Remote()) {
        module.reset(LoadPluginModule(path.c_str()));
        if (!module) return {HRESULT_FROM_WIN32(GetLastError()), {}};
    }
    const DWORD probed = probe.Probe();
    if (probe.Remote() && probed == 0) {
        // Looked at over there and found no plug-in: the other process's own reason is not told.
        const HRESULT failure = probe.Remote()->LoadFailure();
        return {FAILED(failure) ? failure : E_FAIL, MachineName(machine)};
    }
    std::wstring kindText;
    if (probe.IsLoaded() && (probe.Remote() || probe.GetPluginInfoEntry()))
        PluginInfoText(probe, 0, KIND_BUFFER_SIZE, kindText);
    if (probed == 0) {
        const DWORD kind = probe.Kind();
        if (const char* missing = probe.MissingEntry(kind)) {
            std::wstring name;
            for (const char* c = missing; *c; ++c) name += static_cast<wchar_t>(*c);
            return {HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), name};
        }
        return {HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), kindText};
    }
    return {Accepts(probed) ? S_OK : S_FALSE, kindText};
}

bool PluginList::Accepts(DWORD kind) const noexcept {
    if (kind == KIND_PICTURE) return (loadFlags_ & SPI_PICTURE) != 0;
    if (kind == KIND_ARCHIVE) return (loadFlags_ & SPI_ARCHIVE) != 0;
    return false;  // Probe answers only the two kinds, or 0 for a failure
}

HRESULT PluginList::LoadPlugins(LONG flags, const std::optional<std::wstring>& folder) {
    if (walks_ > 0) return E_PLUGIN_IN_CALL;
    loadFlags_ = flags;
    // Old entries go first: their libraries are unloaded before the first folder is read,
    // and no module stays warm, so that a file replaced since is read anew.
    plugins_.clear();
    DropWarmModules(nullptr);
    ReadAfreshList();
    plugins_.reserve(8);
    AddFolder(nullptr);
    if (folder) AddFolder(folder->c_str());
    wchar_t system[PATH_BUFFER_SIZE] = {};
    const UINT length = GetSystemDirectoryW(system, FOLDER_READ_SIZE);
    if (length > 0 && length < FOLDER_READ_SIZE) AddFolder(system);
    if (flags & SPI_SUSIE_FOLDER) {
        std::wstring susie;
        if (ReadSusieFolder(susie)) AddFolder(susie.c_str());
    }
    return S_OK;
}

bool PluginList::AddFolder(const wchar_t* folder) {
    // Entries of the current directory carry the bare file name.
    const std::wstring prefix = folder ? std::wstring(folder) + L"\\" : std::wstring();
    const std::wstring pattern = prefix + PLUGIN_PATTERN;
    if (pattern.size() >= PATH_BUFFER_SIZE) return false;

    WIN32_FIND_DATAW found;
    Tamrix::UniqueFind find(FindFirstFileW(pattern.c_str(), &found));
    if (!find) return false;
    do {
        const size_t nameLength = wcsnlen(found.cFileName, std::size(found.cFileName));
        if (prefix.size() + nameLength >= PATH_BUFFER_SIZE) continue;
        if (!IsPluginName(found.cFileName, nameLength)) continue;
        SpiInterface probe = Binding(prefix + std::wstring(found.cFileName, nameLength));
        // What the scan lets go of is freed at once: a file is free to be replaced right
        // after a discovery. Only what walks let go stays warm.
        probe.KeepWarmFor(nullptr);
        // A directory matching the pattern fails to load and is skipped like any failure.
        const DWORD kind = probe.Probe();
        const bool unserved = probe.Remote() && FAILED(probe.Remote()->LoadFailure());
        if (!Accepts(kind) && !unserved) continue;  // the probe binding unloads what it loaded
        if (loadFlags_ & SPI_UNLOAD_AFTER_PROBE) probe.Unload();
        // The entry takes the probe's library reference over, if it still holds one.
        probe.KeepWarmFor(this);
        plugins_.push_back(std::move(probe));
    } while (FindNextFileW(find.get(), &found));
    return true;
}

// ---- Selection -------------------------------------------------------------------------

HRESULT AskSupported(const SpiInterface& entry, PluginName& name, const void* header) {
    if (RemotePlugin* remote = entry.Remote()) {
        const HRESULT hr = remote->IsSupported(name, header);
        // Its narrow entry over there could not be given the name, as a narrow entry here.
        if (hr == E_INVALIDARG) name.MarkRefused();
        return hr;
    }
    int answer = 0;
    if (IsSupportedWFn wide = entry.IsSupportedWEntry()) {
        answer = entry.Invoke(wide, name.Wide(), const_cast<void*>(header));
    } else if (IsSupportedFn narrow = entry.IsSupportedEntry()) {
        LPCSTR text = nullptr;
        if (HRESULT hr = name.Narrow(text, entry.CodePage()); FAILED(hr)) return hr;
        answer = entry.Invoke(narrow, text, const_cast<void*>(header));
    }
    return answer != 0 ? S_OK : S_FALSE;
}

size_t PluginList::DecliningAhead(size_t first, const PluginName& name, const void* header) {
    RemotePlugin* lead = plugins_[first].Remote();
    if (!lead || lead->IsLoaded()) return 0;
    std::vector<std::wstring> paths;
    for (size_t i = first; i < plugins_.size(); ++i) {
        const RemotePlugin* remote = plugins_[i].Remote();
        if (!remote || remote->IsLoaded() || !lead->ServedWith(*remote)) break;
        paths.push_back(plugins_[i].WidePath());
    }
    return lead->CountDeclining(paths, name, header);
}

SpiInterface* PluginList::FindSupporting(PluginName& name, const void* header) {
    const Walk walk(*this);
    for (size_t i = 0; i < plugins_.size(); ++i) {
        if (const size_t declined = DecliningAhead(i, name, header)) {
            i += declined - 1;
            continue;
        }
        SpiInterface& entry = plugins_[i];
        LoadedForCall loaded(entry, keepsLoaded_);
        if (!loaded.Ok()) continue;
        if (AskSupported(entry, name, header) == S_OK) {
            loaded.Keep();
            return &entry;
        }
    }
    return nullptr;
}

SpiInterface* PluginList::FindSupportingFile(PluginName& name, HANDLE file, LONG offset) {
    BYTE header[HEADER_SIZE];
    ReadHeader(file, offset, header);
    return FindSupporting(name, header);
}

SpiInterface* PluginList::FindSupportingMemory(PluginName& name, const Source& source) {
    BYTE copy[HEADER_SIZE];
    return FindSupporting(name, ShownHeader(source, copy));
}

// ---- Picture ---------------------------------------------------------------------------

HRESULT PluginList::Decode(SpiInterface& entry, Source& source, DecodedPicture& picture) {
    // A remote plug-in decodes over there, and the blocks' bytes come here.
    RemotePlugin* remote = entry.Remote();
    const HRESULT hr = remote ? remote->Decode(source, picture) : picture.DecodeHeld(entry, Decoder::Picture, source);
    if (FAILED(hr)) return hr;
    if (remote) picture.SetOrigin(entry, source);
    if (!picture.HasBothBlocks()) {
        NotePluginFailure(entry.WidePath(), L"decode", SourceWords(source),
                          L"it answered success but handed back no blocks");
        return E_OUTOFMEMORY;
    }
    bitmap::Layout layout;
    return picture.Layout(layout);
}

HRESULT PluginList::ComposePicture(Source& source, Tamrix::UniqueHglobal& bitmap) {
    DecodedPicture picture;
    if (HRESULT hr = DecodePicture(source, picture); FAILED(hr)) return hr;
    return picture.ComposeBitmap(bitmap);
}

HRESULT PluginList::DecodePicture(Source& source, DecodedPicture& picture) {
    WalkPoint start;
    return FirstAccepting(source, KIND_PICTURE, start, false,
                          [&](SpiInterface& entry) { return Decode(entry, source, picture); });
}

HRESULT PluginList::DecodeStretch(Source& source, WalkPoint& point, DecodedPicture& picture) {
    return FirstAccepting(source, KIND_PICTURE, point, true,
                          [&](SpiInterface& entry) { return Decode(entry, source, picture); });
}

HRESULT PluginList::ListArchive(Source& source, const std::function<HRESULT(SpiInterface&)>& list) {
    WalkPoint start;
    return FirstAccepting(source, KIND_ARCHIVE, start, false, list);
}

HRESULT PluginList::ReadPictureProperties(Source& source, PictureProperties& properties) {
    WalkPoint start;
    return FirstAccepting(source, KIND_PICTURE, start, false, [&](SpiInterface& entry) {
        return entry.Remote() ? entry.Remote()->ReadPictureProperties(source, properties)
                              : SPI::ReadPictureProperties(entry, source, properties);
    });
}

template <class Ask>
HRESULT PluginList::FirstAccepting(Source& source, DWORD kind, WalkPoint& point, bool stretch, Ask&& ask) {
    const Walk walk(*this);
    // One header for the whole walk: read from the file, or shown from memory (which has no
    // name).
    BYTE header[HEADER_SIZE];
    PluginName noName;
    PluginName& name = source.Flag() == FLAG_FILE ? source.Name() : noName;
    const void* shown = header;
    DWORD unread = ERROR_SUCCESS;  // why a file could not be opened: told when no plug-in takes it
    if (source.Flag() == FLAG_FILE) {
        Tamrix::UniqueFile file = OpenForHeader(name);
        if (!file && !name.IsNull()) unread = GetLastError();
        // A file source's offset is the client's long.
        ReadHeader(file.get(), static_cast<LONG>(source.Len()), header);
    } else {
        shown = ShownHeader(source, header);
    }

    Tamrix::FirstFailure first;  // the words of this stretch's first failure
    const SpiInterface* otherKind = nullptr;
    for (size_t i = point.next; i < plugins_.size(); ++i) {
        if (const size_t declined = DecliningAhead(i, name, shown)) {
            i += declined - 1;
            continue;
        }
        SpiInterface& entry = plugins_[i];
        NoteAsking(WalkStep(i, false));
        LoadedForCall loaded(entry, keepsLoaded_);  // else kept only for the one whose answer is the result
        if (!loaded.Ok() || AskSupported(entry, name, shown) != S_OK) continue;
        // A plug-in of the other kind that accepts is passed by: an archive plug-in's test can
        // take a picture for an archive (a PNG's bytes can pass for a TAR header), and the
        // file counts as an archive only when no picture plug-in reads it.
        if (!entry.Is(kind)) {
            if (!otherKind && kind == KIND_PICTURE) otherKind = &entry;
            continue;
        }
        NoteAsking(WalkStep(i, true));
        const HRESULT hr = ask(entry);
        NoteAsking(-1);
        if (SUCCEEDED(hr)) {
            loaded.Keep();
            source.Release();
            return hr;
        }
        first.Offer(hr);
        if (SUCCEEDED(point.failure)) point.failure = hr;
        if (stretch && i + 1 < plugins_.size()) {
            point.next = i + 1;
            source.Release();
            first.Report();
            return hr;
        }
    }
    NoteAsking(-1);
    point.next = plugins_.size();
    source.Release();
    if (FAILED(point.failure)) {
        first.Report();
        return point.failure;
    }
    const std::wstring what = SourceWords(source);
    if (name.Refused()) {
        NoteNameRefusedInWalk(what);
        return E_INVALIDARG;
    }
    if (unread != ERROR_SUCCESS)
        NoteUnreadable(what, unread);
    else if (otherKind)
        Tamrix::NoteFailure(what + L" is an archive (" + Tamrix::FileNameOf(otherKind->WidePath()) +
                            L" reads it), not a picture");
    else
        Tamrix::NoteFailure(std::wstring(kind == KIND_ARCHIVE ? L"no archive plug-in" : L"no picture plug-in") +
                            L" reads " + what);
    return MapResult(SPI_UNKNOWN_FORMAT);
}

HRESULT PluginList::WritePicture(const std::wstring& destPath, const DecodedPicture& picture) {
    if (!picture.HasBothBlocks()) return E_FAIL;
    const size_t dot = destPath.find_last_of(L".\\/:");
    if (dot != std::wstring::npos && CompareStringOrdinal(destPath.c_str() + dot, -1, L".bmp", -1, TRUE) == CSTR_EQUAL)
        return picture.WriteBitmapFile(destPath);
    const Walk walk(*this);
    for (SpiInterface& entry : plugins_) {
        LoadedForCall loaded(entry, keepsLoaded_);
        if (!loaded.Ok() || !entry.Is(KIND_PICTURE)) continue;
        const HRESULT hr =
            entry.Remote()
                ? entry.Remote()->WritePicture(destPath, BytesOf(picture.Info()), BytesOf(picture.Pixels()))
                : WritePictureFile(entry, destPath, picture.Info()->Handle(), picture.Pixels()->Handle());
        if (hr != E_TYPE_NOT_WRITTEN) return hr;
    }
    Tamrix::NoteFailure(L"no plug-in writes " +
                        (dot != std::wstring::npos && destPath[dot] == L'.' ? destPath.substr(dot) : std::wstring(L"such")) +
                        L" files");
    return E_TYPE_NOT_WRITTEN;
}

// ---- File filter -----------------------------------------------------------------------

void FileFilter::Add(std::wstring description, std::wstring pattern) {
    patterns_ += pattern;
    patterns_ += L';';
    entries_.push_back(std::move(description));
    entries_.push_back(std::move(pattern));
}

size_t FileFilter::Length() const noexcept {
    // "All images" and its NUL, the joined patterns (without the last ";") and their NUL,
    // then each entry with its NUL: 12 for no pair at all.
    size_t length = ALL_IMAGES_LENGTH + 1 + (patterns_.empty() ? 0 : patterns_.size() - 1) + 1;
    for (const std::wstring& entry : entries_) length += entry.size() + 1;
    return length;
}

void FileFilter::WriteTo(wchar_t* dest) const noexcept {
    auto put = [&dest](const wchar_t* text, size_t length) {
        std::memcpy(dest, text, length * sizeof(wchar_t));
        dest += length;
        *dest++ = L'\0';
    };
    put(ALL_IMAGES, ALL_IMAGES_LENGTH);
    put(patterns_.data(), patterns_.empty() ? 0 : patterns_.size() - 1);
    for (const std::wstring& entry : entries_) put(entry.data(), entry.size());
}

FileFilter PluginList::CollectFileFilter(LONG type) {
    const Walk walk(*this);
    if (type == 0) type = FILTER_PICTURE | FILTER_ARCHIVE;
    FileFilter filter;
    for (SpiInterface& entry : plugins_) {
        LoadedForCall loaded(entry);  // never kept: every entry ends as it was
        if (!loaded.Ok()) continue;
        const DWORD kind = entry.Kind();
        const bool selected = (kind == KIND_PICTURE && (type & FILTER_PICTURE)) ||
                              (kind == KIND_ARCHIVE && (type & FILTER_ARCHIVE));
        if (!selected) continue;
        // A plug-in that answers every number ends on an empty pattern, or at the cap.
        std::wstring pattern, description;
        for (int n = 0; n < MAX_FILE_TYPES; ++n) {
            if (!PluginInfoText(entry, 2 * n + 2, PATTERN_BUFFER_SIZE, pattern) || pattern.empty()) break;
            // The pattern is dropped without its description.
            if (!PluginInfoText(entry, 2 * n + 3, PATTERN_BUFFER_SIZE, description)) break;
            filter.Add(description, pattern);
        }
    }
    return filter;
}

}  // namespace SPI
