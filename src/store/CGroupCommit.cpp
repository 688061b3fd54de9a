// CGroupCommit: the leader's round (see the header).
#include "store/CGroupCommit.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <map>

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

void CGroupCommit::Defer(std::string statement) {
    MutexLock guard(lock);
    if (deferred.size() + listedCount < kMaxDeferred) deferred.push_back(std::move(statement));
}

void CGroupCommit::DeferListed(const std::string& head, std::string value) {
    MutexLock guard(lock);
    if (deferred.size() + listedCount >= kMaxDeferred) return;
    listed[head].push_back(std::move(value));
    ++listedCount;
}

std::vector<std::string> CGroupCommit::TakeDeferred() {
    std::vector<std::string> taken;
    taken.swap(deferred);
    for (const auto& [head, values] : listed)
        for (std::size_t first = 0; first < values.size(); first += kListedPerStatement) {
            std::string statement = head + "(";
            const std::size_t end = std::min(values.size(), first + kListedPerStatement);
            for (std::size_t i = first; i < end; ++i) statement += (i > first ? "," : "") + values[i];
            taken.push_back(statement + ")");
        }
    listed.clear();
    listedCount = 0;
    return taken;
}

std::size_t CGroupCommit::GetWaitingCount() {
    MutexLock guard(lock);
    return waiting.size();
}

CGroupCommit::Outcome CGroupCommit::Commit(SQLHDBC connection, const Entry& entry) {
    // The file on the caller's thread: the threads storing at once wait for
    // the disk together, where one thread syncing them in turn would wait
    // for each in turn (a shared disk answers a sync in milliseconds).
    if (entry.fd >= 0 && ::fdatasync(entry.fd) != 0) return {Result::FileFailed, errno != 0 ? errno : EIO};
    if (entry.rows.empty() && entry.directory.empty()) return {};

    Waiting mine{&entry, {}};
    MutexLock guard(lock);
    waiting.push_back(&mine);
    while (!mine.done) {
        if (mine.syncAssigned) {
            SyncAssigned(mine);
            continue;
        }
        if (leading) {
            mine.wake.wait(guard);
            continue;
        }
        // Whatever is ready now is the batch; what arrives meanwhile is the next.
        leading = true;
        leader = &mine;
        std::vector<Waiting*> batch;
        batch.swap(waiting);
        // Each distinct directory is synced once, by one of the entries made
        // in it, all of them at once; then every entry takes its directory's
        // outcome.
        std::map<std::string, Waiting*> syncers;
        for (Waiting* item : batch)
            if (!item->entry->directory.empty() && syncers.emplace(item->entry->directory, item).second) {
                item->syncAssigned = true;
                ++syncsRunning;
                if (item != &mine) item->wake.notify_one();
            }
        while (syncsRunning > 0) {
            if (mine.syncAssigned)
                SyncAssigned(mine);
            else
                mine.wake.wait(guard);
        }
        for (Waiting* item : batch)
            if (!item->entry->directory.empty())
                if (const int error = syncers[item->entry->directory]->syncError; error != 0)
                    item->outcome = {Result::FileFailed, error};
        std::vector<std::string> riding = TakeDeferred();
        guard.unlock();
        WriteBatch(connection, batch, std::move(riding));
        guard.lock();
        ++counts.batches;
        counts.entries += batch.size();
        if (batch.size() > counts.largest) counts.largest = batch.size();
        leading = false;
        leader = nullptr;
        // Under the lock: a waiter told it is done cannot return (and take
        // its Waiting with it) before the lock is let go.
        for (Waiting* item : batch) {
            item->done = true;
            if (item != &mine) item->wake.notify_one();
        }
        // The first of those gathered meanwhile leads the next batch.
        if (!waiting.empty()) waiting.front()->wake.notify_one();
    }
    return mine.outcome;
}

void CGroupCommit::SyncAssigned(Waiting& mine) {
    mine.syncAssigned = false;
    // Let go of the caller's hold for the sync's length (its guard takes it
    // back as it was).
    lock.unlock();
    const int error = SyncDirectory(mine.entry->directory) ? 0 : (errno != 0 ? errno : EIO);
    lock.lock();
    mine.syncError = error;
    if (--syncsRunning == 0 && leader != &mine) leader->wake.notify_one();
}

void CGroupCommit::WriteBatch(SQLHDBC connection, std::vector<Waiting*>& batch, std::vector<std::string> riding) {
    // The rows of every entry whose file and name are durable.
    std::vector<Waiting*> listed;
    std::vector<std::string> statements;
    for (Waiting* item : batch) {
        if (item->outcome.result != Result::Durable || item->entry->rows.empty()) continue;
        listed.push_back(item);
        statements.insert(statements.end(), item->entry->rows.begin(), item->entry->rows.end());
        statements.insert(statements.end(), item->entry->optionalRows.begin(), item->entry->optionalRows.end());
    }
    if (listed.empty()) {
        // Nothing to list: what waits goes on waiting for a batch that has.
        MutexLock guard(lock);
        for (std::string& statement : riding)
            if (deferred.size() + listedCount < kMaxDeferred) deferred.push_back(std::move(statement));
        return;
    }
    const std::size_t own = statements.size();
    statements.insert(statements.end(), std::make_move_iterator(riding.begin()), std::make_move_iterator(riding.end()));
    if (writer(connection, statements)) return;
    // Refused: without the deferred statements (dropped), then each entry
    // on its own, so that only the one at fault fails; an entry refused
    // with its optional rows goes again without them.
    if (statements.size() > own) {
        statements.resize(own);
        if (writer(connection, statements)) return;
    }
    for (Waiting* item : listed) {
        const Entry& entry = *item->entry;
        std::vector<std::string> whole = entry.rows;
        whole.insert(whole.end(), entry.optionalRows.begin(), entry.optionalRows.end());
        if (listed.size() > 1 && writer(connection, whole)) continue;
        if (!entry.optionalRows.empty() && writer(connection, entry.rows)) continue;
        item->outcome = {Result::RowsFailed, 0};
    }
}
