// RegistryValues: whole-value reads and writes of one key below
// HKEY_LOCAL_MACHINE, named by its full path.
//
// These are the only registry calls the layers above make: each opens the
// key, does one thing and closes it, so no handle outlives a call. The
// settings layer (foundation/SettingValue) reads and writes catalogue
// entries through them; the shell's `reg` command and the loaders of the
// numbered keys (DNS, Servers) use the listing calls.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace registry {

// What a typed read found.
enum class Found {
    Value,       // read; the value holds it
    NoKey,       // the key cannot be opened
    NoValue,     // the key has no value of that name
    OtherType,   // stored with another type (or a dword not 4 bytes long)
    Unreadable,  // longer than the reader takes, or the file cannot be read
};

// A REG_DWORD of 4 bytes.
Found ReadDword(const std::string& keyPath, const char* name, DWORD& value);
// A REG_SZ of at most maxBytes bytes, cut at its first NUL.
Found ReadText(const std::string& keyPath, const char* name, std::string& value, std::size_t maxBytes);

// One value as stored, whatever its type.
struct StoredValue {
    std::string name;
    DWORD type = 0;
    std::string data;
};

// The registry's result code of opening the key for reading.
LONG ProbeKey(const std::string& keyPath);
// Reads one value with its type, at most maxBytes of it (ERROR_MORE_DATA
// beyond, with value.data empty).
LONG ReadStored(const std::string& keyPath, const char* name, StoredValue& value, std::size_t maxBytes);
// Writes one value; createKey makes the key (and its parents) when missing,
// otherwise a missing key is ERROR_FILE_NOT_FOUND.
LONG WriteDword(const std::string& keyPath, const char* name, DWORD value, bool createKey);
LONG WriteText(const std::string& keyPath, const char* name, const std::string& text, bool createKey);
// Makes the key (and its parents) when missing.
LONG MakeKey(const std::string& keyPath);
LONG DeleteValue(const std::string& keyPath, const char* name);
// Every value of the key, in stored order; names and data bounded by the
// given sizes (a longer one is skipped).
LONG ListValues(const std::string& keyPath, std::vector<StoredValue>& values, std::size_t maxName, std::size_t maxData);
// The names of the key's sub-keys.
LONG ListSubKeys(const std::string& keyPath, std::vector<std::string>& names);
// How many sub-keys and values the key has.
LONG CountEntries(const std::string& keyPath, DWORD& subKeys, DWORD& values);

}  // namespace registry
