// CMappedDownloader: reading the pass's mapped accounts, the bounded pool of
// workers and the wait for them.
#include "retrieval/CMappedDownloader.h"

#include <cstdlib>

#include "foundation/CAccountDatabase.h"
#include "foundation/CAccountRows.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "platform/Invariant.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"
#include "store/CMappedAccounts.h"

CMappedDownloader::~CMappedDownloader() {
    WaitForMappedDownloads();
}

std::vector<MappedAccountJob> CMappedDownloader::ReadJobs(CAccountDatabase& database, const StopSignal& stop) {
    std::vector<MappedAccountJob> jobs;
    const SQLHDBC connection = database.GetConnectionHandle();
    if (connection == SQL_NULL_HDBC) return jobs;
    const std::vector<std::string> excluded(std::begin(kExcludedDomains), std::end(kExcludedDomains));
    std::vector<long> accounts;
    if (!CMappedAccounts::AccountsWithMappings(connection, excluded, accounts)) return jobs;
    // Every row is read before a worker starts, so that no cursor stays open
    // on the shared connection while the workers write to it.
    for (long accountId : accounts) {
        if (stop.Raised()) break;
        const std::optional<CAccountRows::NameAndLimit> owner = CAccountRows::NameAndReceiveLimit(connection, accountId);
        if (!owner || owner->userName.empty()) continue;
        MappedAccountJob account;
        account.accountId = accountId;
        account.userName = owner->userName;
        account.sizeLimitKb = owner->receiveLimitKb;
        std::vector<CMappedAccounts::FetchRow> rows;
        CMappedAccounts::EnabledFetchRows(connection, accountId, excluded, rows);
        for (CMappedAccounts::FetchRow& row : rows) {
            MappedAccountJob job = account;
            job.remoteUser = std::move(row.remoteUser);
            job.password = std::move(row.password);
            job.server = std::move(row.server);
            job.lastMailId = std::move(row.lastMailId);
            job.leaveOnServer = row.leaveOnServer;
            job.port = row.port;
            jobs.push_back(std::move(job));
        }
    }
    return jobs;
}

void CMappedDownloader::Status(const std::string& text) {
    if (status) status->Post(StatusWindow::kStatusLine, 0, text, 0);
}

void CMappedDownloader::DownloadMappedAccounts(CAccountDatabase& accounts, StatusWindow* statusWindow,
                                               const StopSignal& stopRequest) {
    // Workers of an earlier call share this object's pool: they end first.
    WaitForMappedDownloads();
    database = &accounts;
    status = statusWindow;
    stop = &stopRequest;
    const bool routeAll = settings::Dword{settings::kPreferences, "RouteAllMailsToPostmaster"}.Value() != 0;
    // A stored 0 would never grant a unit: below the range, it reads as the default.
    const DWORD threads = settings::Dword{settings::kPreferences, "ReceiveThreadCount"}.Value();
    receiveBufferSize = settings::Dword{settings::kPreferences, "ReceiveBufferSize"}.Value();
    sendBufferSize = settings::Dword{settings::kPreferences, "SendBufferSize"}.Value();
    {
        MutexLock guard(lock);
        freeUnits = threads;
    }
    for (MappedAccountJob& job : ReadJobs(accounts, stopRequest)) {
        if (stopRequest.Raised()) break;
        job.routeAll = routeAll;
        {
            MutexLock guard(lock);
            while (freeUnits == 0) changed.wait(guard);
            // Counted before the thread exists, so a worker that ends at once
            // cannot leave the count at zero with others still to come.
            --freeUnits;
            ++running;
        }
        if (!StartWorker(job)) {
            WorkerEnded();
            continue;
        }
        Status(StringPrintf("Connecting to %s", job.server.c_str()));
    }
}

bool CMappedDownloader::StartWorker(const MappedAccountJob& job) {
    try {
        std::thread worker([this, job] {
            DownloadMappedAccount(job);
            WorkerEnded();
        });
        MutexLock guard(lock);
        workers.push_back(std::move(worker));
        return true;
    } catch (...) {  // no thread (std::system_error) or no memory for it
        return false;
    }
}

void CMappedDownloader::WorkerEnded() {
    MutexLock guard(lock);
    VELMORA_INVARIANT(running > 0, "a download worker ended that was never counted");
    ++freeUnits;
    running = running > 1 ? running - 1 : 0;
    changed.notify_all();
}

void CMappedDownloader::DownloadMappedAccount(const MappedAccountJob& job) {
    try {
        CMappedAccountDownload::Context context;
        context.connection = database ? database->GetConnectionHandle() : SQL_NULL_HDBC;
        context.accounts = database;
        context.status = status;
        context.stop = stop;
        context.receiveBufferSize = receiveBufferSize;
        context.sendBufferSize = sendBufferSize;
        CMappedAccountDownload(job, context).Run();
    } catch (...) {
        Status(StringPrintf("UnExpected Error with Account:%s on %s", job.userName.c_str(), job.server.c_str()));
    }
}

void CMappedDownloader::WaitForMappedDownloads() {
    std::vector<std::thread> ended;
    {
        MutexLock guard(lock);
        while (running != 0) changed.wait(guard);
        ended.swap(workers);
    }
    for (std::thread& worker : ended)
        if (worker.joinable()) worker.join();
}
