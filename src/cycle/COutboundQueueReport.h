// COutboundQueueReport: the outbound queue summed up for an administrator:
// the reason text of each failure code as the non-delivery notice words it,
// the rows still to deliver by their last outcome, and the Outbox files on
// disk, and the remote servers' last replies about waiting recipients. Read on a connection of the caller's; nothing is changed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "foundation/OdbcEnvironment.h"

class COutboundQueueReport {
public:
    struct Counts {
        bool rowsRead = false;   // the table answered
        bool filesRead = false;  // the Outbox directory could be listed
        std::uint64_t untried = 0;
        std::map<std::int32_t, std::uint64_t> failing;  // failure code -> rows
        std::uint64_t outboxFiles = 0;
        // "user@domain: reply" of waiting rows a server answered, at most
        // kListedReplies of them; repliesLeft counts the rest.
        std::vector<std::string> replies;
        std::uint64_t repliesLeft = 0;
    };
    static constexpr std::size_t kListedReplies = 10;

    // Rows with Sent false by failure code, and the queue's files in outboxDirectory.
    static Counts Count(SQLHDBC connection, const std::string& outboxDirectory);
    // "Queue: ...", one line per failure code, one per reply.
    static std::string Describe(const Counts& counts);
};
