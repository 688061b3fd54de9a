// Direct registry reads with fixed buffers.
#include "foundation/RegistryDirect.h"

#include <cstring>
#include <vector>

bool ReadRegistryDword(const char* keyPath, const char* valueName, DWORD& value) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD read = 0;
    DWORD size = sizeof read;
    DWORD type = 0;
    LONG rc = RegQueryValueEx(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return false;
    value = read;
    return true;
}

bool ReadRegistryString(const char* keyPath, const char* valueName, std::string& value, std::size_t bufferSize) {
    if (bufferSize < 2) return false;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    std::vector<BYTE> buffer(bufferSize, 0);
    DWORD size = static_cast<DWORD>(bufferSize - 1);  // keep the terminator
    LONG rc = RegQueryValueEx(key, valueName, nullptr, nullptr, buffer.data(), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return false;
    const char* text = reinterpret_cast<const char*>(buffer.data());
    value.assign(text, ::strnlen(text, size));
    return true;
}
