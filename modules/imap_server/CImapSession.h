// CImapSession: the server side of one IMAP connection (IMAP4rev1, RFC 3501,
// with IDLE, UIDPLUS, MOVE, LITERAL+, SPECIAL-USE, NAMESPACE, ENABLE,
// UNSELECT, CHILDREN, ID and SASL-IR).
//
// A command is read whole before it runs: its lines and literals (a "+"
// continuation for a synchronizing one), bounded by
// CImapCommandParser::kMaxLine outside literals, 64 KB per literal, and for
// APPEND's message the account's receive limit or "IMAP Max Literal". The
// message of an APPEND goes to a temporary file first, so a connection
// dropped in the middle stores nothing. Malformed, unknown and out-of-state
// commands get BAD and never reach the store.
//
// The mailbox is reached only through mailbox::CMailboxStore, made by the
// environment's factory at login. A selected folder is a CMailboxView whose
// snapshot moves only when the session refreshes it: after each command but
// FETCH, STORE and SEARCH (RFC 3501 7.4.1), and while IDLE, woken by the
// store's change counter. Message bodies are streamed from the file in
// blocks. A message whose file is missing fails that message only.
//
// Before login a client has "IMAP Login Timeout" and kMaxCommandsBeforeLogin
// commands; after it, "IMAP Autologout" of silence (each command, IDLE's
// included, re-arms it). Failed logins go through the shared throttle; the
// password never reaches a log. With RequireTLSForLogin, clients outside
// loopback and private networks see LOGINDISABLED until STARTTLS.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CClientAddress.h"
#include "CImapCommandParser.h"
#include "CImapLogin.h"
#include "CImapSettings.h"
#include "CLineReader.h"
#include "CLoginThrottle.h"
#include "CSocketWriter.h"
#include "ModuleVisibility.h"
#include "platform/UniqueFd.h"
#include "store/CMailboxStore.h"

class CListenerTls;
class CTempMailContent;
class TlsStream;

class MODULE_LOCAL CImapSession {
public:
    struct Environment {
        // Checks a user name and password (CImapLogin::Check on the account database).
        std::function<CImapLoginResult(const std::string& user, const std::string& password)> login;
        // The logged-in account's mailbox; null when it cannot be opened.
        std::function<std::unique_ptr<mailbox::CMailboxStore>(long accountId)> openMailbox;
        CLoginThrottle* throttle = nullptr;
        int stopFd = -1;
        const CListenerTls* tls = nullptr;  // null or not Available(): no TLS
        bool implicitTls = false;           // the implicit-TLS port: handshake first
    };

    // A literal of anything but APPEND's message.
    static constexpr std::uint64_t kMaxLiteral = 64 * 1024;
    static constexpr int kMaxErrors = 30;
    static constexpr int kMaxLoginFailures = 3;

    CImapSession(UniqueFd socket, const CClientAddress& client, const Environment& environment,
                 const CImapSettings& settings);
    ~CImapSession();
    CImapSession(const CImapSession&) = delete;
    CImapSession& operator=(const CImapSession&) = delete;

    // Serves the connection to its end; nothing thrown escapes.
    void Run();

private:
    enum class State { NotAuthenticated, Authenticated, Selected, Logout };
    enum class ReadStatus { Ok, Answered, Close };
    using Command = CImapCommandParser::Command;
    using Args = std::vector<CImapValue>;

    void Serve();
    ReadStatus ReadCommand(Command& command);
    bool ReadLiteral(std::uint64_t size, std::string* into, CTempMailContent* file);
    void Dispatch(const Command& command);
    // What may be reported after the command (RFC 3501 7.4.1).
    void ReportChanges(bool expungesAllowed);

    void Tagged(const std::string& tag, const char* status, const std::string& text);
    void Untagged(const std::string& text);
    void Bad(const std::string& tag, const std::string& text);
    bool TlsOffered() const;
    bool LoginNeedsTls() const;
    std::string Capabilities() const;
    bool StartTls();

    void Login(const std::string& tag, const std::string& user, const std::string& password);
    void Authenticate(const Command& command);
    void Select(const Command& command, bool readOnly);
    void Deselect();
    void List(const Command& command, bool lsub);
    void Status(const Command& command);
    void FolderCommand(const Command& command);
    void Append(const Command& command);
    void Idle(const Command& command);
    void Expunge(const std::string& tag, const std::vector<std::uint32_t>* uids);
    void Search(const Command& command, const Args& args, bool byUid);
    void Fetch(const Command& command, const Args& args, bool byUid);
    void Store(const Command& command, const Args& args, bool byUid);
    void CopyOrMove(const Command& command, const Args& args, bool byUid, bool move);

    // The folder a client's name stands for; answers NO when there is none.
    bool FindFolder(const std::string& tag, const CImapValue& name, mailbox::FolderInfo& folder,
                    bool tryCreate = false);
    // Indexes into the view's messages; false (after BAD) for a malformed
    // set or, with sequence numbers, one out of range.
    bool Resolve(const std::string& tag, const CImapValue& set, bool byUid, std::vector<std::size_t>& indexes);
    std::uint32_t SequenceOf(std::uint32_t uid) const;
    void StoreError(const std::string& tag, mailbox::Error error, const char* what);
    // Sends the byte range of a message file as a literal, block by block.
    bool SendFileRange(int fd, std::uint64_t offset, std::uint64_t length);

    UniqueFd socket;
    CClientAddress client;
    Environment environment;
    CImapSettings settings;
    CLineReader reader;
    CSocketWriter writer;
    std::unique_ptr<TlsStream> tls;
    State state = State::NotAuthenticated;
    std::string userName;
    std::uint64_t appendLimit = 0;
    std::unique_ptr<mailbox::CMailboxStore> store;
    std::unique_ptr<mailbox::CMailboxView> view;
    // APPEND's message as received, until the command has run.
    std::unique_ptr<CTempMailContent> appendContent;
    std::uint64_t appendSize = 0;
    CLineReader::Clock::time_point loginDeadline;
    int commandsBeforeLogin = 0;
    int errors = 0;
    int loginFailures = 0;
    bool reported = false;  // the command reported the view's changes itself
};
