// CImapSession: the server side of one IMAP connection.
#include "CImapSession.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <utility>

#include "CImapDate.h"
#include "CImapSearch.h"
#include "CListenerTls.h"
#include "CModifiedUtf7.h"
#include "CSmtpAuthentication.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "platform/TlsStream.h"
#ifdef VELMORA_IMAP_MESSAGE
#include "CFetchSection.h"
#include "CImapMessage.h"
#endif

namespace {

using mailbox::Error;
using mailbox::MessageInfo;

constexpr std::size_t kBlockSize = 16 * 1024;
constexpr std::size_t kFlushThreshold = 64 * 1024;
// A command line and then some: literals stream through it in pieces.
constexpr std::size_t kReadBuffer = 16 * 1024;
// A whole command held in memory, inline literals included.
constexpr std::size_t kMaxCommandBytes = 256 * 1024;
// Literals of APPEND above this go to a temporary file instead of memory.
constexpr std::uint64_t kInlineAppend = 8 * 1024;
constexpr const char* kInbox = "INBOX";
constexpr char kDelimiter = '/';

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// A string as IMAP sends it: quoted when it can be, else a literal.
std::string Quote(std::string_view text) {
    bool plain = text.size() < 1024;
    for (unsigned char c : text)
        if (c == '\r' || c == '\n' || c == 0 || c >= 0x80) plain = false;
    if (!plain) return "{" + std::to_string(text.size()) + "}\r\n" + std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string FlagList(const MessageInfo& info) {
    std::string out = "(";
    static constexpr std::pair<std::uint32_t, const char*> kNames[] = {{mailbox::kSeen, "\\Seen"},
                                                                        {mailbox::kAnswered, "\\Answered"},
                                                                        {mailbox::kFlagged, "\\Flagged"},
                                                                        {mailbox::kDeleted, "\\Deleted"},
                                                                        {mailbox::kDraft, "\\Draft"}};
    for (const auto& [bit, name] : kNames) {
        if (!(info.flags & bit)) continue;
        if (out.size() > 1) out.push_back(' ');
        out += name;
    }
    for (const std::string& keyword : info.keywords) {
        if (out.size() > 1) out.push_back(' ');
        out += keyword;
    }
    out.push_back(')');
    return out;
}

// The flags of a STORE or APPEND list; false for an unknown system flag.
bool ParseFlags(const std::vector<CImapValue>& values, std::uint32_t& flags, std::vector<std::string>& keywords) {
    for (const CImapValue& value : values) {
        if (!value.IsAtom()) return false;
        const std::string name = Upper(value.text);
        if (name == "\\SEEN") flags |= mailbox::kSeen;
        else if (name == "\\ANSWERED") flags |= mailbox::kAnswered;
        else if (name == "\\FLAGGED") flags |= mailbox::kFlagged;
        else if (name == "\\DELETED") flags |= mailbox::kDeleted;
        else if (name == "\\DRAFT") flags |= mailbox::kDraft;
        else if (name == "\\RECENT") continue;
        else if (name[0] == '\\' || value.text.find_first_of("[]%*") != std::string::npos) return false;
        else if (keywords.size() < 64) keywords.push_back(value.text);
    }
    return true;
}

// The store's name of a folder as IMAP shows it: the Inbox and what lies
// below it under "INBOX", whatever case the store keeps.
std::string ImapName(const mailbox::FolderInfo& folder) {
    std::string name = folder.name;
    if (Upper(name.substr(0, 6)) == "INBOX/" || Upper(name) == "INBOX") name.replace(0, 5, kInbox);
    return CModifiedUtf7::Encode(name).value_or(std::string());
}

// A client's folder name in the store's words (the Inbox as "Inbox").
std::string StoreName(std::string name) {
    if (Upper(name.substr(0, 6)) == "INBOX/" || Upper(name) == "INBOX") name.replace(0, 5, "Inbox");
    return name;
}

// LIST's pattern match: "*" matches anything, "%" anything but the delimiter.
bool Matches(std::string_view pattern, std::string_view name) {
    if (pattern.empty()) return name.empty();
    if (pattern[0] == '*' || pattern[0] == '%') {
        for (std::size_t i = 0; i <= name.size(); ++i) {
            if (Matches(pattern.substr(1), name.substr(i))) return true;
            if (i < name.size() && pattern[0] == '%' && name[i] == kDelimiter) return false;
        }
        return false;
    }
    return !name.empty() && pattern[0] == name[0] && Matches(pattern.substr(1), name.substr(1));
}

std::string Join(const std::vector<std::uint32_t>& values) {
    // Compressed to ranges, as COPYUID and APPENDUID expect.
    std::string out;
    for (std::size_t i = 0; i < values.size();) {
        std::size_t j = i;
        while (j + 1 < values.size() && values[j + 1] == values[j] + 1) ++j;
        if (!out.empty()) out.push_back(',');
        out += std::to_string(values[i]);
        if (j > i) out += ":" + std::to_string(values[j]);
        i = j + 1;
    }
    return out;
}

}  // namespace

CImapSession::CImapSession(UniqueFd socket, const CClientAddress& client, const Environment& environment,
                           const CImapSettings& settings)
    : socket(std::move(socket)),
      client(client),
      environment(environment),
      settings(settings),
      reader(this->socket.Get(), environment.stopFd, CImapCommandParser::kMaxLine + 2, settings.autologoutMs,
             kReadBuffer),
      writer(this->socket.Get(), environment.stopFd, settings.commandTimeoutMs, kFlushThreshold),
      loginDeadline(CLineReader::Clock::now() + std::chrono::milliseconds(settings.loginTimeoutMs)) {}

CImapSession::~CImapSession() = default;

void CImapSession::Run() {
    try {
        Serve();
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("IMAP session error: ") + error.what());
    } catch (...) {
        g_moduleLog.Write("IMAP session error: unknown exception");
    }
    view.reset();
    store.reset();
    if (tls) tls->Shutdown();
}

bool CImapSession::TlsOffered() const {
    return environment.tls && environment.tls->Available();
}

bool CImapSession::LoginNeedsTls() const {
    return settings.requireTlsForLogin && !tls && client.Classify() == CClientAddress::Network::Public;
}

std::string CImapSession::Capabilities() const {
    std::string text = "CAPABILITY IMAP4rev1 LITERAL+ SASL-IR ID ENABLE IDLE NAMESPACE UNSELECT UIDPLUS MOVE "
                       "CHILDREN SPECIAL-USE";
    if (state == State::NotAuthenticated) {
        if (!tls && TlsOffered()) text += " STARTTLS";
        text += LoginNeedsTls() ? " LOGINDISABLED" : " AUTH=PLAIN";
    }
    return text;
}

bool CImapSession::StartTls() {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(loginDeadline - CLineReader::Clock::now()).count();
    if (left <= 0) return false;
    const int timeoutMs = left < settings.commandTimeoutMs ? static_cast<int>(left) : settings.commandTimeoutMs;
    tls = environment.tls->Secure(socket.Get(), environment.stopFd, timeoutMs, client, reader, writer);
    return tls != nullptr;
}

void CImapSession::Tagged(const std::string& tag, const char* status, const std::string& text) {
    writer.Pending() += tag + " " + status + " " + text + "\r\n";
}

void CImapSession::Untagged(const std::string& text) {
    writer.Pending() += "* " + text + "\r\n";
}

