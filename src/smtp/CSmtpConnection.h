// CSmtpConnection: the system's one SMTP client.
//
// A blocking, single-connection session: greet a server (HELO, or EHLO with
// authentication for the relay host), name a sender and recipients, transfer
// one message at a time from a CMailContent, reset or quit. Used for the
// local SMTP server (re-injection of generated mail), for direct delivery to
// a domain's mail exchangers and for the relay host. Only reply codes are
// kept; each is the string of three digits of a reply's final line, or ""
// when no complete reply could be read. Everything read from the peer is
// bounded in size, and in time when the session waits for replies.
//
// A reply that could not be read (time-out, close, garbage) or a 421 ends
// the session: the socket is closed, so no later step waits on a peer that
// is out of step or gone, and IsConnected() tells the caller. Each step
// waits as long as RFC 5321 4.5.3.2 gives it (greeting, MAIL and RCPT
// 5 minutes, DATA 2, each data block 3, the end of data 10; every other
// command as long as MAIL), as the settings Ports\SMTP Client ... Timeout
// say. With a stop signal, a stop ends every wait at once except the
// wait for the reply to an end of data, which keeps the signal's grace: a
// message the peer may have taken is not given up a moment before its
// answer. A session that finishes its steps after a stop (a hand-over to
// the local server of mail already fetched) gets the grace for every wait.
//
// TLS, by policy: none (the local server, the default); opportunistic
// (RFC 7435: STARTTLS when the server offers it, no certificate check, and a
// failed handshake tries the same server once more without TLS); required
// (STARTTLS, certificate and name checked); implicit (TLS from the first
// byte, checked). Sessions that use TLS greet with EHLO (HELO again when
// it is refused), their handshake is bounded like a reply, and the
// diagnostic log says whether each one is encrypted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "smtp/CGeneratedMailSessions.h"
#include "smtp/TcpSocket.h"

class CMailContent;
class StatusWindow;
class StopSignal;
class TlsContext;
class TlsStream;

class CSmtpConnection {
public:
    static constexpr std::uint32_t kDefaultChunkSize = 5120;
    // A block is held in memory; a larger configured size is clamped to this.
    static constexpr std::uint32_t kMaxChunkSize = 1u << 20;
    static constexpr std::size_t kResponseBufferSize = 512;
    // A reply longer than this is not a reply: the session reports "".
    static constexpr std::size_t kMaxReplyBytes = 64 * 1024;

    // How long each step waits for its reply (and to send its lines).
    struct Timeouts {
        std::chrono::milliseconds greeting = std::chrono::minutes(5);
        std::chrono::milliseconds mail = std::chrono::minutes(5);  // and every command without its own
        std::chrono::milliseconds rcpt = std::chrono::minutes(5);
        std::chrono::milliseconds dataStart = std::chrono::minutes(2);
        std::chrono::milliseconds dataBlock = std::chrono::minutes(3);
        std::chrono::milliseconds dataEnd = std::chrono::minutes(10);
    };
    // The settings' values; the default of each one that is missing or out of range.
    static Timeouts ConfiguredTimeouts();

    // The local SMTP server: "127.0.0.1", port 25 means the configured
    // Ports\SMTP Port on the loopback address.
    static constexpr const char* kLocalHost = "127.0.0.1";
    static constexpr int kLocalPort = 25;

    // Connect results.
    static constexpr int kConnectFailed = 0;
    static constexpr int kConnected = 1;
    static constexpr int kUnknownHost = 2;

    // ExtendedLogin methods.
    static constexpr int kCramMD5Method = 1;
    static constexpr int kAuthLoginMethod = 2;
    static constexpr int kLoginPlainMethod = 3;
    // AUTH PLAIN (RFC 4616): user and password in one line, so only over TLS.
    static constexpr int kAuthPlainMethod = 4;
    // Lines of a reply kept for the extension look-up (an EHLO reply).
    static constexpr std::size_t kMaxKeptReplyLines = 64;

    enum class TlsPolicy { None, Opportunistic, Required, Implicit };

    // Takes the time-outs from the settings.
    CSmtpConnection();
    // Closes the socket if still open; sends no QUIT.
    virtual ~CSmtpConnection();
    CSmtpConnection(const CSmtpConnection&) = delete;
    CSmtpConnection& operator=(const CSmtpConnection&) = delete;

    // Leading and trailing white space removed; empty becomes "localhost".
    void SetHeloName(const std::string& name);
    // This machine's own name for greeting other servers: name when it is a
    // full domain name (COwnNames::Domain), else the address literal of the
    // connection's local end ("[192.0.2.1]"), taken once connected.
    void SetOwnName(const std::string& name);
    // Receives refused reply codes and transfer progress; may be null. Not owned.
    void SetProgressWindow(StatusWindow* window);
    // Block size of the message transfer; 0 means the default, 5120.
    void SetChunkSize(std::uint32_t bytes);
    // Marks the sessions this object opens as carrying mail the engine
    // generated, so that the local SMTP server gives them no relay right
    // (CGeneratedMailSessions). Set before connecting.
    void SetGeneratedMail(bool generated) { generatedMail = generated; }
    // Mail fetched from a remote mailbox, handed to the own listener: filtered there as outside mail.
    void SetFetchedMail(bool fetched) { fetchedMail = fetched; }
    // Set before connecting; None unless set.
    void SetTlsPolicy(TlsPolicy policy) { tlsPolicy = policy; }
    bool IsEncrypted() const;

    // The path RcptTo sends for an address ("" when it has none): comments
    // removed, the text inside angle brackets, trimmed. Whoever decides
    // where an address leads judges this text, not the raw one.
    static std::string RecipientPath(const std::string& address);

