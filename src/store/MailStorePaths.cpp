// MailStorePaths: store root, name checks and path building.
#include "store/MailStorePaths.h"

#include <cerrno>
#include <sys/stat.h>

#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"

namespace mailstore {

std::string ReadMailDirectory() {
    std::string root = settings::Text{settings::kStorage, "Mail Directory"}.Value(259);
    // A trailing "/" would only double up in the paths built from it.
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

bool IsSafeName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name == " ") return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

std::string CleanFolderName(std::string_view name, std::size_t maxLength) {
    std::string clean;
    for (char c : name) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if ((letter || digit) && clean.size() < maxLength) clean += c;
    }
    return clean;
}

std::string JoinPath(const std::string& directory, std::string_view name) {
    if (directory.empty() || !IsSafeName(name)) return {};
    std::string path = directory;
    if (path.back() != '/') path += '/';
    path += name;
    return path;
}

bool MakeDirectory(const std::string& path) {
    if (path.empty()) return false;
    if (::mkdir(path.c_str(), 0750) == 0) return true;
    struct stat info {};
    return errno == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeAccountDirectories(const std::string& accountDirectory, std::span<const char* const> folders) {
    bool complete = MakeDirectory(accountDirectory);
    for (const char* folder : folders) complete = MakeDirectory(accountDirectory + "/" + folder) && complete;
    return complete;
}

}  // namespace mailstore
