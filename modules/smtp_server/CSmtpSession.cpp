// CSmtpSession: the server side of one SMTP connection (see the header).
#include "CSmtpSession.h"

#include "CDataReceiver.h"
#include "CSmtpPath.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "spool/CMailSpooler.h"
#include "spool/MailInfo.h"
#include "spool/MailRecipient.h"
#include "spool/SpoolFile.h"
#include "foundation/DateText.h"
#include "smtp/CGeneratedMailSessions.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <exception>
#include <utility>

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool IsPrintableLine(const std::string& line) {
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) return false;
    }
    return true;
}

// The client's HELO name as it may appear in a header: a short run of the
// characters host names and address literals use.
std::string CleanHeloName(const std::string& name) {
    std::string clean;
    for (char c : name) {
        if (clean.size() >= 64) break;
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && (std::isalnum(u) || c == '.' || c == '-' || c == '_' || c == ':' || c == '[' || c == ']'))
            clean += c;
    }
    return clean.empty() ? "unknown" : clean;
}

int TimeoutMs(const CSmtpSettings& settings) {
    return static_cast<int>(settings.timeoutSeconds * 1000u);
}

}  // namespace

CSmtpSession::CSmtpSession(UniqueFd socket, const CClientAddress& client, const Environment& environment,
                           const CSmtpSettings& settings)
    : socket(std::move(socket)),
      client(client),
      environment(environment),
      settings(settings),
      reader(this->socket.Get(), environment.stopFd, kMaxCommandLine, TimeoutMs(settings)),
      writer(this->socket.Get(), environment.stopFd, TimeoutMs(settings)),
      resolver(environment.database, client, settings.ipBlocking, environment.machineNames) {}

CSmtpSession::~CSmtpSession() = default;

void CSmtpSession::Run() {
    try {
        Serve();
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("SMTP session error: ") + error.what());
    } catch (...) {
        g_moduleLog.Write("SMTP session error: unknown exception");
    }
}

void CSmtpSession::Serve() {
    writer.Reply(220, environment.hostName + " ESMTP Velmora ready");
    std::string line;
    while (!closing) {
        // Replies wait while more pipelined commands are already here.
        if (!reader.HasCompleteLine() && !writer.Flush()) return;
        switch (reader.ReadLine(line)) {
            case CLineReader::Status::Ok:
                if (!Dispatch(line)) closing = true;
                break;
            case CLineReader::Status::TooLong:
                Error(500, "Line too long");
                break;
            case CLineReader::Status::TimedOut:
                CloseWith("Timeout, closing connection");
                return;
            case CLineReader::Status::Stopped:
                CloseWith("Service shutting down, closing connection");
                return;
            case CLineReader::Status::Closed:
            case CLineReader::Status::Failed:
                return;
        }
    }
    writer.Flush();
}

void CSmtpSession::CloseWith(const std::string& text) {
    writer.Reply(421, environment.hostName + " " + text);
    writer.Flush();
    closing = true;
}

void CSmtpSession::Error(int code, const std::string& text) {
    // The last error the session tolerates is answered by closing it.
    if (++errors >= kMaxErrors)
        CloseWith("Too many errors, closing connection");
    else
        writer.Reply(code, text);
}

void CSmtpSession::ResetTransaction() {
    inTransaction = false;
    sender.clear();
    recipients.clear();
}

