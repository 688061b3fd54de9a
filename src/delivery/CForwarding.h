// CForwarding: an account's forwarding addresses and the sending on of
// every message it receives.
//
// Each enabled Forwarding row names a target; a copy goes either through the
// local SMTP server on the loopback address (RouteLocal) or straight onto
// the outbound queue for the target's domain. With Preferences
// "ChangeToAddress" on, each copy's To field names its own target, rewritten
// in place: every other header line goes on as it came, so the Received
// lines keep counting the servers passed. A message that has passed more
// than 25 servers is not forwarded; its sender gets a notice instead. Every
// copy, and that notice, goes with (or to) the envelope sender the message
// came with, the null sender included, never an address from its header.
//
// The account keeps its own copy when ForwardOptions says so, and also
// whenever not every forward was handed over (the local server unreachable
// or refusing, the queue not writable, a loop): a message is never
// delivered nowhere. That case is one line in the diagnostic log.
#pragma once

#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CGeneratedMailPolicy;
class CMailContent;
class CMailHeader;
class CUserRecord;

class CForwarding {
public:
    static constexpr int kMaxReceived = 25;
    static constexpr std::size_t kMaxUserId = 64;
    static constexpr std::size_t kMaxServerAddr = 254;
    // Rows beyond this many are not read: one message, bounded work.
    static constexpr std::size_t kMaxEntries = 256;
    static constexpr std::uint32_t kCopyBlock = 64 * 1024;
    static constexpr const char* kOutboxDirectory = "Outbox";

    struct Entry {
        std::string userId;
        std::string serverAddr;
        bool routeLocal = false;
        std::string Address() const { return userId + "@" + serverAddr; }
    };

    // The account's enabled entries in the database's order; as far as it
    // got when a statement fails.
    static std::vector<Entry> LoadList(SQLHDBC connection, long accountId);
    // ForwardOptions says to keep a copy; no row or any failure: false.
    static bool IsRetainCopy(SQLHDBC connection, long accountId);

    struct Result {
        std::size_t total = 0;       // entries tried
        std::size_t handedOver = 0;  // accepted by the local server or queued
        bool looping = false;        // too many Received fields: nothing forwarded
        bool Complete() const { return !looping && handedOver == total; }
    };
    // Sends the message (head: its first bytes, which hold the header;
    // content: the whole of it, length bytes) on to every entry.
    // changeTo: the rewriting mode. Copies queued in that mode count toward
    // the send-on-count trigger.
    static Result Forward(const CUserRecord& account, SQLHDBC connection, const std::vector<Entry>& entries,
                          const std::string& head, CMailContent& content, std::uint32_t length,
                          const CGeneratedMailPolicy& policy, bool changeTo);

    // Delivery's step: forwards when the account has entries; true when the
    // account's own copy is still to be stored.
    static bool ForwardDelivered(const CUserRecord& account, SQLHDBC connection, const std::string& head,
                                 CMailContent& content, std::uint32_t length, const CGeneratedMailPolicy& policy);

    // The header part of head (up to and including the CR LF ending its last
    // field) with the To field replaced in place by "To: " + address (added
    // at the end when there is none); every other line as written. False
    // when head holds no complete header.
    static bool RewriteTo(const std::string& head, const std::string& address, std::string& header,
                          std::size_t& headerLength);

    // The administrator's statements.
    static bool Add(SQLHDBC connection, long accountId, const std::string& user, const std::string& server,
                    bool routeLocal);
    static bool Delete(SQLHDBC connection, long accountId, const std::string& user, const std::string& server);
    static bool SetRetainCopy(SQLHDBC connection, long accountId, bool retain);
    // A target that can stand in an SMTP path and a To field: both parts
    // within their columns, without blanks, controls, "@" or the characters
    // that delimit addresses.
    static bool IsPlainTarget(const std::string& user, const std::string& server);
};
