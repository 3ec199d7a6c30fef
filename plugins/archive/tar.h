// TAR (ustar, with GNU long names and pax headers) over a byte stream.
#pragma once
#include <cstdint>
#include <vector>

#include "archive.h"
#include "stream.h"

namespace archive {

bool IsTarHeader(const uint8_t* block);  // a 512-byte header whose checksum holds

// Lists the stream; positions are the stream's offsets plus `origin`.
int ListTar(Stream& stream, uint64_t origin, const char* method, std::vector<Entry>& entries);

// Extracts the member whose first header is next in the stream; with an `exactSize`, only
// when its headers and data (padded or not) are that many bytes, else -1.
int ExtractTar(Stream& stream, Sink& sink, spi::Progress& progress, uint64_t exactSize = 0);

}  // namespace archive
