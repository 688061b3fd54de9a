// COutboundQueueReport: counting the outbound queue's rows and files.
#include "cycle/COutboundQueueReport.h"

#include "outbound/CFailureNotice.h"

#include <dirent.h>

#include <cstdlib>

#include "foundation/COutboundRows.h"
#include "foundation/StringFormat.h"
#include "foundation/COutboundReplies.h"

COutboundQueueReport::Counts COutboundQueueReport::Count(SQLHDBC connection, const std::string& outboxDirectory) {
    Counts counts;
    std::map<std::int32_t, std::uint64_t> byCode;
    if (COutboundRows::CountUnsentByCode(connection, byCode)) {
        counts.rowsRead = true;
        for (const auto& [code, rows] : byCode) {
            if (code == 0)
                counts.untried += rows;
            else
                counts.failing[code] += rows;
        }
    }
    std::vector<COutboundRows::Refusal> refusals;
    std::uint64_t left = 0;
    if (COutboundRows::UnsentWithReplies(connection, kListedReplies, refusals, left)) {
        for (const COutboundRows::Refusal& refusal : refusals)
            counts.replies.push_back(refusal.user + "@" + refusal.domain + ": " + COutboundReplies::Clean(refusal.reply));
        counts.repliesLeft += left;
    }
    if (DIR* dir = ::opendir(outboxDirectory.c_str())) {
        counts.filesRead = true;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            // The queue's own names: "Tes", hexadecimal digits, ".tmp".
            if (name.size() > 7 && name.compare(0, 3, "Tes") == 0 && name.compare(name.size() - 4, 4, ".tmp") == 0)
                ++counts.outboxFiles;
        }
        ::closedir(dir);
    }
    return counts;
}

std::string COutboundQueueReport::Describe(const Counts& counts) {
    std::string text = "Queue: ";
    if (counts.rowsRead) {
        std::uint64_t failing = 0;
        for (const auto& [code, rows] : counts.failing) failing += rows;
        const std::uint64_t waiting = counts.untried + failing;
        text += StringPrintf("%llu %s waiting (%llu not yet tried, %llu failing)",
                             static_cast<unsigned long long>(waiting), waiting == 1 ? "recipient" : "recipients",
                             static_cast<unsigned long long>(counts.untried), static_cast<unsigned long long>(failing));
    } else {
        text += "the OutBoundMails table cannot be read";
    }
    text += counts.filesRead ? StringPrintf(", %llu Outbox %s\n", static_cast<unsigned long long>(counts.outboxFiles),
                                            counts.outboxFiles == 1 ? "file" : "files")
                             : ", the Outbox directory cannot be read\n";
    for (const auto& [code, rows] : counts.failing)
        text += StringPrintf("  code %d %s: %llu\n", code, CFailureNotice::ReasonText(static_cast<std::uint32_t>(code)), static_cast<unsigned long long>(rows));
    for (const std::string& reply : counts.replies) text += "  reply for " + reply + "\n";
    if (counts.repliesLeft > 0)
        text += StringPrintf("  %llu more replies (velmora queue list)\n",
                             static_cast<unsigned long long>(counts.repliesLeft));
    return text;
}