void CImapSession::Bad(const std::string& tag, const std::string& text) {
    if (++errors >= kMaxErrors) {
        Untagged("BYE Too many errors");
        state = State::Logout;
    }
    Tagged(tag, "BAD", text);
}

void CImapSession::Serve() {
    if (environment.implicitTls && (!TlsOffered() || !StartTls())) return;
    Untagged("OK [" + Capabilities() + "] Velmora IMAP server ready");
    while (state != State::Logout) {
        if (!writer.Flush()) return;
        Command command;
        const ReadStatus status = ReadCommand(command);
        if (status == ReadStatus::Close) break;
        if (status == ReadStatus::Answered) continue;
        if (state == State::NotAuthenticated && ++commandsBeforeLogin > CImapSettings::kMaxCommandsBeforeLogin) {
            Untagged("BYE Too many commands without login");
            break;
        }
        reported = false;
        Dispatch(command);
        appendContent.reset();
        // What others changed goes out after any command that allows it
        // (not FETCH, STORE or SEARCH by sequence number), ahead of its tagged line.
        if (!reported && view && command.name != "FETCH" && command.name != "STORE" && command.name != "SEARCH") {
            std::string& out = writer.Pending();
            const std::size_t previous = out.size() >= 3 ? out.rfind("\r\n", out.size() - 3) : std::string::npos;
            const std::size_t start = previous == std::string::npos ? 0 : previous + 2;
            if (out.compare(start, command.tag.size() + 1, command.tag + " ") == 0) {
                std::string tagged = out.substr(start);
                out.erase(start);
                ReportChanges(true);
                writer.Pending() += tagged;
            }
        }
    }
    writer.Flush();
}

bool CImapSession::ReadLiteral(std::uint64_t size, std::string* into, CTempMailContent* file) {
    const auto deadline = CLineReader::Clock::now() + std::chrono::milliseconds(settings.commandTimeoutMs);
    while (size > 0) {
        if (reader.Fill(deadline) != CLineReader::Status::Ok) return false;
        const std::string_view buffered = reader.Buffered();
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffered.size()));
        if (into) into->append(buffered.data(), take);
        if (file && !file->Write(buffered.data(), static_cast<std::uint32_t>(take))) return false;
        reader.Consume(take);
        size -= take;
    }
    return true;
}

CImapSession::ReadStatus CImapSession::ReadCommand(Command& command) {
    appendContent.reset();  // a message of a command that did not run is gone
    appendSize = 0;
    std::string text, line;
    std::size_t lineBytes = 0;
    bool first = true;
    bool isAppend = false;
    while (true) {
        CLineReader::Status status;
        if (first && state == State::NotAuthenticated)
            status = reader.ReadLine(line, loginDeadline);
        else if (first)
            status = reader.ReadLine(line);  // the autologout time
        else
            status = reader.ReadLine(line, CLineReader::Clock::now() +
                                               std::chrono::milliseconds(settings.commandTimeoutMs));
        switch (status) {
            case CLineReader::Status::Ok:
                break;
            case CLineReader::Status::TooLong:
                Bad(CImapCommandParser::TagOf(text.empty() ? line : text), "Command line too long");
                return first ? ReadStatus::Answered : ReadStatus::Close;
            case CLineReader::Status::TimedOut:
                Untagged(state == State::NotAuthenticated ? "BYE Login timeout" : "BYE Autologout; idle for too long");
                return ReadStatus::Close;
            case CLineReader::Status::Stopped:
                Untagged("BYE Server shutting down");
                return ReadStatus::Close;
            case CLineReader::Status::Closed:
            case CLineReader::Status::Failed:
                return ReadStatus::Close;
        }
        lineBytes += line.size();
        if (first) {
            const Command head = CImapCommandParser::Parse(line.substr(0, line.find(' ', line.find(' ') + 1)));
            isAppend = head.name == "APPEND";
        }
        first = false;
        if (line.find('\0') != std::string::npos) {
            Bad(CImapCommandParser::TagOf(text + line), "NUL byte in command");
            // A literal the client will send unasked cannot be told from a command.
            return CImapCommandParser::TrailingLiteral(line) ? ReadStatus::Close : ReadStatus::Answered;
        }
        text += line;
        const auto literal = CImapCommandParser::TrailingLiteral(line);
        if (!literal) break;
        text += "\r\n";
        const std::string tag = CImapCommandParser::TagOf(text);
        const bool toFile = isAppend && literal->size > kInlineAppend;
        const std::uint64_t limit = isAppend ? appendLimit : kMaxLiteral;
        // Inline literals together stay bounded as well: many small ones make no large command.
        const bool tooMuch = !toFile && text.size() + literal->size > kMaxCommandBytes;
        if (lineBytes > CImapCommandParser::kMaxLine || (toFile && appendContent) || literal->size > limit ||
            tooMuch) {
            // A non-synchronizing literal is on its way: the connection cannot go on (RFC 7888).
            if (literal->nonSynchronizing) Untagged("BYE Literal too large");
            if (isAppend && literal->size > limit && lineBytes <= CImapCommandParser::kMaxLine && !tooMuch)
                Tagged(tag, "NO", "[TOOBIG] Message too large");
            else
                Bad(tag, "Command too long");
            return literal->nonSynchronizing ? ReadStatus::Close : ReadStatus::Answered;
        }
        if (!literal->nonSynchronizing) {
            writer.Pending() += "+ Ready for literal data\r\n";
            if (!writer.Flush()) return ReadStatus::Close;
        }
        if (toFile) {
            appendContent = std::make_unique<CTempMailContent>();
            if (!appendContent->Open()) {
                appendContent.reset();
                Tagged(tag, "NO", "[SERVERBUG] Cannot receive the message now");
                return ReadLiteral(literal->size, nullptr, nullptr) ? ReadStatus::Answered : ReadStatus::Close;
            }
            appendSize = literal->size;
            // The parser sees an empty literal; the message is in the file.
            text.erase(text.rfind('{'));
            text += "{0}\r\n";
            if (!ReadLiteral(literal->size, nullptr, appendContent.get())) {
                appendContent.reset();  // a connection dropped mid-literal stores nothing
                return ReadStatus::Close;
            }
        } else if (!ReadLiteral(literal->size, &text, nullptr)) {
            return ReadStatus::Close;
        }
    }
    command = CImapCommandParser::Parse(text);
    if (!command.Ok()) {
        Bad(command.tag.empty() ? CImapCommandParser::TagOf(text) : command.tag, command.error);
        return ReadStatus::Answered;
    }
    return ReadStatus::Ok;
}

