#include "file_output.h"

#include "../common/failure_note.h"
#include "../common/handles.h"
#include "names.h"

namespace SPI {
namespace {

bool WriteAll(HANDLE file, std::span<const BYTE> data) noexcept {
    // WriteFile takes 32-bit counts; write in pieces so no size is cut short.
    constexpr size_t PIECE = 0x40000000;
    while (!data.empty()) {
        const DWORD n = static_cast<DWORD>(data.size() < PIECE ? data.size() : PIECE);
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), n, &written, nullptr) || written != n) return false;
        data = data.subspan(n);
    }
    return true;
}

// The part of a path up to its last component ("" for a bare name, "C:" for "C:name", the
// folder and its separator otherwise): a temporary name made from it stays in the same
// folder, so the final move stays on one volume.
std::wstring FolderPartOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos) return path.substr(0, slash + 1);
    // "C:name" is relative to that drive's current folder.
    return path.size() >= 2 && path[1] == L':' ? path.substr(0, 2) : std::wstring();
}

// The extension of a path's last component, its dot included ("" for none).
std::wstring ExtensionOf(const std::wstring& path) {
    const size_t dot = path.find_last_of(L".\\/:");
    return dot != std::wstring::npos && path[dot] == L'.' ? path.substr(dot) : std::wstring();
}

// Creates a new, empty file "tmxXXXX" + suffix in the folder part `folder` (XXXX four hex
// digits, as the system's temporary names have), open for writing; its name is ours alone.
Tamrix::UniqueFile CreateTemporary(const std::wstring& folder, std::wstring& name,
                                   const std::wstring& suffix = L".tmp") {
    static constexpr wchar_t HEX[] = L"0123456789ABCDEF";
    const DWORD start = (GetTickCount() ^ (GetCurrentProcessId() << 4) ^ GetCurrentThreadId()) & 0xFFFF;
    for (DWORD i = 0; i < 0x10000; ++i) {
        DWORD unique = (start + i) & 0xFFFF;
        if (unique == 0) continue;
        std::wstring candidate = folder + L"tmx";
        for (int shift = 12; shift >= 0; shift -= 4) candidate += HEX[(unique >> shift) & 15];
        candidate += suffix;
        Tamrix::UniqueFile file(CreateFileW(SystemPath(candidate).c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr));
        if (file) {
            name = std::move(candidate);
            return file;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    return Tamrix::UniqueFile();
}

// A destination that may be replaced: a path, and no read-only file or folder there.
// Windows' move refuses both, and Wine's replaces a read-only file, so the attributes are
// looked at here.
bool Replaceable(const std::wstring& destPath) {
    if (destPath.empty()) return false;
    const DWORD existing = GetFileAttributesW(SystemPath(destPath).c_str());
    return existing == INVALID_FILE_ATTRIBUTES || !(existing & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
}

// Notes why destPath was not written, in the system's words for `error` (0: it is no place a
// file can be put, or is read-only).
void NoteNotWritten(const std::wstring& destPath, DWORD error) noexcept {
    try {
        const std::wstring why = error != 0 ? Tamrix::ResultText(HRESULT_FROM_WIN32(error))
                                            : std::wstring(L"no file can be written there, or it is read-only");
        Tamrix::NoteFailure(L"cannot write " + Tamrix::Quoted(destPath) + L": " + why);
    } catch (...) {
    }
}

}  // namespace

HRESULT WriteThroughReplacing(const std::wstring& destPath, const std::function<HRESULT(const std::wstring&)>& write) {
    if (!Replaceable(destPath)) {
        NoteNotWritten(destPath, 0);
        return E_FAIL;
    }
    std::wstring temp;
    Tamrix::UniqueFile file = CreateTemporary(FolderPartOf(destPath), temp, ExtensionOf(destPath));
    if (!file) {
        NoteNotWritten(destPath, GetLastError());
        return E_FAIL;
    }
    file.reset();  // the name is ours; the writer opens it itself
    const std::wstring tempPath = SystemPath(temp);
    HRESULT hr = write(temp);
    // A writer that answers success and leaves the file empty has written no picture.
    WIN32_FILE_ATTRIBUTE_DATA written{};
    if (SUCCEEDED(hr) && (!GetFileAttributesExW(tempPath.c_str(), GetFileExInfoStandard, &written) ||
                          (written.nFileSizeLow == 0 && written.nFileSizeHigh == 0))) {
        Tamrix::NoteFailure(L"the writer answered success but wrote nothing to " + Tamrix::Quoted(destPath));
        hr = E_FAIL;
    }
    if (SUCCEEDED(hr) && !MoveFileExW(tempPath.c_str(), SystemPath(destPath).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        NoteNotWritten(destPath, GetLastError());
        hr = E_FAIL;
    }
    if (FAILED(hr)) DeleteFileW(tempPath.c_str());
    return hr;
}

HRESULT WriteFileReplacing(const std::wstring& destPath, std::initializer_list<std::span<const BYTE>> parts) {
    if (!Replaceable(destPath)) {
        NoteNotWritten(destPath, 0);
        return E_FAIL;
    }
    std::wstring temp;
    Tamrix::UniqueFile file = CreateTemporary(FolderPartOf(destPath), temp);
    if (!file) {
        NoteNotWritten(destPath, GetLastError());
        return E_FAIL;
    }
    bool ok = true;
    for (std::span<const BYTE> part : parts) ok = ok && WriteAll(file.get(), part);
    // Closing can still report a failed write-back.
    ok = CloseHandle(file.release()) && ok;
    const std::wstring tempPath = SystemPath(temp);
    if (ok) ok = MoveFileExW(tempPath.c_str(), SystemPath(destPath).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (!ok) {
        NoteNotWritten(destPath, GetLastError());
        DeleteFileW(tempPath.c_str());
    }
    return ok ? S_OK : E_FAIL;
}

}  // namespace SPI
