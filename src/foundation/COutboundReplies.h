// COutboundReplies: the last reply a remote server gave about a queued
// recipient, kept beside its OutBoundMails row (table OutboundReplies, one
// row per file, user and domain).
//
// A refusal with a 5xx reply is permanent (RFC 5321 4.2.1): its row is
// retired with a notice at the end of the same pass; a 4xx one is retried
// until the row expires. The reply line is what the administrator and the
// sender get to read, so it is kept cleaned: no control characters, ASCII
// only, at most kMaxReplyBytes. A reply whose row is gone is forgotten by the
// expiry step.
#pragma once

#include <sql.h>

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <tuple>

class COutboundReplies {
public:
    static constexpr std::size_t kMaxReplyBytes = 300;
    // File, user and domain exactly as the OutBoundMails row holds them.
    using Key = std::tuple<std::string, std::string, std::string>;

    // The final line of a reply as it is kept: control characters removed,
    // bytes beyond ASCII shown as "?", surrounding blanks trimmed, cut.
    static std::string Clean(std::string_view line);
    // A reply of the 5yz class: the server will not take it, ever.
    static bool IsPermanent(std::string_view reply) { return !reply.empty() && reply.front() == '5'; }
    // Replaces the row's reply (already cleaned); false when it could not be stored.
    static bool Record(SQLHDBC connection, const Key& key, const std::string& reply);
    static void Forget(SQLHDBC connection, const Key& key);
    // The row's reply; "" when none is known.
    static std::string Lookup(SQLHDBC connection, const Key& key);
    // Every reply kept, for a listing of the queue.
    static std::map<Key, std::string> All(SQLHDBC connection);
    // Drops the replies of rows that are gone.
    static void ForgetOrphans(SQLHDBC connection);
    // The statement condition that holds for an OutBoundMails row refused
    // for good.
    static constexpr const char* kPermanentCondition =
        "EXISTS (SELECT 1 FROM OutboundReplies WHERE OutboundReplies.Permanent = true AND "
        "OutboundReplies.MailFile = OutBoundMails.MailFile AND OutboundReplies.DestUser = OutBoundMails.DestUser "
        "AND OutboundReplies.Domain = OutBoundMails.Domain)";
};
