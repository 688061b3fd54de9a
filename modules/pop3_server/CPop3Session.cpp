// CPop3Session: the server side of one POP3 connection.
#include "CPop3Session.h"

#include "foundation/CAccountRows.h"
#include "CDotStuffer.h"
#include "CListenerTls.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CAccountDatabase.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CMailContent.h"
#include "foundation/CModuleLog.h"
#include "foundation/SqlFormat.h"
#include "foundation/CFileRangeContent.h"
#include "platform/TlsStream.h"
#include "store/CSqlMailboxStore.h"

#include <poll.h>

#include <chrono>
#include <exception>
#include <map>
#include <utility>

namespace {

constexpr int kInbox = CLocalAccount::kInbox;
// Bytes read from a stored message at a time.
constexpr std::uint32_t kBlockSize = 16 * 1024;

}  // namespace

CPop3Session::CPop3Session(UniqueFd socket, const CClientAddress& client, const Environment& environment,
                           const CPop3Settings& settings)
    : socket(std::move(socket)),
      client(client),
      environment(environment),
      settings(settings),
      reader(this->socket.Get(), environment.stopFd, kMaxCommandLine, settings.commandTimeoutMs),
      writer(this->socket.Get(), environment.stopFd, settings.commandTimeoutMs),
      loginDeadline(CLineReader::Clock::now() + std::chrono::milliseconds(settings.loginTimeoutMs)) {}

CPop3Session::~CPop3Session() {
    try {
        Abandon();
    } catch (...) {
    }
}

void CPop3Session::Run() {
    try {
        Serve();
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("POP3 session error: ") + error.what());
    } catch (...) {
        g_moduleLog.Write("POP3 session error: unknown exception");
    }
    Abandon();
    if (tls) tls->Shutdown();
}

bool CPop3Session::TlsOffered() const {
    return environment.tls && environment.tls->Available();
}

bool CPop3Session::LoginNeedsTls() const {
    return settings.requireTlsForLogin && !tls && client.Classify() == CClientAddress::Network::Public;
}

bool CPop3Session::StartTls() {
    // Only before login: the handshake counts against the time to log in.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(loginDeadline - CLineReader::Clock::now()).count();
    if (left <= 0) return false;
    const int timeoutMs = left < settings.commandTimeoutMs ? static_cast<int>(left) : settings.commandTimeoutMs;
    tls = environment.tls->Secure(socket.Get(), environment.stopFd, timeoutMs, client, reader, writer);
    return tls != nullptr;
}

void CPop3Session::Serve() {
    if (environment.implicitTls && (!TlsOffered() || !StartTls())) return;
    writer.Ok("Velmora POP3 server ready");
    std::string line;
    while (!closing) {
        if (!writer.Flush()) return;
        const bool loggedIn = account != nullptr;
        const CLineReader::Status status = loggedIn ? reader.ReadLine(line) : reader.ReadLine(line, loginDeadline);
        // A client that does not log in gets a few commands, not a session.
        if (!loggedIn && (status == CLineReader::Status::Ok || status == CLineReader::Status::TooLong) &&
            ++commandsBeforeLogin > CPop3Settings::kMaxCommandsBeforeLogin) {
            writer.Err("Too many commands without login, closing connection");
            writer.Flush();
            return;
        }
        switch (status) {
            case CLineReader::Status::Ok: {
                const CPop3Command command = CPop3Command::Parse(line);
                if (!Dispatch(command)) closing = true;
                break;
            }
            case CLineReader::Status::TooLong:
                Error("Line too long");
                break;
            case CLineReader::Status::TimedOut:
                writer.Err(!loggedIn && CLineReader::Clock::now() >= loginDeadline
                               ? "Login timeout, closing connection"
                               : "Idle timeout, closing connection");
                writer.Flush();
                return;
            case CLineReader::Status::Stopped:
                writer.Err("[SYS/TEMP] Server shutting down, closing connection");
                writer.Flush();
                return;
            case CLineReader::Status::Closed:
            case CLineReader::Status::Failed:
                return;
        }
    }
    writer.Flush();
}

void CPop3Session::Error(const std::string& text) {
    if (++errors >= kMaxErrors) {
        writer.Err("Too many errors, closing connection");
        closing = true;
        return;
    }
    writer.Err(text);
}

