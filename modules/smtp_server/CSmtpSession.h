// CSmtpSession: one client connection of the SMTP server, on its own thread.
//
// It speaks the server side of RFC 5321 with the SIZE, 8BITMIME and
// PIPELINING extensions: greeting, HELO/EHLO, MAIL, RCPT, DATA, RSET, NOOP,
// VRFY, QUIT, with the standard sequence and syntax replies. Each accepted
// message streams into a temporary message file while DATA arrives and is
// handed to the spooler; 250 is answered only when the spooler has the
// message on stable storage. A message whose data does not end properly
// (time-out, disconnection, shutdown) is dropped, never spooled.
//
// No client can hold a session for long without mail to show for it: each
// command line and each block of message data has a deadline of its own, at
// most so many commands that move no transaction are taken in a row, a
// client that keeps failing waits longer before each reply and is closed at
// the error limit (refused recipients count), and a recipient look-up that
// the database does not answer in time is told to try later. Mail a local
// mailbox will refuse (its receive limit, or no room left) is refused while
// the sender can still be told.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CBoundedWorker.h"
#include "CClientAddress.h"
#include "CLineReader.h"
#include "CRecipientResolver.h"
#include "CReplyWriter.h"
#include "CSmtpSettings.h"
#include "ModuleVisibility.h"
#include "delivery/CLocalAccount.h"
#include "platform/UniqueFd.h"

class CAccountDatabase;
class CMailSpooler;
class MailRecipient;
class CSmtpPath;

class MODULE_LOCAL CSmtpSession {
public:
    // What every session of one listener shares; all of it outlives the sessions.
    struct Environment {
        CAccountDatabase* database = nullptr;
        CMailSpooler* spooler = nullptr;
        int stopFd = -1;                        // readable once the server stops
        std::string hostName;                   // this server's name in replies
        std::vector<std::string> machineNames;  // lower case, for local domains
    };

    static constexpr std::size_t kMaxCommandLine = 512;  // RFC 5321 4.5.3.1.4, with CR LF
    // Syntax errors and unknown commands tolerated before the connection is closed.
    static constexpr int kMaxErrors = 20;
    // Bytes of an oversized message read past the limit before giving up on it.
    static constexpr std::uint64_t kMaxDiscard = 1ull << 30;

    CSmtpSession(UniqueFd socket, const CClientAddress& client, const Environment& environment,
                 const CSmtpSettings& settings);
    ~CSmtpSession();
    CSmtpSession(const CSmtpSession&) = delete;
    CSmtpSession& operator=(const CSmtpSession&) = delete;

    // Serves the connection to its end; never throws.
    void Run();

private:
    void Serve();
    // False when the connection is to be closed.
    bool Dispatch(const std::string& line);
    void Hello(const std::string& argument, bool extended);
    // The path of a MAIL or RCPT argument; on a bad one the 501 is answered.
    bool ParsePath(const std::string& argument, const char* keyword, const char* syntax, CSmtpPath& path);
    void Mail(const std::string& argument);
    void Recipient(const std::string& argument);
    bool Data(const std::string& argument);
    void ResetTransaction();
    // Counts an error; the last one tolerated closes the session.
    void Error(int code, const std::string& text);
    // The growing wait before the reply to a client that keeps failing.
    void Tarpit();
    void CloseWith(const std::string& text);
    std::string ReceivedHeader() const;

    UniqueFd socket;
    CClientAddress client;
    const Environment& environment;
    CSmtpSettings settings;
    CLineReader reader;
    CReplyWriter writer;
    CRecipientResolver resolver;

    std::string helo;       // the client's name as it gave it (cleaned), empty before HELO
    bool extended = false;  // EHLO rather than HELO
    bool inTransaction = false;
    std::string sender;
    std::vector<std::unique_ptr<MailRecipient>> recipients;
    // What each recipient's mailbox could take when it was accepted (no
    // limit for remote recipients), in the order of recipients.
    std::vector<CLocalAccount::IncomingRoom> rooms;
    bool sizeDeclared = false;  // MAIL FROM gave SIZE=
    std::uint64_t declaredSize = 0;
    int errors = 0;
    std::uint32_t idleCommands = 0;  // since the session began or its last message
    bool closing = false;
    // Last: it is destroyed (waiting for a look-up that overran) before the
    // resolver its jobs use.
    CBoundedWorker worker;
};
