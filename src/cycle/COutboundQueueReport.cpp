// COutboundQueueReport: counting the outbound queue's rows and files.
#include "cycle/COutboundQueueReport.h"

#include "outbound/CFailureNotice.h"

#include <dirent.h>

#include <cstdlib>

#include "foundation/OdbcStatement.h"
#include "foundation/StringFormat.h"
#include "outbound/COutboundReplies.h"

COutboundQueueReport::Counts COutboundQueueReport::Count(SQLHDBC connection, const std::string& outboxDirectory) {
    Counts counts;
    OdbcStatement s(connection);
    if (s.ExecDirect("SELECT FailureCode, Count(*) FROM OutBoundMails WHERE Sent = false GROUP BY FailureCode")) {
        counts.rowsRead = true;
        while (s.Fetch()) {
            std::string code, rows;
            s.GetText(1, code);
            s.GetText(2, rows);
            const auto n = std::strtoull(rows.c_str(), nullptr, 10);
            const auto c = static_cast<std::int32_t>(std::strtol(code.c_str(), nullptr, 10));
            if (c == 0)
                counts.untried += n;
            else
                counts.failing[c] += n;
        }
    }
    {
        OdbcStatement r(connection);
        if (r.ExecDirect("SELECT OutBoundMails.DestUser, OutBoundMails.Domain, OutboundReplies.Reply FROM OutBoundMails, "
                         "OutboundReplies WHERE OutBoundMails.Sent = false AND OutboundReplies.MailFile = "
                         "OutBoundMails.MailFile AND OutboundReplies.DestUser = OutBoundMails.DestUser AND "
                         "OutboundReplies.Domain = OutBoundMails.Domain")) {
            while (r.Fetch()) {
                if (counts.replies.size() == kListedReplies) {
                    ++counts.repliesLeft;
                    continue;
                }
                std::string user, domain, reply;
                r.GetText(1, user);
                r.GetText(2, domain);
                r.GetText(3, reply);
                counts.replies.push_back(user + "@" + domain + ": " + COutboundReplies::Clean(reply));
            }
        }
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
