// MovedHome: recognising and repairing the paths of a moved home.
#include "foundation/MovedHome.h"

#include <map>
#include <sys/stat.h>

#include "foundation/DataSource.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/Home.h"
#include "platform/Registry.h"
#include "platform/SettingsStore.h"

namespace {

struct ProvisionedPath {
    std::string key;    // full settings key, or empty for the database
    std::string name;   // value name
    std::string below;  // what setup wrote below the home ("" = the home)
    std::string value;  // what it reads now
};

std::string Below(const std::string& dir, const std::string& name) {
    return name.empty() ? dir : dir + "/" + name;
}

// The provisioned paths as they read now; the settings ones only from a file that parses.
std::vector<ProvisionedPath> CurrentPaths(const std::string& home) {
    std::vector<ProvisionedPath> paths;
    paths.push_back({"", "Database", Home::kDatabaseFile, DataSource::DatabasePath(home + "/" + Home::kOdbcIni)});
    SettingsStore::Instance().Read([&](const SettingsFile& file) {
        for (const settings::Setting& s : settings::kCatalogue) {
            if (s.provision != settings::Provision::HomePath) continue;
            const std::string key = std::string(settings::kProductKeyPath) + "\\" + s.key;
            const auto value = file.Get(key, s.name);
            if (value && value->type == SettingsFile::kString)
                paths.push_back({key, s.name, s.stringProvisioned, value->data});
        }
        // The certificate pair setup made, while the settings still name it.
        constexpr settings::Text kCertificateFile{settings::kTls, "Certificate File"};
        constexpr settings::Text kKeyFile{settings::kTls, "Key File"};
        for (const auto& [entry, below] : {std::pair{kCertificateFile, settings::kProvisionedCertificate},
                                           std::pair{kKeyFile, settings::kProvisionedKey}}) {
            const auto value = file.Get(entry.KeyPath(), entry.Entry().name);
            if (value && value->type == SettingsFile::kString)
                paths.push_back({entry.KeyPath(), entry.Entry().name, below, value->data});
        }
    });
    return paths;
}

// The directory a path was provisioned in, when it has the provisioned form.
std::string DirectoryOf(const ProvisionedPath& path) {
    if (path.below.empty()) return path.value;
    const std::string tail = "/" + path.below;
    if (path.value.size() <= tail.size() || path.value.compare(path.value.size() - tail.size(), tail.size(), tail))
        return "";
    return path.value.substr(0, path.value.size() - tail.size());
}

// The same directory reached by another name (a symbolic link) has not moved.
bool SameDirectory(const std::string& a, const std::string& b) {
    struct stat x {
    }, y{};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

}  // namespace

std::string MovedHome::FormerDirectory(const std::string& home) {
    std::map<std::string, int> votes;
    for (const ProvisionedPath& path : CurrentPaths(home)) {
        const std::string dir = DirectoryOf(path);
        if (!dir.empty() && dir[0] == '/' && dir != home) ++votes[dir];
    }
    for (const auto& [dir, count] : votes)
        if (count >= 2 && !SameDirectory(dir, home)) return dir;
    return "";
}

bool MovedHome::Repair(const std::string& home, const std::string& former, std::vector<std::string>& repaired,
                       std::string& error) {
    if (former.empty() || former == home) return true;
    for (const ProvisionedPath& path : CurrentPaths(home)) {
        if (path.value != Below(former, path.below)) continue;
        const std::string now = Below(home, path.below);
        if (path.key.empty()) {
            if (!DataSource::ReplaceDatabasePath(home + "/" + Home::kOdbcIni, path.value, now, error)) return false;
            repaired.push_back(home + "/" + Home::kOdbcIni + ": Database = " + now);
            continue;
        }
        const long rc = SettingsStore::Instance().Modify([&](SettingsFile& file) {
            file.Set(path.key, {path.name, SettingsFile::kString, now});
            return true;
        });
        if (rc != ERROR_SUCCESS) {
            error = "the settings file " + SettingsStore::Instance().Path() + " could not be written (code " +
                    std::to_string(rc) + ")";
            return false;
        }
        repaired.push_back(path.key.substr(std::string(settings::kProductKeyPath).size() + 1) + "\\" + path.name +
                           " = " + now);
    }
    return true;
}
