// CSqlMailboxStore: the mailbox layer on the account database and the mail
// store's files: folders, their UID state, opened views (CSqlMailboxView),
// appends through the store's one way in (mailstore::StoreMessage), and the
// account's change counter (CMailboxChanges).
//
// A user's folder is named as the store names folder directories: letters
// and digits only; other names are refused rather than changed, so that a
// client finds the folder under the name it asked for. The standard folders
// (1 to 7) cannot be renamed or deleted. Sent, Trash and Draft are the
// special-use folders \Sent, \Trash and \Drafts, a folder named Junk \Junk.
#pragma once

#include <sql.h>

#include <memory>

#include "store/CMailboxRows.h"
#include "store/CMailboxStore.h"

namespace mailbox {

class CSqlMailboxStore : public CMailboxStore {
public:
    CSqlMailboxStore(SQLHDBC connection, long accountId);

    long AccountId() const override { return rows.AccountId(); }
    Result<std::vector<FolderInfo>> ListFolders() override;
    Result<std::vector<FolderInfo>> FolderNames() override;
    Result<FolderInfo> FindFolder(const std::string& name) override;
    Result<FolderInfo> Status(int folderId) override;
    Result<int> CreateFolder(const std::string& name) override;
    Result<bool> RenameFolder(int folderId, const std::string& newName) override;
    Result<bool> DeleteFolder(int folderId) override;
    Result<std::unique_ptr<CMailboxView>> Open(int folderId, bool readOnly) override;
    Result<AppendResult> Append(int folderId, CMailContent& content, std::uint32_t size, std::uint32_t flags,
                                const std::vector<std::string>& keywords, std::time_t received) override;
    std::uint64_t ChangeCounter() const override;
    std::uint64_t WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout, int stopFd) override;

    // Whether the account's mailbox directory is known.
    bool Usable() const { return !rows.AccountDirectory().empty(); }
    static constexpr int kStandardFolders = 7;

private:
    // The folder's info with its counts, read now (under the lock).
    Result<FolderInfo> StatusLocked(int folderId, const std::string& name);
    // InvalidName or FolderExists for a new name, None when it may be used.
    Error CheckNewName(const std::string& name, int except);

    CMailboxRows rows;
};

// The layer for one account on a connection; null when the account's
// mailbox directory cannot be known.
std::unique_ptr<CMailboxStore> OpenAccountMailbox(SQLHDBC connection, long accountId);

}  // namespace mailbox
