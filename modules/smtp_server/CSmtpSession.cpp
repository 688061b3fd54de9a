// CSmtpSession: the server side of one SMTP connection.
#include "CSmtpSession.h"

#include "foundation/CAccountRows.h"
#include "CDataReceiver.h"
#include "CSmtpAuthentication.h"
#include "CSmtpCommand.h"
#include "CSmtpPath.h"
#include "filter/CMessageFilter.h"
#include "foundation/CModuleLog.h"
#include "foundation/COwnNames.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "spool/CSpoolDraft.h"
#include "spool/CMailSpooler.h"
#include "spool/MailInfo.h"
#include "spool/MailRecipient.h"
#include "spool/SpoolFile.h"
#include "foundation/CMailDatabase.h"
#include "foundation/DateText.h"
#include "message/CBase64Encoder.h"
#include "platform/Text.h"
#include "platform/TlsStream.h"
#include "smtp/CGeneratedMailSessions.h"

#include <poll.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <utility>

namespace {

// Room kept free on the spool's disk beyond a message's declared size, for
// the messages being received and for delivery's copies of them.
constexpr std::uint64_t kSpoolReserveBytes = 64ull << 20;

bool SpoolHasRoom(std::uint64_t declaredSize) {
    struct statvfs disk {};
    // A disk that cannot be asked is not refused for it.
    if (::statvfs(spool::kSpoolDirectory, &disk) != 0) return true;
    const std::uint64_t free = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
    return free >= kSpoolReserveBytes + declaredSize;
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

const char* MechanismName(CSmtpAuthentication::Mechanism mechanism) {
    switch (mechanism) {
        case CSmtpAuthentication::Mechanism::Plain:
            return "PLAIN";
        case CSmtpAuthentication::Mechanism::Login:
            return "LOGIN";
        case CSmtpAuthentication::Mechanism::CramMd5:
            return "CRAM-MD5";
        case CSmtpAuthentication::Mechanism::Unknown:
            break;
    }
    return "?";
}

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

}  // namespace

CSmtpSession::CSmtpSession(UniqueFd socket, const CClientAddress& client, const Environment& environment,
                           const CSmtpSettings& settings, Mode mode)
    : socket(std::move(socket)),
      client(client),
      environment(environment),
      settings(settings),
      mode(mode),
      reader(this->socket.Get(), environment.stopFd, kMaxCommandLine, settings.commandTimeoutMs),
      writer(this->socket.Get(), environment.stopFd, settings.commandTimeoutMs),
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
    if (tls) tls->Shutdown();
}

