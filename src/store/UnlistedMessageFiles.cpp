// UnlistedMessageFiles: finding and removing message files without rows.
#include "store/UnlistedMessageFiles.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/CModuleLog.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "store/MailStorePaths.h"

namespace mailstore {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Names of the entries of a directory that are of the given kind (no links).
std::vector<std::string> Entries(const std::string& directory, bool directories) {
    std::vector<std::string> names;
    DirHandle dir(::opendir(directory.c_str()));
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string path = JoinPath(directory, entry->d_name);
        struct stat info {};
        if (path.empty() || ::lstat(path.c_str(), &info) != 0) continue;
        if (directories ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode)) names.emplace_back(entry->d_name);
    }
    return names;
}

// -1 when the look-up failed, so a database problem never removes a file.
int Listed(SQLHDBC connection, const std::string& id) {
    OdbcStatement statement(connection);
    std::uint32_t count = 0;
    if (!statement.ExecDirect(FormatSql("SELECT count(*) FROM Mails WHERE mMailId = '%s'", SqlText::Quote(id))) ||
        !statement.BindULong(1, count) || !statement.Fetch())
        return -1;
    return count > 0 ? 1 : 0;
}

}  // namespace

bool IsMessageFileName(std::string_view name) {
    // "QIRN-" + 8 date digits + "-" + seconds and counter digits + ".mel"
    constexpr std::string_view prefix = "QIRN-";
    constexpr std::string_view suffix = ".mel";
    if (name.size() < prefix.size() + 8 + 1 + 1 + suffix.size()) return false;
    if (name.substr(0, prefix.size()) != prefix || name.substr(name.size() - suffix.size()) != suffix) return false;
    const std::string_view id = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return id[8] == '-' && AllDigits(id.substr(0, 8)) && AllDigits(id.substr(9));
}

std::size_t RemoveUnlistedMessageFiles(SQLHDBC connection, const std::string& mailDirectory, const timespec& since,
                                       const timespec& before) {
    if (mailDirectory.empty()) return 0;
    std::vector<std::string> mailboxes;
    {
        OdbcStatement statement(connection);
        if (!statement.ExecDirect("SELECT aMailBox FROM Accounts")) return 0;
        for (std::string mailbox; statement.Fetch();)
            if (statement.GetText(1, mailbox)) mailboxes.push_back(mailbox);
    }
    std::size_t removed = 0;
    for (const std::string& mailbox : mailboxes) {
        const std::string account = JoinPath(mailDirectory, mailbox);
        if (account.empty()) continue;
        for (const std::string& folder : Entries(account, true)) {
            const std::string directory = JoinPath(account, folder);
            for (const std::string& name : Entries(directory, false)) {
                if (!IsMessageFileName(name)) continue;
                const std::string path = JoinPath(directory, name);
                struct stat info {};
                if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
                if (Before(info.st_mtim, since) || !Before(info.st_mtim, before)) continue;
                if (Listed(connection, name.substr(0, name.size() - 4)) != 0) continue;
                if (::unlink(path.c_str()) != 0) {
                    g_moduleLog.Write(StringPrintf("*** Unlisted message file %s cannot be removed: %s", path.c_str(),
                                                   std::strerror(errno)));
                    continue;
                }
                g_moduleLog.Write("Removed unlisted message file " + path + " (an interrupted store left it)");
                ++removed;
            }
        }
    }
    return removed;
}

}  // namespace mailstore
