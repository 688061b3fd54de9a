// CFailedMails: the expiry step at the end of a delivery pass.
//
// Sends a non-delivery notice for every failing row that has expired or
// failed for good, retires those rows, deletes the Outbox files without
// pending rows, purges retired rows and removes Outbox files no row names.
#pragma once

#include <sql.h>

#include <cstdint>
#include <ctime>
#include <string>

class CFailedMails {
public:
    // passStart: when the pass began; the expiry limit is counted from it,
    // so nothing queued during the pass expires in it.
    CFailedMails(SQLHDBC connection, std::string heloName, std::uint32_t errorMailDayCount, std::time_t passStart);

    void Process();
    // One notice about failedRecipient's copy of the message in outboxFile.
    void SendFailureNotice(const std::string& failedRecipient, const std::string& noticeSender,
                           const std::string& outboxFile, std::uint32_t failureCode);

private:
    SQLHDBC connection;
    std::string heloName;
    std::uint32_t errorMailDayCount;
    std::time_t passStart;
};