bool CPop3Session::Dispatch(const CPop3Command& command) {
    using Verb = CPop3Command::Verb;
    if (command.IsMalformed()) {
        Error("Invalid command line");
        return true;
    }
    const auto& args = command.Arguments();
    const bool loggedIn = account != nullptr;
    // What else the client does sees its retrieved messages read.
    if (command.GetVerb() != Verb::Retr) MarkRetrievedRead();
    switch (command.GetVerb()) {
        case Verb::Capa:
            writer.Ok("Capability list follows");
            // USER is named only where it may be used now (RFC 2595).
            if (!LoginNeedsTls()) writer.Line("USER");
            if (!loggedIn && !tls && TlsOffered()) writer.Line("STLS");
            for (const char* capability : {"TOP", "UIDL", "RESP-CODES", "AUTH-RESP-CODE", "IMPLEMENTATION Velmora"})
                writer.Line(capability);
            writer.Line(".");
            return true;
        case Verb::Stls:
            if (loggedIn) break;
            if (tls) {
                Error("Already under TLS");
                return true;
            }
            if (!TlsOffered()) {
                Error("STLS is not available");
                return true;
            }
            if (!args.empty()) {
                Error("STLS takes no argument");
                return true;
            }
            // Whatever the client sent behind STLS was sent in the clear and
            // must not be taken as said inside TLS; a name given before counts neither.
            reader.DiscardBuffered();
            userName.clear();
            writer.Ok("Begin TLS negotiation");
            if (!writer.Flush()) return false;
            return StartTls();
        case Verb::Quit:
            if (loggedIn) {
                Quit();
            } else {
                writer.Ok("Velmora POP3 server signing off");
            }
            return false;
        case Verb::Noop:
            if (!loggedIn) break;
            writer.Ok("");
            return true;
        case Verb::User:
            if (loggedIn) break;
            if (LoginNeedsTls()) {
                Error("Use STLS before USER");
                return true;
            }
            if (args.size() != 1) {
                Error("USER takes one name");
                return true;
            }
            userName = args[0];
            writer.Ok("Send the password");
            return true;
        case Verb::Pass:
            if (loggedIn) break;
            if (LoginNeedsTls()) {
                Error("Use STLS before PASS");
                return true;
            }
            if (userName.empty()) {
                Error("USER first");
                return true;
            }
            Login(command.Rest());
            return !closing;
        case Verb::Apop:
        case Verb::Auth:
            if (loggedIn) break;
            Error("Not supported; use USER and PASS");
            return true;
        case Verb::Stat: {
            if (!loggedIn) break;
            if (!args.empty()) {
                Error("STAT takes no argument");
                return true;
            }
            std::uint64_t count = 0, octets = 0;
            for (const Message& message : messages) {
                if (message.deleted) continue;
                ++count;
                octets += message.size;
            }
            writer.Ok(std::to_string(count) + " " + std::to_string(octets));
            return true;
        }
        case Verb::List:
        case Verb::Uidl:
            if (!loggedIn) break;
            ListOrUidl(command, command.GetVerb() == Verb::Uidl);
            return true;
        case Verb::Retr:
        case Verb::Top:
            if (!loggedIn) break;
            Send(command, command.GetVerb() == Verb::Top);
            return true;
        case Verb::Dele:
            if (!loggedIn) break;
            Delete(command);
            return true;
        case Verb::Rset:
            if (!loggedIn) break;
            Reset();
            return true;
        case Verb::Unknown:
            Error("Unknown command");
            return true;
    }
    Error(loggedIn ? "Not allowed after login" : "Log in first");
    return true;
}

bool CPop3Session::MayRead(long accountId) {
    return CAccountRows::ReadRightOf(environment.database->GetConnectionHandle(), accountId) ==
           CAccountRows::ReadRight::Allowed;
}