void CImapSession::Dispatch(const Command& command) {
    const std::string& tag = command.tag;
    const std::string& name = command.name;
    const Args& args = command.arguments;
    const bool authenticated = state == State::Authenticated || state == State::Selected;
    const bool selected = state == State::Selected;
    auto noArguments = [&] {
        if (args.empty()) return true;
        Bad(tag, name + " takes no arguments");
        return false;
    };
    if (name == "CAPABILITY") {
        if (!noArguments()) return;
        Untagged(Capabilities());
        Tagged(tag, "OK", "CAPABILITY completed");
    } else if (name == "NOOP" || (name == "CHECK" && selected)) {
        if (!noArguments()) return;
        ReportChanges(true);
        Tagged(tag, "OK", name + " completed");
    } else if (name == "LOGOUT") {
        if (!noArguments()) return;
        Untagged("BYE Velmora IMAP server signing off");
        Tagged(tag, "OK", "LOGOUT completed");
        state = State::Logout;
    } else if (name == "ID") {
        if (args.size() != 1 || (!args[0].IsList() && !args[0].IsNil())) return Bad(tag, "ID takes a list or NIL");
        Untagged("ID (\"name\" \"Velmora\")");
        Tagged(tag, "OK", "ID completed");
    } else if (name == "STARTTLS" && state == State::NotAuthenticated) {
        if (!noArguments()) return;
        if (tls || !TlsOffered()) return Bad(tag, tls ? "Already under TLS" : "STARTTLS is not available");
        // Whatever was pipelined behind STARTTLS was sent in the clear.
        reader.DiscardBuffered();
        Tagged(tag, "OK", "Begin TLS negotiation now");
        if (!writer.Flush() || !StartTls()) state = State::Logout;
    } else if (name == "LOGIN" && state == State::NotAuthenticated) {
        if (args.size() != 2 || !args[0].IsAString() || !args[1].IsAString())
            return Bad(tag, "LOGIN takes a user name and a password");
        if (LoginNeedsTls()) return Tagged(tag, "NO", "[PRIVACYREQUIRED] Use STARTTLS first");
        Login(tag, args[0].text, args[1].text);
    } else if (name == "AUTHENTICATE" && state == State::NotAuthenticated) {
        Authenticate(command);
    } else if (name == "ENABLE" && authenticated) {
        if (args.empty()) return Bad(tag, "ENABLE needs a capability");
        Untagged("ENABLED");  // none of the extensions ENABLE turns on is offered
        Tagged(tag, "OK", "ENABLE completed");
    } else if (name == "NAMESPACE" && authenticated) {
        if (!noArguments()) return;
        Untagged("NAMESPACE ((\"\" \"/\")) NIL NIL");
        Tagged(tag, "OK", "NAMESPACE completed");
    } else if ((name == "SELECT" || name == "EXAMINE") && authenticated) {
        Select(command, name == "EXAMINE");
    } else if ((name == "LIST" || name == "LSUB") && authenticated) {
        List(command, name == "LSUB");
    } else if (name == "STATUS" && authenticated) {
        Status(command);
    } else if ((name == "CREATE" || name == "DELETE" || name == "RENAME" || name == "SUBSCRIBE" ||
                name == "UNSUBSCRIBE") &&
               authenticated) {
        FolderCommand(command);
    } else if (name == "APPEND" && authenticated) {
        Append(command);
    } else if (name == "IDLE" && authenticated) {
        if (!noArguments()) return;
        Idle(command);
    } else if ((name == "CLOSE" || name == "UNSELECT") && selected) {
        if (!noArguments()) return;
        if (name == "CLOSE" && !view->ReadOnly()) view->Expunge(nullptr);  // silently (RFC 3501 6.4.2)
        Deselect();
        Tagged(tag, "OK", name + " completed");
    } else if (name == "EXPUNGE" && selected) {
        if (!noArguments()) return;
        Expunge(tag, nullptr);
    } else if ((name == "SEARCH" || name == "FETCH" || name == "STORE" || name == "COPY" || name == "MOVE") &&
               selected) {
        if (name == "SEARCH") Search(command, args, false);
        if (name == "FETCH") Fetch(command, args, false);
        if (name == "STORE") Store(command, args, false);
        if (name == "COPY" || name == "MOVE") CopyOrMove(command, args, false, name == "MOVE");
    } else if (name == "UID" && selected) {
        if (args.empty() || !args[0].IsAtom()) return Bad(tag, "UID needs a command");
        const std::string sub = Upper(args[0].text);
        const Args rest(args.begin() + 1, args.end());
        if (sub == "SEARCH") Search(command, rest, true);
        else if (sub == "FETCH") Fetch(command, rest, true);
        else if (sub == "STORE") Store(command, rest, true);
        else if (sub == "COPY" || sub == "MOVE") CopyOrMove(command, rest, true, sub == "MOVE");
        else if (sub == "EXPUNGE") {
            std::vector<std::size_t> indexes;
            if (rest.size() != 1) return Bad(tag, "UID EXPUNGE takes a UID set");
            if (!Resolve(tag, rest[0], true, indexes)) return;
            std::vector<std::uint32_t> uids;
            for (std::size_t index : indexes) uids.push_back(view->Messages()[index].uid);
            Expunge(tag, &uids);
        } else {
            Bad(tag, "Unknown UID command");
        }
    } else {
        static constexpr const char* kKnown[] = {
            "CAPABILITY", "NOOP", "LOGOUT", "ID", "STARTTLS", "LOGIN", "AUTHENTICATE", "ENABLE", "NAMESPACE",
            "SELECT", "EXAMINE", "LIST", "LSUB", "STATUS", "CREATE", "DELETE", "RENAME", "SUBSCRIBE",
            "UNSUBSCRIBE", "APPEND", "IDLE", "CHECK", "CLOSE", "UNSELECT", "EXPUNGE", "SEARCH", "FETCH", "STORE",
            "COPY", "MOVE", "UID"};
        const bool known = std::find(std::begin(kKnown), std::end(kKnown), name) != std::end(kKnown);
        if (!known) return Bad(tag, "Unknown command");
        if (state == State::NotAuthenticated) return Bad(tag, "Log in first");
        if (state == State::Authenticated && !selected) return Bad(tag, "Select a mailbox first");
        return Bad(tag, "Not allowed now");
    }
}

void CImapSession::ReportChanges(bool expungesAllowed) {
    if (!view || !expungesAllowed) return;
    reported = true;
    std::vector<std::uint32_t> before;
    before.reserve(view->Messages().size());
    for (const MessageInfo& info : view->Messages()) before.push_back(info.uid);
    const mailbox::Result<mailbox::Changes> changes = view->Refresh();
    if (!changes.Ok()) return;
    std::size_t removed = 0;
    for (std::uint32_t uid : changes.value.expunged) {
        const auto it = std::lower_bound(before.begin(), before.end(), uid);
        if (it == before.end() || *it != uid) continue;
        Untagged(std::to_string(static_cast<std::size_t>(it - before.begin()) + 1 - removed) + " EXPUNGE");
        ++removed;
    }
    if (!changes.value.added.empty() || removed > 0) Untagged(std::to_string(view->Messages().size()) + " EXISTS");
    for (const MessageInfo& info : changes.value.flagsChanged) {
        const std::uint32_t sequence = SequenceOf(info.uid);
        if (sequence == 0) continue;
        Untagged(std::to_string(sequence) + " FETCH (UID " + std::to_string(info.uid) + " FLAGS " + FlagList(info) +
                 ")");
    }
}

std::uint32_t CImapSession::SequenceOf(std::uint32_t uid) const {
    const auto& messages = view->Messages();
    const auto it = std::lower_bound(messages.begin(), messages.end(), uid,
                                     [](const MessageInfo& info, std::uint32_t value) { return info.uid < value; });
    if (it == messages.end() || it->uid != uid) return 0;
    return static_cast<std::uint32_t>(it - messages.begin()) + 1;
}

