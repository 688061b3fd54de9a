// MessageStoring: ids, index rows and message files.
#include "store/MessageStoring.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "foundation/CMailContent.h"
#include "foundation/CModuleLog.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/OdbcTransaction.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "platform/UniqueFd.h"
#include "store/MailStorePaths.h"
#include "platform/FileIo.h"
#include "foundation/DateText.h"

namespace mailstore {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
// An id whose file already exists (a restart within the same second) is
// skipped; a few attempts are plenty since each advances the counter.
constexpr int kIdAttempts = 64;

std::atomic<std::uint32_t> g_messageCounter{0};

// A message's listing row (into a folder, or the Inbox) and its summary row.
constexpr const char* kListInFolder = "INSERT INTO MAILS VALUES('%s',%ld,%ld,%ld,0,%ld,'%s',%d,1,%d)";
constexpr const char* kListInInbox = "INSERT INTO MAILS VALUES('%s',%ld,%ld,%ld,0,%ld,'%s',%d,0,1)";
constexpr const char* kSummarise = "INSERT INTO MAILINFO VALUES('%s','%s','%s','%s',%d,%ld)";

bool IsListed(SQLHDBC connection, const std::string& id) {
    OdbcPrepared statement(connection);
    std::uint32_t count = 0;
    return statement.Run("SELECT count(*) FROM Mails WHERE mMailId = '%s'", SqlText::Quote(id)) &&
           statement.BindULong(1, count) && statement.Fetch() && count > 0;
}

// Copies up to size bytes of the content into the open file.
bool CopyContent(CMailContent& content, std::uint32_t size, int fd) {
    content.Rewind();
    std::vector<char> block(kBlockSize);
    std::uint32_t done = 0;
    while (done < size) {
        const std::uint32_t want = std::min<std::uint32_t>(kBlockSize, size - done);
        const int n = content.Read(block.data(), want);
        if (n < 0) return false;
        if (n == 0) break;
        if (!WriteAll(fd, block.data(), static_cast<std::size_t>(n))) return false;
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

}  // namespace

std::string MakeMailId(std::time_t now) {
    const std::uint32_t counter = g_messageCounter.fetch_add(1);
    return "QIRN-" + FormatLocalTime(now, "%Y%m%d") + "-" + std::to_string(static_cast<long long>(now)) +
           std::to_string(counter);
}

std::string StoreOutcome::Reason() const {
    switch (result) {
        case StoreResult::Stored:
            return "stored";
        case StoreResult::RowsFailed:
            return "the database refused its rows";
        case StoreResult::FileFailed:
            break;
    }
    return std::strerror(error);
}

StoreOutcome FileFailure(int errorNumber) {
    return {StoreResult::FileFailed, errorNumber != 0 ? errorNumber : EIO};
}

StoreOutcome StoreMessage(SQLHDBC connection, const std::string& folderDirectory, const StoreRequest& request,
                          CMailContent& content, std::string& mailId) {
    const std::time_t now = std::time(nullptr);
    const int folderId = request.intoFolder ? request.folderId : 1;
    std::string path;
    mailId.clear();
    // The file comes first and is created exclusively: it reserves the id, so
    // a restart within the same second (the counter starts again) cannot
    // reuse one, and a crash before the rows leaves at most an unlisted file,
    // never a row without its message. An id already listed anywhere in the
    // store is skipped too, since rows are addressed by id and folder only.
    // No folder directory to name the file in.
    if (folderDirectory.empty()) return FileFailure(ENOENT);
    std::string id;
    UniqueFd file = CreateExclusive(
        [&](unsigned) {
            id = MakeMailId(now);
            return IsListed(connection, id) ? std::string() : JoinPath(folderDirectory, id + ".mel");
        },
        kIdAttempts, O_WRONLY, 0640, path);
    // EEXIST when every id was taken, else the directory's refusal.
    if (!file) return FileFailure(errno);
    mailId = std::move(id);
    ::flock(file.Get(), LOCK_EX);
    // Synced with its directory entry before any row lists it: the caller
    // drops its spool copy once this returns.
    errno = 0;
    bool written =
        CopyContent(content, request.size, file.Get()) && ::fsync(file.Get()) == 0 && SyncDirectory(folderDirectory);
    const int error = errno;
    file.Reset();
    if (!written) {
        // A half-written message would read back as a damaged one.
        ::unlink(path.c_str());
        mailId.clear();
        return FileFailure(error);
    }

    const SqlText when = SqlText::Quote(LocalDateTimeText(now));
    const SqlText quotedId = SqlText::Quote(mailId);
    const long dots = request.dotsCount < 0 ? 0 : request.dotsCount;
    const long size = static_cast<long>(request.size);
    const SqlText sender = SqlText::Quote(request.sender), subject = SqlText::Quote(request.subject);
    const int owner = static_cast<int>(request.accountId);
    if (OdbcStatement::DialectOf(connection).RunsTextAsOneTransaction()) {
        // Both rows in one round trip and one transaction, on any
        // connection: a database server pays a wait for each.
        OdbcStatement statement(connection);
        const bool stored = statement.ExecTogether(
            {request.intoFolder
                 ? FormatSql(kListInFolder, quotedId, request.accountId, size, 0L, dots, when, request.type, folderId)
                 : FormatSql(kListInInbox, quotedId, request.accountId, size, 0L, dots, when, request.type),
             FormatSql(kSummarise, quotedId, sender, subject, when, owner, static_cast<long>(folderId))});
        if (stored) return StoreResult::Stored;
        ::unlink(path.c_str());
        return StoreResult::RowsFailed;
    }
    // Both rows commit together on a connection of one thread, and before
    // this returns (the caller then drops its spool copy). On a shared
    // connection each commits on its own and a lone Mails row is deleted.
    OdbcTransaction transaction(connection);
    bool listed = false;
    {
        OdbcPrepared statement(connection);
        listed = request.intoFolder ? statement.Run(kListInFolder, quotedId, request.accountId, size, 0L, dots, when,
                                                    request.type, folderId)
                                    : statement.Run(kListInInbox, quotedId, request.accountId, size, 0L, dots, when,
                                                    request.type);
    }
    if (!listed) {
        // A file nobody lists is a message its owner never sees.
        ::unlink(path.c_str());
        return StoreResult::RowsFailed;
    }
    bool summarised = false;
    {
        OdbcPrepared statement(connection);
        summarised = statement.Run(kSummarise, quotedId, sender, subject, when, owner, static_cast<long>(folderId));
    }
    if (!summarised) {
        // Without its summary row the message lists with no sender or
        // subject: its row and file go back for another attempt (the
        // transaction's rollback takes the row back). When the row cannot,
        // the message stays listed as it is rather than twice.
        if (!transaction.Active()) {
            OdbcStatement statement(connection);
            if (!statement.ExecDirect(
                    FormatSql("DELETE FROM Mails WHERE mMailId = '%s' and mFolderId=%d", quotedId, folderId))) {
                g_moduleLog.Write(StringPrintf("*** %s is stored without its MailInfo row", mailId.c_str()));
                return StoreResult::Stored;
            }
        }
        ::unlink(path.c_str());
        return StoreResult::RowsFailed;
    }
    if (!transaction.Commit()) {
        // Rolled back when the transaction goes: neither row stays.
        ::unlink(path.c_str());
        return StoreResult::RowsFailed;
    }
    return StoreResult::Stored;
}

}  // namespace mailstore