void CPop3Session::Login(const std::string& password) {
    const std::string who = CModuleLog::ClientName(userName);
    // The throttle logs the lock's start and end; a line per refusal would
    // let a guesser fill the log.
    if (environment.throttle->IsLocked(client, settings)) {
        writer.Err("[AUTH] Too many failed logins, try again later");
        closing = true;
        return;
    }
    enum class Outcome { Ok, Refused, NoReadRight, InUse, Unavailable } outcome = Outcome::Refused;
    std::unique_ptr<CLocalAccount> opened;
    if (!environment.database) {
        outcome = Outcome::Unavailable;
    } else {
        opened.reset(environment.database->LookupLocalAccount(userName));
        if (opened && opened->GetUserRecord().IsAlive() && !opened->GetUserRecord().IsGroup() &&
            opened->Login(password)) {
            if (!MayRead(opened->GetAccountId()))
                outcome = Outcome::NoReadRight;
            else if (!opened->Lock())
                outcome = Outcome::InUse;
            else
                outcome = Outcome::Ok;
        }
        // The session's list, read again now that the mailbox is ours: the
        // one read at login may hold marks of a session that was ending.
        if (outcome == Outcome::Ok && !opened->LoadAllFolders()) {
            opened->Unlock();
            outcome = Outcome::Unavailable;
        }
        if (outcome == Outcome::Ok) {
            std::unique_ptr<mailbox::CMailboxStore> store =
                mailbox::OpenAccountMailbox(environment.database->GetConnectionHandle(), opened->GetAccountId());
            mailbox::Result<std::unique_ptr<mailbox::CMailboxView>> view =
                mailbox::Result<std::unique_ptr<mailbox::CMailboxView>>::Fail(mailbox::Error::Storage);
            if (store) view = store->Open(kInbox, false);
            if (!view.Ok() || !view.value) {
                opened->Unlock();
                outcome = Outcome::Unavailable;
            } else {
                inbox = std::move(view.value);
            }
        }
        if (outcome == Outcome::Ok) {
            // Fixed from here on: numbers never move under the client. A
            // message the account object does not list (stored in between)
            // waits for the next session.
            std::map<std::string, long> entries;
            const long count = opened->GetMessageCount(true, kInbox);
            for (long n = 1; n <= count; ++n) entries[opened->GetMessageId(n, kInbox)] = n;
            messages.reserve(inbox->Messages().size());
            for (const mailbox::MessageInfo& m : inbox->Messages()) {
                const auto it = entries.find(m.mailId);
                if (it == entries.end()) continue;
                messages.push_back({m.size, m.mailId, false, m.uid, it->second, (m.flags & mailbox::kSeen) != 0});
            }
        }
    }
    switch (outcome) {
        case Outcome::Ok:
            environment.throttle->Succeeded(client);
            account = std::move(opened);
            g_moduleLog.Write("POP3 login of " + who + " from " + client.Text());
            writer.Ok("Mailbox open, " + std::to_string(messages.size()) + " messages");
            return;
        case Outcome::InUse:
            writer.Err("[IN-USE] Mailbox is in use by another session");
            return;
        case Outcome::NoReadRight:
            g_moduleLog.Write("POP3 login of " + who + " refused: no read right");
            writer.Err("[AUTH] This account may not read its mail");
            return;
        case Outcome::Unavailable:
            writer.Err("[SYS/TEMP] Mailbox unavailable, try again later");
            return;
        case Outcome::Refused:
            break;
    }
    g_moduleLog.Write("POP3 login of " + who + " from " + client.Text() + " failed");
    const auto wait = environment.throttle->Failed(client, settings);
    writer.Flush();
    pollfd stop{environment.stopFd, POLLIN, 0};
    ::poll(&stop, environment.stopFd >= 0 ? 1 : 0, static_cast<int>(wait.count()));
    userName.clear();
    if (++loginFailures >= kMaxLoginFailures) {
        writer.Err("[AUTH] Invalid user name or password, closing connection");
        closing = true;
        return;
    }
    writer.Err("[AUTH] Invalid user name or password");
}

CPop3Session::Message* CPop3Session::Lookup(const std::string& argument, long& number) {
    const std::optional<long> parsed = CPop3Command::Number(argument);
    if (!parsed || *parsed > static_cast<long>(messages.size())) {
        Error("No such message");
        return nullptr;
    }
    Message& message = messages[static_cast<std::size_t>(*parsed - 1)];
    if (message.deleted) {
        Error("Message " + std::to_string(*parsed) + " already deleted");
        return nullptr;
    }
    number = *parsed;
    return &message;
}

void CPop3Session::ListOrUidl(const CPop3Command& command, bool uidl) {
    const auto& args = command.Arguments();
    auto describe = [&](long number, const Message& message) {
        return std::to_string(number) + " " + (uidl ? message.uid : std::to_string(message.size));
    };
    if (args.size() > 1) {
        Error("One message number at most");
        return;
    }
    if (args.size() == 1) {
        long number = 0;
        if (const Message* message = Lookup(args[0], number)) writer.Ok(describe(number, *message));
        return;
    }
    writer.Ok(uidl ? "Unique ids follow" : "Scan listing follows");
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (!messages[i].deleted) writer.Line(describe(static_cast<long>(i + 1), messages[i]));
        if (!writer.Flush(false)) return;
    }
    writer.Line(".");
}

