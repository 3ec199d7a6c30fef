// Files that the server writes for its clients (bitmap files, extracted archive members):
// written beside the destination under a temporary name and moved over it only once
// complete, so a failure never damages a file that was there before.
#pragma once
#include <windows.h>
#include <initializer_list>
#include <span>
#include <string>

namespace SPI {

// Writes the parts, in order, as the file destPath (a narrow path, replaced if it exists).
// E_FAIL on any failure (an empty path, a folder that does not exist or cannot take the
// file, a read-only file or a folder at destPath, a short write), with nothing left behind
// and an existing file untouched.
HRESULT WriteFileReplacing(const std::string& destPath,
                           std::initializer_list<std::span<const BYTE>> parts) noexcept;

}  // namespace SPI
