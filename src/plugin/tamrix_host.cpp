#include "tamrix_host.h"

#include <cstring>
#include <iterator>
#include <new>

#include "../common/text.h"
#include "picture.h"

namespace SPI {

namespace {

constexpr wchar_t ALL_IMAGES[] = L"All images";
constexpr size_t ALL_IMAGES_LENGTH = std::size(ALL_IMAGES) - 1;

// The folder the viewer keeps its plug-ins in, from its registry value; false when the key
// or the value is missing or longer than the read allows.
bool ReadSusieFolder(char (&folder)[PATH_BUFFER_SIZE]) {
    Tamrix::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SUSIE_KEY, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    DWORD size = FOLDER_READ_SIZE;
    std::memset(folder, 0, sizeof folder);
    if (RegQueryValueExA(key.get(), SUSIE_PATH_VALUE, nullptr, nullptr, reinterpret_cast<BYTE*>(folder), &size) !=
        ERROR_SUCCESS)
        return false;
    // A value stored without its NUL ends where the read ended.
    folder[size < FOLDER_READ_SIZE ? size : FOLDER_READ_SIZE] = '\0';
    return true;
}

// One file-type text of a plug-in, false when the plug-in answers 0. The text is what the
// buffer holds, read only as far as the buffer goes (some plug-ins write no NUL), whatever
// count the plug-in returned.
bool InfoText(const SpiInterface& entry, int infoNo, std::string& text) {
    char buffer[PATTERN_BUFFER_SIZE] = {};
    if (entry.GetPluginInfoEntry()(infoNo, buffer, PATTERN_BUFFER_SIZE) == 0) return false;
    text.assign(buffer, strnlen(buffer, PATTERN_BUFFER_SIZE));
    return true;
}

std::wstring Wide(const std::string& text) {
    std::wstring out;
    if (FAILED(Tamrix::ToWide(text.data(), text.size(), out))) throw std::bad_alloc();
    return out;
}

}  // namespace

// ---- Loading on demand -----------------------------------------------------------------

LoadedForCall::LoadedForCall(SpiInterface& entry) : entry_(entry), loadedHere_(!entry.IsLoaded()) {
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

// ---- Discovery -------------------------------------------------------------------------

TamrixHost::TamrixHost() {
    LoadPlugins(SPI_DEFAULT_FLAGS, nullptr);
}

bool TamrixHost::Accepts(DWORD kind) const noexcept {
    if (kind == KIND_PICTURE) return (loadFlags_ & SPI_PICTURE) != 0;
    if (kind == KIND_ARCHIVE) return (loadFlags_ & SPI_ARCHIVE) != 0;
    return false;  // Probe answers only the two kinds, or 0 for a failure
}

size_t TamrixHost::LoadPlugins(LONG flags, const char* folder) {
    loadFlags_ = flags;
    // Old entries go first: their libraries are unloaded before the first folder is read.
    plugins_.clear();
    plugins_.reserve(8);
    AddFolder(nullptr);
    if (folder) AddFolder(folder);
    char system[PATH_BUFFER_SIZE] = {};
    const UINT length = GetSystemDirectoryA(system, FOLDER_READ_SIZE);
    if (length > 0 && length < FOLDER_READ_SIZE) AddFolder(system);
    if (flags & SPI_SUSIE_FOLDER) {
        char susie[PATH_BUFFER_SIZE];
        if (ReadSusieFolder(susie)) AddFolder(susie);
    }
    return plugins_.size();
}

bool TamrixHost::AddFolder(const char* folder) {
    // Entries of the current directory carry the bare file name.
    const std::string prefix = folder ? std::string(folder) + "\\" : std::string();
    const std::string pattern = prefix + "*.spi";
    if (pattern.size() >= PATH_BUFFER_SIZE) return false;

    WIN32_FIND_DATAA found;
    Tamrix::UniqueFind find(FindFirstFileA(pattern.c_str(), &found));
    if (!find) return false;
    do {
        const size_t nameLength = strnlen(found.cFileName, sizeof found.cFileName);
        if (prefix.size() + nameLength >= PATH_BUFFER_SIZE) continue;
        SpiInterface probe(prefix + std::string(found.cFileName, nameLength));
        // A directory matching the pattern fails to load and is skipped like any failure.
        if (!Accepts(probe.Probe())) continue;  // the probe binding unloads what it loaded
        if (loadFlags_ & SPI_UNLOAD_AFTER_PROBE) probe.Unload();
        // The entry takes the probe's library reference over, if it still holds one.
        plugins_.push_back(std::move(probe));
    } while (FindNextFileA(find.get(), &found));
    return true;
}

// ---- Selection -------------------------------------------------------------------------

SpiInterface* TamrixHost::FindSupporting(const char* name, const void* header) {
    for (SpiInterface& entry : plugins_) {
        LoadedForCall loaded(entry);
        if (!loaded.Ok() || !entry.IsSupportedEntry()) continue;
        if (entry.IsSupportedEntry()(name, const_cast<void*>(header)) != 0) {
            loaded.Keep();
            return &entry;
        }
    }
    return nullptr;
}

SpiInterface* TamrixHost::FindSupportingFile(const char* name, HANDLE file, LONG offset) {
    // Zeros wherever a short or failed read leaves bytes unfilled.
    BYTE header[HEADER_SIZE] = {};
    DWORD read = 0;
    // An offset the file cannot be positioned at (a negative one) has no bytes: reading on
    // from wherever the file stood would show the plug-ins other data.
    if (SetFilePointer(file, offset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, header, HEADER_SIZE, &read, nullptr) || read > HEADER_SIZE)
        read = 0;
    std::memset(header + read, 0, HEADER_SIZE - read);
    return FindSupporting(name, header);
}

SpiInterface* TamrixHost::FindSupportingMemory(const char* name, const Source& source) {
    // Plug-ins may read a whole header: a shorter array is shown as a padded copy.
    if (source.IsArray() && source.ArrayBytes() < HEADER_SIZE) {
        BYTE header[HEADER_SIZE] = {};
        if (source.ArrayBytes() > 0) std::memcpy(header, source.Buf(), source.ArrayBytes());
        return FindSupporting(name, header);
    }
    return FindSupporting(name, source.Buf());
}

// ---- Picture ---------------------------------------------------------------------------

HRESULT TamrixHost::ComposePicture(Source& source, Tamrix::UniqueHglobal& bitmap) {
    SpiInterface* chosen = nullptr;
    if (source.Flag() == FLAG_FILE) {
        Tamrix::UniqueFile file(
            CreateFileA(source.Buf(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        chosen = FindSupportingFile(source.Buf(), file.get(), source.Len());
    } else {
        chosen = FindSupportingMemory(nullptr, source);  // memory has no name
    }
    if (!chosen) {
        source.Release();
        return MapResult(SPI_UNKNOWN_FORMAT);
    }
    // The walk asks every kind; an archive plug-in that accepts is not asked to decode.
    DecodedPicture picture;
    if (HRESULT hr = picture.Decode(*chosen, Decoder::Picture, source); FAILED(hr)) return hr;
    if (!picture.HasBothBlocks()) return E_OUTOFMEMORY;
    return picture.ComposeBitmap(bitmap);
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

FileFilter TamrixHost::CollectFileFilter(LONG type) {
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
        std::string pattern, description;
        for (int n = 0; n < MAX_FILE_TYPES; ++n) {
            if (!InfoText(entry, 2 * n + 2, pattern) || pattern.empty()) break;
            if (!InfoText(entry, 2 * n + 3, description)) break;  // the pattern is dropped
            filter.Add(Wide(description), Wide(pattern));
        }
    }
    return filter;
}

}  // namespace SPI