void CPop3Session::Send(const CPop3Command& command, bool top) {
    const auto& args = command.Arguments();
    if (args.size() != (top ? 2u : 1u)) {
        Error(top ? "TOP takes a message number and a line count" : "RETR takes a message number");
        return;
    }
    long lines = CDotStuffer::kWholeMessage;
    if (top) {
        // Zero lines is valid (the header alone); Number refuses 0, so it is taken apart here.
        const std::optional<long> count = args[1] == "0" ? std::optional<long>(0) : CPop3Command::Number(args[1]);
        if (!count) {
            Error("Invalid line count");
            return;
        }
        lines = *count;
    }
    long number = 0;
    Message* message = Lookup(args[0], number);
    if (!message) return;
    std::unique_ptr<CMailContent> content;
    auto opened = inbox->Open(message->layerUid);
    if (opened.Ok()) content = std::make_unique<CFileRangeContent>(std::move(opened.value.fd), 0, opened.value.size);
    // A missing or unreadable file fails this message only.
    std::vector<char> block(kBlockSize);
    int got = -1;
    if (content) {
        content->Rewind();
        got = content->Read(block.data(), kBlockSize);
    }
    if (got < 0) {
        g_moduleLog.Write("POP3: message " + message->uid + " of " + CModuleLog::ClientName(userName) +
                          " cannot be read");
        writer.Err("[SYS/TEMP] Message " + std::to_string(number) + " cannot be read");
        return;
    }
    writer.Ok(std::to_string(message->size) + " octets");
    CDotStuffer stuffer(lines);
    bool complete = true;
    while (got > 0) {
        if (!stuffer.Feed({block.data(), static_cast<std::size_t>(got)}, writer.Pending())) break;
        if (!writer.Flush(false)) return;
        got = content->Read(block.data(), kBlockSize);
    }
    if (got < 0) complete = false;
    stuffer.Finish(writer.Pending());
    if (!complete) {
        // The answer cannot be taken back; the log says why it was short.
        g_moduleLog.Write("POP3: message " + message->uid + " broke off while being read");
        return;
    }
    if (!top && !message->read) {
        // A reader fetching its mail one message after another pays one
        // write for many; the client reads them meanwhile. The account
        // object sends a receipt asked for, and tells views.
        message->read = true;
        retrievedUnmarked.push_back(message->entry);
        if (retrievedUnmarked.size() >= kReadMarkBatch) {
            writer.Flush();
            MarkRetrievedRead();
        }
    }
}

void CPop3Session::MarkRetrievedRead() {
    if (!account || retrievedUnmarked.empty()) return;
    if (!account->MarkReadTogether(kInbox, retrievedUnmarked))
        g_moduleLog.Write("POP3: messages of " + CModuleLog::ClientName(userName) + " could not all be marked read");
    retrievedUnmarked.clear();
}

void CPop3Session::Delete(const CPop3Command& command) {
    const auto& args = command.Arguments();
    if (args.size() != 1) {
        Error("DELE takes a message number");
        return;
    }
    long number = 0;
    Message* message = Lookup(args[0], number);
    if (!message) return;
    // Only the session knows until QUIT: a connection that ends otherwise
    // (a crash included) deletes nothing.
    message->deleted = true;
    writer.Ok("Message " + std::to_string(number) + " deleted");
}

void CPop3Session::Reset() {
    for (Message& message : messages) message.deleted = false;
    writer.Ok("Maildrop has " + std::to_string(messages.size()) + " messages");
}

void CPop3Session::Quit() {
    MarkRetrievedRead();
    // UPDATE: the rows are marked first, so that a process that dies while
    // the files and rows go leaves marks the next start finishes.
    bool marked = true;
    for (std::size_t i = 0; i < messages.size(); ++i)
        if (messages[i].deleted && !account->MarkDeleted(messages[i].entry, kInbox)) marked = false;
    const bool committed = account->CommitDeletions() && marked;
    account->UndoDeletions();  // marks that could not be committed are not left behind
    account->Unlock();
    account.reset();
    inbox.reset();
    if (committed)
        writer.Ok("Velmora POP3 server signing off");
    else
        writer.Err("[SYS/TEMP] Some deleted messages were not removed");
}

void CPop3Session::Abandon() {
    if (!account) return;
    MarkRetrievedRead();
    account->UndoDeletions();
    account->Unlock();
    account.reset();
    inbox.reset();
}
