// COutboundDelivery: one delivery pass over the outbound queue.
//
// Made once per send and receive cycle on the cycle's worker thread. Direct
// delivery works the queue domain by domain, one SMTP session to the
// domain's mail exchangers each; relayed delivery sends every queued
// message through the configured gateway in one session, authenticated when
// asked. Every attempt's outcome goes back into the OutBoundMails rows; the
// pass ends with the expiry step (CFailedMails).
#pragma once

#include <sql.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

class CMailDatabase;
class StatusWindow;

class COutboundDelivery {
public:
    // Reads the Preferences and Ports settings and the machine's names; the
    // pass start (for the expiry limit) is taken here.
    COutboundDelivery();
    virtual ~COutboundDelivery();
    COutboundDelivery(const COutboundDelivery&) = delete;
    COutboundDelivery& operator=(const COutboundDelivery&) = delete;

    // Takes the connection and deletes the rows already sent.
    void AttachDatabase(CMailDatabase* database);
    void SetStatusWindow(StatusWindow* window);
    // The cycle's stop request, polled between domains and between files;
    // not owned, may be null.
    void SetStopFlag(const std::atomic<bool>* stop);

    // Marks the rows of domain (and of mailFile, and of user, when given).
    void MarkOutboundRows(const std::string& domain, const std::string* mailFile, const std::string* user, bool sent,
                          int failureCode);
    void DeliverDirect();
    void UploadMailsToRemoveServer();
    // The expiry step at the end of a pass.
    void ProcessFailedMails();

    const std::string& GetHeloName() const { return heloName; }
    std::uint32_t GetErrorMailDayCount() const { return errorMailDayCount; }

private:
    SQLHDBC connection = SQL_NULL_HDBC;
    std::string heloName;
    CMailDatabase* database = nullptr;
    std::uint32_t errorMailDayCount = 0;
    StatusWindow* statusWindow = nullptr;
    const std::atomic<bool>* stopRequested = nullptr;
    std::time_t passStart = 0;
};