bool CSmtpSession::Dispatch(const std::string& line) {
    if (!IsPrintableLine(line)) {
        Error(500, "Syntax error, command unrecognized");
        return !closing;
    }
    const std::size_t space = line.find(' ');
    const std::string verb = Upper(line.substr(0, space));
    const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);

    if (verb == "HELO" || verb == "EHLO") {
        Hello(argument, verb == "EHLO");
    } else if (verb == "MAIL") {
        Mail(argument);
    } else if (verb == "RCPT") {
        Recipient(argument);
    } else if (verb == "DATA") {
        return Data(argument) && !closing;
    } else if (verb == "RSET") {
        if (!argument.empty()) {
            Error(501, "Syntax: RSET");
        } else {
            ResetTransaction();
            writer.Reply(250, "OK");
        }
    } else if (verb == "NOOP") {
        writer.Reply(250, "OK");
    } else if (verb == "VRFY") {
        if (argument.empty())
            Error(501, "Syntax: VRFY <address>");
        else
            writer.Reply(252, "Cannot VRFY user, but will accept message and attempt delivery");
    } else if (verb == "QUIT") {
        writer.Reply(221, environment.hostName + " closing connection");
        return false;
    } else if (verb == "HELP") {
        writer.Reply(214, "Commands: HELO EHLO MAIL RCPT DATA RSET NOOP VRFY QUIT");
    } else if (verb == "EXPN" || verb == "STARTTLS" || verb == "AUTH" || verb == "BDAT" || verb == "ETRN" ||
               verb == "TURN") {
        Error(502, "Command not implemented");
    } else {
        Error(500, "Syntax error, command unrecognized");
    }
    return !closing;
}

void CSmtpSession::Hello(const std::string& argument, bool isExtended) {
    std::string name = argument.substr(0, argument.find(' '));
    if (name.empty()) {
        Error(501, isExtended ? "Syntax: EHLO hostname" : "Syntax: HELO hostname");
        return;
    }
    // A new greeting starts over, as RSET does.
    ResetTransaction();
    helo = CleanHeloName(name);
    extended = isExtended;
    if (!isExtended) {
        writer.Reply(250, environment.hostName);
        return;
    }
    writer.Reply(250, environment.hostName + " greets " + helo, true);
    writer.Reply(250, "SIZE " + std::to_string(settings.maxMessageSize), true);
    writer.Reply(250, "8BITMIME", true);
    writer.Reply(250, "PIPELINING");
}

bool CSmtpSession::ParsePath(const std::string& argument, const char* keyword, const char* syntax, CSmtpPath& path) {
    switch (path.Parse(argument, keyword)) {
        case CSmtpPath::Status::Ok:
            return true;
        case CSmtpPath::Status::TooLong:
            Error(501, "Path too long");
            return false;
        case CSmtpPath::Status::BadSyntax:
            break;
    }
    Error(501, syntax);
    return false;
}

void CSmtpSession::Mail(const std::string& argument) {
    if (helo.empty()) {
        Error(503, "Send HELO/EHLO first");
        return;
    }
    if (inTransaction) {
        Error(503, "Sender already specified");
        return;
    }
    CSmtpPath path;
    if (!ParsePath(argument, "FROM:", "Syntax: MAIL FROM:<address>", path)) return;
    std::string_view list = path.Parameters();
    std::string keyword, value;
    while (CSmtpPath::NextParameter(list, keyword, value)) {
        if (!extended) {
            Error(555, "MAIL FROM parameters not recognized or not implemented");
            return;
        }
        if (keyword == "SIZE") {
            if (value.empty() || value.size() > 20 || value.find_first_not_of("0123456789") != std::string::npos) {
                Error(501, "Syntax error in SIZE parameter");
                return;
            }
            // At most 20 digits: anything longer than 19 is over the limit anyway.
            if (value.size() > 19 || std::stoull(value) > settings.maxMessageSize) {
                writer.Reply(552, "Message size exceeds fixed maximum message size");
                return;
            }
        } else if (keyword == "BODY") {
            const std::string body = Upper(value);
            if (body != "7BIT" && body != "8BITMIME") {
                Error(501, "Syntax error in BODY parameter");
                return;
            }
        } else {
            Error(555, "MAIL FROM parameters not recognized or not implemented");
            return;
        }
    }
    sender = path.Address();
    inTransaction = true;
    writer.Reply(250, "OK");
}

