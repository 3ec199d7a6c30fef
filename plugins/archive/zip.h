// ZIP: stored and deflated members, listed from the central directory.
#pragma once
#include <vector>

#include "archive.h"

namespace archive {

int ListZip(spi::Input& in, std::vector<Entry>& entries);

// Extracts the member whose local header starts the input.
int ExtractZip(spi::Input& in, Sink& sink, spi::Progress& progress);

}  // namespace archive
