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
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "foundation/OdbcEnvironment.h"

class CPop3Connection;
class CSmtpConnection;
class CTempMailContent;
class StatusWindow;

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
        StatusWindow* status = nullptr;
        const std::atomic<bool>* stop = nullptr;
        std::uint32_t receiveBufferSize = 5120;
        std::uint32_t sendBufferSize = 5120;
    };

    CMappedAccountDownload(const MappedAccountJob& job, const Context& context);
    // The whole pass; failures end it early with the row as far as it got.
    void Run();

private:
    // The messages handled from the first on, until one fails or a stop.
    void Fetch(CPop3Connection& pop, int count, int last);
    // Hands one message over; false when the local server refused it.
    bool HandOver(CSmtpConnection& smtp, CTempMailContent& message);
    // Tells the local user about a message left on the server for its size.
    bool NotifyOversized(CPop3Connection& pop, int number, long size);
    void StoreLastId();
    void Status(const std::string& text);
    bool Stopping() const { return context.stop && context.stop->load(); }

    MappedAccountJob job;
    Context context;
    std::string storedLastId;
    bool smtpOpen = false;
};
