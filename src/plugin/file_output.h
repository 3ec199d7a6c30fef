// Files that the server writes for its clients (bitmap files, extracted archive members):
// written beside the destination under a temporary name and moved over it only once
// complete, so a failure never damages a file that was there before.
#pragma once
#include <windows.h>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>

namespace SPI {

// Writes the parts, in order, as the file destPath (replaced if it exists), through the
// system's wide functions: any name, of any length (SystemPath). The temporary file is
// "tmxXXXX.tmp" beside it. E_FAIL on any failure (an empty path, a folder that does not
// exist or cannot take the file, a read-only file or a folder at destPath, a short write),
// with nothing left behind and an existing file untouched; std::bad_alloc is thrown.
HRESULT WriteFileReplacing(const std::wstring& destPath, std::initializer_list<std::span<const BYTE>> parts);

// The same for a file that `write` makes at the path it is given: a new, empty temporary
// file "tmxXXXX" with destPath's extension beside it (a writer may choose the format by
// it). The temporary file goes whatever happens; destPath is replaced only when `write`
// succeeds and leaves the file not empty. `write`'s failure is the result, E_FAIL one here
// (an empty file among them).
HRESULT WriteThroughReplacing(const std::wstring& destPath, const std::function<HRESULT(const std::wstring&)>& write);

}  // namespace SPI
