// COutboundDelivery: one delivery pass over the outbound queue.
//
// Made once per send and receive cycle on the cycle's worker thread. Direct
// delivery works the queue domain by domain, one SMTP session to the
// domain's mail exchangers each; relayed delivery sends every queued
// message through the configured gateway in one session, authenticated when
// asked. Every attempt's outcome goes back into the OutBoundMails rows; the
// pass ends with the expiry step (CFailedMails).
//
// A row becomes Sent only once the end of its message's data was accepted,
// so a pass that dies mid-transfer leaves the row queued; a failed transfer
// returns every row of the transaction, in every domain, to the queue.
//
// A recipient refused with a 5xx reply, or a message whose data was, failed
// for good (RFC 5321 4.2.1): the reply line is kept with the row
// (COutboundReplies) and the expiry step at the end of this pass retires the
// row with a notice quoting it. A 4xx reply is kept the same way and the row
// is retried by later passes until it expires. A recipient counts as sent,
// for the owner of the accepted hook (the sent-mail log), only once its
// message's data was accepted.
//
// A session that breaks (a step timed out, the peer closed or said 421) is
// not opened again in the same pass: the domain's further files count as
// tried, as when its exchangers cannot be reached, and the pass goes on with
// the next domain (a relayed pass ends there). A stop ends every wait at
// once, except the wait for the answer to an end of data (CSmtpConnection);
// what a stop cut short stays queued as it was.
#pragma once

#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/SettingValue.h"
class CMailContent;
class CMailDatabase;
class CSmtpConnection;
class StatusWindow;
class StopSignal;

class COutboundDelivery {
public:
    // Block sizes before any delivery object read its settings.
    static constexpr std::uint32_t kDefaultBlockSize =
        settings::Dword{settings::kPreferences, "SendBufferSize"}.Default();
    // ReceiveThreadCount when the Preferences key cannot be opened.
    static constexpr std::uint32_t kDefaultReceiveThreads =
        settings::Dword{settings::kPreferences, "ReceiveThreadCount"}.Default();
    // Direct delivery's port when "MX Port" is absent or out of range.
    static constexpr int kDefaultMxPort = settings::Dword{settings::kPorts, "MX Port"}.Default();

    // Reads the Preferences and Ports settings and the machine's names; the
    // pass start (for the expiry limit) is taken here.
    COutboundDelivery();
    virtual ~COutboundDelivery();
    COutboundDelivery(const COutboundDelivery&) = delete;
    COutboundDelivery& operator=(const COutboundDelivery&) = delete;

    // Takes the connection and deletes the rows already sent.
    void AttachDatabase(CMailDatabase* database);
    void SetStatusWindow(StatusWindow* window);
    // The cycle's stop request, looked at between domains and between files
    // and watched by every session's waits; not owned, may be null.
    void SetStopSignal(const StopSignal* stop);

    // Called once per recipient whose message the exchanger or relay host
    // accepted (250 to the end of its data): the envelope sender, the
    // recipient's address and the message as sent.
    using AcceptedHook =
        std::function<void(const std::string& sender, const std::string& recipient, CMailContent& message)>;
    void SetAcceptedHook(AcceptedHook hook) { acceptedHook = std::move(hook); }

    // Marks the rows of domain (and of mailFile, and of user, when given).
    void MarkOutboundRows(const std::string& domain, const std::string* mailFile, const std::string* user, bool sent,
                          int failureCode);
    void DeliverDirect();
    void UploadMailsToRemoveServer();
    // The expiry step at the end of a pass.
    void ProcessFailedMails();

    const std::string& GetHeloName() const { return heloName; }
    std::uint32_t GetErrorMailDayCount() const { return errorMailDayCount; }
    // The concurrent-download limit the retrieval of mapped accounts uses.
    std::uint32_t GetReceiveThreadCount() const { return receiveThreadCount; }
    // Process-wide block sizes, as the last delivery object read them.
    static std::uint32_t SendBlockSize();
    static std::uint32_t ReceiveBlockSize();

private:
    // One queued recipient: user and domain as stored.
    using Recipient = std::pair<std::string, std::string>;

    void PostStatus(const std::string& text);
    bool StopRequested() const;
    // Direct mode: one domain's session and files.
    void DeliverDomain(CSmtpConnection& smtp, const std::string& domain, const std::string& gateway);
    // false: the domain's file loop ends.
    bool DeliverDirectFile(CSmtpConnection& smtp, const std::string& domain, const std::string& host, int port,
                           const std::string& mailFile, const std::string& gateway);
    // Status line and marking after a failed connect to a domain.
    void ConnectFailed(const std::string& domain, int port, int result, const std::string& gateway);
    // Relay mode: false when the pass must end at once.
    bool OpenGatewaySession(CSmtpConnection& smtp);
    enum class UploadStep { Next, LeaveLoop, EndPass };
    UploadStep UploadFile(CSmtpConnection& smtp, const std::string& mailFile);
    // MarkOutboundRows of a failure, unless the stop caused it.
    void MarkFailure(const std::string& domain, const std::string* mailFile, const std::string* user,
                     int failureCode);
    // Accepted recipients become Sent once the data was accepted; each one
    // reaches the accepted hook.
    void MarkDelivered(const std::string& mailFile, const std::vector<Recipient>& accepted,
                       const std::string& sender, CMailContent& message);
    // Keeps the reply that refused a recipient or a message (when the peer
    // gave one) and writes it to the diagnostic log; true when it refused
    // for good.
    bool KeepReply(const CSmtpConnection& smtp, const std::string& mailFile, const Recipient& recipient,
                   const char* step);
    // The transaction's recipients after its data failed: code for each,
    // with the peer's reply kept.
    void DataFailed(const CSmtpConnection& smtp, const std::string& mailFile, const std::vector<Recipient>& accepted,
                    int failureCode);

    SQLHDBC connection = SQL_NULL_HDBC;
    std::string heloName;
    CMailDatabase* database = nullptr;
    std::uint32_t errorMailDayCount = 0;
    StatusWindow* statusWindow = nullptr;
    const StopSignal* stopRequested = nullptr;
    std::time_t passStart = 0;
    std::uint32_t receiveThreadCount = kDefaultReceiveThreads;
    int mxPort = kDefaultMxPort;
    // The relay host, read when the relayed pass starts.
    std::string gatewayHost;
    std::string gatewayUser;
    std::string gatewayPassword;
    std::uint32_t useAuthentication = 0;
    int gatewayPort = 25;
    AcceptedHook acceptedHook;
};
