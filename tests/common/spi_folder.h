// Folders of test plug-ins made for one test: copies of the built plug-ins under chosen
// names in a fresh folder of the scratch area, removed again with the folder. A copy is a
// module of its own, with its own counters, so two copies of one plug-in tell apart which
// of them was asked. Also the current directory, set for one test and restored.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_env.h"

namespace testenv {

class SpiFolder {
public:
    // TempDir()\tamrix_<tag>_<process id>, made empty.
    explicit SpiFolder(const std::string& tag)
        : path_(TempDir() + "tamrix_" + tag + "_" + std::to_string(GetCurrentProcessId())) {
        Remove();
        EXPECT_TRUE(CreateDirectoryA(path_.c_str(), nullptr)) << path_;
    }
    SpiFolder(const SpiFolder&) = delete;
    SpiFolder& operator=(const SpiFolder&) = delete;
    ~SpiFolder() { Remove(); }

    const std::string& Path() const { return path_; }
    std::string PathOf(const std::string& name) const { return path_ + "\\" + name; }

    // Copies the built plug-in `spi` ("qqa" for qqa.spi) in as `as` (default: its own
    // name); returns the copy's full path.
    std::string Add(const std::string& spi, std::string as = "") {
        if (as.empty()) as = spi + ".spi";
        const std::string to = PathOf(as);
        EXPECT_TRUE(CopyFileA(SpiPath(spi).c_str(), to.c_str(), FALSE)) << spi << " to " << to;
        return to;
    }
    // A file that is no plug-in, or a folder, under a plug-in's name.
    std::string AddFile(const std::string& name, const std::string& content) {
        const std::string to = PathOf(name);
        HANDLE f = CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, f) << to;
        DWORD written = 0;
        WriteFile(f, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(f);
        return to;
    }
    std::string AddFolder(const std::string& name) {
        const std::string to = PathOf(name);
        EXPECT_TRUE(CreateDirectoryA(to.c_str(), nullptr)) << to;
        return to;
    }

    // The names matching "*.spi" in the order the system lists them.
    std::vector<std::string> Listed() const { return ListedIn(path_); }
    static std::vector<std::string> ListedIn(const std::string& folder) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((folder + "\\*.spi").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return names;
        do names.push_back(found.cFileName);
        while (FindNextFileA(find, &found));
        FindClose(find);
        return names;
    }

private:
    // Files and folders one level deep, then the folder itself; whatever is still loaded
    // stays (the next run's folder starts from scratch all the same).
    void Remove() {
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((path_ + "\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::string name = found.cFileName;
                if (name == "." || name == "..") continue;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveDirectoryA(PathOf(name).c_str());
                else
                    DeleteFileA(PathOf(name).c_str());
            } while (FindNextFileA(find, &found));
            FindClose(find);
        }
        RemoveDirectoryA(path_.c_str());
    }

    std::string path_;
};

// The current directory for one scope.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& path) {
        char old[MAX_PATH];
        old_.assign(old, GetCurrentDirectoryA(MAX_PATH, old));
        EXPECT_TRUE(SetCurrentDirectoryA(path.c_str())) << path;
    }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;
    ~CurrentDirectory() { SetCurrentDirectoryA(old_.c_str()); }

private:
    std::string old_;
};

// Whether the library at `path` is mapped in this process.
inline bool Mapped(const std::string& path) {
    return GetModuleHandleA(path.c_str()) != nullptr;
}

// The test-only exports of one loaded test plug-in, found by its module path (a bare name
// for a plug-in loaded from the current directory).
class SpiCounters {
public:
    explicit SpiCounters(const std::string& modulePath) : m_(GetModuleHandleA(modulePath.c_str())) {}
    bool Loaded() const { return m_ != nullptr; }

    // IsSupported calls so far, and the last name asked about ("<null>" for none).
    int IsSupportedCalls(std::string* lastName = nullptr) const {
        auto f = Fn<int(WINAPI*)(char*, int, int*)>("TestLastIsSupported");
        if (!f) return -1;
        char name[1024] = {};
        int wasNull = 0;
        const int calls = f(name, sizeof name, &wasNull);
        if (lastName) *lastName = wasNull ? "<null>" : name;
        return calls;
    }
    // The header the last IsSupported call was shown: its address, and its bytes.
    const void* LastHeader(std::vector<BYTE>& bytes) const {
        auto f = Fn<int(WINAPI*)(BYTE*, int)>("TestLastHeader");
        bytes.assign(2048, 0xCC);
        return f ? reinterpret_cast<const void*>(static_cast<INT_PTR>(f(bytes.data(), 2048))) : nullptr;
    }
    int Outstanding() const {
        auto f = Fn<int(WINAPI*)()>("TestOutstandingBlocks");
        return f ? f() : -1;
    }
    int DataCalls() const {
        auto f = Fn<int(WINAPI*)()>("TestCallCount");
        return f ? f() : -1;
    }

private:
    template <class F>
    F Fn(const char* name) const {
        return m_ ? reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(m_, name))) : nullptr;
    }
    HMODULE m_;
};

}  // namespace testenv
