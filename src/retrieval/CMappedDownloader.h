// CMappedDownloader: the download of every user's mapped accounts (remote
// POP3 mailboxes whose mail is fetched into a local account) during the
// receive half of a send and receive pass.
//
// DownloadMappedAccounts starts one worker per enabled mapped account, at
// most ReceiveThreadCount at once, and returns; WaitForMappedDownloads
// blocks until every worker of the pass has ended. A worker logs in to the
// remote server, takes the messages after the one it fetched last (known by
// its unique id, kept in the row's LastMailId), and hands each to the local
// SMTP server addressed to the local user. A message leaves the remote server
// only after the local server accepted it; a hand-over refused for now (4xx)
// or cut off ends the job for this pass, so the next pass tries that message
// again, while one refused for good (55x) is passed over with a notice to the
// user (CMappedAccountDownload). A message above the user's receiving limit
// is not fetched: it stays on the remote server and the user gets a system
// notice about it once. A stop lets every job finish its message in hand and
// QUIT, so the remote server deletes exactly what was stored.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "foundation/SettingValue.h"
#include "platform/MutexLock.h"
#include "retrieval/CMappedAccountDownload.h"

class CAccountDatabase;
class StatusWindow;
class StopSignal;

class CMappedDownloader {
public:
    // Web-mail providers whose mapped accounts are never fetched: reserved
    // names, so that no real mailbox a user maps is skipped.
    static constexpr const char* kExcludedDomains[4] = {"hotmail.invalid", "yahoo.invalid", "msn.invalid",
                                                        "rediffmail.invalid"};

    CMappedDownloader() = default;
    // Waits for the workers still running.
    ~CMappedDownloader();
    CMappedDownloader(const CMappedDownloader&) = delete;
    CMappedDownloader& operator=(const CMappedDownloader&) = delete;

    // Reads the preferences and the enabled mapped accounts and starts their
    // workers; returns without waiting for them. status (may be null) gets
    // the status texts; stop is the pass's stop request, read at every loop
    // head; both must outlive WaitForMappedDownloads. The database's shared
    // connection is used by every worker.
    void DownloadMappedAccounts(CAccountDatabase& database, StatusWindow* status, const StopSignal& stop);
    // Blocks until every worker started so far has ended.
    void WaitForMappedDownloads();
    // One job to its end on the calling thread (a worker's body).
    void DownloadMappedAccount(const MappedAccountJob& job);

    // The enabled mapped accounts as the pass sees them (without the route-all flag).
    static std::vector<MappedAccountJob> ReadJobs(CAccountDatabase& database, const StopSignal& stop);

private:
    void Status(const std::string& text);
    bool StartWorker(const MappedAccountJob& job);
    void WorkerEnded();

    CAccountDatabase* database = nullptr;
    StatusWindow* status = nullptr;
    const StopSignal* stop = nullptr;
    std::uint32_t receiveBufferSize = settings::Dword{settings::kPreferences, "ReceiveBufferSize"}.Default();
    std::uint32_t sendBufferSize = settings::Dword{settings::kPreferences, "SendBufferSize"}.Default();

    // The units of ReceiveThreadCount, the count of running workers and the
    // all-done condition, under one lock.
    Mutex lock;  // the free units, the running count and the worker threads
    std::condition_variable_any changed;
    unsigned freeUnits GUARDED_BY(lock) = 0;
    int running GUARDED_BY(lock) = 0;
    std::vector<std::thread> workers GUARDED_BY(lock);
};
