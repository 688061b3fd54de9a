// WholeFile: small files read and written whole (the schedule's state and
// table): a bounded read, and a write that replaces the file in one step so
// a reader never meets half of it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Up to maxBytes of the file at path into bytes; false when it cannot be
// opened or read (errno tells why).
bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes);

// Writes bytes to a temporary name beside path, syncs it and renames it over
// path (mode 0644 for a new file, the old mode otherwise). False, leaving
// the old file as it was, on any failure.
bool WriteWholeFile(const std::string& path, std::string_view bytes);
