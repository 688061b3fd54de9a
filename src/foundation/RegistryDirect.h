// Direct registry reads: open a full key path, query one value into a fixed
// buffer, close. A failed open or query leaves the caller's default in place,
// which is how most settings readers of the system behave.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Registry.h"

// Reads a 4-byte value; returns true when it was read (value changed).
bool ReadRegistryDword(const char* keyPath, const char* valueName, DWORD& value);
// Reads a text value into a zeroed buffer of bufferSize bytes (256 for names,
// 260 for directories); the text is cut to bufferSize - 1 bytes.
bool ReadRegistryString(const char* keyPath, const char* valueName, std::string& value, std::size_t bufferSize);