void CImapSession::StoreError(const std::string& tag, Error error, const char* what) {
    const char* code = "[SERVERBUG]";
    switch (error) {
        case Error::NoSuchFolder: code = "[NONEXISTENT]"; break;
        case Error::NoSuchMessage: code = "[EXPUNGEISSUED]"; break;
        case Error::MessageMissing: code = "[UNAVAILABLE]"; break;
        case Error::FolderExists: code = "[ALREADYEXISTS]"; break;
        case Error::FolderProtected: code = "[CANNOT]"; break;
        case Error::InvalidName: code = "[CANNOT]"; break;
        case Error::OverQuota: code = "[OVERQUOTA]"; break;
        case Error::TooBig: code = "[TOOBIG]"; break;
        case Error::Storage:
        case Error::None: break;
    }
    Tagged(tag, "NO", std::string(code) + " " + what + " failed");
}

void CImapSession::Login(const std::string& tag, const std::string& user, const std::string& password) {
    const std::string who = CModuleLog::ClientName(user);
    if (environment.throttle && environment.throttle->IsLocked(client, settings)) {
        Untagged("BYE Too many failed logins, try again later");
        Tagged(tag, "NO", "[UNAVAILABLE] Too many failed logins");
        state = State::Logout;
        return;
    }
    CImapLoginResult result;
    if (user.size() <= 256 && password.size() <= 256 && environment.login) result = environment.login(user, password);
    if (result.outcome == CImapLoginResult::Outcome::Ok) {
        store = environment.openMailbox ? environment.openMailbox(result.accountId) : nullptr;
        if (!store) result.outcome = CImapLoginResult::Outcome::Unavailable;
    }
    switch (result.outcome) {
        case CImapLoginResult::Outcome::Ok:
            if (environment.throttle) environment.throttle->Succeeded(client);
            g_moduleLog.Write("IMAP login of " + who + " from " + client.Text());
            userName = user;
            appendLimit = settings.maxAppendLiteral;
            if (result.receiveLimit != 0 && result.receiveLimit < appendLimit) appendLimit = result.receiveLimit;
            state = State::Authenticated;
            Tagged(tag, "OK", "[" + Capabilities() + "] Logged in");
            return;
        case CImapLoginResult::Outcome::NoReadRight:
            g_moduleLog.Write("IMAP login of " + who + " refused: no read right");
            Tagged(tag, "NO", "[AUTHORIZATIONFAILED] This account may not read its mail");
            return;
        case CImapLoginResult::Outcome::Unavailable:
            Tagged(tag, "NO", "[UNAVAILABLE] Mailbox unavailable, try again later");
            return;
        case CImapLoginResult::Outcome::Refused:
            break;
    }
    g_moduleLog.Write("IMAP login of " + who + " from " + client.Text() + " failed");
    const auto wait =
        environment.throttle ? environment.throttle->Failed(client, settings) : std::chrono::milliseconds(0);
    writer.Flush();
    pollfd stop{environment.stopFd, POLLIN, 0};
    ::poll(&stop, environment.stopFd >= 0 ? 1 : 0, static_cast<int>(wait.count()));
    if (++loginFailures >= kMaxLoginFailures) {
        Untagged("BYE Too many failed logins");
        state = State::Logout;
    }
    Tagged(tag, "NO", "[AUTHENTICATIONFAILED] Invalid user name or password");
}

void CImapSession::Authenticate(const Command& command) {
    const std::string& tag = command.tag;
    const Args& args = command.arguments;
    if (args.empty() || args.size() > 2 || !args[0].IsAtom() || (args.size() == 2 && !args[1].IsAtom()))
        return Bad(tag, "AUTHENTICATE takes a mechanism and an optional initial response");
    if (Upper(args[0].text) != "PLAIN") return Tagged(tag, "NO", "[CANNOT] Only PLAIN is offered");
    if (LoginNeedsTls()) return Tagged(tag, "NO", "[PRIVACYREQUIRED] Use STARTTLS first");
    std::string response;
    if (args.size() == 2) {
        response = args[1].text == "=" ? std::string() : args[1].text;
    } else {
        writer.Pending() += "+ \r\n";
        if (!writer.Flush()) {
            state = State::Logout;
            return;
        }
        const auto status = reader.ReadLine(
            response, CLineReader::Clock::now() + std::chrono::milliseconds(settings.commandTimeoutMs));
        if (status != CLineReader::Status::Ok) {
            state = State::Logout;
            return;
        }
        if (response == "*") return Bad(tag, "AUTHENTICATE cancelled");
    }
    std::string user, password;
    if (!CSmtpAuthentication::DecodePlain(response, user, password))
        return Bad(tag, "Malformed PLAIN response");
    Login(tag, user, password);
}

void CImapSession::Deselect() {
    view.reset();
    state = State::Authenticated;
}

bool CImapSession::FindFolder(const std::string& tag, const CImapValue& name, mailbox::FolderInfo& folder,
                              bool tryCreate) {
    if (!name.IsAString()) {
        Bad(tag, "Mailbox name expected");
        return false;
    }
    const auto decoded = CModifiedUtf7::Decode(name.text);
    if (!decoded) {
        Bad(tag, "Mailbox name is not modified UTF-7");
        return false;
    }
    const std::string storeName = StoreName(*decoded);
    const auto found = store->FindFolder(storeName);
    if (!found.Ok()) {
        if (found.error == Error::NoSuchFolder)
            Tagged(tag, "NO", tryCreate ? "[TRYCREATE] No such mailbox" : "[NONEXISTENT] No such mailbox");
        else
            StoreError(tag, found.error, "Finding the mailbox");
        return false;
    }
    folder = found.value;
    return true;
}

void CImapSession::Select(const Command& command, bool readOnly) {
    const std::string& tag = command.tag;
    if (command.arguments.size() != 1) return Bad(tag, command.name + " takes a mailbox name");
    // A failed SELECT leaves no mailbox selected (RFC 3501 6.3.1).
    Deselect();
    mailbox::FolderInfo folder;
    if (!FindFolder(tag, command.arguments[0], folder)) return;
    auto opened = store->Open(folder.folderId, readOnly);
    if (!opened.Ok() || !opened.value) return StoreError(tag, opened.error, "Opening the mailbox");
    view = std::move(opened.value);
    state = State::Selected;
    const auto& messages = view->Messages();
    Untagged("FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)");
    Untagged(view->ReadOnly() ? "OK [PERMANENTFLAGS ()] No permanent flags"
                              : "OK [PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\*)] Flags kept");
    Untagged(std::to_string(messages.size()) + " EXISTS");
    Untagged("0 RECENT");
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (!(messages[i].flags & mailbox::kSeen)) {
            Untagged("OK [UNSEEN " + std::to_string(i + 1) + "] First unseen");
            break;
        }
    }
    Untagged("OK [UIDVALIDITY " + std::to_string(view->UidValidity()) + "] UIDs valid");
    Untagged("OK [UIDNEXT " + std::to_string(view->UidNext()) + "] Predicted next UID");
    Tagged(tag, "OK", std::string(view->ReadOnly() ? "[READ-ONLY]" : "[READ-WRITE]") + " " + command.name +
                          " completed");
}

