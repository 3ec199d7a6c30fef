// Registration as data: rows of {views, key, value name, data} below a classes key (the
// machine's, HKEY_CLASSES_ROOT, or the current user's alone), written by one loop and removed
// by deleting the trees they own. Keys and data may hold "%Name%" placeholders, filled in
// from the caller's values before anything is written.
// Like every helper of the server layer, these return an HRESULT and throw nothing.
#pragma once
#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Tamrix {

// Which registrations write a row: bits of Row::views.
enum : std::uint8_t {
    OWN_VIEW = 1,        // the server's own view, read by clients of its own bitness
    SURROGATE_VIEW = 2,  // the 64-bit view, for 64-bit clients of the 32-bit server in the DLL surrogate
    SHARED_KEY = 4,      // a key both servers write alike: written again when the other's removal took it
};

struct Row {
    std::uint8_t views;
    const wchar_t* key;
    const wchar_t* name = nullptr;  // null: the key's default value
    const wchar_t* data = nullptr;  // a REG_SZ value; null: the key alone
    bool replace = false;           // the key goes, with all below it, before the row is written
};
inline constexpr bool REPLACE = true;

struct Placeholder {
    std::wstring_view name, value;
};

enum class Removal {
    Trees,      // the tree of each row's key, whatever else is below it
    EmptyKeys,  // the rows' named values, then each of their keys that has no subkey left
};

// Where the rows' keys lie: `prefix` and the key, below `root`.
struct ClassesKey {
    HKEY root;
    const wchar_t* prefix;
};
// What the system's COM runtime reads: on Windows the user's classes merged over the
// machine's, where new keys go to the machine's.
inline const ClassesKey MACHINE_CLASSES{HKEY_CLASSES_ROOT, L""};
// The machine's classes alone, and the current user's alone (no administrator needed).
inline const ClassesKey LOCAL_MACHINE_CLASSES{HKEY_LOCAL_MACHINE, L"Software\\Classes\\"};
inline const ClassesKey USER_CLASSES{HKEY_CURRENT_USER, L"Software\\Classes\\"};

// Writes, in order, the rows that have any of the bits of `views`, in registry view `view`
// (0: the process's own; KEY_WOW64_64KEY, KEY_WOW64_32KEY), below `classes`.
HRESULT WriteRows(std::span<const Row> rows, std::span<const Placeholder> values, std::uint8_t views,
                  REGSAM view, const ClassesKey& classes) noexcept;

// Removes what those rows wrote; what is not there is no error. Keys that no row names, such
// as "CLSID" above a class key, are never removed.
HRESULT RemoveRows(std::span<const Row> rows, std::span<const Placeholder> values, std::uint8_t views,
                   REGSAM view, Removal removal, const ClassesKey& classes) noexcept;

// The names of the subkeys of `key`; none when it does not exist.
HRESULT Subkeys(const wchar_t* key, REGSAM view, const ClassesKey& classes, std::vector<std::wstring>& out) noexcept;
bool KeyExists(const wchar_t* key, REGSAM view, const ClassesKey& classes) noexcept;

}  // namespace Tamrix
