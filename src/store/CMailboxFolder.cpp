// CMailboxFolder: loading, counting and purging one folder's entries.
#include "store/CMailboxFolder.h"

#include <algorithm>

#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"

bool CMailboxFolder::Load(SQLHDBC connection, long accountId, int folderId, const std::string& accountDirectory) {
    std::vector<std::string> ids;
    {
        OdbcStatement statement(connection);
        if (!statement.ExecDirect(FormatSql("SELECT mMailId FROM Mails WHERE aAccountId = %ld AND mDeleted = 0 "
                                            "and mFolderId=%d ORDER BY mMailId",
                                            accountId, folderId)))
            return false;
        while (statement.Fetch()) {
            std::string id;
            if (statement.GetText(1, id)) ids.push_back(std::move(id));
        }
    }
    std::vector<std::unique_ptr<CStoredMail>> marked;
    for (auto& entry : entries)
        if (entry->IsDeleted()) marked.push_back(std::move(entry));
    entries.clear();
    for (const std::string& id : ids) {
        auto entry = std::make_unique<CStoredMail>(connection);
        if (!entry->Load(id, folderId, accountId)) continue;
        entry->SetAccountDirectory(accountDirectory);
        entries.push_back(std::move(entry));
    }
    for (auto& entry : marked) Insert(std::move(entry));
    return true;
}

std::size_t CMailboxFolder::Count(bool includeDeleted) const {
    if (includeDeleted) return entries.size();
    return static_cast<std::size_t>(
        std::count_if(entries.begin(), entries.end(), [](const auto& e) { return !e->IsDeleted(); }));
}

CStoredMail* CMailboxFolder::Entry(long message) const {
    if (message < 1 || static_cast<std::size_t>(message) > entries.size()) return nullptr;
    return entries[static_cast<std::size_t>(message) - 1].get();
}

bool CMailboxFolder::HasDeleted() const {
    return std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e->IsDeleted(); });
}

bool CMailboxFolder::PurgeDeleted(const std::string& folderName, bool removeFiles) {
    bool all = true;
    for (auto it = entries.begin(); it != entries.end();) {
        CStoredMail& entry = **it;
        if (!entry.IsDeleted()) {
            ++it;
            continue;
        }
        // The file first: the row's mark, already written, keeps the message
        // unlisted meanwhile and tells the next start to finish the removal
        // if the process dies between the two.
        if (removeFiles) entry.DeleteFile(folderName);
        if (!entry.DeleteRows()) {
            all = false;
            // Once its file is gone the entry must stay marked; it leaves
            // the list so that no undo can show it again.
            if (removeFiles)
                it = entries.erase(it);
            else
                ++it;
            continue;
        }
        it = entries.erase(it);
    }
    return all;
}

bool CMailboxFolder::UndoDeletions() {
    bool all = true;
    for (auto& entry : entries)
        if (entry->IsDeleted() && !entry->SetDeleted(false)) all = false;
    return all;
}

bool CMailboxFolder::MarkAllDeleted() {
    bool all = true;
    for (auto& entry : entries)
        if (!entry->IsDeleted() && !entry->SetDeleted(true)) all = false;
    return all;
}

std::unique_ptr<CStoredMail> CMailboxFolder::Take(long message) {
    if (message < 1 || static_cast<std::size_t>(message) > entries.size()) return nullptr;
    auto it = entries.begin() + (message - 1);
    std::unique_ptr<CStoredMail> entry = std::move(*it);
    entries.erase(it);
    return entry;
}

void CMailboxFolder::Insert(std::unique_ptr<CStoredMail> entry) {
    auto at = std::upper_bound(entries.begin(), entries.end(), entry->GetMailId(),
                               [](const std::string& id, const auto& e) { return id < e->GetMailId(); });
    entries.insert(at, std::move(entry));
}
