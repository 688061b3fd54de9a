// CLocalHandBack: the one way back into the mail flow. A message the engine
// makes, fetches or imports (notices, bounces, auto-responses, forwarded
// copies, remote POP3 mail, Netware files) is handed to this server's own
// SMTP listener on the loopback address, which routes it like any other
// message: connect, MAIL, RCPT, DATA, QUIT.
//
// The content is streamed from its CMailContent, never held whole. Every
// session is bounded in time (the configured SMTP client time-outs) and
// greets with the server's own name (COwnNames). A session may carry
// several messages; a transaction that did not complete is reset, so the
// next one starts clean. The result says which recipients were taken and,
// when the hand-back failed, at which step and with which reply line.
//
// This is the one place every re-injected message passes: a later content
// filter or DKIM signer for mail the engine generates attaches here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CMailContent;
class CSmtpConnection;
class StopSignal;

class CLocalHandBack {
public:
    struct Options {
        // Mail the engine generated: its sessions get no relay right
        // (CGeneratedMailSessions).
        bool generatedMail = false;
        // Mail fetched from a remote mailbox: the listener filters it as
        // outside mail (CGeneratedMailSessions::Kind::Fetched).
        bool fetchedMail = false;
        // The greeting name; "" means COwnNames::Domain() (else the address
        // literal of the connection's local end).
        std::string ownName;
        // A stop ends no step early: the message in hand finishes within the
        // signal's grace. Not owned; null: none.
        const StopSignal* stop = nullptr;
        // Block size of the transfer; 0 means the client's default.
        std::uint32_t chunkSize = 0;
    };

    struct Recipient {
        std::string address;
        // Asked for when address is refused ("" none).
        std::string orElse;
        // Refused (and its alternative too): the message is not sent.
        bool required = false;
    };

    struct Envelope {
        std::string sender;  // "" is the null reverse-path
        // Tried when the sender is refused ("" none).
        std::string fallbackSender;
        std::vector<Recipient> recipients;
    };

    enum class Step { None, Connect, Sender, Recipient, Data };

    struct Result {
        bool sent = false;  // the end of data was answered 250
        // Per recipient, in order: the address the listener took ("" when
        // refused) and the reply line to its last RCPT.
        struct Taken {
            std::string acceptedAs;
            std::string reply;
        };
        std::vector<Taken> recipients;
        // The step that failed (None when sent), its reply code ("" when no
        // reply could be read) and final line, and whether the session was
        // still open after it.
        Step failedAt = Step::None;
        std::string code;
        std::string reply;
        bool sessionOpen = false;

        std::size_t AcceptedCount() const;
    };

    explicit CLocalHandBack(Options options);
    // Ends an open session with QUIT.
    ~CLocalHandBack();
    CLocalHandBack(const CLocalHandBack&) = delete;
    CLocalHandBack& operator=(const CLocalHandBack&) = delete;

    // Connects and greets unless a session is open; true when one is.
    bool Open();
    bool IsOpen() const;
    // One message on the open session (failedAt Connect when there is none).
    Result HandBack(const Envelope& envelope, CMailContent& content);
    // QUIT and disconnect, when open.
    void Close();

    // Open, HandBack and Close in one.
    static Result Once(const Options& options, const Envelope& envelope, CMailContent& content);
    // The envelope of one sender and one recipient.
    static Envelope To(const std::string& sender, const std::string& recipient);

private:
    // Records the failed step's reply and resets the transaction.
    Result& Fail(Result& result, Step step);

    Options options;
    std::unique_ptr<CSmtpConnection> smtp;
};
