// CGroupCommit: the durable point that threads storing messages at the same
// time share instead of each paying its own.
//
// A storing thread writes its message file and hands the open file, its
// directory and the rows that list it here. The file is synced on the
// storing thread itself, so the threads storing at once wait for the disk
// together (one thread syncing a batch's files in turn would wait for each
// in turn: a shared disk answers a sync in milliseconds). Then the first
// thread to arrive while no batch is being made durable leads: it takes
// every entry waiting at that moment (a lone message waits for nobody);
// each distinct directory of the batch is synced once, by one of the
// threads whose file is in it, all at the same time; then the leader writes
// every entry's rows in one transaction on its own connection, while those
// arriving meanwhile gather for the next batch. Each thread returns only
// once its entry is durable, and only then releases its spool file, so no
// spool file goes before its message file, directory entry and rows are.
//
// A failure stays with its entry: a file that cannot be synced fails its
// own entry before it joins a batch, a directory that cannot be synced the
// entries made in it, and a refused transaction is
// retried entry by entry so that one refused row does not take the batch's
// other messages down. The refused entry is told RowsFailed; its caller
// removes its file and keeps its spool file for another attempt.
//
// Statements that may wait for a commit (Defer: the rows of what has gone)
// are added to the next batch's transaction and cost no commit of their
// own; a refused batch drops them, as whoever defers sweeps what is left.
//
// Rows must run in one transaction on the leader's connection: an exclusive
// connection (OdbcTransaction), or a backend that runs a text of several
// statements as one transaction (PostgreSQL). One process stores into one
// database, so every waiting entry's rows belong on any leader's connection.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/OdbcEnvironment.h"
#include "platform/MutexLock.h"

class CGroupCommit {
public:
    struct Entry {
        int fd = -1;                    // the written file, still open; -1 for none
        std::string directory;          // where its name was made; "" for none
        std::vector<std::string> rows;  // committed together, in the batch's transaction
        // Committed with them when they can be (a record such as the mail
        // log's row); an entry refused on its own goes again without them.
        std::vector<std::string> optionalRows;
    };
    enum class Result { Durable, FileFailed, RowsFailed };
    struct Outcome {
        Result result = Result::Durable;
        int error = 0;  // the errno of a failed file step
    };
    // Runs statements in one transaction on connection; true once committed.
    using RowsWriter = std::function<bool(SQLHDBC connection, const std::vector<std::string>& statements)>;

    explicit CGroupCommit(RowsWriter writer = WriteRows);
    CGroupCommit(const CGroupCommit&) = delete;
    CGroupCommit& operator=(const CGroupCommit&) = delete;

    // The process's coordinator for message stores.
    static CGroupCommit& Instance();
    // Whether a connection can lead a batch (see above).
    static bool CanLead(SQLHDBC connection);
    // The default writer: one transaction, or one text on PostgreSQL.
    static bool WriteRows(SQLHDBC connection, const std::vector<std::string>& statements);

    // Makes the entry durable with whatever else is waiting; returns once it is.
    Outcome Commit(SQLHDBC connection, const Entry& entry);

    // Adds statement to the next batch's transaction (see above); at most
    // kMaxDeferred wait, more are dropped.
    void Defer(std::string statement);
    static constexpr std::size_t kMaxDeferred = 4096;
    // Adds one value to a deferred statement that ends in a list: the values
    // deferred under one head run as "head(value,value,...)", up to
    // kListedPerStatement in each, so that the rows of a batch's released
    // spool files go in one statement rather than one each. Each value
    // counts as a statement against kMaxDeferred.
    void DeferListed(const std::string& head, std::string value);
    static constexpr std::size_t kListedPerStatement = 64;

    // Batches and entries made durable so far, and the largest batch.
    struct Counts {
        std::uint64_t batches = 0;
        std::uint64_t entries = 0;
        std::size_t largest = 0;
    };
    Counts GetCounts();
    // Entries waiting for the batch being written to end.
    std::size_t GetWaitingCount();

private:
    // Each waiting thread is woken on its own: when its directory is its to
    // sync, when its batch is durable, when it may lead the next batch, or
    // (the leader) when the batch's directory syncs are done. Waking every
    // waiter for each of those cost most of them a futex round for nothing.
    struct Waiting {
        const Entry* entry;
        Outcome outcome;
        bool done = false;
        bool syncAssigned = false;  // this thread syncs its directory for the batch
        int syncError = 0;
        std::condition_variable_any wake{};
    };
    // Syncs the directory mine was given for its batch, the lock let go meanwhile.
    void SyncAssigned(Waiting& mine) REQUIRES(lock);
    void WriteBatch(SQLHDBC connection, std::vector<Waiting*>& batch, std::vector<std::string> deferred);
    // Every deferred statement, the listed values made into theirs; none left.
    std::vector<std::string> TakeDeferred() REQUIRES(lock);

    RowsWriter writer;
    Mutex lock;
    std::vector<Waiting*> waiting GUARDED_BY(lock);
    std::vector<std::string> deferred GUARDED_BY(lock);
    std::map<std::string, std::vector<std::string>> listed GUARDED_BY(lock);  // by head
    std::size_t listedCount GUARDED_BY(lock) = 0;
    bool leading GUARDED_BY(lock) = false;
    Waiting* leader GUARDED_BY(lock) = nullptr;  // while leading
    std::size_t syncsRunning GUARDED_BY(lock) = 0;  // directory syncs of the batch being made durable
    Counts counts GUARDED_BY(lock);
};
