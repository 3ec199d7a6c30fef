// The wide-character forms of the Susie plug-in API, as newer plug-ins export them beside
// the narrow ones: the same calls with UTF-16 names and texts, and the archive member
// record with UTF-16 path and file name. A plug-in may export any of them; every narrow
// entry stays required. Declared here from the published layout; spi_api.h has the rest.
#pragma once
#include <windows.h>
#include <cstddef>

#include "spi_api.h"

namespace SPI {

#ifndef _WIN64  // the 64-bit record is in spi_api64.h
// Characters in each of the wide record's name fields.
constexpr size_t MEMBER_NAME_LENGTH = 200;

#pragma pack(push, 1)

// One archive member with UTF-16 names: packed, 828 bytes. The fields before and after the
// names are those of fileInfo; a listing is an array of these ended by a record whose first
// byte is 0.
struct fileInfoW {
    unsigned char method[8];  // narrow text, not always NUL-terminated
    ULONG position;
    ULONG compsize;
    ULONG filesize;
    LONG timestamp;  // seconds since 1970-01-01 UTC
    WCHAR path[MEMBER_NAME_LENGTH];
    WCHAR filename[MEMBER_NAME_LENGTH];
    ULONG crc;
};

#pragma pack(pop)

static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(fileInfoW) == 828);
static_assert(offsetof(fileInfoW, position) == 8);
static_assert(offsetof(fileInfoW, compsize) == 12);
static_assert(offsetof(fileInfoW, filesize) == 16);
static_assert(offsetof(fileInfoW, timestamp) == 20);
static_assert(offsetof(fileInfoW, path) == 24);
static_assert(offsetof(fileInfoW, filename) == 424);
static_assert(offsetof(fileInfoW, crc) == 824);
#endif

// Wide entry points (all stdcall). `buf` is a UTF-16 file name for a file source and the
// data's address for a memory source, as in the narrow forms; GetPluginInfoW's buflen counts
// characters.
using GetPluginInfoWFn = int(WINAPI*)(int infono, LPWSTR buf, int buflen);
using IsSupportedWFn = int(WINAPI*)(LPCWSTR filename, void* header);
using GetPictureInfoWFn = int(WINAPI*)(LPCWSTR buf, LONG_PTR len, UINT flag, PictureInfoRecord* info);
using GetPictureWFn = int(WINAPI*)(LPCWSTR buf, LONG_PTR len, UINT flag, HLOCAL* info, HLOCAL* pixels,
                                   ProgressCallback progress, LONG_PTR data);
using GetPreviewWFn = GetPictureWFn;
using GetArchiveInfoWFn = int(WINAPI*)(LPCWSTR buf, LONG_PTR len, UINT flag, HLOCAL* list);
using GetFileInfoWFn = int(WINAPI*)(LPCWSTR buf, LONG_PTR len, LPCWSTR filename, UINT flag, fileInfoW* info);
using GetFileWFn = int(WINAPI*)(LPCWSTR src, LONG_PTR len, LPWSTR dest, UINT flag, ProgressCallback progress,
                                LONG_PTR data);

namespace exports {
constexpr const char* GetPluginInfoW = "GetPluginInfoW";
constexpr const char* IsSupportedW = "IsSupportedW";
constexpr const char* GetPictureInfoW = "GetPictureInfoW";
constexpr const char* GetPictureW = "GetPictureW";
constexpr const char* GetPreviewW = "GetPreviewW";
constexpr const char* GetArchiveInfoW = "GetArchiveInfoW";
constexpr const char* GetFileInfoW = "GetFileInfoW";
constexpr const char* GetFileW = "GetFileW";
}  // namespace exports

}  // namespace SPI