void CImapSession::List(const Command& command, bool lsub) {
    const std::string& tag = command.tag;
    const Args& args = command.arguments;
    if (args.size() != 2 || !args[0].IsAString() || !args[1].IsAString())
        return Bad(tag, command.name + " takes a reference and a mailbox pattern");
    const char* verb = lsub ? "LSUB" : "LIST";
    if (args[1].text.empty()) {
        Untagged(std::string(verb) + " (\\Noselect) \"/\" \"\"");
        return Tagged(tag, "OK", std::string(verb) + " completed");
    }
    std::string pattern = args[0].text + args[1].text;
    if (Upper(pattern.substr(0, 5)) == kInbox && (pattern.size() == 5 || pattern[5] == kDelimiter))
        pattern.replace(0, 5, kInbox);
    const auto folders = store->FolderNames();
    if (!folders.Ok()) return StoreError(tag, folders.error, verb);
    std::vector<std::string> names;
    for (const auto& folder : folders.value) names.push_back(ImapName(folder));
    for (std::size_t i = 0; i < folders.value.size(); ++i) {
        if (names[i].empty() || !Matches(pattern, names[i])) continue;
        const std::string prefix = names[i] + kDelimiter;
        const bool children = std::any_of(names.begin(), names.end(),
                                          [&](const std::string& other) { return other.rfind(prefix, 0) == 0; });
        std::string attributes = children ? "\\HasChildren" : "\\HasNoChildren";
        if (!folders.value[i].specialUse.empty()) attributes += " " + folders.value[i].specialUse;
        Untagged(std::string(verb) + " (" + attributes + ") \"/\" " + Quote(names[i]));
    }
    Tagged(tag, "OK", std::string(verb) + " completed");
}

void CImapSession::Status(const Command& command) {
    const std::string& tag = command.tag;
    const Args& args = command.arguments;
    if (args.size() != 2 || !args[1].IsList() || args[1].items.empty())
        return Bad(tag, "STATUS takes a mailbox name and a list of items");
    std::vector<std::string> items;
    for (const CImapValue& item : args[1].items) {
        const std::string name = item.IsAtom() ? Upper(item.text) : std::string();
        if (name != "MESSAGES" && name != "RECENT" && name != "UIDNEXT" && name != "UIDVALIDITY" && name != "UNSEEN")
            return Bad(tag, "Unknown STATUS item");
        items.push_back(name);
    }
    mailbox::FolderInfo folder;
    if (!FindFolder(tag, args[0], folder)) return;
    const auto status = store->Status(folder.folderId);
    if (!status.Ok()) return StoreError(tag, status.error, "STATUS");
    std::string text;
    for (const std::string& item : items) {
        if (!text.empty()) text.push_back(' ');
        const std::uint32_t value = item == "MESSAGES"      ? status.value.messages
                                    : item == "UIDNEXT"     ? status.value.uidNext
                                    : item == "UIDVALIDITY" ? status.value.uidValidity
                                    : item == "UNSEEN"      ? status.value.unseen
                                                            : 0;
        text += item + " " + std::to_string(value);
    }
    Untagged("STATUS " + Quote(ImapName(status.value)) + " (" + text + ")");
    Tagged(tag, "OK", "STATUS completed");
}

void CImapSession::FolderCommand(const Command& command) {
    const std::string& tag = command.tag;
    const std::string& name = command.name;
    const Args& args = command.arguments;
    const std::size_t wanted = name == "RENAME" ? 2 : 1;
    if (args.size() != wanted || !args[0].IsAString() || (wanted == 2 && !args[1].IsAString()))
        return Bad(tag, name + (wanted == 2 ? " takes two mailbox names" : " takes a mailbox name"));
    // Every folder counts as subscribed: clients that list only
    // subscriptions still see them all.
    if (name == "SUBSCRIBE" || name == "UNSUBSCRIBE") return Tagged(tag, "OK", name + " completed");
    auto newName = [&](const CImapValue& value, std::string& out) {
        std::string text = value.text;
        while (!text.empty() && text.back() == kDelimiter) text.pop_back();
        if (Upper(text) == kInbox) {
            Tagged(tag, "NO", "[ALREADYEXISTS] INBOX always exists");
            return false;
        }
        const auto decoded = CModifiedUtf7::Decode(text);
        if (!decoded || decoded->empty()) {
            Bad(tag, "Mailbox name is not modified UTF-7");
            return false;
        }
        out = StoreName(*decoded);
        return true;
    };
    std::string target;
    if (name == "CREATE") {
        if (!newName(args[0], target)) return;
        const auto created = store->CreateFolder(target);
        if (!created.Ok()) return StoreError(tag, created.error, "CREATE");
        return Tagged(tag, "OK", "CREATE completed");
    }
    mailbox::FolderInfo folder;
    if (!FindFolder(tag, args[0], folder)) return;
    if (name == "DELETE") {
        if (view && view->FolderId() == folder.folderId) Deselect();
        const auto deleted = store->DeleteFolder(folder.folderId);
        if (!deleted.Ok()) return StoreError(tag, deleted.error, "DELETE");
        return Tagged(tag, "OK", "DELETE completed");
    }
    if (!newName(args[1], target)) return;
    const auto renamed = store->RenameFolder(folder.folderId, target);
    if (!renamed.Ok()) return StoreError(tag, renamed.error, "RENAME");
    Tagged(tag, "OK", "RENAME completed");
}

void CImapSession::Append(const Command& command) {
    const std::string& tag = command.tag;
    const Args& args = command.arguments;
    if (args.size() < 2 || args.size() > 4 || !args.back().IsAString() || !args.back().literal)
        return Bad(tag, "APPEND takes a mailbox, optional flags and date, and the message as a literal");
    std::uint32_t flags = 0;
    std::vector<std::string> keywords;
    std::time_t received = std::time(nullptr);
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
        if (args[i].IsList()) {
            if (!ParseFlags(args[i].items, flags, keywords)) return Bad(tag, "Invalid flag");
        } else if (args[i].kind == CImapValue::Kind::String) {
            const auto when = CImapDate::ParseDateTime(args[i].text);
            if (!when) return Bad(tag, "Invalid date-time");
            received = *when;
        } else {
            return Bad(tag, "Flags or a date-time expected");
        }
    }
    mailbox::FolderInfo folder;
    if (!FindFolder(tag, args[0], folder, true)) return;
    // Small messages came with the command; they go through a file as well.
    std::unique_ptr<CTempMailContent> content = std::move(appendContent);
    std::uint64_t size = appendSize;
    if (!content) {
        content = std::make_unique<CTempMailContent>();
        size = args.back().text.size();
        if (!content->Open() || !content->Write(args.back().text.data(), static_cast<std::uint32_t>(size)))
            return Tagged(tag, "NO", "[SERVERBUG] Cannot store the message now");
    }
    if (size == 0) return Tagged(tag, "NO", "Empty message");
    content->Rewind();
    const auto appended =
        store->Append(folder.folderId, *content, static_cast<std::uint32_t>(size), flags, keywords, received);
    if (!appended.Ok()) return StoreError(tag, appended.error, "APPEND");
    ReportChanges(true);
    Tagged(tag, "OK", "[APPENDUID " + std::to_string(appended.value.uidValidity) + " " +
                          std::to_string(appended.value.uid) + "] APPEND completed");
}

