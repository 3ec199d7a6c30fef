// Writing a picture given as the bitmap blocks of the plug-in API (a BITMAPINFO block and a
// pixel block, as GetPicture hands them out) to a PNG, JPEG, BMP or TGA file.
#pragma once
#include <windows.h>

#include <string>

#include "formats.h"
#include "progress.h"

namespace picture {

// The format a destination's extension asks for; Unknown for one not written here.
Format FormatOfPath(const std::wstring& path);

// Writes the picture of the two blocks (left as they are) to `path`: result code. The file
// is written beside the destination and takes its place only when complete, so a failed or
// cancelled call leaves an existing destination as it was and nothing else behind.
int Encode(HLOCAL info, HLOCAL bits, Format format, const std::wstring& path, spi::Progress& progress);

}  // namespace picture
