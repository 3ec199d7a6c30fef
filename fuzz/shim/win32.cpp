// The shim's functions (windows.h beside this file).
#include "windows.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

// A local-memory handle: a header in front of the block, so that LocalSize and LocalReAlloc
// know what they hold. The sanitizers watch the block as any heap block.
struct Local {
    size_t size;
    int locks;
    alignas(16) unsigned char data[1];
};

Local* Of(HLOCAL h) { return static_cast<Local*>(h); }
size_t Total(size_t size) { return offsetof(Local, data) + (size ? size : 1); }

}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T size) {
    if (size > (size_t(1) << 40)) return nullptr;
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, Total(size)) : std::malloc(Total(size));
    if (!p) return nullptr;
    Local* l = static_cast<Local*>(p);
    l->size = size;
    l->locks = 0;
    return l;
}

HLOCAL LocalReAlloc(HLOCAL h, SIZE_T size, UINT flags) {
    if (!h || size > (size_t(1) << 40)) return nullptr;
    size_t old = Of(h)->size;
    void* p = std::realloc(h, Total(size));
    if (!p) return nullptr;
    Local* l = static_cast<Local*>(p);
    if ((flags & LMEM_ZEROINIT) && size > old) std::memset(l->data + old, 0, size - old);
    l->size = size;
    return l;
}

HLOCAL LocalFree(HLOCAL h) {
    std::free(h);
    return nullptr;
}

LPVOID LocalLock(HLOCAL h) {
    if (!h) return nullptr;
    ++Of(h)->locks;
    return Of(h)->data;
}

BOOL LocalUnlock(HLOCAL h) {
    if (!h || Of(h)->locks == 0) return FALSE;
    return --Of(h)->locks > 0;
}

SIZE_T LocalSize(HLOCAL h) { return h ? Of(h)->size : 0; }

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) { return INVALID_HANDLE_VALUE; }
HANDLE CreateFileW(LPCWSTR, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) { return INVALID_HANDLE_VALUE; }
BOOL CloseHandle(HANDLE) { return FALSE; }
BOOL GetFileSizeEx(HANDLE, LARGE_INTEGER*) { return FALSE; }
BOOL SetFilePointerEx(HANDLE, LARGE_INTEGER, LARGE_INTEGER*, DWORD) { return FALSE; }
BOOL ReadFile(HANDLE, LPVOID, DWORD, DWORD* done, OVERLAPPED*) {
    if (done) *done = 0;
    return FALSE;
}
BOOL WriteFile(HANDLE, LPCVOID, DWORD, DWORD* done, OVERLAPPED*) {
    if (done) *done = 0;
    return FALSE;
}
BOOL DeleteFileW(LPCWSTR) { return FALSE; }
BOOL MoveFileExW(LPCWSTR, LPCWSTR, DWORD) { return FALSE; }
BOOL AreFileApisANSI() { return TRUE; }
DWORD GetLastError() { return 2; }  // ERROR_FILE_NOT_FOUND
DWORD GetCurrentProcessId() { return 1; }

SIZE_T VirtualQuery(LPCVOID address, MEMORY_BASIC_INFORMATION* info, SIZE_T size) {
    if (!info || size < sizeof *info) return 0;
    std::memset(info, 0, sizeof *info);
    info->BaseAddress = const_cast<void*>(address);
    info->AllocationBase = info->BaseAddress;
    info->RegionSize = 2048;
    info->State = MEM_COMMIT;
    info->Protect = info->AllocationProtect = PAGE_READWRITE;
    return sizeof *info;
}

LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD, DWORD) {
    return address || size == 0 ? nullptr : std::calloc(1, size);
}

BOOL VirtualFree(LPVOID address, SIZE_T, DWORD) {
    std::free(address);
    return TRUE;
}

