// Registry: Windows-shaped calls answered from the settings file.
#include "platform/Registry.h"

#include <cctype>
#include <cstring>
#include <netdb.h>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "platform/SettingsStore.h"
#include "platform/Text.h"

// A key handle: the key's path below HKEY_LOCAL_MACHINE and the rights it
// was opened with. Handles are the API's own and are freed by RegCloseKey.
struct RegKey {
    std::string path;
    bool writable = false;
    bool system = false;  // answered from the running system, read only
};

namespace {

RegKey g_localMachine{"", true, false};

std::string Join(const std::string& base, const char* sub) {
    std::string s = sub ? sub : "";
    while (!s.empty() && s.front() == '\\') s.erase(0, 1);
    while (!s.empty() && s.back() == '\\') s.pop_back();
    if (base.empty()) return s;
    if (s.empty()) return base;
    return base + "\\" + s;
}

bool IsSystemKey(const std::string& path) {
    return FoldCase(path) == FoldCase(kTcpipParametersKey);
}

std::vector<SettingsFile::Value> SystemValues() {
    std::vector<SettingsFile::Value> v;
    v.push_back({"HostName", REG_SZ, SystemHostName()});
    v.push_back({"Domain", REG_SZ, SystemDomainName()});
    return v;
}

bool Writable(REGSAM access) {
    return (access & 0x0006) != 0;
}

// Values of a key: from the system for the host-name key, else from the file.
LONG ValuesOf(HKEY key, std::vector<SettingsFile::Value>& out, bool& exists) {
    if (key->system) {
        out = SystemValues();
        exists = true;
        return ERROR_SUCCESS;
    }
    return SettingsStore::Instance().Read([&](const SettingsFile& f) {
        exists = f.KeyExists(key->path);
        out = f.Values(key->path);
    });
}

// Copies data to a caller's buffer with the registry's size rules.
LONG CopyOut(const std::string& data, BYTE* buffer, DWORD* size) {
    if (size == nullptr) return buffer ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    const DWORD need = static_cast<DWORD>(data.size());
    if (buffer == nullptr) {
        *size = need;
        return ERROR_SUCCESS;
    }
    if (*size < need) {
        *size = need;
        return ERROR_MORE_DATA;
    }
    if (need) std::memcpy(buffer, data.data(), need);
    *size = need;
    return ERROR_SUCCESS;
}

}  // namespace

HKEY const HKEY_LOCAL_MACHINE = &g_localMachine;

std::string SystemHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "";
    std::string host = name;
    return host.substr(0, host.find('.'));
}

bool IsFullDomainName(const std::string& name) {
    if (name.empty() || name.size() > 253 || name.find('.') == std::string::npos) return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('.', start);
        if (end == std::string::npos) end = name.size();
        const std::string_view label(name.data() + start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        for (char c : label)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
        start = end + 1;
    }
    return true;
}

std::string SystemFullName() {
    std::string host = SystemHostName();
    std::string domain = SystemDomainName();
    while (!domain.empty() && domain.back() == '.') domain.pop_back();
    if (host.empty() || domain.empty()) return "";
    std::string full = FoldCase(host + "." + domain);
    return IsFullDomainName(full) ? full : "";
}

std::string SystemDomainName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "";
    std::string host = name;
    std::size_t dot = host.find('.');
    if (dot != std::string::npos) return host.substr(dot + 1);
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* info = nullptr;
    std::string domain;
    if (::getaddrinfo(name, nullptr, &hints, &info) == 0 && info) {
        if (info->ai_canonname) {
            std::string canon = info->ai_canonname;
            dot = canon.find('.');
            if (dot != std::string::npos) domain = canon.substr(dot + 1);
        }
        ::freeaddrinfo(info);
    }
    return domain;
}

LONG RegOpenKeyEx(HKEY key, const char* subKey, DWORD, REGSAM access, HKEY* result) {
    if (!key || !result) return ERROR_INVALID_HANDLE;
    *result = nullptr;
    const std::string path = Join(key->path, subKey);
    if (IsSystemKey(path)) {
        if (Writable(access)) return ERROR_ACCESS_DENIED;
        *result = new RegKey{path, false, true};
        return ERROR_SUCCESS;
    }
    bool exists = false;
    LONG rc = SettingsStore::Instance().Read([&](const SettingsFile& f) { exists = f.KeyExists(path); });
    if (rc != ERROR_SUCCESS) return rc;
    if (!exists) return ERROR_FILE_NOT_FOUND;
    *result = new RegKey{path, Writable(access), false};
    return ERROR_SUCCESS;
}

