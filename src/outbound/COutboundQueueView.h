// COutboundQueueView: the console's view of the outbound queue: listing the
// OutBoundMails rows, previewing a queued message, deleting one entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/COutboundRows.h"
#include "foundation/OdbcEnvironment.h"

// One row of the console's queue view.
struct OutboundQueueEntry : COutboundRows::Row {
    // The remote server's last reply about this recipient; "" when none.
    std::string reply;
};

// What the console shows of a queued message; "Unknown" for a missing field.
struct OutboundQueuePreview {
    std::string recipient;
    std::string subject;
    std::string date;
};

class COutboundQueueView {
public:
    static bool ListQueue(SQLHDBC connection, std::vector<OutboundQueueEntry>& entries);
    static bool PreviewQueuedMail(const std::string& mailFile, OutboundQueuePreview& preview);
    // Deletes the entry's row and, when it was the message's last row, its
    // Outbox file. False (entries unchanged) when the row could not be deleted.
    static bool DeleteQueueEntry(SQLHDBC connection, std::vector<OutboundQueueEntry>& entries, std::size_t index);
};
