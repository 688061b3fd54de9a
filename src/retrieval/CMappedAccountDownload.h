// CMappedAccountDownload: one pass over one mapped account: log in to the
// remote POP3 server, find the messages not handled before by their unique
// ids, hand each to the local SMTP server for the local user, delete it from
// the remote server afterwards when mail is not left there, and keep the id
// of the last message handled in the account's row.
//
// What stays on the remote server decides where the next pass starts: with
// mail left there, LastMailId is the last message handed over (or skipped
// for its size), and everything after it is new; with mail not left there,
// every message still on the server is new except those skipped for their
// size, and LastMailId is the last of those, so that the user is told about
// each of them once.
//
// A message the local server refuses for good (a 55x at RCPT or at the end
// of its data, other than "mailbox full") would be refused again on every
// pass and, were it to end the pass, would hold back all mail behind it. It
// is passed over once the user was told of it with a notice: with mail left
// on the server LastMailId moves past it, as past an oversized message, and
// it stays there; with mail not left there it is deleted like every message
// dealt with, since the one id the row keeps already marks the oversized
// messages kept there and cannot also mark it. A refusal for now (4xx), a
// refused sender, a lost connection or a notice that cannot be handed over
// ends the pass, and the next one starts with the same message. Notices
// take CSystemNotice::Send under the generated-mail policy (local accounts
// only); one the policy withholds (the message is itself a notice) counts
// as told.
//
// With mail left on the server, the ids of every message handed over are
// kept as well (CFetchedUidls), and a pass takes exactly the messages whose
// ids are not among them: a message deleted there by another client, even
// the last one fetched, makes nothing look new. LastMailId is still written
// and serves when those ids cannot be read; a set still empty starts from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/OdbcEnvironment.h"
#include "smtp/CLocalHandBack.h"

class CAccountDatabase;
class CFetchedUidls;
class CPop3Connection;
class CMailHeader;
class CTempMailContent;
class StatusWindow;
class StopSignal;

// One mapped account of one local user, as the pass found it.
struct MappedAccountJob {
    long accountId = 0;
    std::string userName;    // the local account's name
    std::string server;      // remote POP3 server, name or address
    std::string remoteUser;  // remote login name
    std::string password;    // remote password, as stored; never shown
    std::string lastMailId;  // unique id of the last message handled
    bool leaveOnServer = true;
    bool routeAll = false;  // RouteAllMailsToPostmaster when the pass started
    long sizeLimitKb = 0;   // the local account's RecvMailSizeLimit; 0: none
    int port = 110;
};

class CMappedAccountDownload {
public:
    // What the mailbox "MailGateway" at the loopback host stands in for.
    static constexpr const char* kGatewaySender = "MailGateway@127.0.0.1";
    // The part of a message read for its sender.
    static constexpr std::size_t kHeadBytes = 4096;
    // The longest unique id a row keeps.
    static constexpr std::size_t kMaxStoredUid = 100;
    // Read of an oversized message's header for the notice.
    static constexpr std::size_t kNoticeHeadBytes = 16384;

    struct Context {
        SQLHDBC connection = SQL_NULL_HDBC;
        // Resolves the local user of a notice (CGeneratedMailPolicy). Not owned.
        CAccountDatabase* accounts = nullptr;
        StatusWindow* status = nullptr;
        const StopSignal* stop = nullptr;
        std::uint32_t receiveBufferSize = 5120;
        std::uint32_t sendBufferSize = 5120;
    };

    CMappedAccountDownload(const MappedAccountJob& job, const Context& context);
    // The whole pass; failures end it early with the row as far as it got.
    void Run();

private:
    // The messages numbered, in order, until one fails or a stop; each one
    // handed over is recorded in fetched (when given).
    void Fetch(CPop3Connection& pop, const std::vector<int>& numbers, int last, CFetchedUidls* fetched);
    enum class HandOverResult { Accepted, Refused, Deferred };
    // Hands one message over; Refused only for a refusal for good, whose
    // reply line is kept in `refusal`.
    HandOverResult HandOver(CLocalHandBack& local, CTempMailContent& message);
    // After a failed step of the hand-over: Refused or Deferred by its reply.
    HandOverResult Judge(const CLocalHandBack::Result& result);
    // Tells the local user about a message left on the server for its size.
    bool NotifyOversized(CPop3Connection& pop, int number, long size);
    // Tells the local user about a message the local server refused for good.
    bool NotifyRefused(CTempMailContent& message);
    // One notice to the local user about the message with this header.
    bool Notify(const std::string& subject, const std::string& sentence, const CMailHeader& header);
    void StoreLastId();
    void Status(const std::string& text);
    bool Stopping() const;

    MappedAccountJob job;
    Context context;
    std::string storedLastId;
    std::string refusal;
    bool smtpOpen = false;
};
