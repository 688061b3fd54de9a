// MessageStoring: ids, index rows and message files.
#include "store/MessageStoring.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "foundation/CMailContent.h"
#include "foundation/OdbcStatement.h"
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

bool IsListed(SQLHDBC connection, const std::string& id) {
    OdbcStatement statement(connection);
    std::uint32_t count = 0;
    return statement.ExecDirect(
               StringPrintf("SELECT count(*) FROM Mails WHERE mMailId = '%s'", SqlEscape(id).c_str())) &&
           statement.BindULong(1, count) && statement.Fetch() && count > 0;
}

bool SyncDirectory(const std::string& directory) {
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir && ::fsync(dir.Get()) == 0;
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

StoreResult StoreMessage(SQLHDBC connection, const std::string& folderDirectory, const StoreRequest& request,
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
    UniqueFd file;
    for (int attempt = 0; attempt < kIdAttempts && !file; ++attempt) {
        std::string id = MakeMailId(now);
        path = JoinPath(folderDirectory, id + ".mel");
        if (path.empty()) return StoreResult::FileFailed;
        if (IsListed(connection, id)) continue;
        file.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640));
        if (!file && errno != EEXIST) return StoreResult::FileFailed;
        if (file) mailId = std::move(id);
    }
    if (!file) return StoreResult::FileFailed;
    ::flock(file.Get(), LOCK_EX);
    // Synced with its directory entry before any row lists it: the caller
    // drops its spool copy once this returns.
    bool written =
        CopyContent(content, request.size, file.Get()) && ::fsync(file.Get()) == 0 && SyncDirectory(folderDirectory);
    int error = errno;
    file.Reset();
    if (!written) {
        // A half-written message would read back as a damaged one.
        ::unlink(path.c_str());
        errno = error;
        return StoreResult::FileFailed;
    }

    const std::string when = LocalDateTimeText(now);
    const long dots = request.dotsCount < 0 ? 0 : request.dotsCount;
    OdbcStatement statement(connection);
    const std::string sql =
        request.intoFolder
            ? StringPrintf("INSERT INTO MAILS VALUES('%s',%ld,%ld,%ld,0,%ld,'%s',%d,1,%d)", mailId.c_str(),
                           request.accountId, static_cast<long>(request.size), 0L, dots, when.c_str(), request.type,
                           folderId)
            : StringPrintf("INSERT INTO MAILS VALUES('%s',%ld,%ld,%ld,0,%ld,'%s',%d,0,1)", mailId.c_str(),
                           request.accountId, static_cast<long>(request.size), 0L, dots, when.c_str(), request.type);
    if (!statement.ExecDirect(sql)) {
        // A file nobody lists is a message its owner never sees.
        ::unlink(path.c_str());
        return StoreResult::RowsFailed;
    }
    OdbcStatement summary(connection);
    if (!summary.ExecDirect(StringPrintf("INSERT INTO MAILINFO VALUES('%s','%s','%s','%s',%d,%ld)", mailId.c_str(),
                                         SqlEscape(request.sender).c_str(), SqlEscape(request.subject).c_str(),
                                         when.c_str(), static_cast<int>(request.accountId),
                                         static_cast<long>(folderId)))) {
        // Listed without its summary the message would show blank: all of it
        // goes, and the caller keeps the message for another attempt.
        OdbcStatement undo(connection);
        undo.ExecDirect(StringPrintf("DELETE FROM MAILS WHERE mMailId = '%s'", SqlEscape(mailId).c_str()));
        ::unlink(path.c_str());
        return StoreResult::RowsFailed;
    }
    return StoreResult::Stored;
}

}  // namespace mailstore
