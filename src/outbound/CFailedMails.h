// CFailedMails: the expiry step at the end of a delivery pass.
//
// Sends a non-delivery notice for every pending row that has expired or
// failed for good (no exchanger and no host, or a server's 5xx refusal,
// whose reply line the notice quotes), retires those rows, deletes the Outbox files without
// pending rows, purges retired rows and removes Outbox files no row names.
// A notice goes to the queued message's envelope sender only, with the whole
// message when it came from a client that may relay, else with its first
// 50 KB.
// Notices go to the local SMTP server with the null reverse-path, so no
// server answers a notice with another one. Every failure is silent: a
// statement that fails skips its step, a file that cannot be deleted stays,
// a notice that cannot be sent is lost while its row is retired all the same.
#pragma once

#include <sql.h>

#include <cstdint>
#include <ctime>
#include <string>

class CFailedMails {
public:
    // The notice's "From" value.
    static constexpr const char* kNoticeSender = "\"TessalMailerDeamon\" <postmaster@127.0.0.1>";
    // A row with this code failed for good: no exchanger, no host.
    static constexpr std::uint32_t kPermanentFailure = 5;
    // An Outbox file no row names is removed only once it is this old, so a
    // message whose writer has not yet inserted its rows keeps its file.
    static constexpr std::time_t kOrphanAge = 10 * 60;

    // passStart: when the pass began; the expiry limit is counted from it,
    // so nothing queued during the pass expires in it.
    CFailedMails(SQLHDBC connection, std::string heloName, std::uint32_t errorMailDayCount, std::time_t passStart);

    void Process();
    // One notice about failedRecipient's copy of the message in outboxFile.
    // reply: the remote server's reply line, quoted in the notice when known.
    void SendFailureNotice(const std::string& failedRecipient, const std::string& noticeSender,
                           const std::string& outboxFile, std::uint32_t failureCode, const std::string& reply = {});

    // "YYYY-MM-DD HH:MM:SS" of passStart less days, less one second: a row
    // queued in the pass's first second waits for the next pass.
    static std::string ExpiryLimit(std::time_t passStart, std::uint32_t days);

private:
    void NotifyExpiring(const std::string& limit);
    void DeleteFinishedFiles();
    void DeleteOrphans();
    // The row count naming path, or -1 when it could not be counted.
    long long RowsNaming(const std::string& path);

    SQLHDBC connection;
    std::string heloName;
    std::uint32_t errorMailDayCount;
    std::time_t passStart;
};
