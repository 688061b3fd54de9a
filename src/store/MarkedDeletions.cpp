// MarkedDeletions: finishing the deletions an interrupted server began.
#include "store/MarkedDeletions.h"

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "foundation/CModuleLog.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SettingValue.h"
#include "foundation/SqlFormat.h"
#include "store/CStoredMail.h"
#include "store/MailStorePaths.h"

namespace mailstore {

bool RemovesDeletedFiles() {
    return settings::Dword{settings::kPreferences, "CleanUpAfterDelete"}.Value() != 0;
}

namespace {

struct Marked {
    std::int32_t account = 0;
    std::int32_t folder = 0;
    std::string id;
};

// The first column of the statement's first row, or "" when there is none.
std::string FirstText(SQLHDBC connection, const std::string& sql) {
    OdbcStatement statement(connection);
    std::string text;
    if (!statement.ExecDirect(sql) || !statement.Fetch() || !statement.GetText(1, text)) return {};
    return text;
}

}  // namespace

std::size_t FinishMarkedDeletions(SQLHDBC connection, const std::string& mailDirectory, bool removeFiles) {
    std::vector<Marked> marked;
    {
        OdbcStatement statement(connection);
        Marked row;
        SQLLEN accountIndicator = 0, folderIndicator = 0;
        if (!statement.ExecDirect("SELECT aAccountId, mFolderId, mMailId FROM Mails WHERE mDeleted = 1") ||
            !statement.BindLong(1, row.account, &accountIndicator) ||
            !statement.BindLong(2, row.folder, &folderIndicator))
            return 0;
        while (statement.Fetch())
            if (accountIndicator != SQL_NULL_DATA && folderIndicator != SQL_NULL_DATA && statement.GetText(3, row.id))
                marked.push_back(row);
    }
    // The folder directory of each account and folder, "" when it is gone.
    std::map<std::pair<std::int32_t, std::int32_t>, std::pair<std::string, std::string>> folders;
    std::size_t finished = 0;
    for (const Marked& row : marked) {
        CStoredMail entry(connection);
        if (!entry.Load(row.id, row.folder, row.account)) continue;
        if (removeFiles && !mailDirectory.empty()) {
            auto found = folders.find({row.account, row.folder});
            if (found == folders.end()) {
                const std::string mailbox =
                    FirstText(connection, FormatSql("SELECT aMailBox FROM Accounts WHERE aAccountId = %ld",
                                                    static_cast<long>(row.account)));
                const std::string folder = FirstText(
                    connection, FormatSql("SELECT FolderName FROM FolderMapping WHERE aAccountId = %ld AND FolderId = %d",
                                          static_cast<long>(row.account), static_cast<int>(row.folder)));
                found = folders.emplace(std::make_pair(row.account, row.folder), std::make_pair(mailbox, folder)).first;
            }
            const auto& [mailbox, folder] = found->second;
            const std::string accountDirectory = mailbox.empty() ? std::string() : JoinPath(mailDirectory, mailbox);
            if (!accountDirectory.empty() && !folder.empty()) {
                entry.SetAccountDirectory(accountDirectory);
                entry.DeleteFile(folder);
            }
        }
        if (entry.DeleteRows()) ++finished;
    }
    if (finished > 0)
        g_moduleLog.Write("Finished " + std::to_string(finished) +
                          " message deletion(s) that a stopped server had begun");
    return finished;
}

}  // namespace mailstore
