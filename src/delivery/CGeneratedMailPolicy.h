// CGeneratedMailPolicy: where mail the server generates because of an
// incoming message may go.
//
// Delivery and read receipts, quota notices and, as they come, the
// auto-response, forwarding-loop notices and bounces all ask this one
// object, so the server never sends its own text to an address a stranger
// chose. A message with a null envelope sender causes no generated mail at
// all. Otherwise generated mail may go to a remote address only when the
// message came from a client that may relay, or when the address is the
// message's own envelope sender; every other address must be local: a
// domain served here whose user is an account, resolved through the
// account database the way the SMTP server resolves a recipient. Text
// quoted from the message into a notice is cut (Quote).
#pragma once

#include <cstddef>
#include <string>

class CAccountDatabase;

class CGeneratedMailPolicy {
public:
    // Longest text quoted from an incoming message into a notice, in bytes
    // (characters of the notice's single-byte character set).
    static constexpr std::size_t kMaxQuotedText = 200;

    // envelopeSender as received ("" or "<>" for the null sender); mayRelay:
    // the right of the client that handed the message in; database resolves
    // local addresses (null: no address is local). Not owned.
    CGeneratedMailPolicy(std::string envelopeSender, bool mayRelay, CAccountDatabase* database);
    // For a message whose envelope is no longer known (a stored message
    // being read): local addresses only.
    static CGeneratedMailPolicy ForUnknownOrigin(CAccountDatabase* database);

    // False when the message may cause no generated mail at all.
    bool MayGenerate() const;
    // True when generated mail may go to address, given as it will be
    // handed to the SMTP client (a header value is judged by the path the
    // client would send).
    bool MaySendTo(const std::string& address) const;
    // True for a path ("user@domain", or a bare user) that this server
    // delivers to one of its own accounts.
    bool IsLocalAddress(const std::string& path) const;
    // The envelope sender's path ("" for the null sender or an unknown origin).
    const std::string& EnvelopeSender() const { return sender; }
    // The message came from a client that may relay: this machine, the
    // office's networks or an authenticated client, not a stranger.
    bool FromTrustedClient() const { return mayRelay; }

    // text cut to kMaxQuotedText bytes, never inside a UTF-8 character.
    static std::string Quote(const std::string& text);

private:
    bool IsServedDomain(const std::string& domain) const;

    std::string sender;  // the envelope sender's path
    bool mayRelay;
    bool originKnown;
    CAccountDatabase* database;
};