namespace {

// One UTF-8 sequence from s (n bytes left): the code point, or -1 when it is not well formed.
long DecodeUtf8(const unsigned char* s, int n, int& used) {
    unsigned char c = s[0];
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    used = 1;
    if (len == 0 || len > n) return -1;
    long cp = len == 1 ? c : c & (0x7F >> len);
    for (int i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return -1;
        cp = cp << 6 | (s[i] & 0x3F);
    }
    static const long MIN[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < MIN[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    used = len;
    return cp;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR s, int n, LPWSTR out, int size) {
    if (!s || n == 0) return 0;
    if (n < 0) n = static_cast<int>(std::strlen(s)) + 1;
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    int count = 0;
    for (int i = 0; i < n;) {
        long cp;
        int used = 1;
        if (codePage == CP_UTF8) {
            cp = DecodeUtf8(p + i, n - i, used);
            if (cp < 0) {
                if (flags & MB_ERR_INVALID_CHARS) return 0;
                cp = 0xFFFD;
            }
        } else {
            cp = p[i];
        }
        i += used;
        if (out && size) {
            if (count >= size) return 0;
            out[count] = static_cast<wchar_t>(cp);
        }
        ++count;
    }
    return count;
}

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR s, int n, LPSTR out, int size, LPCSTR defaultChar,
                        BOOL* usedDefault) {
    if (!s || n == 0) return 0;
    if (n < 0) n = static_cast<int>(std::wcslen(s)) + 1;
    if (usedDefault) *usedDefault = FALSE;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        unsigned long cp = static_cast<unsigned long>(s[i]);
        char bytes[4];
        int len = 0;
        if (codePage == CP_UTF8) {
            if (cp < 0x80) {
                bytes[len++] = static_cast<char>(cp);
            } else if (cp < 0x800) {
                bytes[len++] = static_cast<char>(0xC0 | cp >> 6);
                bytes[len++] = static_cast<char>(0x80 | (cp & 0x3F));
            } else if (cp < 0x10000) {
                bytes[len++] = static_cast<char>(0xE0 | cp >> 12);
                bytes[len++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                bytes[len++] = static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                bytes[len++] = static_cast<char>(0xF0 | cp >> 18);
                bytes[len++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                bytes[len++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                bytes[len++] = static_cast<char>(0x80 | (cp & 0x3F));
            }
        } else if (cp <= 0xFF) {
            bytes[len++] = static_cast<char>(cp);
        } else {
            bytes[len++] = defaultChar ? defaultChar[0] : '?';
            if (usedDefault) *usedDefault = TRUE;
        }
        if (out && size) {
            if (count + len > size) return 0;
            std::memcpy(out + count, bytes, len);
        }
        count += len;
    }
    return count;
}

int CompareStringOrdinal(LPCWSTR a, int na, LPCWSTR b, int nb, BOOL ignoreCase) {
    if (na < 0) na = static_cast<int>(std::wcslen(a));
    if (nb < 0) nb = static_cast<int>(std::wcslen(b));
    for (int i = 0; i < na && i < nb; ++i) {
        wint_t x = static_cast<wint_t>(a[i]), y = static_cast<wint_t>(b[i]);
        if (ignoreCase) {
            x = std::towupper(x);
            y = std::towupper(y);
        }
        if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return na == nb ? CSTR_EQUAL : na < nb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

BOOL DosDateTimeToFileTime(WORD date, WORD time, FILETIME* out) {
    int year = 1980 + (date >> 9), month = (date >> 5) & 15, day = date & 31;
    int hour = time >> 11, minute = (time >> 5) & 63, second = (time & 31) * 2;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return FALSE;
    // Days from 1601-01-01 to the date (proleptic Gregorian).
    int y = month <= 2 ? year - 1 : year;
    int m = month <= 2 ? month + 9 : month - 3;
    long days = 365L * y + y / 4 - y / 100 + y / 400 + (153 * m + 2) / 5 + day - 1 - 584694L;
    uint64_t t = ((static_cast<uint64_t>(days) * 86400 + hour * 3600 + minute * 60 + second)) * 10000000ull;
    out->dwLowDateTime = static_cast<DWORD>(t);
    out->dwHighDateTime = static_cast<DWORD>(t >> 32);
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
    *utc = *local;
    return TRUE;
}

namespace spi {

void CopyName(char16_t* field, size_t size, const std::wstring& name) {
    std::memset(field, 0, size * sizeof(char16_t));
    size_t n = 0;
    for (wchar_t c : name) {
        auto cp = static_cast<uint32_t>(c);
        size_t need = cp > 0xFFFF ? 2 : 1;
        if (n + need > size - 1) break;
        if (need == 2) {
            field[n++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            field[n++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            field[n++] = static_cast<char16_t>(cp);
        }
    }
}

}  // namespace spi
