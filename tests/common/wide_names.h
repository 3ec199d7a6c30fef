// Names for the tests of wide names: characters chosen at run time inside and outside the
// ANSI code pages of this machine, files written and read by UTF-16 name, and folders whose
// paths are longer than MAX_PATH.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testenv {

// Whether the ANSI code pages in play hold `text` exactly: the process's (the system's narrow
// file functions use it) and the calling thread's (Tamrix converts with it). Best-fit
// look-alikes do not count.
inline bool InCodePages(const std::wstring& text) {
    for (UINT cp : {static_cast<UINT>(CP_ACP), static_cast<UINT>(CP_THREAD_ACP)}) {
        char narrow[64];
        BOOL used = FALSE;
        int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), narrow,
                                    sizeof narrow, nullptr, &used);
        if (n <= 0) {  // UTF-8 takes neither the flag nor the question: a round trip tells
            used = FALSE;
            n = WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), narrow, sizeof narrow,
                                    nullptr, nullptr);
        }
        if (n <= 0 || used) return false;
        wchar_t back[64];
        const int m = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, narrow, n, back, 64);
        if (m <= 0 || std::wstring(back, static_cast<size_t>(m)) != text) return false;
    }
    return true;
}

// Letters of many scripts, one of them (or a pair of UTF-16 units) each.
inline std::vector<std::wstring> CandidateLetters() {
    return {L"\u00E9", L"\u00C4", L"\u0416", L"\u03A9", L"\u05D0", L"\u0E01", L"\u65E5", L"\u4E2D",
            L"\uD55C", L"\u0915", L"\u10D0", L"\u0531", L"\u1200", L"\u2603", L"\U0001F600"};
}

// `count` letters that these code pages cannot hold (empty when they hold every candidate, as
// a UTF-8 code page does).
inline std::wstring LettersOutsideCodePages(size_t count = 2) {
    std::wstring out;
    for (const std::wstring& letter : CandidateLetters()) {
        if (count == 0) break;
        if (!InCodePages(letter)) {
            out += letter;
            --count;
        }
    }
    return count == 0 ? out : std::wstring();
}

// A letter beyond ASCII that these code pages hold (empty when there is none).
inline std::wstring LetterInsideCodePages() {
    for (const std::wstring& letter : CandidateLetters())
        if (InCodePages(letter)) return letter;
    return std::wstring();
}

// The narrow form of `text` in the calling thread's ANSI code page.
inline std::string ToAnsi(const std::wstring& text) {
    char narrow[1024];
    const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), narrow,
                                      sizeof narrow, nullptr, nullptr);
    return n > 0 ? std::string(narrow, static_cast<size_t>(n)) : std::string();
}

inline std::wstring TempDirW() {
    wchar_t buf[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, buf);
    return std::wstring(buf, n);
}

// "\\?\" and the path: how the system's own file functions take a path of any length.
inline std::wstring Extended(const std::wstring& path) {
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path : L"\\\\?\\" + path;
}

inline bool WriteFileW(const std::wstring& path, const std::vector<BYTE>& data) {
    HANDLE f = CreateFileW(Extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                    written == data.size();
    CloseHandle(f);
    return ok;
}

inline std::vector<BYTE> ReadFileW(const std::wstring& path) {
    std::vector<BYTE> out;
    HANDLE f = CreateFileW(Extended(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return out;
    out.resize(GetFileSize(f, nullptr));
    DWORD read = 0;
    if (!out.empty()) ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &read, nullptr);
    CloseHandle(f);
    out.resize(read);
    return out;
}

inline bool ExistsW(const std::wstring& path) {
    return GetFileAttributesW(Extended(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder TempDir()\tamrix_<tag>_<process id> with a chain of sub-folders under it
// whose path has at least `length` characters; everything in it goes again at the end.
class DeepFolder {
public:
    DeepFolder(const std::wstring& tag, size_t length)
        : root_(TempDirW() + L"tamrix_" + tag + L"_" + std::to_wstring(GetCurrentProcessId())) {
        Remove(root_);
        EXPECT_TRUE(CreateDirectoryW(Extended(root_).c_str(), nullptr));
        path_ = root_;
        while (path_.size() < length) {
            path_ += L"\\" + std::wstring(60, L'd');
            EXPECT_TRUE(CreateDirectoryW(Extended(path_).c_str(), nullptr)) << path_.size();
        }
    }
    DeepFolder(const DeepFolder&) = delete;
    DeepFolder& operator=(const DeepFolder&) = delete;
    ~DeepFolder() { Remove(root_); }

    const std::wstring& Path() const { return path_; }
    std::wstring PathOf(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    static void Remove(const std::wstring& folder) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW(Extended(folder + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring path = folder + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(path);
                else
                    DeleteFileW(Extended(path).c_str());
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        RemoveDirectoryW(Extended(folder).c_str());
    }

    std::wstring root_;
    std::wstring path_;
};

}  // namespace testenv
