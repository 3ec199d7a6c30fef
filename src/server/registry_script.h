// Registration scripts: a sequence of key and value operations under HKEY_CLASSES_ROOT,
// run forwards to register and to unregister. The class trees are compiled in as data;
// the application identifier's script is text in a "REGISTRY" resource, parsed into the
// same operations. Names between percent signs are replaced before anything is written.
#pragma once
#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tamrix {

// Name/value pairs for "%name%" in scripts; names match without regard to case. Scripts are
// narrow text in the system's ANSI code page and are written to the registry as UTF-16, so a
// value that code page cannot hold (a library file's path) reaches the registry whole.
class Replacements {
public:
    HRESULT Add(const char* name, std::wstring value) noexcept;
    // A value in the system's ANSI code page.
    HRESULT Add(const char* name, std::string_view value) noexcept;
    // Expands s into out: "%%" is one "%", "%name%" its value. An unknown name, a name of
    // 32 characters or more, or an unclosed name gives E_FAIL.
    HRESULT Expand(std::string_view s, std::wstring& out) const noexcept;

private:
    std::vector<std::pair<std::string, std::wstring>> pairs_;
};

enum class OpKind : std::uint8_t {
    KeyNoRemove,     // opened or made; never removed
    KeyForceRemove,  // deleted with everything below it before it is written, and on removal
    Key,             // opened or made; on removal see PlainKeyRemoval
    DefaultValue,    // the unnamed value of the key named just before
    NamedValue,      // a named value of the key whose block this is
    Begin,           // the block of subkeys and named values of the key named just before
    End,
};

// One operation; name and data index the script's string table.
struct Op {
    OpKind kind;
    std::uint8_t name;
    std::uint8_t data;
};

// What unregistering does with a plain key once its block has been undone.
enum class PlainKeyRemoval {
    IfNoSubkeys,  // deleted only when nothing is left below it
    WithSubkeys,  // deleted with everything below it
};

struct RegistryScript {
    std::span<const Op> ops;
    std::span<const std::string_view> strings;
    PlainKeyRemoval plainKeys;
    // The registry view every key is opened in: 0 for the process's own, or
    // KEY_WOW64_64KEY / KEY_WOW64_32KEY on a 64-bit system.
    REGSAM view = 0;
};

// Writes (reg true) or removes the script's entries under HKEY_CLASSES_ROOT; the first
// failure ends the run. Removing a key that does not exist is no error.
HRESULT RunRegistryScript(const RegistryScript& script, const Replacements& r, bool reg) noexcept;

// A text script parsed into operations. Syntax, one item after another:
//   [NoRemove | ForceRemove] name [= s 'data'] [{ items }]
//   val name = s 'data'
// Names are bare words or quoted; a quote inside quotes is written twice.
class ParsedScript {
public:
    HRESULT Parse(std::string_view text) noexcept;
    RegistryScript Script() const noexcept;

private:
    std::vector<Op> ops_;
    std::vector<std::string> text_;
    std::vector<std::string_view> strings_;
};

// Deletes key `name` below `parent` with all its subkeys, in the registry view `view`
// (0: the process's own); returns the registry's code, ERROR_FILE_NOT_FOUND for a key
// that is not there.
LONG DeleteKeyTree(HKEY parent, const wchar_t* name, REGSAM view = 0) noexcept;

}  // namespace Tamrix
