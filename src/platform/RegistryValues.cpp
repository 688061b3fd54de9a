// RegistryValues: one open, one operation and one close per call.
#include "platform/RegistryValues.h"

#include <cstring>

namespace registry {

namespace {

// The key handle of one call, closed when the call returns.
class OpenKey {
public:
    OpenKey(const std::string& path, REGSAM access, bool create) {
        result = create ? RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), access, &key)
                        : RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
        if (result != ERROR_SUCCESS) key = nullptr;
    }
    ~OpenKey() {
        if (key) RegCloseKey(key);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    LONG result = ERROR_SUCCESS;
    HKEY key = nullptr;
};

// Reads one value that must have the given type and at most maxBytes.
// Settings are read for every message: one look at the file, not three.
Found ReadTyped(const std::string& keyPath, const char* name, DWORD wanted, std::size_t maxBytes, std::string& data) {
    DWORD type = 0;
    bool keyFound = false;
    const LONG rc = RegReadValue(HKEY_LOCAL_MACHINE, keyPath.c_str(), name, &type, &data, &keyFound);
    if (rc == ERROR_FILE_NOT_FOUND) return keyFound ? Found::NoValue : Found::NoKey;
    if (rc != ERROR_SUCCESS) return Found::Unreadable;
    if (type != wanted) return Found::OtherType;
    if (data.size() > maxBytes) return wanted == REG_DWORD ? Found::OtherType : Found::Unreadable;
    return Found::Value;
}

}  // namespace

Found ReadDword(const std::string& keyPath, const char* name, DWORD& value) {
    std::string data;
    const Found found = ReadTyped(keyPath, name, REG_DWORD, sizeof value, data);
    if (found != Found::Value) return found;
    if (data.size() != sizeof value) return Found::OtherType;
    std::memcpy(&value, data.data(), sizeof value);
    return Found::Value;
}

Found ReadText(const std::string& keyPath, const char* name, std::string& value, std::size_t maxBytes) {
    std::string data;
    const Found found = ReadTyped(keyPath, name, REG_SZ, maxBytes, data);
    if (found == Found::Value) value.assign(data.c_str(), ::strnlen(data.c_str(), data.size()));
    return found;
}

LONG ProbeKey(const std::string& keyPath) {
    return OpenKey(keyPath, KEY_READ, false).result;
}

LONG ReadStored(const std::string& keyPath, const char* name, StoredValue& value, std::size_t maxBytes) {
    OpenKey open(keyPath, KEY_READ, false);
    if (open.result != ERROR_SUCCESS) return open.result;
    value.name = name;
    DWORD size = 0;
    LONG rc = RegQueryValueEx(open.key, name, nullptr, &value.type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    if (size > maxBytes) return ERROR_MORE_DATA;
    value.data.assign(size, '\0');
    rc = RegQueryValueEx(open.key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(value.data.data()), &size);
    if (rc == ERROR_SUCCESS)
        value.data.resize(size);
    else
        value.data.clear();
    return rc;
}

LONG WriteDword(const std::string& keyPath, const char* name, DWORD value, bool createKey) {
    OpenKey open(keyPath, KEY_ALL_ACCESS, createKey);
    if (open.result != ERROR_SUCCESS) return open.result;
    return RegSetValueEx(open.key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG WriteText(const std::string& keyPath, const char* name, const std::string& text, bool createKey) {
    OpenKey open(keyPath, KEY_ALL_ACCESS, createKey);
    if (open.result != ERROR_SUCCESS) return open.result;
    return RegSetValueEx(open.key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                         static_cast<DWORD>(text.size()));
}

LONG MakeKey(const std::string& keyPath) {
    return OpenKey(keyPath, KEY_ALL_ACCESS, true).result;
}

LONG DeleteValue(const std::string& keyPath, const char* name) {
    OpenKey open(keyPath, KEY_ALL_ACCESS, false);
    if (open.result != ERROR_SUCCESS) return open.result;
    return RegDeleteValue(open.key, name);
}

LONG ListValues(const std::string& keyPath, std::vector<StoredValue>& values, std::size_t maxName,
                std::size_t maxData) {
    OpenKey open(keyPath, KEY_READ, false);
    if (open.result != ERROR_SUCCESS) return open.result;
    std::vector<char> name(maxName + 1);
    std::string data(maxData, '\0');
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG rc = RegEnumValue(open.key, index, name.data(), &nameSize, nullptr, &type,
                                     reinterpret_cast<BYTE*>(data.data()), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) return rc;  // a malformed file answers the same at every index
        values.push_back({std::string(name.data(), ::strnlen(name.data(), nameSize)), type, data.substr(0, dataSize)});
    }
}

LONG ListSubKeys(const std::string& keyPath, std::vector<std::string>& names) {
    OpenKey open(keyPath, KEY_READ, false);
    if (open.result != ERROR_SUCCESS) return open.result;
    for (DWORD index = 0;; ++index) {
        char name[1024] = {};
        if (RegEnumKey(open.key, index, name, sizeof name) != ERROR_SUCCESS) return ERROR_SUCCESS;
        names.emplace_back(name);
    }
}

LONG CountEntries(const std::string& keyPath, DWORD& subKeys, DWORD& values) {
    OpenKey open(keyPath, KEY_READ, false);
    if (open.result != ERROR_SUCCESS) return open.result;
    return RegQueryInfoKey(open.key, &subKeys, &values);
}

}  // namespace registry
