// CSmtpSession: one client connection of the SMTP server, on its own thread.
//
// It speaks the server side of RFC 5321 with the SIZE, 8BITMIME and
// PIPELINING extensions: greeting, HELO/EHLO, MAIL, RCPT, DATA, RSET, NOOP,
// VRFY, QUIT, with the standard sequence and syntax replies. Each accepted
// message streams into a temporary message file while DATA arrives and is
// handed to the spooler; 250 is answered only when the spooler has the
// message on stable storage. A message whose data does not end properly
// (time-out, disconnection, shutdown) is dropped, never spooled.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CClientAddress.h"
#include "CLineReader.h"
#include "CRecipientResolver.h"
#include "CReplyWriter.h"
#include "CSmtpSettings.h"
#include "ModuleVisibility.h"
#include "platform/UniqueFd.h"

class CAccountDatabase;
class CMailSpooler;
class MailRecipient;
class CSmtpPath;

class SMTPD_LOCAL CSmtpSession {
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
    void Error(int code, const std::string& text);
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
    int errors = 0;
    bool closing = false;
};
