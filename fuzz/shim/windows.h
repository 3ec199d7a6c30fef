// The few Win32 types and functions the plug-ins' portable code uses, for building that code
// natively (Linux, clang) under the fuzzer and the sanitizers. Local memory lives on the C
// heap, so the sanitizers see every block a plug-in hands out or forgets; files do not exist
// here (every file function fails: the fuzz targets give the plug-ins memory); text goes
// through UTF-8 and a one-byte ANSI code page (Latin-1). The code's wide text is the platform's
// wchar_t (std::wstring, L""); WCHAR, of the records a host reads, is UTF-16 as on Windows,
// so that the records keep their layout, and names go into them through an overload of
// spi::CopyName declared here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#ifndef _WIN64
#define _WIN64 1  // pointer-sized records, as the 64-bit plug-ins have them
#endif
#define WINAPI
#define CALLBACK
#define __declspec(x)

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = unsigned int;
using LONG = int32_t;
using ULONG = uint32_t;
using SHORT = int16_t;
using BOOL = int;
using LONGLONG = int64_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using SIZE_T = size_t;
using WCHAR = char16_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using HLOCAL = void*;
using HWND = struct HWND__*;
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
};
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

#pragma pack(push, 2)
struct BITMAPCOREHEADER {
    DWORD bcSize;
    WORD bcWidth, bcHeight, bcPlanes, bcBitCount;
};
#pragma pack(pop)
struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth, biHeight;
    WORD biPlanes, biBitCount;
    DWORD biCompression, biSizeImage;
    LONG biXPelsPerMeter, biYPelsPerMeter;
    DWORD biClrUsed, biClrImportant;
};
struct RGBQUAD {
    BYTE rgbBlue, rgbGreen, rgbRed, rgbReserved;
};
#define BI_RGB 0
#define BI_BITFIELDS 3

// Local memory.
#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_ZEROINIT 0x0040
HLOCAL LocalAlloc(UINT flags, SIZE_T size);
HLOCAL LocalReAlloc(HLOCAL h, SIZE_T size, UINT flags);
HLOCAL LocalFree(HLOCAL h);
LPVOID LocalLock(HLOCAL h);
BOOL LocalUnlock(HLOCAL h);
SIZE_T LocalSize(HLOCAL h);

// Files: none.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 1
#define FILE_SHARE_WRITE 2
#define FILE_SHARE_DELETE 4
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define MOVEFILE_REPLACE_EXISTING 1
#define ERROR_FILE_EXISTS 80
HANDLE CreateFileA(LPCSTR, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE);
HANDLE CreateFileW(LPCWSTR, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE);
BOOL CloseHandle(HANDLE);
BOOL GetFileSizeEx(HANDLE, LARGE_INTEGER*);
BOOL SetFilePointerEx(HANDLE, LARGE_INTEGER, LARGE_INTEGER*, DWORD);
BOOL ReadFile(HANDLE, LPVOID, DWORD, DWORD*, OVERLAPPED*);
BOOL WriteFile(HANDLE, LPCVOID, DWORD, DWORD*, OVERLAPPED*);
BOOL DeleteFileW(LPCWSTR);
BOOL MoveFileExW(LPCWSTR, LPCWSTR, DWORD);
BOOL AreFileApisANSI();
DWORD GetLastError();
DWORD GetCurrentProcessId();
inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }

// Memory queries: the targets hand IsSupported a whole header of the API's size, so a region
// of that size from the queried address is what is there.
#define MEM_COMMIT 0x1000
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define PAGE_EXECUTE_READ 0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_EXECUTE_WRITECOPY 0x80
#define PAGE_GUARD 0x100
struct MEMORY_BASIC_INFORMATION {
    LPVOID BaseAddress;
    LPVOID AllocationBase;
    DWORD AllocationProtect;
    SIZE_T RegionSize;
    DWORD State;
    DWORD Protect;
    DWORD Type;
};
SIZE_T VirtualQuery(LPCVOID address, MEMORY_BASIC_INFORMATION* info, SIZE_T size);
// Virtual memory: zero-filled blocks of the C heap, where the sanitizers see them.
#define MEM_RESERVE 0x2000
#define MEM_RELEASE 0x8000
LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect);
BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD type);

// Text.
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x08
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
#define IS_HIGH_SURROGATE(c) ((c) >= 0xD800 && (c) <= 0xDBFF)
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR s, int n, LPWSTR out, int size);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR s, int n, LPSTR out, int size, LPCSTR defaultChar,
                        BOOL* usedDefault);
int CompareStringOrdinal(LPCWSTR a, int na, LPCWSTR b, int nb, BOOL ignoreCase);

// Times: local time is UTC here.
BOOL DosDateTimeToFileTime(WORD date, WORD time, FILETIME* out);
BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc);

// A record's UTF-16 name field, as the wchar_t overload of text.h fills it.
namespace spi {
void CopyName(char16_t* field, size_t size, const std::wstring& name);
}
