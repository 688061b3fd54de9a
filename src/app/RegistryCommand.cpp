// RegistryCommand: shell access to the settings through the registry API,
// so the command line sees exactly what the server reads.
#include "app/RegistryCommand.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "foundation/SettingsCatalogue.h"
#include "foundation/SettingsCheck.h"
#include "platform/RegistryValues.h"
#include "platform/SettingsFile.h"
#include "platform/SettingsStore.h"
#include "platform/Text.h"

namespace {

// The longest value the shell shows; the settings file holds none longer.
constexpr std::size_t kMaxShownValue = 1 << 20;

std::string FullKey(const std::string& key) {
    std::string folded = FoldCase(key);
    if (folded.rfind("software\\", 0) == 0 || folded.rfind("system\\", 0) == 0) return key;
    if (folded.rfind("hkey_local_machine\\", 0) == 0) return key.substr(19);
    return std::string(settings::kProductKeyPath) + "\\" + key;
}

// The key below the product key, or empty for a key outside it.
std::string RelativeKey(const std::string& full) {
    const std::string prefix = FoldCase(settings::kProductKeyPath) + "\\";
    if (FoldCase(full).rfind(prefix, 0) != 0) return "";
    return full.substr(prefix.size());
}

const char* TypeName(DWORD type) {
    return type == REG_DWORD ? "dword" : type == REG_SZ ? "string" : "binary";
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

// A name as the terminal can show it: control characters as escapes.
std::string Printable(const std::string& text) {
    std::string shown;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            static const char* digits = "0123456789abcdef";
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 15];
        } else {
            shown += c;
        }
    }
    return shown;
}

// Whether the settings file can keep the key and value names; says why not.
bool StorableNames(const std::string& key, const std::string& fullKey, const std::string& name, std::ostream& err) {
    std::string why = SettingsFile::KeyPathProblem(fullKey);
    if (!why.empty()) {
        err << "velmora reg: the key \"" << Printable(key) << "\" cannot be stored: it " << why << "\n";
        return false;
    }
    why = SettingsFile::ValueNameProblem(name);
    if (!why.empty()) {
        err << "velmora reg: the value name \"" << Printable(name) << "\" cannot be stored: it " << why << "\n";
        return false;
    }
    return true;
}

int Usage(std::ostream& err) {
    RegistryCommand::PrintUsage(err);
    return 64;
}

// "Ports\SMTP Port" as the administrator named it.
std::string Named(const std::string& key, const std::string& name) {
    return key + "\\" + name;
}

// The checks of a change, before anything is written. Returns 0 when it may
// be stored, else the exit code after saying why.
int CheckChange(const std::string& key, const std::string& fullKey, const std::string& name, DWORD type,
                std::uint32_t number, const std::string& text, bool force, std::ostream& err, bool& readAtStart) {
    const std::string relative = RelativeKey(fullKey);
    const std::optional<settings::KnownSetting> known =
        relative.empty() ? std::nullopt : settings::FindSetting(relative, name);
    readAtStart = known && known->readAtStart;
    if (!known) {
        if (force) return 0;
        err << "velmora reg: " << Named(key, name)
            << " is not a setting this server reads; check the spelling (velmora reg list " << key
            << " shows what is set), or repeat with --force to store it anyway\n";
        return 1;
    }
    const DWORD wanted = known->type == settings::Type::Dword ? REG_DWORD : REG_SZ;
    if (type != wanted) {
        err << "velmora reg: " << Named(key, name) << " is a " << TypeName(wanted) << " setting"
            << (wanted == REG_DWORD ? " (a number)" : "") << "; it cannot be stored as a " << TypeName(type) << "\n";
        return 1;
    }
    if (type == REG_DWORD && (number < known->minimum || number > known->maximum)) {
        err << "velmora reg: " << Named(key, name) << " takes a number from " << known->minimum << " to "
            << known->maximum << ", not " << number << "\n";
        return 1;
    }
    if (type == REG_SZ && known->form == settings::Form::IpAddress && !text.empty() &&
        !settings::IsIpAddressText(text)) {
        err << "velmora reg: " << Named(key, name) << " takes one IPv4 or IPv6 address (or \"\" for every address), not "
            << text << "\n";
        return 1;
    }
    if (type == REG_SZ && known->form == settings::Form::DomainName && !text.empty() &&
        !IsFullDomainName(FoldCase(text))) {
        err << "velmora reg: " << Named(key, name) << " takes a domain name such as example.org (or \"\"), not \""
            << text << "\"\n";
        return 1;
    }
    if (type == REG_SZ && known->form == settings::Form::NameServer && !settings::IsNameServerText(text)) {
        err << "velmora reg: " << Named(key, name)
            << " takes one IPv4 or IPv6 address, optionally with a port (192.0.2.1:5353, [2001:db8::1]:5353), not \""
            << text << "\"\n";
        return 1;
    }
    return 0;
}

