// CPop3Session: the server side of one POP3 connection (RFC 1939 with CAPA,
// UIDL, TOP and the response codes of RFC 2449 and 3206).
//
// The maildrop is the account's Inbox, listed and read through the shared
// mailbox layer (in UID order, so the list matches an IMAP client's). At login the session takes the
// account's lock (a second session gets [IN-USE]) and fixes its list of
// messages: numbers, sizes and unique ids (the store's mail ids, never
// reused) stay as they were for the whole session, whatever delivery adds
// meanwhile. DELE marks in the session only; QUIT writes the marks to the
// store and commits them through its own delete, so a connection that ends
// any other way, even with the process, deletes nothing (and what a QUIT
// had begun is finished by the next start). Messages are streamed in
// blocks, dot-stuffed. The password never reaches a log.
//
// Before login a client has "POP3 Login Timeout" from connecting and
// CPop3Settings::kMaxCommandsBeforeLogin commands; then it is closed.
//
// TLS (RFC 2595): STLS is offered before login when the listener has a
// certificate; a session on the implicit-TLS port starts with the
// handshake. Input pipelined behind STLS is thrown away and USER given
// before it forgotten. With RequireTLSForLogin, clients outside the
// loopback and private networks may use USER/PASS only inside TLS.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CClientAddress.h"
#include "CLineReader.h"
#include "CLoginThrottle.h"
#include "CPop3Command.h"
#include "CPop3Settings.h"
#include "CPop3Writer.h"
#include "ModuleVisibility.h"
#include "platform/UniqueFd.h"
#include "store/CMailboxStore.h"

class CAccountDatabase;
class CListenerTls;
class CLocalAccount;
class TlsStream;

class MODULE_LOCAL CPop3Session {
public:
    struct Environment {
        CAccountDatabase* database = nullptr;
        CLoginThrottle* throttle = nullptr;
        int stopFd = -1;
        // The listener's certificate; null or not Available(): no TLS.
        const CListenerTls* tls = nullptr;
        // The session is on the implicit-TLS port: handshake first.
        bool implicitTls = false;
    };

    // RFC 2449: a command line is at most 255 octets, CR LF included.
    static constexpr std::size_t kMaxCommandLine = 255;
    // Errors a session may make before it is closed.
    static constexpr int kMaxErrors = 20;
    // Failed logins one connection may try.
    static constexpr int kMaxLoginFailures = 3;

    CPop3Session(UniqueFd socket, const CClientAddress& client, const Environment& environment,
                 const CPop3Settings& settings);
    ~CPop3Session();
    CPop3Session(const CPop3Session&) = delete;
    CPop3Session& operator=(const CPop3Session&) = delete;

    // Serves the connection to its end; nothing thrown escapes.
    void Run();

private:
    struct Message {
        std::uint32_t size = 0;
        std::string uid;
        bool deleted = false;
        std::uint32_t layerUid = 0;  // in the Inbox's mailbox view
        long entry = 0;              // the account object's number of it
        bool read = false;
    };

    void Serve();
    // False when the session is to end.
    bool Dispatch(const CPop3Command& command);
    void Error(const std::string& text);
    bool TlsOffered() const;
    // USER/PASS refused here until the session is under TLS.
    bool LoginNeedsTls() const;
    // The handshake on the socket; false when the session must end.
    bool StartTls();
    void Login(const std::string& password);
    bool MayRead(long accountId);
    void ListOrUidl(const CPop3Command& command, bool uidl);
    // The message an argument names, or null after answering -ERR.
    Message* Lookup(const std::string& argument, long& number);
    void Send(const CPop3Command& command, bool top);
    void Delete(const CPop3Command& command);
    void Reset();
    void Quit();
    // Ends the session without UPDATE: marks undone, lock released.
    void Abandon();
    // Records the retrieved messages read, their rows in one commit.
    void MarkRetrievedRead();

    UniqueFd socket;
    CClientAddress client;
    Environment environment;
    CPop3Settings settings;
    CLineReader reader;
    CPop3Writer writer;
    std::unique_ptr<TlsStream> tls;
    std::string userName;
    std::unique_ptr<CLocalAccount> account;
    // The Inbox as the shared mailbox layer lists it: what the session
    // lists and reads. The account object keeps the POP3 lock, the read
    // mark (with its receipts) and the deletions at QUIT.
    std::unique_ptr<mailbox::CMailboxView> inbox;
    std::vector<Message> messages;
    // Retrieved and not yet recorded read: written together at the next
    // other command, every kReadMarkBatch messages and at the session's end.
    static constexpr std::size_t kReadMarkBatch = 64;
    std::vector<long> retrievedUnmarked;
    CLineReader::Clock::time_point loginDeadline;
    int commandsBeforeLogin = 0;
    int errors = 0;
    int loginFailures = 0;
    bool closing = false;
};
