// MessageStoring: ids, index rows and message files.
#include "store/MessageStoring.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
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
#include "platform/MutexLock.h"
#include "platform/UniqueFd.h"
#include "store/CGroupCommit.h"
#include "store/CMailboxChanges.h"
#include "store/MailStorePaths.h"
#include "platform/FileIo.h"
#include "foundation/DateText.h"

namespace mailstore {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
// An id whose file already exists (a restart within the same second) is
// skipped; a few attempts are plenty since each advances the counter.
constexpr int kIdAttempts = 64;

// Starts at a number of the process's own (its id modulo 1000, in
// millions), so that processes storing at the same second make different
// ids, not the same run of counter values.
std::atomic<std::uint32_t> g_messageCounter{static_cast<std::uint32_t>(::getpid() % 1000) * 1000000u};

// An id is "QIRN-", the date, "-", ten digits of seconds, then the counter:
// its seconds can be read back. An id made in a later second than both this
// process's start and every listed id's second is listed nowhere (an
// earlier run made its ids before; a process running now counts from its
// own number), so it needs no look-up. Read once, on the first store.
const std::time_t g_firstSecond = std::time(nullptr);
Mutex g_freshLock;
bool g_freshKnown GUARDED_BY(g_freshLock) = false;
std::atomic<long long> g_freshAfter{std::numeric_limits<long long>::max()};

// The latest second any listed message id was made in; nullopt when it
// cannot be read (then every id is looked up).
std::optional<long long> LatestListedSecond(SQLHDBC connection) {
    OdbcStatement statement(connection);
    std::string latest;
    if (!statement.ExecDirect("SELECT max(substr(mMailId, 15, 10)) FROM Mails WHERE mMailId LIKE 'QIRN-%'") ||
        !statement.Fetch())
        return std::nullopt;
    if (!statement.GetText(1, latest) || latest.empty()) return 0;
    if (latest.size() != 10 || !std::all_of(latest.begin(), latest.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoll(latest);
}

// Whether an id made at now may be listed already, and so must be looked up.
bool MayBeListed(SQLHDBC connection, std::time_t now) {
    {
        MutexLock guard(g_freshLock);
        if (!g_freshKnown) {
            if (const std::optional<long long> latest = LatestListedSecond(connection)) {
                g_freshAfter.store(std::max<long long>(*latest, g_firstSecond));
                g_freshKnown = true;
            }
        }
    }
    return static_cast<long long>(now) <= g_freshAfter.load();
}

// A message's listing row (into a folder, or the Inbox) and its summary row.
constexpr const char* kListInFolder = "INSERT INTO MAILS VALUES('%s',%ld,%ld,%ld,0,%ld,'%s',%d,%d,%d)";
constexpr const char* kListInInbox = "INSERT INTO MAILS VALUES('%s',%ld,%ld,%ld,0,%ld,'%s',%d,0,1)";
constexpr const char* kSummarise = "INSERT INTO MAILINFO VALUES('%s','%s','%s','%s',%d,%ld)";

// How many rows list the id anywhere in the store; -1 when unknown.
long ListedRows(SQLHDBC connection, const std::string& id) {
    OdbcPrepared statement(connection);
    std::uint32_t count = 0;
    if (!statement.Run("SELECT count(*) FROM Mails WHERE mMailId = '%s'", SqlText::Quote(id)) ||
        !statement.BindULong(1, count) || !statement.Fetch())
        return -1;
    return count;
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

// The content into the new file, synced with its directory entry before
// any row lists it (the caller drops its own copy once the store returns).
// A half-written message would read back as a damaged one: it goes again.
// With sync false the file stays open and unsynced for the group commit.
StoreOutcome FillFile(UniqueFd& file, const std::string& path, const std::string& folderDirectory,
                      CMailContent& content, std::uint32_t size, bool sync = true) {
    ::flock(file.Get(), LOCK_EX);
    errno = 0;
    const bool written = CopyContent(content, size, file.Get()) &&
                         (!sync || (::fsync(file.Get()) == 0 && SyncDirectory(folderDirectory)));
    const int error = errno;
    if (written && !sync) return StoreResult::Stored;
    file.Reset();
    if (written) return StoreResult::Stored;
    ::unlink(path.c_str());
    return FileFailure(error);
}

// A store whose rows failed: the file goes only once no row lists it.
// Whatever a rollback left (a shared connection's lone row, or a database
// that ended the transaction by itself and committed the rest statement by
// statement) is deleted first. A row that stays keeps its file, as a
// stored message, since a row without its file lists a message nobody can
// read; when the rows cannot be counted the file stays too (unlisted at
// worst) and the message goes back for another attempt.
StoreResult Withdraw(SQLHDBC connection, const std::string& mailId, int folderId, const std::string& path) {
    long rows = ListedRows(connection, mailId);
    if (rows != 0) {
        const SqlText quotedId = SqlText::Quote(mailId);
        OdbcStatement(connection).ExecDirect(
            FormatSql("DELETE FROM MailInfo WHERE mMailId = '%s' and mFolderId=%d", quotedId, folderId));
        OdbcStatement(connection).ExecDirect(
            FormatSql("DELETE FROM Mails WHERE mMailId = '%s' and mFolderId=%d", quotedId, folderId));
        rows = ListedRows(connection, mailId);
    }
    if (rows > 0) {
        g_moduleLog.Write(StringPrintf("*** %s is stored, but its rows could not be completed", mailId.c_str()));
        return StoreResult::Stored;
    }
    if (rows == 0) ::unlink(path.c_str());
    return StoreResult::RowsFailed;
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
    // store is skipped too, since rows are addressed by id and folder only;
    // one made in a second later than any listed id's is new (MayBeListed).
    // No folder directory to name the file in.
    if (folderDirectory.empty()) return FileFailure(ENOENT);
    // Once the rows commit, the caller lets the message's source go.
    OdbcTransaction::RequireDurableCommits(connection);
    std::string id;
    const bool fresh = !MayBeListed(connection, now);
    UniqueFd file = CreateExclusive(
        [&](unsigned) {
            id = MakeMailId(now);
            if (fresh) return JoinPath(folderDirectory, id + ".mel");
            return ListedRows(connection, id) > 0 ? std::string() : JoinPath(folderDirectory, id + ".mel");
        },
        kIdAttempts, O_WRONLY, 0640, path);
    // EEXIST when every id was taken, else the directory's refusal.
    if (!file) return FileFailure(errno);
    mailId = std::move(id);
    // Threads storing at once share their syncs and their commit.
    const bool grouped = CGroupCommit::CanLead(connection);
    const StoreOutcome filled = FillFile(file, path, folderDirectory, content, request.size, !grouped);
    if (!filled.Stored()) {
        mailId.clear();
        return filled;
    }

    const SqlText when = SqlText::Quote(LocalDateTimeText(now));
    const SqlText quotedId = SqlText::Quote(mailId);
    const long dots = request.dotsCount < 0 ? 0 : request.dotsCount;
    const long size = static_cast<long>(request.size);
    const SqlText sender = SqlText::Quote(request.sender), subject = SqlText::Quote(request.subject);
    const int owner = static_cast<int>(request.accountId);
    const int readFlag = request.unread ? 0 : 1;
    // The served mark commits with the rows whenever it can.
    const bool marked = !request.served.Empty() && CSpoolServedRows::Recording();
    if (grouped) {
        CGroupCommit::Entry entry;
        entry.fd = file.Get();
        entry.directory = folderDirectory;
        entry.rows = {request.intoFolder ? FormatSql(kListInFolder, quotedId, request.accountId, size, 0L, dots, when,
                                                     request.type, readFlag, folderId)
                                         : FormatSql(kListInInbox, quotedId, request.accountId, size, 0L, dots, when,
                                                     request.type),
                      FormatSql(kSummarise, quotedId, sender, subject, when, owner, static_cast<long>(folderId))};
        // Bookkeeping never keeps a message out: refused, the entry is
        // committed again without it (a crash may then cost a second copy).
        if (marked) entry.optionalRows.push_back(CSpoolServedRows::Statement(request.served));
        entry.optionalRows.insert(entry.optionalRows.end(), request.withRows.begin(), request.withRows.end());
        const CGroupCommit::Outcome outcome = CGroupCommit::Instance().Commit(connection, entry);
        file.Reset();
        if (outcome.result == CGroupCommit::Result::Durable) {
            CMailboxChanges::Bump(request.accountId);
            return StoreResult::Stored;
        }
        if (outcome.result == CGroupCommit::Result::RowsFailed) return Withdraw(connection, mailId, folderId, path);
        // Not durable: a row must never list it.
        ::unlink(path.c_str());
        mailId.clear();
        return FileFailure(outcome.error);
    }
    if (OdbcStatement::DialectOf(connection).RunsTextAsOneTransaction()) {
        // Both rows in one round trip and one transaction, on any
        // connection: a database server pays a wait for each.
        std::vector<std::string> rows = {
            request.intoFolder ? FormatSql(kListInFolder, quotedId, request.accountId, size, 0L, dots, when,
                                           request.type, readFlag, folderId)
                               : FormatSql(kListInInbox, quotedId, request.accountId, size, 0L, dots, when, request.type),
            FormatSql(kSummarise, quotedId, sender, subject, when, owner, static_cast<long>(folderId))};
        if (marked) rows.push_back(CSpoolServedRows::Statement(request.served));
        OdbcStatement statement(connection);
        const bool stored = statement.ExecTogether(rows);
        if (stored) {
            for (const std::string& row : request.withRows) OdbcStatement(connection).ExecDirect(row);
            CMailboxChanges::Bump(request.accountId);
            return StoreResult::Stored;
        }
        return Withdraw(connection, mailId, folderId, path);
    }
    // Both rows commit together on a connection of one thread, and before
    // this returns (the caller then drops its spool copy). On a shared
    // connection each commits on its own and a lone Mails row is deleted.
    bool stored = false;
    {
        OdbcTransaction transaction(connection);
        bool listed = false;
        {
            OdbcPrepared statement(connection);
            listed = request.intoFolder ? statement.Run(kListInFolder, quotedId, request.accountId, size, 0L, dots,
                                                        when, request.type, readFlag, folderId)
                                        : statement.Run(kListInInbox, quotedId, request.accountId, size, 0L, dots,
                                                        when, request.type);
        }
        bool summarised = false;
        if (listed) {
            OdbcPrepared statement(connection);
            summarised =
                statement.Run(kSummarise, quotedId, sender, subject, when, owner, static_cast<long>(folderId));
        }
        // A refused mark does not end an SQLite transaction: the copy is
        // committed without it.
        if (summarised && marked) OdbcStatement(connection).ExecDirect(CSpoolServedRows::Statement(request.served));
        stored = summarised && transaction.Commit();
        // Anything short of that is rolled back as the transaction goes.
    }
    // Sessions with the mailbox open are told (the mailbox layer).
    if (stored) {
        for (const std::string& row : request.withRows) OdbcStatement(connection).ExecDirect(row);
        CMailboxChanges::Bump(request.accountId);
        return StoreResult::Stored;
    }
    return Withdraw(connection, mailId, folderId, path);
}

StoreOutcome StoreTaskItem(SQLHDBC connection, const std::string& folderDirectory, long accountId,
                           const std::string& taskId, CMailContent& content) {
    const std::string path = JoinPath(folderDirectory, taskId + ".mel");
    if (folderDirectory.empty() || path.empty()) return FileFailure(ENOENT);
    OdbcTransaction::RequireDurableCommits(connection);
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640));
    // Stored already by an earlier attempt at this document.
    if (!file) return errno == EEXIST ? StoreOutcome() : FileFailure(errno);
    const std::uint32_t size = content.GetLength();
    const StoreOutcome filled = FillFile(file, path, folderDirectory, content, size);
    if (!filled.Stored()) return filled;
    constexpr int kTaskType = 3, kTaskFolder = 3;
    OdbcPrepared statement(connection);
    if (statement.Run(kListInFolder, SqlText::Quote(taskId), accountId, static_cast<long>(size), 0L, 0L,
                      SqlText::Quote(LocalDateTimeText(std::time(nullptr))), kTaskType, 0, kTaskFolder))
        return StoreResult::Stored;
    return Withdraw(connection, taskId, kTaskFolder, path);
}

}  // namespace mailstore
