// CMailboxRows: the mailbox layer's rows for one account, below its store
// and view objects: the folders (FolderMapping), each folder's UID state
// (MailboxFolderState: UIDVALIDITY and UIDNEXT) and each message's UID,
// flags other than Seen and keywords (MailboxMessageState, keyed by folder
// and mail id beside the message's Mails row).
//
// UIDs are assigned when a folder is read (Sync): every Mails row of the
// folder without a state row gets the next UID, in listing order (the text
// order of the ids), under the account's lock (CMailboxChanges::Lock). So a
// message stored by any path (delivery, a fetch, an import, the console)
// gets its UID the first time any session looks, and two sessions never
// number one message twice. UIDNEXT is raised before the new state rows
// are written: a crash between leaves a gap, never a UID given twice. A
// state row whose Mails row went (a purge or move by other code) is
// dropped at the same time.
//
// A folder's UIDVALIDITY is fixed when its state row is made and made anew
// only when UIDs could repeat: no state row while messages are there (the
// folder's number was freed and used again, or the row was lost), or a
// different name under the number (renamed or replaced). New values come
// from the clock and never fall below the last one this process gave.
#pragma once

#include <sql.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store/MailboxTypes.h"

namespace mailbox {

class CMailboxRows {
public:
    CMailboxRows(SQLHDBC connection, long accountId);

    SQLHDBC Connection() const { return connection; }
    long AccountId() const { return accountId; }
    // "<Mail Directory>/<aMailBox>", or "" when either is unusable.
    const std::string& AccountDirectory() const { return accountDirectory; }

    struct Folder {
        int id = 0;
        std::string name;
    };
    // Every folder of the account in number order; false when unreadable.
    bool ReadFolders(std::vector<Folder>& folders) const;
    // The folder's name; false when the account has no such folder.
    bool FolderName(int folderId, std::string& name) const;
    // The folder's directory, or "" when its name is not a safe path.
    std::string FolderDirectory(const std::string& name) const;

    struct State {
        std::uint32_t uidValidity = 0;
        std::uint32_t uidNext = 1;
    };
    // The folder's state row, made (with a new UIDVALIDITY) when missing or
    // when it names another folder. Under the account's lock.
    bool EnsureState(int folderId, const std::string& name, State& state) const;
    bool SetUidNext(int folderId, std::uint32_t uidNext) const;
    // A new UIDVALIDITY for the folder (a rename), under the lock.
    bool Revalidate(int folderId, const std::string& name, State& state) const;
    bool DropFolderState(int folderId) const;

    // FolderMapping rows, for the layer and the account object alike.
    // The next free folder number after every one the database knows (at
    // least after firstFree - 1, at most maxFolders); 0 when it cannot be
    // read, -1 when none is left.
    static int NextFolderNumber(SQLHDBC connection, long accountId, int firstFree, int maxFolders);
    static bool InsertFolderRow(SQLHDBC connection, long accountId, int folderId, const std::string& name);
    static bool DeleteFolderRow(SQLHDBC connection, long accountId, int folderId);
    // The layer's state rows of one folder.
    static bool DropFolderState(SQLHDBC connection, long accountId, int folderId);

    // Brings the folder's state rows up to its Mails rows (see above) and
    // returns its messages in ascending UID order. Under the account's lock.
    bool Sync(int folderId, const State& initial, State& state, std::vector<MessageInfo>& messages) const;

    // Runs the statements as one transaction where the connection allows
    // (one text on a backend that runs it so, a transaction on a connection
    // of one thread); elsewhere one by one in order, stopping at a failure.
    bool RunAll(const std::vector<std::string>& statements) const;

    // The keywords as stored: a blank-separated list, duplicates (by case)
    // dropped and bounded; and back.
    static std::string JoinKeywords(const std::vector<std::string>& keywords);
    static std::vector<std::string> SplitKeywords(const std::string& text);
    // Flags kept in the state row (Seen is Mails.mRead).
    static constexpr std::uint32_t kStoredFlags = kAnswered | kFlagged | kDeleted | kDraft;
    static constexpr std::uint32_t kAllFlags = kStoredFlags | kSeen;

private:
    static std::vector<std::string> FolderStateStatements(long accountId, int folderId);

    SQLHDBC connection;
    long accountId;
    std::string accountDirectory;
};

}  // namespace mailbox