int ListKey(const std::string& path, std::ostream& out, std::ostream& err, bool recurse) {
    const LONG rc = registry::ProbeKey(path);
    if (rc != ERROR_SUCCESS) return Fail(err, rc, "key " + path);
    std::vector<registry::StoredValue> values;
    registry::ListValues(path, values, 1023, kMaxShownValue);
    out << "[" << path << "]\n";
    for (const registry::StoredValue& value : values)
        out << "  " << value.name << " = " << Show(value.type, value.data) << " (" << TypeName(value.type) << ")\n";
    std::vector<std::string> children;
    registry::ListSubKeys(path, children);
    if (recurse)
        for (const std::string& child : children) ListKey(path + "\\" + child, out, err, true);
    return 0;
}

}  // namespace

void RegistryCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora reg get KEY VALUE        show a value and its type\n"
           "       velmora reg set KEY VALUE dword|string DATA [--force]\n"
           "                                        store a value; --force for a name the server does not read\n"
           "       velmora reg list [KEY]           list the values below KEY (default: all)\n"
           "       velmora reg delete KEY VALUE     remove a value\n"
           "KEY is below SOFTWARE\\Fenwarde\\Velmora, e.g. Ports or Preferences.\n";
}

int RegistryCommand::Run(const std::vector<std::string>& allArgs, std::ostream& out, std::ostream& err) {
    std::vector<std::string> args = allArgs;
    const auto forceAt = std::find(args.begin(), args.end(), "--force");
    const bool force = forceAt != args.end();
    if (force) args.erase(forceAt);
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
        LONG rc = registry::ProbeKey(path);
        if (rc != ERROR_SUCCESS) return Fail(err, rc, "key " + path);
        registry::StoredValue value;
        rc = registry::ReadStored(path, name.c_str(), value, kMaxShownValue);
        if (rc != ERROR_SUCCESS) return Fail(err, rc, "value " + name + " of " + path);
        out << name << " = " << Show(value.type, value.data) << " (" << TypeName(value.type) << ")\n";
        return 0;
    }
    if (verb == "set") {
        if (args.size() != 5) return Usage(err);
        const std::string& typeWord = args[3];
        const std::string& text = args[4];
        DWORD type = REG_SZ;
        std::uint32_t number = 0;
        if (typeWord == "dword") {
            char* end = nullptr;
            errno = 0;
            unsigned long long v = std::strtoull(text.c_str(), &end, 0);
            if (text.empty() || *end != '\0' || errno != 0 || v > 0xffffffffULL || text[0] == '-') {
                err << "velmora reg: \"" << text << "\" is not a number from 0 to 4294967295\n";
                return 64;
            }
            type = REG_DWORD;
            number = static_cast<std::uint32_t>(v);
        } else if (typeWord != "string" && typeWord != "sz") {
            err << "velmora reg: \"" << typeWord << "\" is not a type: use dword or string\n";
            return 64;
        }
        if (!StorableNames(args[1], path, name, err)) return 64;
        bool readAtStart = false;
        if (int refused = CheckChange(args[1], path, name, type, number, text, force, err, readAtStart)) return refused;
        // The key is made first, so that a refusal names the part refused.
        LONG rc = registry::MakeKey(path);
        if (rc != ERROR_SUCCESS) return Fail(err, rc, "key " + path);
        rc = type == REG_DWORD ? registry::WriteDword(path, name.c_str(), number, false)
                               : registry::WriteText(path, name.c_str(), text, false);
        if (rc != ERROR_SUCCESS) return Fail(err, rc, "value " + name);
        if (readAtStart)
            out << Named(args[1], name)
                << " is read when the server starts: restart a running `velmora run` for the change to apply\n";
        return 0;
    }
    if (verb == "delete") {
        if (args.size() != 3) return Usage(err);
        LONG rc = registry::ProbeKey(path);
        if (rc != ERROR_SUCCESS) return Fail(err, rc, "key " + path);
        rc = registry::DeleteValue(path, name.c_str());
        return rc == ERROR_SUCCESS ? 0 : Fail(err, rc, "value " + name + " of " + path);
    }
    return Usage(err);
}
