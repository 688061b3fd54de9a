// CGroupCommit: the leader's round (see the header).
#include "store/CGroupCommit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/OdbcConnection.h"
#include "foundation/OdbcStatement.h"
#include "foundation/OdbcTransaction.h"
#include "platform/FileIo.h"

CGroupCommit::CGroupCommit(RowsWriter writer) : writer(std::move(writer)) {}

CGroupCommit& CGroupCommit::Instance() {
    static CGroupCommit instance;
    return instance;
}

bool CGroupCommit::CanLead(SQLHDBC connection) {
    return OdbcStatement::DialectOf(connection).RunsTextAsOneTransaction() || OdbcConnection::IsExclusive(connection);
}

bool CGroupCommit::WriteRows(SQLHDBC connection, const std::vector<std::string>& statements) {
    if (statements.empty()) return true;
    // One round trip and one commit for the whole batch on a database server.
    if (OdbcStatement::DialectOf(connection).RunsTextAsOneTransaction())
        return OdbcStatement(connection).ExecTogether(statements);
    OdbcTransaction transaction(connection);
    if (!transaction.Active()) return false;
    for (const std::string& statement : statements)
        if (!OdbcStatement(connection).ExecDirect(statement)) return false;
    return transaction.Commit();
}

CGroupCommit::Counts CGroupCommit::GetCounts() {
    MutexLock guard(lock);
    return counts;
}

std::size_t CGroupCommit::GetWaitingCount() {
    MutexLock guard(lock);
    return waiting.size();
}

CGroupCommit::Outcome CGroupCommit::Commit(SQLHDBC connection, const Entry& entry) {
    // The file and its name on the caller's thread: the threads storing at
    // once wait for the disk together, where one thread syncing them in turn
    // would wait for each in turn (a shared disk answers a sync in
    // milliseconds). Threads syncing one directory share a sync that started
    // after each one's name was made.
    if (entry.fd >= 0 && ::fdatasync(entry.fd) != 0) return {Result::FileFailed, errno != 0 ? errno : EIO};
    if (!entry.directory.empty() && !SyncDirectory(entry.directory)) return {Result::FileFailed, errno != 0 ? errno : EIO};
    if (entry.rows.empty()) return {};

    Waiting mine{&entry, {}, false};
    MutexLock guard(lock);
    waiting.push_back(&mine);
    while (!mine.done) {
        if (leading) {
            finished.wait(guard);
            continue;
        }
        // Whatever is ready now is the batch; what arrives meanwhile is the next.
        leading = true;
        std::vector<Waiting*> batch;
        batch.swap(waiting);
        guard.unlock();
        WriteBatch(connection, batch);
        guard.lock();
        for (Waiting* item : batch) item->done = true;
        ++counts.batches;
        counts.entries += batch.size();
        if (batch.size() > counts.largest) counts.largest = batch.size();
        leading = false;
        finished.notify_all();
    }
    return mine.outcome;
}

void CGroupCommit::WriteBatch(SQLHDBC connection, std::vector<Waiting*>& batch) {
    std::vector<std::string> statements;
    for (Waiting* item : batch)
        statements.insert(statements.end(), item->entry->rows.begin(), item->entry->rows.end());
    if (writer(connection, statements)) return;
    // Refused: each entry on its own, so that only the one at fault fails.
    for (Waiting* item : batch)
        if (batch.size() == 1 || !writer(connection, item->entry->rows)) item->outcome = {Result::RowsFailed, 0};
}