void CImapSession::Idle(const Command& command) {
    // Counted before anything is reported: a change from here on wakes the wait.
    std::uint64_t seen = store->ChangeCounter();
    writer.Pending() += "+ idling\r\n";
    ReportChanges(true);
    if (!writer.Flush()) {
        state = State::Logout;
        return;
    }
    // An idling session keeps no output buffer a large FETCH left behind.
    writer.Pending().shrink_to_fit();
    const auto deadline = CLineReader::Clock::now() + std::chrono::milliseconds(settings.autologoutMs);
    while (!reader.HasCompleteLine() && reader.Buffered().empty()) {
        const auto now = CLineReader::Clock::now();
        if (now >= deadline) {
            Untagged("BYE Autologout; idle for too long");
            state = State::Logout;
            return;
        }
        pollfd fds[2] = {{socket.Get(), POLLIN, 0}, {environment.stopFd, POLLIN, 0}};
        if (::poll(fds, environment.stopFd >= 0 ? 2 : 1, 0) > 0) {
            if (fds[1].revents & POLLIN) {
                Untagged("BYE Server shutting down");
                state = State::Logout;
                return;
            }
            break;  // the client spoke (or went): read it below
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        const auto slice = std::min(left, std::chrono::milliseconds(settings.idleSliceMs));
        // The client's socket is what ends the wait early, besides a change.
        const std::uint64_t counter = store->WaitForChange(seen, slice, socket.Get());
        if (counter != seen) {
            seen = counter;
            ReportChanges(true);
            if (!writer.Flush()) {
                state = State::Logout;
                return;
            }
        }
    }
    std::string line;
    const auto status = reader.ReadLine(line, deadline);
    if (status != CLineReader::Status::Ok) {
        if (status == CLineReader::Status::TimedOut) Untagged("BYE Autologout; idle for too long");
        state = State::Logout;
        return;
    }
    if (Upper(line) != "DONE") return Bad(command.tag, "Expected DONE");
    ReportChanges(true);
    Tagged(command.tag, "OK", "IDLE terminated");
}

void CImapSession::Expunge(const std::string& tag, const std::vector<std::uint32_t>* uids) {
    if (view->ReadOnly()) return Tagged(tag, "NO", "[READ-ONLY] Mailbox is read-only");
    std::vector<std::uint32_t> before;
    for (const MessageInfo& info : view->Messages()) before.push_back(info.uid);
    const auto expunged = view->Expunge(uids);
    if (!expunged.Ok()) return StoreError(tag, expunged.error, "EXPUNGE");
    std::size_t removed = 0;
    for (std::uint32_t uid : expunged.value) {
        const auto it = std::lower_bound(before.begin(), before.end(), uid);
        if (it == before.end() || *it != uid) continue;
        Untagged(std::to_string(static_cast<std::size_t>(it - before.begin()) + 1 - removed) + " EXPUNGE");
        ++removed;
    }
    ReportChanges(true);
    Tagged(tag, "OK", "EXPUNGE completed");
}

bool CImapSession::Resolve(const std::string& tag, const CImapValue& set, bool byUid,
                           std::vector<std::size_t>& indexes) {
    const auto ranges = set.IsAtom() ? CImapCommandParser::SequenceSet(set.text) : std::nullopt;
    if (!ranges) {
        Bad(tag, "Malformed sequence set");
        return false;
    }
    const auto& messages = view->Messages();
    const std::uint32_t count = static_cast<std::uint32_t>(messages.size());
    std::vector<bool> chosen(messages.size(), false);
    for (auto [low, high] : *ranges) {
        if (byUid) {
            const std::uint32_t star = count ? messages.back().uid : 0;
            if (low == CImapCommandParser::kStar) low = star;
            if (high == CImapCommandParser::kStar) high = star;
            if (low > high) std::swap(low, high);
            auto it = std::lower_bound(messages.begin(), messages.end(), low,
                                       [](const MessageInfo& info, std::uint32_t value) { return info.uid < value; });
            for (; it != messages.end() && it->uid <= high; ++it) chosen[static_cast<std::size_t>(it - messages.begin())] = true;
            continue;
        }
        if (low == CImapCommandParser::kStar) low = count;
        if (high == CImapCommandParser::kStar) high = count;
        if (low > high) std::swap(low, high);
        if (low == 0 || high > count) {
            Bad(tag, "Sequence number out of range");
            return false;
        }
        for (std::uint32_t n = low; n <= high; ++n) chosen[n - 1] = true;
    }
    for (std::size_t i = 0; i < chosen.size(); ++i)
        if (chosen[i]) indexes.push_back(i);
    return true;
}

void CImapSession::Search(const Command& command, const Args& args, bool byUid) {
    std::string error;
    bool badCharset = false;
    const auto search = CImapSearch::Parse(args, error, badCharset);
    if (!search) {
        if (badCharset) return Tagged(command.tag, "NO", "[BADCHARSET (UTF-8 US-ASCII)] " + error);
        return Bad(command.tag, error);
    }
    const auto& messages = view->Messages();
    std::string result = "SEARCH";
    for (std::size_t i = 0; i < messages.size(); ++i) {
        UniqueFd fd;
        bool opened = false;
        CImapSearch::Candidate candidate;
        candidate.info = &messages[i];
        candidate.sequence = static_cast<std::uint32_t>(i + 1);
        candidate.lastSequence = static_cast<std::uint32_t>(messages.size());
        candidate.lastUid = messages.back().uid;
        candidate.file = [&]() {
            if (!opened) {
                opened = true;
                auto file = view->Open(messages[i].uid);
                if (file.Ok()) fd = std::move(file.value.fd);
            }
            return fd.Get();
        };
        if (search->Matches(candidate))
            result += " " + std::to_string(byUid ? messages[i].uid : static_cast<std::uint32_t>(i + 1));
    }
    Untagged(result);
    if (byUid) ReportChanges(true);
    Tagged(command.tag, "OK", "SEARCH completed");
}

bool CImapSession::SendFileRange(int fd, std::uint64_t offset, std::uint64_t length) {
    std::string& out = writer.Pending();
    while (length > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, kBlockSize));
        const std::size_t at = out.size();
        out.resize(at + want);
        const ssize_t got = ::pread(fd, out.data() + at, want, static_cast<off_t>(offset));
        if (got <= 0) {
            // The literal's length is promised: a file cut short is padded.
            out.resize(at);
            while (length > 0) {
                const std::size_t pad = static_cast<std::size_t>(std::min<std::uint64_t>(length, kBlockSize));
                writer.Pending().append(pad, ' ');
                length -= pad;
                if (!writer.Flush(false)) break;
            }
            return false;
        }
        out.resize(at + static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::uint64_t>(got);
        if (!writer.Flush(false)) return false;
    }
    return true;
}

