// RegistryCommand: shell access to the settings through the registry API,
// so the command line sees exactly what the server reads.
#include "app/RegistryCommand.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "foundation/SettingsCatalogue.h"
#include "platform/Registry.h"
#include "platform/SettingsFile.h"
#include "platform/SettingsStore.h"

namespace {

std::string FullKey(const std::string& key) {
    std::string folded = FoldCase(key);
    if (folded.rfind("software\\", 0) == 0 || folded.rfind("system\\", 0) == 0) return key;
    if (folded.rfind("hkey_local_machine\\", 0) == 0) return key.substr(19);
    return std::string(settings::kProductKeyPath) + "\\" + key;
}

std::string Show(DWORD type, const std::string& data) {
    if (type == REG_DWORD && data.size() == 4) {
        std::uint32_t v = 0;
        std::memcpy(&v, data.data(), 4);
        return std::to_string(v);
    }
    if (type == REG_SZ) return data;
    std::string hex;
    static const char* digits = "0123456789abcdef";
    for (unsigned char c : data) {
        if (!hex.empty()) hex += ',';
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return "hex:" + hex;
}

int Fail(std::ostream& err, LONG rc, const std::string& what) {
    if (rc == ERROR_BADDB) {
        err << "velmora reg: " << SettingsStore::Instance().LastError() << "\n";
        return 2;
    }
    if (rc == ERROR_FILE_NOT_FOUND) {
        err << "velmora reg: " << what << " not found\n";
        return 1;
    }
    err << "velmora reg: " << what << ": error " << rc << "\n";
    return 1;
}

int Usage(std::ostream& err) {
    err << "usage: velmora reg get KEY VALUE | set KEY VALUE dword|string DATA | list [KEY] | delete KEY VALUE\n";
    return 64;
}

int ListKey(const std::string& path, std::ostream& out, std::ostream& err, bool recurse) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return Fail(err, rc, "key " + path);
    out << "[" << path << "]\n";
    for (DWORD i = 0;; ++i) {
        char name[1024];
        DWORD nameSize = sizeof name;
        DWORD type = 0, size = 0;
        rc = RegEnumValue(key, i, name, &nameSize, nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS) break;
        std::string data(size, '\0');
        nameSize = sizeof name;
        if (RegEnumValue(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
            ERROR_SUCCESS)
            out << "  " << name << " = " << Show(type, data) << "\n";
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        char name[1024];
        if (RegEnumKey(key, i, name, sizeof name) != ERROR_SUCCESS) break;
        children.push_back(name);
    }
    RegCloseKey(key);
    if (recurse)
        for (const std::string& child : children) ListKey(path + "\\" + child, out, err, true);
    return 0;
}

}  // namespace

int RegistryCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return Usage(err);
    const std::string& verb = args[0];
    if (verb == "list") {
        if (args.size() > 2) return Usage(err);
        return ListKey(args.size() == 2 ? FullKey(args[1]) : settings::kProductKeyPath, out, err, true);
    }
    if (args.size() < 3) return Usage(err);
    const std::string path = FullKey(args[1]);
    const std::string& name = args[2];
    if (verb == "get") {
        if (args.size() != 3) return Usage(err);
        HKEY key = nullptr;
        LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
        if (rc != ERROR_SUCCESS) return Fail(err, rc, "key " + path);
        DWORD type = 0, size = 0;
        rc = RegQueryValueEx(key, name.c_str(), nullptr, &type, nullptr, &size);
        std::string data(size, '\0');
        if (rc == ERROR_SUCCESS)
            rc = RegQueryValueEx(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) return Fail(err, rc, "value " + name + " of " + path);
        out << Show(type, data.substr(0, size)) << "\n";
        return 0;
    }
    if (verb == "set") {
        if (args.size() != 5) return Usage(err);
        const std::string& type = args[3];
        const std::string& text = args[4];
        HKEY key = nullptr;
        LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, &key);
        if (rc != ERROR_SUCCESS) return Fail(err, rc, "key " + path);
        if (type == "dword") {
            char* end = nullptr;
            errno = 0;
            unsigned long long v = std::strtoull(text.c_str(), &end, 0);
            if (text.empty() || *end != '\0' || errno != 0 || v > 0xffffffffULL || text[0] == '-') {
                RegCloseKey(key);
                err << "velmora reg: \"" << text << "\" is not a number from 0 to 4294967295\n";
                return 64;
            }
            DWORD n = static_cast<DWORD>(v);
            rc = RegSetValueEx(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4);
        } else if (type == "string" || type == "sz") {
            rc = RegSetValueEx(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                               static_cast<DWORD>(text.size()));
        } else {
            RegCloseKey(key);
            return Usage(err);
        }
        RegCloseKey(key);
        return rc == ERROR_SUCCESS ? 0 : Fail(err, rc, "value " + name);
    }
    if (verb == "delete") {
        if (args.size() != 3) return Usage(err);
        HKEY key = nullptr;
        LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key);
        if (rc != ERROR_SUCCESS) return Fail(err, rc, "key " + path);
        rc = RegDeleteValue(key, name.c_str());
        RegCloseKey(key);
        return rc == ERROR_SUCCESS ? 0 : Fail(err, rc, "value " + name + " of " + path);
    }
    return Usage(err);
}
