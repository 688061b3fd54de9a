// MissingMessageFiles: refiling or deleting rows without their files.
#include "store/MissingMessageFiles.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "foundation/CModuleLog.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "store/MailStorePaths.h"
#include "store/UnlistedMessageFiles.h"

namespace mailstore {

namespace {

struct Account {
    std::string directory;                // empty when it does not exist
    std::map<int, std::string> folders;  // folder number: its existing directory
};

struct Row {
    long account = 0;
    int folder = 0;
    std::string id;
};

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Certainly missing: any other answer (a permission problem, say) is no
// reason to drop a row.
bool IsMissing(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Every query's rows as text, or false when any could not be read.
bool ReadRows(SQLHDBC connection, const std::string& sql, int columns,
              std::vector<std::vector<std::string>>& rows) {
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(sql)) return false;
    while (statement.Fetch()) {
        std::vector<std::string>& row = rows.emplace_back(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c)
            if (!statement.GetText(static_cast<SQLUSMALLINT>(c + 1), row[static_cast<std::size_t>(c)])) return false;
    }
    return true;
}

bool Run(SQLHDBC connection, const std::string& sql) { return OdbcStatement(connection).ExecDirect(sql); }

}  // namespace

std::size_t RepairRowsWithoutFiles(SQLHDBC connection, const std::string& mailDirectory,
                                   std::vector<std::string>* removed) {
    if (!IsDirectory(mailDirectory)) return 0;
    std::map<long, Account> accounts;
    std::vector<std::vector<std::string>> text;
    if (!ReadRows(connection, "SELECT aAccountId, aMailBox FROM Accounts", 2, text)) return 0;
    for (const auto& row : text) {
        const std::string directory = JoinPath(mailDirectory, row[1]);
        accounts[std::atol(row[0].c_str())].directory = IsDirectory(directory) ? directory : std::string();
    }
    text.clear();
    if (!ReadRows(connection, "SELECT aAccountId, FolderId, FolderName FROM FolderMapping", 3, text)) return 0;
    for (const auto& row : text) {
        const auto account = accounts.find(std::atol(row[0].c_str()));
        if (account == accounts.end() || account->second.directory.empty()) continue;
        const std::string directory = JoinPath(account->second.directory, row[2]);
        if (IsDirectory(directory)) account->second.folders[std::atoi(row[1].c_str())] = directory;
    }
    text.clear();
    if (!ReadRows(connection, "SELECT aAccountId, mFolderId, mMailId FROM Mails", 3, text)) return 0;
    std::vector<Row> rows;
    std::set<std::tuple<long, int, std::string>> listed;
    for (auto& row : text) {
        Row entry{std::atol(row[0].c_str()), std::atoi(row[1].c_str()), std::move(row[2])};
        listed.emplace(entry.account, entry.folder, entry.id);
        rows.push_back(std::move(entry));
    }
    text.clear();

    std::size_t repaired = 0;
    for (const Row& row : rows) {
        if (!IsMessageFileName(row.id + ".mel")) continue;
        const auto account = accounts.find(row.account);
        if (account == accounts.end()) continue;
        const auto folder = account->second.folders.find(row.folder);
        if (folder == account->second.folders.end()) continue;
        const std::string path = JoinPath(folder->second, row.id + ".mel");
        if (path.empty() || !IsMissing(path)) continue;
        const SqlText id = SqlText::Quote(row.id);
        // The file in another folder of the account: a move that stopped
        // half-way. The rows follow it, unless that folder lists it already.
        int holder = 0;
        for (const auto& [number, directory] : account->second.folders)
            if (number != row.folder && !listed.count({row.account, number, row.id}) &&
                IsFile(JoinPath(directory, row.id + ".mel")))
                holder = number;
        bool done = false;
        if (holder != 0) {
            done = Run(connection, FormatSql("UPDATE Mails SET mFolderId=%d WHERE mMailId = '%s' and mFolderId=%d "
                                             "and aAccountId=%ld",
                                             holder, id, row.folder, row.account)) &&
                   Run(connection, FormatSql("UPDATE MailInfo SET mFolderId=%d WHERE mMailId = '%s' and "
                                             "mFolderId=%d and aAccountId=%ld",
                                             holder, id, row.folder, row.account));
            if (done) {
                listed.emplace(row.account, holder, row.id);
                g_moduleLog.Write(StringPrintf("Refiled %s to folder %d, where its message file is", row.id.c_str(),
                                               holder));
            }
        } else {
            done = Run(connection, FormatSql("DELETE FROM MailInfo WHERE mMailId = '%s' and mFolderId=%d and "
                                             "aAccountId=%ld",
                                             id, row.folder, row.account)) &&
                   Run(connection, FormatSql("DELETE FROM Mails WHERE mMailId = '%s' and mFolderId=%d and "
                                             "aAccountId=%ld",
                                             id, row.folder, row.account));
            if (done) {
                g_moduleLog.Write("Removed the rows of " + row.id + ": its message file " + path + " is missing");
                if (removed) removed->push_back(row.id);
            }
        }
        if (!done) {
            g_moduleLog.Write(StringPrintf("*** The rows of %s, whose message file is missing, cannot be repaired",
                                           row.id.c_str()));
            continue;
        }
        listed.erase({row.account, row.folder, row.id});
        ++repaired;
    }
    return repaired;
}

}  // namespace mailstore