namespace {

struct FetchItem {
    enum class Kind { Flags, Uid, InternalDate, Size, Envelope, BodyStructure, Body, Section };
    Kind kind = Kind::Flags;
    bool peek = true;
    std::string name;     // the response's name for a section ("RFC822", "BODY[]")
    std::string spec;     // between the brackets
    std::string partial;  // between < and >
    bool fixedName = false;
};

// FETCH's attributes; false for an unknown one.
bool ParseFetchItems(const CImapValue& value, std::vector<FetchItem>& items) {
    using Kind = FetchItem::Kind;
    std::vector<const CImapValue*> atoms;
    if (value.IsList()) {
        for (const CImapValue& item : value.items) atoms.push_back(&item);
    } else {
        atoms.push_back(&value);
    }
    if (atoms.empty()) return false;
    for (const CImapValue* atom : atoms) {
        if (!atom->IsAtom()) return false;
        const std::string name = Upper(atom->text);
        FetchItem item;
        if (name == "ALL" || name == "FAST" || name == "FULL") {
            if (!value.IsAtom()) return false;  // macros stand alone
            for (Kind kind : {Kind::Flags, Kind::InternalDate, Kind::Size, Kind::Envelope, Kind::Body}) {
                if ((kind == Kind::Envelope && name == "FAST") || (kind == Kind::Body && name != "FULL")) continue;
                FetchItem macro;
                macro.kind = kind;
                items.push_back(std::move(macro));
            }
            continue;
        }
        if (name == "FLAGS") item.kind = Kind::Flags;
        else if (name == "UID") item.kind = Kind::Uid;
        else if (name == "INTERNALDATE") item.kind = Kind::InternalDate;
        else if (name == "RFC822.SIZE") item.kind = Kind::Size;
        else if (name == "ENVELOPE") item.kind = Kind::Envelope;
        else if (name == "BODYSTRUCTURE") item.kind = Kind::BodyStructure;
        else if (name == "BODY") item.kind = Kind::Body;
        else if (name == "RFC822" || name == "RFC822.HEADER" || name == "RFC822.TEXT") {
            item.kind = Kind::Section;
            item.name = name;
            item.fixedName = true;
            item.peek = name == "RFC822.HEADER";
            item.spec = name == "RFC822" ? "" : name == "RFC822.HEADER" ? "HEADER" : "TEXT";
        } else if (name.rfind("BODY[", 0) == 0 || name.rfind("BODY.PEEK[", 0) == 0) {
            item.kind = Kind::Section;
            item.peek = name[4] == '.';
            const std::size_t open = atom->text.find('[');
            const std::size_t close = atom->text.find(']', open);
            if (close == std::string::npos) return false;
            item.spec = atom->text.substr(open + 1, close - open - 1);
            const std::string rest = atom->text.substr(close + 1);
            if (!rest.empty()) {
                if (rest.size() < 3 || rest.front() != '<' || rest.back() != '>') return false;
                item.partial = rest.substr(1, rest.size() - 2);
            }
        } else {
            return false;
        }
        items.push_back(std::move(item));
    }
    return true;
}

// "<origin.length>" without the brackets.
bool ParsePartial(const std::string& text, std::uint64_t& origin, std::uint64_t& length) {
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == text.size() || dot > 10 || text.size() - dot > 11)
        return false;
    origin = length = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == dot) continue;
        if (text[i] < '0' || text[i] > '9') return false;
        std::uint64_t& target = i < dot ? origin : length;
        target = target * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return length > 0 && origin <= 0xFFFFFFFFu && length <= 0xFFFFFFFFu;
}

}  // namespace

void CImapSession::Fetch(const Command& command, const Args& args, bool byUid) {
    using Kind = FetchItem::Kind;
    const std::string& tag = command.tag;
    if (args.size() != 2) return Bad(tag, "FETCH takes a sequence set and attributes");
    std::vector<FetchItem> items;
    if (!ParseFetchItems(args[1], items)) return Bad(tag, "Unknown FETCH attribute");
    // Only the structure and numbered parts need the whole file analysed;
    // the rest is the top header or plain ranges of the file.
    bool wantsFile = false, wantsAnalysis = false, wantsStructure = false, setsSeen = false, wantsFlags = false;
    for (FetchItem& item : items) {
        if (item.kind == Kind::Flags) wantsFlags = true;
        if (item.kind == Kind::Envelope || item.kind == Kind::BodyStructure || item.kind == Kind::Body)
            wantsAnalysis = wantsFile = true;
        if (item.kind == Kind::BodyStructure || item.kind == Kind::Body) wantsStructure = true;
        if (item.kind != Kind::Section) continue;
        wantsFile = true;
        if (!item.peek) setsSeen = true;
        if (!item.spec.empty()) wantsAnalysis = true;
        std::uint64_t origin = 0, length = 0;
        if (!item.partial.empty() && !ParsePartial(item.partial, origin, length))
            return Bad(tag, "Malformed partial range");
#ifdef VELMORA_IMAP_MESSAGE
        const auto section = CFetchSection::Parse(item.spec, item.partial);
        if (!section) return Bad(tag, "Malformed section");
        if (!section->part.empty()) wantsStructure = true;
#endif
    }
#ifndef VELMORA_IMAP_MESSAGE
    if (wantsAnalysis) return Tagged(tag, "NO", "[CANNOT] This attribute is not available yet");
#endif
    std::vector<std::size_t> indexes;
    if (!Resolve(tag, args[0], byUid, indexes)) return;
    bool failed = false;
    // One write for the read mark of every message the command served: the
    // layer writes many ids per statement.
    std::vector<std::uint32_t> nowSeen;
    for (std::size_t index : indexes) {
        MessageInfo info = view->Messages()[index];
        UniqueFd fd;
        if (wantsFile) {
            auto opened = view->Open(info.uid);
            if (!opened.Ok()) {
                g_moduleLog.Write("IMAP: message " + info.mailId + " of " + CModuleLog::ClientName(userName) +
                                  " cannot be read");
                failed = true;
                continue;
            }
            fd = std::move(opened.value.fd);
            info.size = opened.value.size;
        }
#ifdef VELMORA_IMAP_MESSAGE
        std::optional<CImapMessage> message;
        if (wantsAnalysis) {
            message = wantsStructure ? CImapMessage::Analyse(fd.Get(), info.size)
                                     : CImapMessage::AnalyseHeader(fd.Get(), info.size);
            if (!message) {
                failed = true;
                continue;
            }
        }
#endif
        bool reportFlags = wantsFlags;
        if (setsSeen && !(info.flags & mailbox::kSeen) && !view->ReadOnly()) {
            // Marked read together once the command's messages are out.
            nowSeen.push_back(info.uid);
            info.flags |= mailbox::kSeen;
            reportFlags = true;
        }
        std::string& out = writer.Pending();
        out += "* " + std::to_string(index + 1) + " FETCH (";
        bool firstItem = true;
        auto next = [&]() {
            if (!firstItem) writer.Pending() += ' ';
            firstItem = false;
        };
        bool uidSent = false;
        if (byUid) {
            next();
            writer.Pending() += "UID " + std::to_string(info.uid);
            uidSent = true;
        }
        for (const FetchItem& item : items) {
            switch (item.kind) {
                case Kind::Flags:
                    next();
                    writer.Pending() += "FLAGS " + FlagList(info);
                    reportFlags = false;
                    break;
                case Kind::Uid:
                    if (uidSent) break;
                    next();
                    writer.Pending() += "UID " + std::to_string(info.uid);
                    uidSent = true;
                    break;
                case Kind::InternalDate:
                    next();
                    writer.Pending() += "INTERNALDATE \"" + CImapDate::FormatDateTime(info.received) + "\"";
                    break;
                case Kind::Size:
                    next();
                    writer.Pending() += "RFC822.SIZE " + std::to_string(info.size);
                    break;
#ifdef VELMORA_IMAP_MESSAGE
                case Kind::Envelope:
                    next();
                    writer.Pending() += "ENVELOPE " + message->Envelope();
                    break;
                case Kind::BodyStructure:
                case Kind::Body:
                    next();
                    writer.Pending() += (item.kind == Kind::Body ? "BODY " : "BODYSTRUCTURE ") +
                                        message->BodyStructure(item.kind == Kind::BodyStructure);
                    break;
                case Kind::Section: {
                    next();
                    const auto section = CFetchSection::Parse(item.spec, item.partial);
                    writer.Pending() += (item.fixedName ? item.name : section->ResponseName()) + " ";
                    const auto pieces = message ? message->Section(*section) : std::nullopt;
                    if (!message) {
                        // The whole message needs no analysis.
                        std::uint64_t origin = 0, length = info.size;
                        if (section->partial) {
                            origin = std::min<std::uint64_t>(section->origin, info.size);
                            length = std::min<std::uint64_t>(section->length, info.size - origin);
                        }
                        writer.Pending() += "{" + std::to_string(length) + "}\r\n";
                        if (!SendFileRange(fd.Get(), origin, length)) failed = true;
                        break;
                    }
                    if (!pieces) {
                        writer.Pending() += "\"\"";
                        break;
                    }
                    std::uint64_t total = 0;
                    for (const auto& piece : *pieces) total += piece.generated ? piece.text.size() : piece.length;
                    writer.Pending() += "{" + std::to_string(total) + "}\r\n";
                    for (const auto& piece : *pieces) {
                        if (piece.generated) {
                            writer.Pending() += piece.text;
                        } else {
                            if (!SendFileRange(fd.Get(), piece.offset, piece.length)) failed = true;
                        }
                    }
                    break;
                }
#else
                case Kind::Envelope:
                case Kind::BodyStructure:
                case Kind::Body:
                    break;
                case Kind::Section: {
                    next();
                    std::uint64_t origin = 0, length = info.size;
                    if (!item.partial.empty()) {
                        ParsePartial(item.partial, origin, length);
                        origin = std::min<std::uint64_t>(origin, info.size);
                        length = std::min<std::uint64_t>(length, info.size - origin);
                    }
                    writer.Pending() += item.fixedName ? item.name + " "
                                                       : "BODY[]" + (item.partial.empty()
                                                                         ? std::string()
                                                                         : "<" + std::to_string(origin) + ">") +
                                                             " ";
                    writer.Pending() += "{" + std::to_string(length) + "}\r\n";
                    if (!SendFileRange(fd.Get(), origin, length)) failed = true;
                    break;
                }
#endif
            }
        }
        if (reportFlags) {
            next();
            writer.Pending() += "FLAGS " + FlagList(info);
        }
        writer.Pending() += ")\r\n";
        if (!writer.Flush(false)) {
            state = State::Logout;
            break;
        }
    }
    if (!nowSeen.empty()) {
        const auto updated = view->SetFlags(nowSeen, mailbox::FlagMode::Add, mailbox::kSeen, {});
        if (!updated.Ok()) {
            g_moduleLog.Write("IMAP: the read mark of " + CModuleLog::ClientName(userName) + " could not be written");
            failed = true;
        }
    }
    if (state == State::Logout) return;
    if (byUid) ReportChanges(true);
    if (failed) return Tagged(tag, "NO", "[UNAVAILABLE] Some messages could not be read");
    Tagged(tag, "OK", "FETCH completed");
}

