// Where GetFile puts a member: a local-memory block for the host, or a file in a folder.
#pragma once
#include <windows.h>

#include <string>

#include "archive.h"

namespace archive {

class MemorySink : public Sink {
public:
    ~MemorySink() override { Abort(); }
    int Begin(const std::wstring& name, uint64_t size) override;
    int Write(const void* data, size_t n) override;
    int Finish() override;
    void Abort() override;
    HLOCAL Release();

private:
    HLOCAL block_ = nullptr;
    size_t declared_ = 0;  // the size the archive claims, 0 when unknown
    size_t capacity_ = 0;
    size_t used_ = 0;
};

// Writes the member under its own file name, without the folders it had in the archive,
// so that no member name (absolute, with "..", with a drive) can place a file outside
// the folder.
class FolderSink : public Sink {
public:
    explicit FolderSink(std::wstring folder) : folder_(std::move(folder)) {}
    ~FolderSink() override { Abort(); }
    int Begin(const std::wstring& name, uint64_t size) override;
    int Write(const void* data, size_t n) override;
    int Finish() override;
    void Abort() override;

private:
    std::wstring folder_;
    std::wstring path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// The last part of a member name if it is a plain file name that Windows keeps as it is
// inside a folder; empty when there is none (".." and the like, device names such as
// "NUL", reserved characters including ':').
std::wstring SafeFileName(const std::wstring& name);

}  // namespace archive
