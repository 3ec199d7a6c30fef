#include "registry_rows.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "../common/handles.h"

namespace Tamrix {
namespace {

struct Entry {
    const Row* row;
    std::wstring key, data;
};

HRESULT FromWin32(LONG e) noexcept {
    return e == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(e));
}

HRESULT IgnoringMissing(LONG e) noexcept {
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? S_OK : FromWin32(e);
}

// Appends `text` with each "%Name%" replaced by its value; false for a name with none.
bool Fill(std::wstring_view text, std::span<const Placeholder> values, std::wstring& out) {
    for (size_t at; (at = text.find(L'%')) != std::wstring_view::npos;) {
        const size_t end = text.find(L'%', at + 1);
        if (end == std::wstring_view::npos) return false;
        const auto value = std::ranges::find(values, text.substr(at + 1, end - at - 1), &Placeholder::name);
        if (value == values.end()) return false;
        out.append(text.substr(0, at)).append(value->value);
        text.remove_prefix(end + 1);
    }
    out.append(text);
    return true;
}

// The rows that have any of the bits of `views`, their placeholders filled in; E_FAIL for a
// placeholder with no value, before anything is written.
HRESULT Select(std::span<const Row> rows, std::span<const Placeholder> values, std::uint8_t views,
               const ClassesKey& classes, std::vector<Entry>& out) noexcept try {
    for (const Row& row : rows) {
        if (!(row.views & views)) continue;
        Entry& e = out.emplace_back(&row, classes.prefix);
        if (!Fill(row.key, values, e.key) || (row.data && !Fill(row.data, values, e.data))) return E_FAIL;
    }
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT DeleteTree(HKEY root, const std::wstring& key, REGSAM view) noexcept {
    UniqueRegKey k;
    LONG err = RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | KEY_WRITE | DELETE | view, k.put());
    if (err == ERROR_SUCCESS) err = RegDeleteTreeW(k.get(), nullptr);
    k.reset();
    // The key itself by its full path: the view must be named for the deletion too.
    if (err == ERROR_SUCCESS) err = RegDeleteKeyExW(root, key.c_str(), view, 0);
    return IgnoringMissing(err);
}

HRESULT Write(HKEY root, const Entry& e, REGSAM view) noexcept {
    UniqueRegKey key;
    LONG err = RegCreateKeyExW(root, e.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_READ | KEY_WRITE | view, nullptr, key.put(), nullptr);
    // Strings are written with their terminating NUL counted in the length.
    if (err == ERROR_SUCCESS && e.row->data)
        err = RegSetValueExW(key.get(), e.row->name, 0, REG_SZ, reinterpret_cast<const BYTE*>(e.data.c_str()),
                             static_cast<DWORD>((e.data.size() + 1) * sizeof(wchar_t)));
    return FromWin32(err);
}

HRESULT RemoveIfEmpty(HKEY root, const Entry& e, REGSAM view) noexcept {
    UniqueRegKey k;
    LONG err = RegOpenKeyExW(root, e.key.c_str(), 0, KEY_READ | KEY_WRITE | view, k.put());
    if (err != ERROR_SUCCESS) return IgnoringMissing(err);
    if (e.row->name)
        if (HRESULT hr = IgnoringMissing(RegDeleteValueW(k.get(), e.row->name)); FAILED(hr)) return hr;
    DWORD subkeys = 0;
    err = RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr);
    k.reset();
    if (err == ERROR_SUCCESS && subkeys == 0) err = RegDeleteKeyExW(root, e.key.c_str(), view, 0);
    return IgnoringMissing(err);
}

}  // namespace

HRESULT WriteRows(std::span<const Row> rows, std::span<const Placeholder> values, std::uint8_t views,
                  REGSAM view, const ClassesKey& classes) noexcept {
    std::vector<Entry> entries;
    if (HRESULT hr = Select(rows, values, views, classes, entries); FAILED(hr)) return hr;
    for (const Entry& e : entries) {
        HRESULT hr = e.row->replace ? DeleteTree(classes.root, e.key, view) : S_OK;
        if (SUCCEEDED(hr)) hr = Write(classes.root, e, view);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT RemoveRows(std::span<const Row> rows, std::span<const Placeholder> values, std::uint8_t views,
                   REGSAM view, Removal removal, const ClassesKey& classes) noexcept {
    std::vector<Entry> entries;
    if (HRESULT hr = Select(rows, values, views, classes, entries); FAILED(hr)) return hr;
    for (const Entry& e : entries) {
        HRESULT hr = removal == Removal::Trees ? DeleteTree(classes.root, e.key, view)
                                               : RemoveIfEmpty(classes.root, e, view);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT Subkeys(const wchar_t* key, REGSAM view, const ClassesKey& classes,
                std::vector<std::wstring>& out) noexcept try {
    UniqueRegKey k;
    LONG err = RegOpenKeyExW(classes.root, (std::wstring(classes.prefix) + key).c_str(), 0, KEY_READ | view, k.put());
    if (err != ERROR_SUCCESS) return IgnoringMissing(err);
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = 256;
        err = RegEnumKeyExW(k.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (err == ERROR_NO_MORE_ITEMS) return S_OK;
        if (err != ERROR_SUCCESS) return FromWin32(err);
        out.emplace_back(name, size);
    }
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

bool KeyExists(const wchar_t* key, REGSAM view, const ClassesKey& classes) noexcept try {
    UniqueRegKey k;
    return RegOpenKeyExW(classes.root, (std::wstring(classes.prefix) + key).c_str(), 0, KEY_READ | view, k.put()) ==
           ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return false;
}

}  // namespace Tamrix