void CSmtpSession::Recipient(const std::string& argument) {
    if (!inTransaction) {
        Error(503, "Need MAIL before RCPT");
        return;
    }
    // More and the spool would hand the whole message to the postmaster.
    if (recipients.size() >= spool::kMaxRecipients) {
        writer.Reply(452, "Too many recipients");
        return;
    }
    CSmtpPath path;
    if (!ParsePath(argument, "TO:", "Syntax: RCPT TO:<address>", path)) return;
    if (path.IsNull()) {
        Error(501, "Syntax: RCPT TO:<address>");
        return;
    }
    if (!path.Parameters().empty()) {
        Error(555, "RCPT TO parameters not recognized or not implemented");
        return;
    }
    // Only the postmaster may be addressed without a domain (RFC 5321 4.5.1).
    if (path.Domain().empty() && Upper(path.LocalPart()) != "POSTMASTER") {
        Error(501, "Recipient address needs a domain");
        return;
    }
    CRecipientResolver::Decision decision = resolver.Resolve(path.LocalPart(), path.Domain());
    if (decision.code == 250 && decision.recipient) recipients.push_back(std::move(decision.recipient));
    writer.Reply(decision.code, decision.text);
}

std::string CSmtpSession::ReceivedHeader() const {
    const std::string address = client.Text();
    const std::string literal = client.IsIPv4() ? "[" + address + "]" : "[IPv6:" + address + "]";
    return "Received: from " + helo + " (" + literal + ")\r\n\tby " + environment.hostName + " (Velmora) with " +
           (extended ? "ESMTP" : "SMTP") + ";\r\n\t" + MailDateText(std::time(nullptr)) + "\r\n";
}

bool CSmtpSession::Data(const std::string& argument) {
    if (!inTransaction) {
        Error(503, "Need MAIL command");
        return true;
    }
    if (recipients.empty()) {
        writer.Reply(554, "No valid recipients");
        return true;
    }
    if (!argument.empty()) {
        Error(501, "Syntax: DATA");
        return true;
    }
    auto content = std::make_unique<CTempMailContent>();
    const std::string received = ReceivedHeader();
    if (!environment.spooler || !content->Open() ||
        !content->Write(received.data(), static_cast<std::uint32_t>(received.size()))) {
        g_moduleLog.Write("SMTP session: no temporary message file");
        writer.Reply(451, "Requested action aborted: local error in processing");
        ResetTransaction();
        return true;
    }
    CDataReceiver receiver(*content, settings.maxMessageSize);
    writer.Reply(354, "End data with <CR><LF>.<CR><LF>");
    if (!writer.Flush()) return false;
    while (!receiver.Complete()) {
        switch (reader.Fill()) {
            case CLineReader::Status::Ok:
                break;
            case CLineReader::Status::TimedOut:
                CloseWith("Timeout, closing connection");
                return false;
            case CLineReader::Status::Stopped:
                CloseWith("Service shutting down, closing connection");
                return false;
            default:
                return false;  // gone mid-message: nothing is spooled
        }
        const std::string_view data = reader.Buffered();
        reader.Consume(receiver.Feed(data.data(), data.size()));
        if (receiver.DiscardedSize() > kMaxDiscard) {
            CloseWith("Message far too large, closing connection");
            return false;
        }
    }
    if (receiver.Overflowed()) {
        ResetTransaction();
        writer.Reply(552, "Message size exceeds fixed maximum message size");
        return true;
    }
    if (!receiver.Finish()) {
        g_moduleLog.Write("SMTP session: writing the temporary message file failed");
        ResetTransaction();
        writer.Reply(451, "Requested action aborted: local error in processing");
        return true;
    }
    auto info = std::make_unique<MailInfo>();
    info->sender = sender;
    info->recipients = std::move(recipients);
    info->content = std::move(content);
    info->DotsCount = receiver.DotsCount();
    // What the server generates because of this message may go out only for
    // a client that may relay; the engine's own re-injected mail never may.
    info->mayRelay = resolver.MayRelay() && !CGeneratedMailSessions::IsGeneratedMailSession(socket.Get());
    ResetTransaction();
    // The spooler owns the message from here, whatever its answer.
    const int saved = environment.spooler->InsertMail(info.release());
    if (saved == 1) {
        writer.Reply(250, "OK: queued");
    } else {
        g_moduleLog.Write("SMTP session: the spooler refused a message");
        writer.Reply(451, "Requested action aborted: local error in processing");
    }
    return true;
}
