// CPop3Connection: the client side of POP3 (RFC 1939) as the downloads of
// remote mailboxes use it: connect and read the greeting, log in with
// USER/PASS, count messages, ask one message's size or unique id, load the
// whole unique-id listing, retrieve a message into a temporary message file,
// read a message's header, delete a message, quit.
//
// No APOP or pipelining. TLS: port 995 is TLS from the first byte (RFC
// 8314); elsewhere Login asks CAPA and starts TLS with STLS (RFC 2595) when
// the server lists it. When TLS is required, a server without it is not
// logged into, and its certificate and name must check out against the
// trusted authorities; otherwise TLS is opportunistic and checks nothing.
// The handshake is bounded like a reply. One object is used by one thread
// at a time. Failures are results only (false,
// -1, "" or null); nothing is logged here. Everything read from the server is
// bounded: each reply line in length, each wait in time, a listing and a
// message in size. Retrieved messages are stored with the byte-stuffing
// undone, exactly as the sender wrote them.
//
// A stop (the stop signal raised) starts no further retrieval, but the step
// in hand still ends as it should: every wait goes on until the signal's
// grace end at the latest. So a message on its way is taken whole and the
// QUIT that follows is sent and answered, and the server deletes what was
// stored (closing without QUIT would undo every deletion of the session).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "smtp/TcpSocket.h"

class CTempMailContent;
class StatusWindow;
class StopSignal;
class TlsContext;
class TlsStream;

class CPop3Connection {
public:
    // A reply line, CR LF included, must fit in this many bytes less one.
    static constexpr std::size_t kReplyBufferSize = 512;
    static constexpr std::uint32_t kDefaultReceiveBufferSize = 5120;
    static constexpr std::uint32_t kMinReceiveBufferSize = 512;
    static constexpr std::uint32_t kMaxReceiveBufferSize = 1u << 20;
    // The wait for each status reply and each piece of a message.
    static constexpr std::chrono::seconds kReplyWait{90};
    // The inactivity limit while a listing arrives.
    static constexpr std::chrono::milliseconds kListingIdle{2000};
    // Bounds of one listing line's parts (RFC 1939 allows ids of 70 bytes).
    static constexpr std::size_t kMaxNumberLength = 14;
    static constexpr std::size_t kMaxUidLength = 999;
    // A message may not grow past what a message stream can hold.
    static constexpr std::uint64_t kMaxMessageBytes = 0xFFFFFFFFull;
    // The port where TLS starts at once.
    static constexpr std::uint16_t kImplicitTlsPort = 995;
    // A CAPA listing longer than this is no capability list.
    static constexpr std::size_t kMaxCapabilities = 4096;

    CPop3Connection();
    ~CPop3Connection();
    CPop3Connection(const CPop3Connection&) = delete;
    CPop3Connection& operator=(const CPop3Connection&) = delete;

    // Connects and reads the greeting; false (and closed) when either fails.
    bool Connect(const std::string& host, std::uint16_t port);
    // The same over a connection made elsewhere (a socket pair in a test).
    bool Attach(UniqueFd connected);
    // STLS first when offered (and not yet under TLS), then "User " and
    // "Pass "; true when both are accepted. Refused without sending the
    // password when TLS is required and could not be had.
    bool Login(const std::string& user, const std::string& password);
    // Set before connecting; off unless set.
    void SetRequireTls(bool required) { requireTls = required; }
    // Preferences\POP3 Require TLS.
    static bool TlsRequiredBySettings();
    bool IsEncrypted() const;
    // "TLSv1.3 TLS_AES_256_GCM_SHA384", or "" without TLS.
    std::string TlsDescription() const;
    // Why TLS could not be had ("" when nothing failed).
    const std::string& TlsFailure() const { return tlsFailure; }
    // For the diagnostic log after Login: whether the session is encrypted,
    // and why TLS failed when it did.
    std::string SessionNote() const;
    // STAT: the message count, -1 on failure.
    int GetMessageCount();
    // LIST n: the octet count, -1 on failure.
    long GetMessageSize(int number);
    // UIDL n: the unique id, "" on failure.
    std::string GetUidl(int number);
    // UIDL: fills the listing (entry i is message i + 1's id); false on failure.
    bool LoadUidlList(int messageCount);
    // The number of the first message in the listing with exactly this id.
    bool FindUidl(const std::string& uid, int& number) const;
    const std::vector<std::string>& UidlList() const { return uidlList; }
    // RETR n: the message in a new temporary file positioned at its end, or
    // null. With leave-on-server off the message is deleted after it arrived.
    // After a stop nothing is asked for (null, and the session stays open).
    std::unique_ptr<CTempMailContent> RetrieveMessage(int number);
    // TOP n 0: the header of message n, at most maxBytes of it; false on failure.
    bool RetrieveHeader(int number, std::string& header, std::size_t maxBytes);
    // DELE n.
    bool DeleteMessage(int number);
    // "Quit" and its reply (not looked at).
    void Quit();
    void Close();
    bool IsConnected() const { return static_cast<bool>(socket); }

    void SetLeaveOnServer(bool leave) { leaveOnServer = leave; }
    // Receives the retrieval progress texts; may be null. Not owned.
    void SetStatusWindow(StatusWindow* window) { statusWindow = window; }
    // The size of each receive of a message, clamped to the bounds above.
    void SetReceiveBufferSize(std::uint32_t bytes);
    // The owner's stop (see above). Not owned; may be null.
    void SetStopSignal(const StopSignal* signal) { stopSignal = signal; }
    // A message growing past this fails its retrieval (a server sending without end).
    void SetMaxMessageBytes(std::uint64_t bytes) { maxMessageBytes = bytes; }
    void SetReplyWait(std::chrono::milliseconds wait) { replyWait = wait; }
    void SetListingIdle(std::chrono::milliseconds idle) { timeout = idle; }
    // The last status line without its line end ("" after a failed read).
    std::string LastReply() const;

private:
    bool SendCommand(const std::string& command);
    bool StartTls();
    // CAPA lists STLS.
    bool OffersStls();
    // One reply line into replyBuffer; bytes after it stay pending.
    bool ReadStatusLine();
    // The body of a multi-line reply, unstuffed, at most maxBytes; each wait
    // ends after `timeout` without data.
    bool ReadListing(std::string& body, std::size_t maxBytes);
    // Receives into pending, waiting at most until deadline; false on
    // time-out, close or error.
    bool ReceiveMore(std::chrono::steady_clock::time_point deadline, std::size_t room);
    void PostProgress(std::uint64_t received, std::uint64_t announced);
    bool Stopping() const;
    // Every wait lets its step finish after a stop, within the grace.
    tcp::StopWatch Watch() const { return {stopSignal, tcp::OnStop::Finish}; }

    std::chrono::milliseconds timeout = kListingIdle;
    std::size_t replyLength = 0;
    bool leaveOnServer = true;
    char replyBuffer[kReplyBufferSize];
    UniqueFd socket;
    std::string host;  // the name the certificate must carry
    std::uint16_t port = 0;
    bool requireTls = false;
    std::unique_ptr<TlsContext> tlsContext;
    std::unique_ptr<TlsStream> tls;
    std::string tlsFailure;
    StatusWindow* statusWindow = nullptr;
    std::uint32_t receiveBufferSize = kDefaultReceiveBufferSize;
    std::vector<std::string> uidlList;
    // Bytes received past the last reply line, not yet used.
    std::string pending;
    const StopSignal* stopSignal = nullptr;
    std::uint64_t maxMessageBytes = kMaxMessageBytes;
    std::chrono::milliseconds replyWait = kReplyWait;
};
