// CSmtpSession: one client connection of the SMTP server, on its own thread.
//
// It speaks the server side of RFC 5321 with the SIZE, 8BITMIME and
// PIPELINING extensions: greeting, HELO/EHLO, MAIL, RCPT, DATA, RSET, NOOP,
// VRFY, QUIT, with the standard sequence and syntax replies. Each accepted
// message streams into a temporary message file while DATA arrives and is
// handed to the spooler; 250 is answered only when the spooler has the
// message on stable storage. A message whose data does not end properly
// (time-out, disconnection, shutdown) is dropped, never spooled. Mail from
// a client that may not relay meets the filter phase (CMessageFilter)
// before the answer: refused or deferred there, it is answered so and its
// spool file goes.
//
// No client can hold a session for long without mail to show for it: each
// command line and each block of message data has a deadline of its own, at
// most so many commands that move no transaction are taken in a row, a
// client that keeps failing waits longer before each reply and is closed at
// the error limit (refused recipients count), and a recipient look-up that
// the database does not answer in time is told to try later. While the
// listener is crowded a client that has not sent MAIL gets only the short
// crowded time-out for each command. Mail a local
// mailbox will refuse (its receive limit, or no room left) is refused while
// the sender can still be told.
//
// TLS: STARTTLS (RFC 3207) when the listener has a certificate; whatever the
// client sent after the STARTTLS line is thrown away unread (plaintext
// injection), and after the handshake the session starts over as if newly
// connected (no greeting, no login). On the implicit-TLS port the handshake
// comes first. SMTP AUTH (RFC 4954): CRAM-MD5 always, PLAIN and LOGIN only
// inside TLS, checked against the accounts as the console's login checks
// them; failures are delayed and counted per address by the listener's
// login throttle, and a connection gets kMaxLoginFailures tries. An
// authenticated client may relay; the submission ports take MAIL only from
// one. Passwords never reach the log.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CBoundedWorker.h"
#include "CClientAddress.h"
#include "CLineReader.h"
#include "CListenerTls.h"
#include "CLoginThrottle.h"
#include "CRecipientResolver.h"
#include "CSessionGate.h"
#include "CReplyWriter.h"
#include "CSmtpSettings.h"
#include "ModuleVisibility.h"
#include "delivery/CLocalAccount.h"
#include "platform/UniqueFd.h"

class CAccountDatabase;
class CMailSpooler;
class MailRecipient;
class CSmtpPath;
class CSpoolDraft;
class TlsStream;

class MODULE_LOCAL CSmtpSession {
public:
    // What every session of one listener shares; all of it outlives the sessions.
    struct Environment {
        CAccountDatabase* database = nullptr;
        CMailSpooler* spooler = nullptr;
        int stopFd = -1;                        // readable once the server stops
        std::string hostName;                   // this server's name in replies
        std::vector<std::string> machineNames;  // lower case, for local domains
        const CListenerTls* tls = nullptr;      // the certificate; none or unavailable: no STARTTLS
        CLoginThrottle* throttle = nullptr;     // failed logins of every session
        const CSessionGate* gate = nullptr;     // the listener's load; none: never crowded
    };

    // What the port the client came in on asks of it.
    enum class Mode {
        Relay,        // port 25: mail for local users, relay by address or AUTH
        Submission,   // AUTH required before MAIL (RFC 6409)
        ImplicitTls,  // submission behind TLS from the first byte (RFC 8314)
    };

    static constexpr std::size_t kMaxCommandLine = 512;  // RFC 5321 4.5.3.1.4, with CR LF
    // Syntax errors and unknown commands tolerated before the connection is closed.
    static constexpr int kMaxErrors = 20;
    // Bytes of an oversized message read past the limit before giving up on it.
    static constexpr std::uint64_t kMaxDiscard = 1ull << 30;
    // Failed AUTH attempts one connection may make.
    static constexpr int kMaxLoginFailures = 3;

    CSmtpSession(UniqueFd socket, const CClientAddress& client, const Environment& environment,
                 const CSmtpSettings& settings, Mode mode = Mode::Relay);
    ~CSmtpSession();
    CSmtpSession(const CSmtpSession&) = delete;
    CSmtpSession& operator=(const CSmtpSession&) = delete;

    // Serves the connection to its end; never throws.
    void Run();

private:
    void Serve();
    // The next command line, by the command deadline, or by the crowded one
    // for a client that has not sent MAIL while the listener is crowded.
    CLineReader::Status ReadCommand(std::string& line);
    // False when the connection is to be closed.
    bool Dispatch(const std::string& line);
    void Hello(const std::string& argument, bool extended);
    // The path of a MAIL or RCPT argument; on a bad one the 501 is answered.
    bool ParsePath(const std::string& argument, const char* keyword, const char* syntax, CSmtpPath& path);
    void Mail(const std::string& argument);
    void Recipient(const std::string& argument);
    bool Data(const std::string& argument);
    void ResetTransaction();
    // STARTTLS; false when the connection is to be closed.
    bool StartTls(const std::string& argument);
    // The handshake, and the reader and writer over it; false on failure.
    bool BeginTls();
    void Authenticate(const std::string& argument);
    // Sends a 334 challenge and reads the client's answer; false (closing
    // set when the connection is gone) when no answer came.
    bool Challenge(const std::string& text, std::string& response);
    // Whether the name and password (or CRAM-MD5 digest) open an account;
    // the answer 454 already sent when the database could not tell.
    enum class Check { Valid, Invalid, Unavailable };
    Check CheckCredentials(bool cram, const std::string& user, const std::string& secret, const std::string& challenge);
    // Counts an error; the last one tolerated closes the session.
    void Error(int code, const std::string& text);
    // The growing wait before the reply to a client that keeps failing.
    void Tarpit();
    void CloseWith(const std::string& text);
    std::string ReceivedHeader() const;
    // The filter phase for a received message, when it applies to this
    // client: false when the verdict was answered already (refused,
    // deferred, discarded; the draft then goes with the transaction);
    // true to go on, the verdict's header lines on top of the draft.
    bool Filter(CSpoolDraft& draft, bool& junk);

    UniqueFd socket;
    CClientAddress client;
    const Environment& environment;
    CSmtpSettings settings;
    Mode mode;
    std::unique_ptr<TlsStream> tls;  // once the handshake is done
    CLineReader reader;
    CReplyWriter writer;
    CRecipientResolver resolver;

    std::string helo;       // the client's name as it gave it (cleaned), empty before HELO
    bool extended = false;  // EHLO rather than HELO
    bool inTransaction = false;
    // A MAIL was taken in this session: it is no longer an idle one.
    bool mailSeen = false;
    std::string sender;
    std::vector<std::unique_ptr<MailRecipient>> recipients;
    // What each recipient's mailbox could take when it was accepted (no
    // limit for remote recipients), in the order of recipients.
    std::vector<CLocalAccount::IncomingRoom> rooms;
    bool sizeDeclared = false;  // MAIL FROM gave SIZE=
    std::uint64_t declaredSize = 0;
    std::string authenticatedUser;  // empty until AUTH succeeds
    int loginFailures = 0;
    int errors = 0;
    std::uint32_t idleCommands = 0;  // since the session began or its last message
    bool closing = false;
    // Last: it is destroyed (waiting for a look-up that overran) before the
    // resolver its jobs use.
    CBoundedWorker worker;
};