LONG RegCreateKeyEx(HKEY key, const char* subKey, REGSAM access, HKEY* result) {
    if (!key || !result) return ERROR_INVALID_HANDLE;
    *result = nullptr;
    const std::string path = Join(key->path, subKey);
    if (IsSystemKey(path)) return RegOpenKeyEx(key, subKey, 0, access, result);
    // A name the file cannot hold is refused here for every caller.
    if (!SettingsFile::KeyPathProblem(path).empty()) return ERROR_INVALID_PARAMETER;
    LONG rc = SettingsStore::Instance().Modify([&](SettingsFile& f) {
        if (f.KeyExists(path)) return false;
        return f.CreateKey(path);
    });
    if (rc != ERROR_SUCCESS) return rc;
    *result = new RegKey{path, Writable(access), false};
    return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY key, const char* valueName, DWORD*, DWORD* type, BYTE* data, DWORD* dataSize) {
    if (!key) return ERROR_INVALID_HANDLE;
    std::vector<SettingsFile::Value> values;
    bool exists = false;
    LONG rc = ValuesOf(key, values, exists);
    if (rc != ERROR_SUCCESS) return rc;
    const std::string want = FoldCase(valueName ? valueName : "");
    for (const auto& v : values) {
        if (FoldCase(v.name) != want) continue;
        if (type) *type = v.type;
        return CopyOut(v.data, data, dataSize);
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegReadValue(HKEY key, const char* subKey, const char* valueName, DWORD* type, std::string* data,
                  bool* keyFound) {
    if (!key || !type || !data || !keyFound) return ERROR_INVALID_PARAMETER;
    const std::string path = Join(key->path, subKey);
    *keyFound = false;
    if (key->system || IsSystemKey(path)) {
        HKEY opened = nullptr;
        LONG rc = RegOpenKeyEx(key, subKey, 0, KEY_READ, &opened);
        if (rc != ERROR_SUCCESS) return rc;
        *keyFound = true;
        DWORD size = 0;
        rc = RegQueryValueEx(opened, valueName, nullptr, type, nullptr, &size);
        if (rc == ERROR_SUCCESS) {
            data->assign(size, '\0');
            rc = RegQueryValueEx(opened, valueName, nullptr, type, reinterpret_cast<BYTE*>(data->data()), &size);
            data->resize(rc == ERROR_SUCCESS ? size : 0);
        }
        RegCloseKey(opened);
        return rc;
    }
    std::optional<SettingsFile::Value> found;
    const LONG rc = SettingsStore::Instance().Read([&](const SettingsFile& f) {
        *keyFound = f.KeyExists(path);
        if (*keyFound) found = f.Get(path, valueName ? valueName : "");
    });
    if (rc != ERROR_SUCCESS) return rc;
    if (!found) return ERROR_FILE_NOT_FOUND;
    *type = found->type;
    *data = std::move(found->data);
    return ERROR_SUCCESS;
}

LONG RegSetValueEx(HKEY key, const char* valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (!key->writable || key->system) return ERROR_ACCESS_DENIED;
    if (type == REG_DWORD && dataSize != 4) return ERROR_INVALID_PARAMETER;
    SettingsFile::Value v;
    v.name = valueName ? valueName : "";
    v.type = type;
    if (data && dataSize) v.data.assign(reinterpret_cast<const char*>(data), dataSize);
    const std::string path = key->path;
    if (!SettingsFile::ValueProblem(path, v).empty()) return ERROR_INVALID_PARAMETER;
    return SettingsStore::Instance().Modify([&](SettingsFile& f) { return f.Set(path, v); });
}

LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD*, DWORD* type, BYTE* data,
                  DWORD* dataSize) {
    if (!key || !name || !nameSize) return ERROR_INVALID_PARAMETER;
    std::vector<SettingsFile::Value> values;
    bool exists = false;
    LONG rc = ValuesOf(key, values, exists);
    if (rc != ERROR_SUCCESS) return rc;
    if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
    const auto& v = values[index];
    if (*nameSize <= v.name.size()) {
        *nameSize = static_cast<DWORD>(v.name.size() + 1);
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, v.name.c_str(), v.name.size() + 1);
    *nameSize = static_cast<DWORD>(v.name.size());
    if (type) *type = v.type;
    if (!data && !dataSize) return ERROR_SUCCESS;
    return CopyOut(v.data, data, dataSize);
}

LONG RegEnumKey(HKEY key, DWORD index, char* name, DWORD nameSize) {
    if (!key || !name) return ERROR_INVALID_PARAMETER;
    if (key->system) return ERROR_NO_MORE_ITEMS;
    std::vector<std::string> subKeys;
    const std::string path = key->path;
    LONG rc = SettingsStore::Instance().Read([&](const SettingsFile& f) { subKeys = f.SubKeys(path); });
    if (rc != ERROR_SUCCESS) return rc;
    if (index >= subKeys.size()) return ERROR_NO_MORE_ITEMS;
    if (nameSize <= subKeys[index].size()) return ERROR_MORE_DATA;
    std::memcpy(name, subKeys[index].c_str(), subKeys[index].size() + 1);
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKey(HKEY key, DWORD* subKeyCount, DWORD* valueCount) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (key->system) {
        if (subKeyCount) *subKeyCount = 0;
        if (valueCount) *valueCount = static_cast<DWORD>(SystemValues().size());
        return ERROR_SUCCESS;
    }
    const std::string path = key->path;
    return SettingsStore::Instance().Read([&](const SettingsFile& f) {
        if (subKeyCount) *subKeyCount = static_cast<DWORD>(f.SubKeys(path).size());
        if (valueCount) *valueCount = static_cast<DWORD>(f.Values(path).size());
    });
}

LONG RegDeleteValue(HKEY key, const char* valueName) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (!key->writable || key->system) return ERROR_ACCESS_DENIED;
    bool found = false;
    const std::string path = key->path;
    const std::string name = valueName ? valueName : "";
    LONG rc = SettingsStore::Instance().Modify([&](SettingsFile& f) {
        found = f.Delete(path, name);
        return found;
    });
    if (rc != ERROR_SUCCESS) return rc;
    return found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegFlushKey(HKEY key) {
    // Every write is already on stable storage when RegSetValueEx returns.
    return key ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegCloseKey(HKEY key) {
    if (!key) return ERROR_INVALID_HANDLE;
    if (key != HKEY_LOCAL_MACHINE) delete key;
    return ERROR_SUCCESS;
}
