// CStoredMail: loading, reading, marking, moving and removing one message.
#include "store/CStoredMail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "foundation/CFileRangeContent.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "platform/FileIo.h"
#include "platform/UniqueFd.h"
#include "store/MailStorePaths.h"


CStoredMail::CStoredMail(SQLHDBC conn) : connection(conn) {}

bool CStoredMail::Load(const std::string& id, int folder, long accountId) {
    const SqlText quotedId = SqlText::Quote(id);
    {
        OdbcPrepared statement(connection);
        if (!statement.Run("SELECT mMailSize, mMailOffset, mDeleted, mDotsSize, mRead, mType "
                           "FROM Mails WHERE mMailId = '%s' and mFolderId = %d and aAccountId=%d",
                           quotedId, folder, static_cast<int>(accountId)))
            return false;
        std::uint32_t newSize = 0, newOffset = 0, newDots = 0;
        unsigned char newDeleted = 0, newRead = 0;
        std::int32_t newType = 0;
        SQLLEN typeIndicator = 0;
        if (!statement.BindULong(1, newSize) || !statement.BindULong(2, newOffset) ||
            !statement.BindBit(3, newDeleted) || !statement.BindULong(4, newDots) || !statement.BindBit(5, newRead) ||
            !statement.BindLong(6, newType, &typeIndicator) || !statement.Fetch())
            return false;
        size = newSize;
        offset = newOffset;
        deleted = newDeleted;
        dotsSize = newDots;
        read = newRead;
        type = newType;
    }
    mailId = id;
    folderId = folder;
    std::memset(sender, 0, sizeof sender);
    std::memset(subject, 0, sizeof subject);
    std::memset(receivedDate, 0, sizeof receivedDate);
    // Task and request entries have no summary row.
    if (folder != 3 && folder != 4) {
        OdbcPrepared statement(connection);
        if (statement.Run("SELECT Sender, Subject, RcvdDate FROM MailInfo WHERE mMailId = '%s' "
                          "and aAccountId=%ld and mFolderId=%d",
                          quotedId, accountId, folder) &&
            statement.BindChar(1, sender, sizeof sender) && statement.BindChar(2, subject, sizeof subject) &&
            statement.BindChar(3, receivedDate, sizeof receivedDate)) {
            if (!statement.Fetch()) {
                std::memset(sender, 0, sizeof sender);
                std::memset(subject, 0, sizeof subject);
                std::memset(receivedDate, 0, sizeof receivedDate);
            }
        }
    }
    return true;
}

std::string CStoredMail::FilePath(const std::string& folderDirectory) const {
    return mailstore::JoinPath(folderDirectory, mailId + ".mel");
}

CMailContent* CStoredMail::ReadMessage(const std::string& folderDirectory) const {
    const std::string path = FilePath(folderDirectory);
    if (path.empty() || mailId.empty()) return nullptr;
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    // An index row whose file is missing reads as nothing.
    struct stat info {};
    if (!file || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    // A stored message never changes, so it is read where it lies.
    const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(info.st_size, UINT32_MAX));
    return new CFileRangeContent(std::move(file), 0, length);
}

bool CStoredMail::SetDeleted(bool flag) {
    OdbcPrepared statement(connection);
    if (!statement.Run("UPDATE MAILS SET mDeleted = %d where mMailId = '%s' and mFolderId=%d", flag ? 1 : 0,
                       SqlText::Quote(mailId), folderId))
        return false;
    deleted = flag ? 1 : 0;
    return true;
}

bool CStoredMail::MarkRead() {
    OdbcPrepared statement(connection);
    if (!statement.Run("Update Mails Set mRead = 1 WHERE mMailId = '%s' and mFolderId=%d", SqlText::Quote(mailId),
                       folderId))
        return false;
    read = 1;
    return true;
}

bool CStoredMail::MarkReadTogether(SQLHDBC connection, const std::vector<CStoredMail*>& entries) {
    std::map<int, std::string> idsByFolder;
    for (const CStoredMail* entry : entries) {
        std::string& ids = idsByFolder[entry->folderId];
        ids += (ids.empty() ? "'" : ",'") + FormatSql("%s", SqlText::Quote(entry->mailId)) + "'";
    }
    bool all = true;
    for (const auto& [folder, ids] : idsByFolder) {
        OdbcStatement statement(connection);
        if (!statement.ExecDirect(FormatSql("Update Mails Set mRead = 1 WHERE mFolderId=%d and mMailId IN (", folder) +
                                  ids + ")"))
            all = false;
    }
    if (all)
        for (CStoredMail* entry : entries) entry->read = 1;
    return all;
}

bool CStoredMail::DeleteRows() {
    const SqlText id = SqlText::Quote(mailId);
    if (!OdbcPrepared(connection).Run("DELETE FROM Mails WHERE mMailId = '%s' and mFolderId=%d", id, folderId))
        return false;
    return OdbcPrepared(connection).Run("DELETE FROM MailInfo WHERE mMailId = '%s' and mFolderId=%d", id, folderId);
}

bool CStoredMail::DeleteFile(const std::string& folderName) {
    const std::string path = FilePath(mailstore::JoinPath(accountDirectory, folderName));
    if (path.empty()) return false;
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool CStoredMail::Move(const std::string& sourceDirectory, const std::string& targetDirectory, int targetFolder) {
    const std::string from = FilePath(sourceDirectory);
    const std::string to = FilePath(targetDirectory);
    if (from.empty() || to.empty() || from == to) return false;
    if (!RenameNoReplace(from, to)) return false;

    const SqlText id = SqlText::Quote(mailId);
    auto refile = [&](SqlTrusted table, int newFolder, int oldFolder) {
        OdbcStatement statement(connection);
        return statement.ExecDirect(FormatSql("Update %s set mFolderId=%d where mMailId = '%s' and mFolderId=%d", table,
                                              newFolder, id, oldFolder));
    };
    // The rows follow the file; when they cannot, the file goes back so the
    // entry stays readable where its rows say it is.
    if (!refile("Mails", targetFolder, folderId)) {
        RenameNoReplace(to, from);
        return false;
    }
    if (!refile("MailInfo", targetFolder, folderId)) {
        refile("Mails", folderId, targetFolder);
        RenameNoReplace(to, from);
        return false;
    }
    folderId = targetFolder;
    return true;
}
