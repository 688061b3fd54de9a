// CMailSearchWorker: runs one mail log search away from the caller's thread.
//
// The query runs on a new statement of the given connection; each row
// becomes a record. With a containing text, each record's message body is
// searched in turn and only those that hold it are kept. A stop flag,
// polled before each fetch and before each body search, ends the search
// early: the records kept so far are the result, and records not examined
// are dropped. The result goes to a callback on the worker's thread; the
// console posts it on to its own. A query that fails gives no records.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/OdbcEnvironment.h"
#include "maillog/MailSearchRecord.h"

class CMailDatabase;

struct MailSearchJob {
    SQLHDBC connection = SQL_NULL_HDBC;
    std::string query;
    std::string containing;
    bool allWords = false;
    std::string logRoot;  // where the day directories of the records lie
    // Told after each body search how many records have been examined, so a
    // caller can show progress (called on the worker's thread).
    std::function<void(std::size_t examined, std::size_t total)> progress;
    // When set, called on the worker's thread for a connection of the
    // search's own, so a long query holds none that the caller's thread uses;
    // connection serves when it gives none.
    std::function<std::unique_ptr<CMailDatabase>()> connect;
};

class CMailSearchWorker {
public:
    using Done = std::function<void(std::vector<MailSearchRecord> kept)>;

    CMailSearchWorker() = default;
    // Stops a running search and waits for it (its callback still runs).
    ~CMailSearchWorker();
    CMailSearchWorker(const CMailSearchWorker&) = delete;
    CMailSearchWorker& operator=(const CMailSearchWorker&) = delete;

    // Starts the search on a thread of its own; false while one still runs.
    bool Start(MailSearchJob job, Done done);
    // Asks the running search to end early.
    void Stop() { stop.store(true); }
    bool Running() const { return running.load(); }
    // Waits for the search thread to end.
    void Wait();

    // The search itself, on the caller's thread.
    static std::vector<MailSearchRecord> Run(const MailSearchJob& job, const std::atomic<bool>& stop);

private:
    std::atomic<bool> stop{false};
    std::atomic<bool> running{false};
    std::thread thread;
};