void CSmtpSession::Serve() {
    if (mode == Mode::ImplicitTls && !BeginTls()) return;
    writer.Reply(220, environment.hostName + " ESMTP Velmora ready");
    std::string line;
    while (!closing) {
        // Replies wait while more pipelined commands are already here.
        if (!reader.HasCompleteLine() && !writer.Flush()) return;
        switch (ReadCommand(line)) {
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

CLineReader::Status CSmtpSession::ReadCommand(std::string& line) {
    if (mailSeen || !environment.gate || settings.crowdedTimeoutMs >= settings.commandTimeoutMs)
        return reader.ReadLine(line);
    // The listener may fill while the client idles: the wait goes in slices
    // of the crowded time-out, each of which looks at the load again.
    const Clock::time_point start = Clock::now();
    const Clock::time_point last = start + Milliseconds(settings.commandTimeoutMs);
    const Clock::time_point crowdedLast = start + Milliseconds(settings.crowdedTimeoutMs);
    for (;;) {
        const bool crowded = environment.gate->Crowded();
        const Clock::time_point deadline =
            crowded ? crowdedLast : std::min(last, Clock::now() + Milliseconds(settings.crowdedTimeoutMs));
        const CLineReader::Status status = reader.ReadLine(line, deadline);
        if (status != CLineReader::Status::TimedOut || crowded || deadline >= last) return status;
    }
}

void CSmtpSession::CloseWith(const std::string& text) {
    writer.Reply(421, environment.hostName + " " + text);
    writer.Flush();
    closing = true;
}

void CSmtpSession::Error(int code, const std::string& text) {
    // The last error the session tolerates is answered by closing it.
    if (++errors >= kMaxErrors) {
        CloseWith("Too many errors, closing connection");
        return;
    }
    Tarpit();
    writer.Reply(code, text);
}

void CSmtpSession::Tarpit() {
    const int over = errors - CSmtpSettings::kTarpitAfterErrors;
    // The machine itself (its own tools, the engine's notices) is not slowed
    // down; the error limit still holds for it.
    if (over < 0 || settings.tarpitStepMs <= 0 || client.Classify() == CClientAddress::Network::Loopback) return;
    const long long delay = std::min(static_cast<long long>(over + 1) * settings.tarpitStepMs,
                                     static_cast<long long>(settings.tarpitCapMs));
    if (delay <= 0) return;
    // What is answered so far goes out first; the server's stop ends the wait
    // (the next read sees it).
    writer.Flush();
    pollfd stop{environment.stopFd, POLLIN, 0};
    ::poll(&stop, environment.stopFd >= 0 ? 1 : 0, static_cast<int>(delay));
}

void CSmtpSession::ResetTransaction() {
    inTransaction = false;
    sender.clear();
    recipients.clear();
    rooms.clear();
    sizeDeclared = false;
    declaredSize = 0;
}

bool CSmtpSession::Dispatch(const std::string& line) {
    const CSmtpCommand command = CSmtpCommand::Parse(line);
    const std::string& argument = command.Argument();
    // Talk without mail has a limit of its own: only a transaction resets it.
    if (command.IsIdle() && ++idleCommands > settings.maxIdleCommands) {
        CloseWith("Too many commands without mail, closing connection");
        return false;
    }
    using Verb = CSmtpCommand::Verb;
    switch (command.GetVerb()) {
        case Verb::Helo:
        case Verb::Ehlo:
            Hello(argument, command.GetVerb() == Verb::Ehlo);
            break;
        case Verb::Mail:
            Mail(argument);
            break;
        case Verb::Rcpt:
            Recipient(argument);
            break;
        case Verb::Data:
            return Data(argument) && !closing;
        case Verb::Rset:
            if (!argument.empty()) {
                Error(501, "Syntax: RSET");
            } else {
                ResetTransaction();
                writer.Reply(250, "OK");
            }
            break;
        case Verb::Noop:
            writer.Reply(250, "OK");
            break;
        case Verb::Vrfy:
            if (argument.empty())
                Error(501, "Syntax: VRFY <address>");
            else
                writer.Reply(252, "Cannot VRFY user, but will accept message and attempt delivery");
            break;
        case Verb::Quit:
            writer.Reply(221, environment.hostName + " closing connection");
            return false;
        case Verb::Starttls:
            return StartTls(argument) && !closing;
        case Verb::Auth:
            Authenticate(argument);
            break;
        case Verb::Help:
            writer.Reply(214, "Commands: HELO EHLO STARTTLS AUTH MAIL RCPT DATA RSET NOOP VRFY QUIT");
            break;
        case Verb::Expn:
        case Verb::NotImplemented:
            Error(502, "Command not implemented");
            break;
        case Verb::Unknown:
        case Verb::Malformed:
            Error(500, "Syntax error, command unrecognized");
            break;
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
    if (!tls && environment.tls && environment.tls->Available()) writer.Reply(250, "STARTTLS", true);
    // Clear-text passwords only where nobody can read them on the way.
    writer.Reply(250, tls ? "AUTH PLAIN LOGIN CRAM-MD5" : "AUTH CRAM-MD5", true);
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
    if (mode != Mode::Relay && authenticatedUser.empty()) {
        Error(530, "5.7.0 Authentication required");
        return;
    }
    CSmtpPath path;
    if (!ParsePath(argument, "FROM:", "Syntax: MAIL FROM:<address>", path)) return;
    std::string_view list = path.Parameters();
    std::string keyword, value;
    bool declared = false;
    std::uint64_t size = 0;
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
            // At most 20 digits: anything longer than 19 is over the limit
            // anyway, and 19 digits always fit the number.
            size = value.size() > 19 ? UINT64_MAX : std::stoull(value);
            if (size > settings.maxMessageSize) {
                writer.Reply(552, "Message size exceeds fixed maximum message size");
                return;
            }
            declared = true;
        } else if (keyword == "BODY") {
            const std::string body = UpperCase(value);
            if (body != "7BIT" && body != "8BITMIME") {
                Error(501, "Syntax error in BODY parameter");
                return;
            }
        } else {
            Error(555, "MAIL FROM parameters not recognized or not implemented");
            return;
        }
    }
    // The spool is the buffer between intake and delivery: a disk about to
    // fill defers new mail (the client tries again) before a message is cut
    // off in its data or delivery has nowhere to store.
    if (!SpoolHasRoom(declared ? size : 0)) {
        g_moduleLog.Write("SMTP: mail deferred, the spool's disk is nearly full");
        writer.Reply(452, "4.3.1 Insufficient system storage, try again later");
        return;
    }
    sender = path.Address();
    sizeDeclared = declared;
    declaredSize = size;
    inTransaction = true;
    mailSeen = true;
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
    if (path.Domain().empty() && !EqualsNoCase(path.LocalPart(), "POSTMASTER")) {
        Error(501, "Recipient address needs a domain");
        return;
    }
    // The look-up runs on the worker and owns what it makes: when the
    // database keeps it past the bound, the client is answered and the
    // look-up ends on its own.
    struct Lookup {
        CRecipientResolver::Decision decision;
        CLocalAccount::IncomingRoom room;
        bool done = false;
    };
    // Still held up by the last one: the answer is the same, without the wait.
    if (worker.Busy()) {
        writer.Reply(451, "4.3.0 Recipient lookup timed out, try again later");
        return;
    }
    auto lookup = std::make_shared<Lookup>();
    CRecipientResolver* const resolving = &resolver;
    const bool answered = worker.Run(
        [lookup, resolving, localPart = path.LocalPart(), domain = path.Domain()] {
            lookup->decision = resolving->Resolve(localPart, domain);
            if (lookup->decision.code == 250 && lookup->decision.recipient && lookup->decision.recipient->account)
                lookup->room = lookup->decision.recipient->account->GetIncomingRoom();
            lookup->done = true;
        },
        Milliseconds(settings.databaseWaitMs));
    if (!answered || !lookup->done) {
        g_moduleLog.Write("SMTP session: no answer from the account database within " +
                          std::to_string(settings.databaseWaitMs) + " ms; RCPT from " + client.Text() +
                          " told to try later");
        writer.Reply(451, "4.3.0 Recipient lookup timed out, try again later");
        return;
    }
    CRecipientResolver::Decision& decision = lookup->decision;
    if (decision.code == 550 || decision.code == 554) {
        // Refused recipients are errors: probing for accounts ends at the limit.
        Error(decision.code, decision.text);
        return;
    }
    if (decision.code != 250 || !decision.recipient) {
        writer.Reply(decision.code, decision.text);
        return;
    }
    // Without SIZE only a mailbox with no room left is sure to refuse; with
    // it, the size as it will be stored (our Received line included).
    const std::uint64_t size = sizeDeclared ? declaredSize + ReceivedHeader().size() : 1;
    switch (lookup->room.Check(size)) {
        case CLocalAccount::IncomingRoom::Verdict::OverReceiveLimit:
            writer.Reply(552, "5.2.3 Message exceeds the recipient's size limit");
            return;
        case CLocalAccount::IncomingRoom::Verdict::OverMailboxLimit:
            // No deletion makes room for it: trying later would not help.
            writer.Reply(552, "5.2.2 Message exceeds the recipient's mailbox size");
            return;
        case CLocalAccount::IncomingRoom::Verdict::MailboxFull:
            writer.Reply(452, "4.2.2 Mailbox full, try again later");
            return;
        case CLocalAccount::IncomingRoom::Verdict::Fits:
            break;
    }
    recipients.push_back(std::move(decision.recipient));
    rooms.push_back(lookup->room);
    writer.Reply(250, decision.text);
}

std::string CSmtpSession::ReceivedHeader() const {
    const std::string address = client.Text();
    const std::string literal = client.IsIPv4() ? "[" + address + "]" : "[IPv6:" + address + "]";
    // RFC 3848: S for TLS, A for an authenticated client; the comment says
    // which login and which cipher.
    std::string with = extended ? "ESMTP" : "SMTP";
    std::string comment;
    if (extended && tls) with += "S";
    if (extended && !authenticatedUser.empty()) {
        with += "A";
        comment = "authenticated as " + authenticatedUser;
    }
    if (tls) comment += (comment.empty() ? "" : "; ") + tls->Description();
    if (!comment.empty()) with += " (" + comment + ")";
    return "Received: from " + helo + " (" + literal + ")\r\n\tby " + environment.hostName + " (Velmora) with " + with +
           ";\r\n\t" + MailDateText(std::time(nullptr)) + "\r\n";
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
    // The message goes straight into its spool file, whose record the
    // sender and recipients already make.
    std::unique_ptr<CMailContent> content;
    CSpoolDraft* draft = nullptr;
    if (environment.spooler) {
        std::unique_ptr<CSpoolDraft> started =
            CSpoolDraft::Begin(environment.spooler->GetDirectory(), sender, recipients);
        draft = started.get();
        content = std::move(started);
    }
    const std::string received = ReceivedHeader();
    if (!content || !content->Open() || !content->Write(received.data(), static_cast<std::uint32_t>(received.size()))) {
        g_moduleLog.Write("SMTP session: the spool file for the message could not be started");
        writer.Reply(451, "Requested action aborted: local error in processing");
        ResetTransaction();
        return true;
    }
    CDataReceiver receiver(*content, settings.maxMessageSize);
    writer.Reply(354, "End data with <CR><LF>.<CR><LF>");
    if (!writer.Flush()) return false;
    // One deadline for each block of data and one for the whole of it;
    // neither moves for a client that trickles a byte at a time.
    const Clock::time_point dataDeadline = Clock::now() + Milliseconds(settings.dataTimeoutMs);
    Clock::time_point blockDeadline = Clock::now() + Milliseconds(settings.dataBlockTimeoutMs);
    std::size_t blockBytes = 0;
    while (!receiver.Complete()) {
        switch (reader.Fill(std::min(blockDeadline, dataDeadline))) {
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
        const std::size_t used = receiver.Feed(data.data(), data.size());
        reader.Consume(used);
        blockBytes += used;
        if (blockBytes >= CDataReceiver::kBlockSize) {
            blockBytes %= CDataReceiver::kBlockSize;
            blockDeadline = Clock::now() + Milliseconds(settings.dataBlockTimeoutMs);
        }
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
        g_moduleLog.Write("SMTP session: writing the message into its spool file failed");
        ResetTransaction();
        writer.Reply(451, "Requested action aborted: local error in processing");
        return true;
    }
    // The recipients were taken on the size declared, or on none. Refused
    // here is only a message that no recipient would store: one that some
    // take is accepted, and the others' refusals go the way of delivery's
    // own notices. Remote recipients have no limit here. The rooms are
    // those of RCPT time: no look-up now can keep the client waiting.
    const std::uint64_t length = content->GetLength();
    bool stored = false, full = false;
    for (const CLocalAccount::IncomingRoom& room : rooms) {
        const CLocalAccount::IncomingRoom::Verdict verdict = room.Check(length);
        stored |= verdict == CLocalAccount::IncomingRoom::Verdict::Fits;
        full |= verdict == CLocalAccount::IncomingRoom::Verdict::MailboxFull ||
                verdict == CLocalAccount::IncomingRoom::Verdict::OverMailboxLimit;
    }
    if (!stored) {
        ResetTransaction();
        writer.Reply(552, full ? "5.2.2 Mailbox full" : "5.2.3 Message exceeds the recipients' size limits");
        return true;
    }
    bool junk = false;
    if (!Filter(*draft, junk)) return true;
    auto info = std::make_unique<MailInfo>();
    info->sender = sender;
    info->junk = junk;
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
        idleCommands = 0;
        writer.Reply(250, "OK: queued");
    } else {
        g_moduleLog.Write("SMTP session: the spooler refused a message");
        writer.Reply(451, "Requested action aborted: local error in processing");
    }
    return true;
}

bool CSmtpSession::Filter(CSpoolDraft& draft, bool& junk) {
    // Clients that may relay (authenticated ones, the relay ranges, the
    // machine itself) are not filtered unless the office asks for it; the
    // engine's own generated mail never is.
    if (CGeneratedMailSessions::IsGeneratedMailSession(socket.Get())) return true;
    // Mail fetched from remote mailboxes comes from loopback but is outside mail.
    const bool fetched = CGeneratedMailSessions::IsFetchedMailSession(socket.Get());
    const std::uint32_t relayFiltered = settings::Dword{settings::kFilter, "Filter Relay Clients"}.Value();
    if (!fetched && relayFiltered != 1 && (resolver.MayRelay() || !authenticatedUser.empty())) return true;
    const std::unique_ptr<CMessageFilter> filter = CMessageFilter::FromSettings();
    if (!filter) return true;
    CMessageFilter::Request request;
    // Of fetched mail neither the address nor the greeting is the sender's.
    request.clientAddress = fetched ? std::string() : client.Text();
    request.helo = fetched ? std::string() : helo;
    request.sender = sender;
    for (const auto& recipient : recipients)
        if (recipient) request.recipients.push_back(recipient->user + "@" + recipient->domain);
    request.user = authenticatedUser;
    request.queueId = draft.QueueId();
    request.serverName = COwnNames::Domain();
    if (request.serverName.empty()) request.serverName = environment.hostName;
    const FilterVerdict verdict = filter->Check(request, draft);
    switch (verdict.action) {
        case FilterVerdict::Action::Refuse:
        case FilterVerdict::Action::Defer:
            // The draft goes with the transaction: nothing is kept, nothing bounces.
            ResetTransaction();
            writer.Reply(verdict.code, verdict.text);
            return false;
        case FilterVerdict::Action::Discard:
            ResetTransaction();
            idleCommands = 0;
            writer.Reply(250, "OK: queued");
            return false;
        case FilterVerdict::Action::Junk:
            junk = true;
            break;
        case FilterVerdict::Action::Accept:
            break;
    }
    // This server's name in an Authentication-Results field from outside
    // would pass for its own verdict.
    std::vector<std::string> ownNames = environment.machineNames;
    ownNames.push_back(FoldCase(request.serverName));
    if (!draft.Rewrite(verdict.HeaderBlock(), ownNames)) {
        g_moduleLog.Write("SMTP session: the filter's header lines could not be added to " + request.queueId);
        ResetTransaction();
        writer.Reply(451, "Requested action aborted: local error in processing");
        return false;
    }
    return true;
}

bool CSmtpSession::BeginTls() {
    if (!environment.tls || !environment.tls->Available()) return false;
    // The handshake has a command's time to finish.
    tls = environment.tls->Secure(socket.Get(), environment.stopFd, settings.commandTimeoutMs, client, reader, writer);
    return tls != nullptr;
}

bool CSmtpSession::StartTls(const std::string& argument) {
    if (tls) {
        Error(503, "5.5.1 TLS already active");
        return true;
    }
    if (!environment.tls || !environment.tls->Available()) {
        writer.Reply(454, "4.7.0 TLS not available due to temporary reason");
        return true;
    }
    if (!argument.empty()) {
        Error(501, "5.5.4 Syntax: STARTTLS");
        return true;
    }
    // Commands pipelined behind STARTTLS were sent in the clear and must
    // never be taken as sent inside TLS: they are dropped unanswered.
    const std::size_t dropped = reader.DiscardBuffered();
    if (dropped > 0)
        g_moduleLog.Write("SMTP STARTTLS from " + client.Text() + ": " + std::to_string(dropped) +
                          " bytes sent ahead of the handshake discarded");
    writer.Reply(220, "2.0.0 Ready to start TLS");
    if (!writer.Flush() || !BeginTls()) return false;
    // Nothing learnt before the handshake holds (RFC 3207 4.2).
    ResetTransaction();
    helo.clear();
    extended = false;
    authenticatedUser.clear();
    resolver.SetAuthenticated(false);
    return true;
}

bool CSmtpSession::Challenge(const std::string& text, std::string& response) {
    writer.Reply(334, text);
    if (!writer.Flush()) {
        closing = true;
        return false;
    }
    switch (reader.ReadLine(response)) {
        case CLineReader::Status::Ok:
            return true;
        case CLineReader::Status::TooLong:
            Error(500, "5.5.6 Authentication exchange line is too long");
            return false;
        case CLineReader::Status::TimedOut:
            CloseWith("Timeout, closing connection");
            return false;
        case CLineReader::Status::Stopped:
            CloseWith("Service shutting down, closing connection");
            return false;
        case CLineReader::Status::Closed:
        case CLineReader::Status::Failed:
            break;
    }
    closing = true;
    return false;
}

CSmtpSession::Check CSmtpSession::CheckCredentials(bool cram, const std::string& user, const std::string& secret,
                                                   const std::string& challenge) {
    using Result = CAccountRows::LoginResult;
    Result result = Result::Failed;
    if (environment.database) {
        const SQLHDBC connection = environment.database->GetConnectionHandle();
        if (cram) {
            std::string password;
            result = CAccountRows::StoredPassword(connection, user, password);
            const bool known = result == Result::Administrator || result == Result::User;
            if (known && (password.empty() || !CSmtpAuthentication::CramMatches(challenge, password, secret)))
                result = Result::WrongPassword;
        } else {
            result = CAccountRows::CheckLogin(connection, user, secret);
        }
    }
    switch (result) {
        case Result::Administrator:
        case Result::User:
            return Check::Valid;
        case Result::Failed:
            writer.Reply(454, "4.7.0 Temporary authentication failure");
            return Check::Unavailable;
        case Result::UnknownName:
        case Result::WrongPassword:
            break;
    }
    return Check::Invalid;
}

void CSmtpSession::Authenticate(const std::string& argument) {
    using Mechanism = CSmtpAuthentication::Mechanism;
    if (!extended) {
        Error(503, "5.5.1 Send EHLO first");
        return;
    }
    if (!authenticatedUser.empty()) {
        Error(503, "5.5.1 Already authenticated");
        return;
    }
    if (inTransaction) {
        Error(503, "5.5.1 AUTH not permitted during a mail transaction");
        return;
    }
    std::string name, response;
    CSmtpAuthentication::SplitArgument(argument, name, response);
    const Mechanism mechanism = CSmtpAuthentication::ParseMechanism(name);
    if (mechanism == Mechanism::Unknown) {
        Error(504, "5.5.4 Unrecognized authentication type");
        return;
    }
    if (mechanism != Mechanism::CramMd5 && !tls) {
        Error(538, "5.7.11 Encryption required for requested authentication mechanism");
        return;
    }
    if (environment.throttle && environment.throttle->IsLocked(client, settings.login)) {
        CloseWith("Too many failed logins, try again later");
        return;
    }
    // "=" is an empty initial response (RFC 4954 4); none at all asks for one.
    const bool hasInitial = !response.empty();
    if (response == "=") response.clear();
    std::string user, secret, challenge;
    bool decoded = false;
    switch (mechanism) {
        case Mechanism::Plain:
            if (!hasInitial && !Challenge("", response)) return;
            decoded =
                !CSmtpAuthentication::IsCancel(response) && CSmtpAuthentication::DecodePlain(response, user, secret);
            break;
        case Mechanism::Login:
            if (!hasInitial && !Challenge("VXNlcm5hbWU6", response)) return;  // "Username:"
            decoded = !CSmtpAuthentication::IsCancel(response) &&
                      CSmtpAuthentication::DecodeLoginLine(response, user, CSmtpAuthentication::kMaxName);
            if (!decoded) break;
            if (!Challenge("UGFzc3dvcmQ6", response)) return;  // "Password:"
            decoded = !CSmtpAuthentication::IsCancel(response) &&
                      CSmtpAuthentication::DecodeLoginLine(response, secret, CSmtpAuthentication::kMaxPassword);
            break;
        case Mechanism::CramMd5:
            if (hasInitial) break;  // the server speaks first in CRAM-MD5
            challenge = CSmtpAuthentication::Challenge(environment.hostName);
            if (!Challenge(CBase64Encoder().Encode(challenge), response)) return;
            decoded = !CSmtpAuthentication::IsCancel(response) &&
                      CSmtpAuthentication::DecodeCramResponse(response, user, secret);
            break;
        case Mechanism::Unknown:
            break;
    }
    if (!decoded) {
        Error(501, CSmtpAuthentication::IsCancel(response) ? "5.7.0 Authentication cancelled"
                                                           : "5.5.2 Cannot decode the authentication response");
        return;
    }
    const std::string who = CModuleLog::ClientName(user);
    const Check check = CheckCredentials(mechanism == Mechanism::CramMd5, user, secret, challenge);
    secret.assign(secret.size(), '\0');
    if (check == Check::Unavailable) return;
    if (check == Check::Valid) {
        if (environment.throttle) environment.throttle->Succeeded(client);
        authenticatedUser = user;
        resolver.SetAuthenticated(true);
        g_moduleLog.Write(std::string("SMTP AUTH ") + MechanismName(mechanism) + " of " + who + " from " +
                          client.Text());
        writer.Reply(235, "2.7.0 Authentication successful");
        return;
    }
    g_moduleLog.Write(std::string("SMTP AUTH ") + MechanismName(mechanism) + " of " + who + " from " + client.Text() +
                      " failed");
    // The wait comes before the answer, so a guesser learns nothing sooner;
    // the server's stop ends it.
    const auto wait =
        environment.throttle ? environment.throttle->Failed(client, settings.login) : std::chrono::milliseconds(0);
    writer.Flush();
    pollfd stop{environment.stopFd, POLLIN, 0};
    if (wait.count() > 0) ::poll(&stop, environment.stopFd >= 0 ? 1 : 0, static_cast<int>(wait.count()));
    if (++loginFailures >= kMaxLoginFailures) {
        writer.Reply(535, "5.7.8 Authentication credentials invalid");
        CloseWith("Too many failed logins, closing connection");
        return;
    }
    writer.Reply(535, "5.7.8 Authentication credentials invalid");
}