void CImapSession::Store(const Command& command, const Args& args, bool byUid) {
    const std::string& tag = command.tag;
    if (args.size() != 3 || !args[1].IsAtom()) return Bad(tag, "STORE takes a sequence set, an item and flags");
    std::string item = Upper(args[1].text);
    mailbox::FlagMode mode = mailbox::FlagMode::Replace;
    if (!item.empty() && (item[0] == '+' || item[0] == '-')) {
        mode = item[0] == '+' ? mailbox::FlagMode::Add : mailbox::FlagMode::Remove;
        item.erase(0, 1);
    }
    const bool silent = item == "FLAGS.SILENT";
    if (item != "FLAGS" && !silent) return Bad(tag, "Unknown STORE item");
    std::uint32_t flags = 0;
    std::vector<std::string> keywords;
    const std::vector<CImapValue> single{args[2]};
    if (!ParseFlags(args[2].IsList() ? args[2].items : single, flags, keywords)) return Bad(tag, "Invalid flag");
    std::vector<std::size_t> indexes;
    if (!Resolve(tag, args[0], byUid, indexes)) return;
    if (view->ReadOnly()) return Tagged(tag, "NO", "[READ-ONLY] Mailbox is read-only");
    std::vector<std::uint32_t> uids;
    for (std::size_t index : indexes) uids.push_back(view->Messages()[index].uid);
    if (!uids.empty()) {
        const auto updated = view->SetFlags(uids, mode, flags, keywords);
        if (!updated.Ok()) return StoreError(tag, updated.error, "STORE");
        if (!silent) {
            for (const MessageInfo& info : updated.value) {
                const std::uint32_t sequence = SequenceOf(info.uid);
                if (sequence == 0) continue;
                Untagged(std::to_string(sequence) + " FETCH (" +
                         (byUid ? "UID " + std::to_string(info.uid) + " " : std::string()) + "FLAGS " +
                         FlagList(info) + ")");
            }
        }
    }
    if (byUid) ReportChanges(true);
    Tagged(tag, "OK", "STORE completed");
}

void CImapSession::CopyOrMove(const Command& command, const Args& args, bool byUid, bool move) {
    const std::string& tag = command.tag;
    const char* verb = move ? "MOVE" : "COPY";
    if (args.size() != 2) return Bad(tag, std::string(verb) + " takes a sequence set and a mailbox");
    std::vector<std::size_t> indexes;
    if (!Resolve(tag, args[0], byUid, indexes)) return;
    mailbox::FolderInfo target;
    if (!FindFolder(tag, args[1], target, true)) return;
    if (move && view->ReadOnly()) return Tagged(tag, "NO", "[READ-ONLY] Mailbox is read-only");
    if (indexes.empty()) return Tagged(tag, "OK", std::string(verb) + " completed (no messages)");
    std::vector<std::uint32_t> uids, before;
    for (std::size_t index : indexes) uids.push_back(view->Messages()[index].uid);
    for (const MessageInfo& info : view->Messages()) before.push_back(info.uid);
    const auto result = move ? view->Move(uids, target.folderId) : view->Copy(uids, target.folderId);
    if (!result.Ok()) return StoreError(tag, result.error, verb);
    std::vector<std::uint32_t> sources, targets;
    for (const auto& [source, copy] : result.value.uids) {
        sources.push_back(source);
        targets.push_back(copy);
    }
    const std::string copyUid = "COPYUID " + std::to_string(result.value.targetUidValidity) + " " + Join(sources) +
                                " " + Join(targets);
    if (!move) {
        if (byUid) ReportChanges(true);
        return Tagged(tag, "OK", "[" + copyUid + "] COPY completed");
    }
    // RFC 6851: the COPYUID goes ahead of the expunges.
    Untagged("OK [" + copyUid + "] Moved");
    std::sort(sources.begin(), sources.end());
    std::size_t removed = 0;
    for (std::uint32_t uid : sources) {
        const auto it = std::lower_bound(before.begin(), before.end(), uid);
        if (it == before.end() || *it != uid) continue;
        Untagged(std::to_string(static_cast<std::size_t>(it - before.begin()) + 1 - removed) + " EXPUNGE");
        ++removed;
    }
    ReportChanges(true);
    Tagged(tag, "OK", "MOVE completed");
}
