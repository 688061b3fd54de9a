// COutboundQueueReport: the outbound queue summed up for an administrator:
// the reason text of each failure code as the non-delivery notice words it,
// the rows still to deliver by their last outcome, and the Outbox files on
// disk. Read on a connection of the caller's; nothing is changed.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "foundation/OdbcEnvironment.h"

class COutboundQueueReport {
public:
    struct Counts {
        bool rowsRead = false;   // the table answered
        bool filesRead = false;  // the Outbox directory could be listed
        std::uint64_t untried = 0;
        std::map<std::int32_t, std::uint64_t> failing;  // failure code -> rows
        std::uint64_t outboxFiles = 0;
    };

    // Rows with Sent false by failure code, and the queue's files in outboxDirectory.
    static Counts Count(SQLHDBC connection, const std::string& outboxDirectory);
    // "Queue: ..." and one line per failure code.
    static std::string Describe(const Counts& counts);
};
