// A test plug-in that faults or hangs where its data tells it to: data holding "CRSH:<entry>;"
// writes through a null pointer in that entry, "HANG:<entry>;" never returns from it, where
// <entry> is an export name without its W (IsSupported, GetPictureInfo, GetPicture, GetPreview,
// GetArchiveInfo, GetFileInfo, GetFile, CreatePicture), "RAIS:" raises 0xE0000001, "THRW:" MSVC's
// C++ exception, "SLOW:" takes a second (GetPicture then hands the data's first 2048 bytes back as
// 16 x 32 pixels of 32 bits). It takes only data that starts with FAULTY_MAGIC and holds such a
// tag; every entry not named answers "unknown format"; CreatePicture reads the pixels the header
// describes, as writers do, and answers success for ".qqa" without writing. A file name holding
// "hang_load" or "hang_free" hangs loading or freeing. ConfigurationDlg takes its
// function number for how long its dialog stays open (ms), and faults for a negative one.
// Built as a picture plug-in, or with FAULTY_ARCHIVE as an archive plug-in.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "spi_records.h"

#define SPI_EXPORT extern "C" __declspec(dllexport)

namespace {

#ifdef FAULTY_ARCHIVE
constexpr char KIND[] = "00AM";
constexpr char MAGIC[] = "QQZ1";
#else
constexpr char KIND[] = "00IN";
constexpr char MAGIC[] = "QQA1";
#endif
constexpr int HEADER_SIZE = 2048;
constexpr int UNKNOWN_FORMAT = 2;

bool IsTag(const char* at) {
    for (const char* kind = "CRSH:HANG:RAIS:THRW:SLOW:"; *kind; kind += 5)
        if (std::memcmp(at, kind, 5) == 0) return true;
    return false;
}

// Where a tag names this entry: the first letter of its kind, else 0.
char TagFor(const char* data, size_t size, const char* entry) {
    const size_t entryLength = std::strlen(entry);
    for (size_t i = 0; i + 5 + entryLength < size; ++i)
        if (IsTag(data + i) && std::memcmp(data + i + 5, entry, entryLength) == 0 && data[i + 5 + entryLength] == ';')
            return data[i];
    return 0;
}

bool HasAnyTag(const char* data, size_t size) {
    for (size_t i = 0; i + 5 <= size; ++i)
        if (IsTag(data + i)) return true;
    return false;
}

// Does what the tag for `entry` says, if there is one: true once it has taken its time.
bool Misbehave(const char* data, size_t size, const char* entry) {
    const ULONG_PTR thrown[3] = {0x19930520, 0, 0};  // MSVC's, without an object
    const char tag = TagFor(data, size, entry);
    if (tag == 'C') *static_cast<volatile int*>(nullptr) = 1;
    if (tag == 'R' || tag == 'T') RaiseException(tag == 'R' ? 0xE0000001 : 0xE06D7363, 0, tag == 'T' ? 3 : 0, thrown);
    while (tag == 'H') Sleep(50);
    if (tag == 'S') Sleep(1000);
    return tag == 'S';
}

// The first bytes of a source: a file (by narrow or wide name, at an offset) or memory.
size_t ReadSource(const void* buf, bool wide, LONG_PTR len, unsigned flag, char (&out)[HEADER_SIZE]) {
    std::memset(out, 0, sizeof out);
    if ((flag & 7) == 1) {
        const size_t size = len < HEADER_SIZE ? static_cast<size_t>(len) : HEADER_SIZE;
        std::memcpy(out, buf, size);
        return size;
    }
    HANDLE file = wide ? CreateFileW(static_cast<LPCWSTR>(buf), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     0, nullptr)
                       : CreateFileA(static_cast<LPCSTR>(buf), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD got = 0;
    if (SetFilePointer(file, static_cast<LONG>(len), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, out, HEADER_SIZE, &got, nullptr))
        got = 0;
    CloseHandle(file);
    return got;
}

int Entry(const void* buf, bool wide, LONG_PTR len, unsigned flag, const char* entry) {
    char data[HEADER_SIZE];
    Misbehave(data, ReadSource(buf, wide, len, flag, data), entry);
    return UNKNOWN_FORMAT;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void*) {
    char name[MAX_PATH] = {};
    GetModuleFileNameA(module, name, MAX_PATH);
    while (reason <= DLL_PROCESS_ATTACH && std::strstr(name, reason ? "hang_load" : "hang_free")) Sleep(50);
    return TRUE;
}

SPI_EXPORT int WINAPI GetPluginInfo(int infono, LPSTR buf, int buflen) {
    const char* texts[] = {KIND, "Faulting and hanging test plug-in", "*.qqa;*.qqz", "Faulty"};
    if (infono < 0 || infono >= 4 || buflen <= 0) return 0;
    lstrcpynA(buf, texts[infono], buflen);
    return lstrlenA(buf);
}

SPI_EXPORT int WINAPI IsSupported(LPCSTR, void* dw) {
    char data[HEADER_SIZE];
    // A handle to a file, or the first bytes themselves.
    if ((reinterpret_cast<ULONG_PTR>(dw) & ~static_cast<ULONG_PTR>(0xFFFF)) == 0) {
        DWORD got = 0;
        std::memset(data, 0, sizeof data);
        if (!ReadFile(static_cast<HANDLE>(dw), data, HEADER_SIZE, &got, nullptr)) return 0;
    } else {
        std::memcpy(data, dw, HEADER_SIZE);
    }
    if (std::memcmp(data, MAGIC, 4) != 0 || !HasAnyTag(data, HEADER_SIZE)) return 0;
    Misbehave(data, HEADER_SIZE, "IsSupported");
    return 1;
}

// A dialog its user closes after `fnc` milliseconds; a negative `fnc` faults in it.
SPI_EXPORT int WINAPI ConfigurationDlg(HWND, int fnc) {
    if (fnc < 0) *static_cast<volatile int*>(nullptr) = 1;
    Sleep(static_cast<DWORD>(fnc));
    return 0;
}

#ifndef FAULTY_ARCHIVE
SPI_EXPORT int WINAPI GetPictureInfo(LPCSTR buf, LONG_PTR len, unsigned flag, testspi::PictureInfo*) {
    return Entry(buf, false, len, flag, "GetPictureInfo");
}
SPI_EXPORT int WINAPI GetPicture(LPCSTR buf, LONG_PTR len, unsigned flag, HLOCAL* info, HLOCAL* pixels, FARPROC, LONG_PTR) {
    char data[HEADER_SIZE];
    if (!Misbehave(data, ReadSource(buf, false, len, flag, data), "GetPicture")) return UNKNOWN_FORMAT;
    const BITMAPINFOHEADER header{sizeof header, 16, 32, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::memcpy(*info = LocalAlloc(LMEM_FIXED, sizeof header), &header, sizeof header);
    std::memcpy(*pixels = LocalAlloc(LMEM_FIXED, sizeof data), data, sizeof data);
    return 0;
}
SPI_EXPORT int WINAPI CreatePicture(LPCSTR path, unsigned, HLOCAL* info, HLOCAL* pixels, void*, FARPROC, LONG_PTR) {
    const auto* h = static_cast<const BITMAPINFOHEADER*>(LocalLock(*info));
    const auto* bytes = static_cast<const volatile char*>(LocalLock(*pixels));
    for (ULONGLONG i = 0; i < 1ULL * h->biWidth * std::abs(h->biHeight) * h->biBitCount / 8; i += 4096) bytes[i];
    Misbehave(const_cast<const char*>(bytes), LocalSize(*pixels), "CreatePicture");
    return std::strstr(path, ".qqa") ? 0 : UNKNOWN_FORMAT;
}
SPI_EXPORT int WINAPI GetPreview(LPCSTR buf, LONG_PTR len, unsigned flag, HLOCAL*, HLOCAL*, FARPROC, LONG_PTR) {
    return Entry(buf, false, len, flag, "GetPreview");
}
#else
SPI_EXPORT int WINAPI GetArchiveInfo(LPCSTR buf, LONG_PTR len, unsigned flag, HLOCAL*) {
    return Entry(buf, false, len, flag, "GetArchiveInfo");
}
SPI_EXPORT int WINAPI GetFileInfo(LPCSTR buf, LONG_PTR len, LPCSTR, unsigned flag, testspi::FileInfo*) {
    return Entry(buf, false, len, flag, "GetFileInfo");
}
SPI_EXPORT int WINAPI GetFile(LPCSTR src, LONG_PTR len, LPSTR, unsigned flag, FARPROC, LONG_PTR) {
    // A file source's `len` is the member's position: the tag is read from the archive's start.
    return Entry(src, false, (flag & 7) == 1 ? len : 0, flag, "GetFile");
}
#endif