    // 1 connected and greeted; 2 no exchanger found, a name server reached and
    // the domain itself not connectable; 0 otherwise. Greets with HELO.
    int Connect(const std::string& host, int port, bool useMx);
    // The same, greeting with EHLO, with diagnostic lines.
    int ExtendedConnectToServer(const std::string& host, int port, bool useMx);
    bool MailFrom(const std::string& address);
    bool RcptTo(const std::string& address);
    // DATA: the message bytes dot-stuffed, then the end-of-data line.
    bool SendData(CMailContent& content);
    bool Reset();
    void Quit();
    void Disconnect();
    std::string ReadResponse();
    // Reads the greeting (220), then Greet.
    bool Handshake(const std::string& greeting);
    // "HELO name" or "EHLO name"; true on 250, with the extensions of an EHLO kept.
    bool Greet(const std::string& greeting);
    // 1 AUTH CRAM-MD5, 2 AUTH LOGIN, 3 AUTH LOGIN with prompts compared in base64,
    // 4 AUTH PLAIN.
    bool ExtendedLogin(int method, const std::string& user, const std::string& password);

    // One bound for every step's waits while replies are awaited.
    void SetReplyWait(std::chrono::milliseconds wait) { timeouts = {wait, wait, wait, wait, wait, wait}; }
    void SetTimeouts(const Timeouts& set) { timeouts = set; }
    // The signal whose raise ends the session's waits (not owned; null:
    // none); with finishSteps every wait keeps the signal's grace instead.
    void SetStopSignal(const StopSignal* signal, bool finishSteps = false);
    // The code of the last reply ("" when none could be read, or when the
    // last command could not be sent) and its final line without the line end.
    const std::string& LastCode() const { return lastCode; }
    std::string LastReply() const;
    // Sessions opened without mail-exchanger look-up wait without bound
    // unless this is set (a relay host elsewhere may stall). Set before connecting.
    void SetBoundedReplies(bool bounded) { boundedReplies = bounded; }
    bool IsConnected() const { return static_cast<bool>(socket); }
    // Whether the last EHLO reply named this extension keyword (STARTTLS,
    // AUTH, ...), compared without regard to case.
    bool Offers(const std::string& keyword) const;
    const std::string& HeloName() const { return heloName; }
    std::uint32_t ChunkSize() const { return chunkSize; }

protected:
    // Hands bytes to the peer, whole; every byte of the session leaves here.
    virtual bool SendRaw(const char* data, std::size_t length);

private:
    void ForgetReply();
    // A line of a step that waits `wait` for room; a failed send ends the session.
    bool Send(const std::string& text, std::chrono::milliseconds wait);
    // The reply of a step that waits `wait`; finishing keeps the stop's grace.
    std::string ReadReply(std::chrono::milliseconds wait, bool finishing = false);
    std::string ReadReplyCode(std::chrono::milliseconds wait, bool finishing);
    // The watch of one wait: a finishing wait lets its step complete after a stop.
    tcp::StopWatch Watch(bool finishing) const;
    int OpenSession(const std::string& host, int port, bool useMx, const char* greeting, bool extended);
    bool ConnectSocket(const std::string& host, int port);
    // Connects and greets one server; an opportunistic session whose
    // handshake failed is tried once more without TLS.
    bool Attempt(const std::string& host, int port, const char* greeting, bool extended);
    // handshakeFailed tells a failed handshake from any other failure.
    bool StartSession(const std::string& host, const char* greeting, bool withTls, bool& handshakeFailed);
    bool StartTls(const std::string& host);
    bool SendText(const std::string& text) { return Send(text, timeouts.mail); }
    void PostStatusLine(const std::string& code);
    void PostProgress(const std::string& text, long percent);
    // The text of the last reply's final line after its code and blank.
    std::string Challenge() const;
    bool CramMd5(const std::string& user, const std::string& password);
    bool AuthLogin(const std::string& user, const std::string& password);
    bool AuthLoginPlain(const std::string& user, const std::string& password);
    bool AuthPlain(const std::string& user, const std::string& password);
    // The words of the EHLO reply line naming keyword, or null.
    const std::vector<std::string>* Extension(const std::string& keyword) const;

    StatusWindow* progressWindow = nullptr;
    std::string heloName = "localhost";
    bool literalWhenUnnamed = false;
    char responseBuffer[kResponseBufferSize];
    UniqueFd socket;
    TlsPolicy tlsPolicy = TlsPolicy::None;
    std::unique_ptr<TlsContext> tlsContext;
    // Carries all traffic once the handshake has begun.
    std::unique_ptr<TlsStream> tls;
    bool waitForReplies = false;
    bool boundedReplies = false;
    std::uint32_t chunkSize = kDefaultChunkSize;
    Timeouts timeouts;
    // What SendRaw waits for room, set by the step that sends.
    std::chrono::milliseconds sendWait = timeouts.mail;
    const StopSignal* stopSignal = nullptr;
    bool finishSteps = false;
    bool generatedMail = false;
    bool fetchedMail = false;
    std::uint16_t registeredPort = 0;  // registered with CGeneratedMailSessions
    CGeneratedMailSessions::Kind registeredKind = CGeneratedMailSessions::Kind::Generated;
    // The final line of the last reply (at most kResponseBufferSize bytes).
    std::string finalLine;
    std::string lastCode;
    // The lines of the last reply, trimmed, without their codes.
    std::vector<std::string> replyLines;
    // The last EHLO reply's extensions, each as its words (the greeting line left out).
    std::vector<std::vector<std::string>> extensions;
};
