// CMailboxFolder: the loaded entries of one folder of one account, in
// listing order (the text order of the mail ids).
//
// Message numbers count from 1 in that order and include entries marked
// deleted, which stay listed until they are purged.
#pragma once

#include <sql.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "store/CStoredMail.h"

class CMailboxFolder {
public:
    CMailboxFolder() = default;
    CMailboxFolder(CMailboxFolder&&) = default;
    CMailboxFolder& operator=(CMailboxFolder&&) = default;

    // Reads the folder's undeleted entries afresh. Entries this session has
    // marked deleted are kept, so that an undo can still find them.
    bool Load(SQLHDBC connection, long accountId, int folderId, const std::string& accountDirectory);

    std::size_t Count(bool includeDeleted) const;
    // The entry with the 1-based number, or null.
    CStoredMail* Entry(long message) const;
    bool HasDeleted() const;

    // Removes every entry marked deleted: its file when removeFiles is set,
    // then its rows. An entry whose rows cannot be removed stays marked; it
    // stays listed (for an undo) only while its file is there. True when
    // every marked entry went.
    bool PurgeDeleted(const std::string& folderName, bool removeFiles);
    // Clears the mark of every marked entry; true when all were cleared.
    bool UndoDeletions();
    // Marks every entry deleted; true when all are marked.
    bool MarkAllDeleted();

    std::unique_ptr<CStoredMail> Take(long message);
    void Insert(std::unique_ptr<CStoredMail> entry);
    void Clear() { entries.clear(); }

private:
    std::vector<std::unique_ptr<CStoredMail>> entries;
};
