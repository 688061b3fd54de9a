// COutboundQueueView: the console's listing, preview and delete of queue
// entries.
#include "outbound/COutboundQueueView.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

#include "foundation/COutboundRows.h"
#include "foundation/CMailContent.h"
#include "message/CMailHeader.h"
#include "outbound/COutboundQueue.h"
#include "outbound/COutboundQueueReader.h"
#include "foundation/COutboundReplies.h"
#include "platform/FileIo.h"
#include "platform/Text.h"

namespace {

// The queue view shows header fields from this much of a queued message:
// pieces of 1023 bytes until more than 3000 are held.
constexpr std::size_t kPreviewHeadBytes = 3 * 1023;

// The console deletes only files inside the queue's own relative tree.
bool IsQueueFilePath(const std::string& path) {
    if (path.empty() || path.front() == '/') return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (path.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

bool COutboundQueueView::ListQueue(SQLHDBC connection, std::vector<OutboundQueueEntry>& entries) {
    entries.clear();
    std::vector<COutboundRows::Row> rows;
    if (!COutboundRows::ListAll(connection, rows)) return false;
    const std::map<COutboundReplies::Key, std::string> replies = COutboundReplies::All(connection);
    for (COutboundRows::Row& row : rows) {
        OutboundQueueEntry entry;
        static_cast<COutboundRows::Row&>(entry) = std::move(row);
        const auto reply = replies.find({entry.mailFile, entry.destUser, entry.domain});
        if (reply != replies.end()) entry.reply = reply->second;
        entries.push_back(std::move(entry));
    }
    return true;
}

bool COutboundQueueView::PreviewQueuedMail(const std::string& mailFile, OutboundQueuePreview& preview) {
    preview.recipient = preview.subject = preview.date = "Unknown";
    COutboundQueueReader reader("Outbox");
    if (!reader.OpenMailFile(mailFile)) return false;
    reader.ReadSender();
    std::unique_ptr<CMailContent> content = reader.ExtractBody();
    if (!content) return false;
    const std::string head = ReadHead(*content, kPreviewHeadBytes);
    const CMailHeader header(head.data(), head.size());
    auto show = [&](const char* name, std::string& target) {
        std::string value = header.GetField(name);
        if (!value.empty()) target = value;
    };
    show("To", preview.recipient);
    show("Subject", preview.subject);
    show("Date", preview.date);
    return true;
}

bool COutboundQueueView::DeleteQueueEntry(SQLHDBC connection, std::vector<OutboundQueueEntry>& entries, std::size_t index) {
    if (index >= entries.size()) return false;
    const OutboundQueueEntry entry = entries[index];
    if (!COutboundRows::DeleteRow(connection, entry.destUser, entry.domain, entry.mailFile)) return false;
    COutboundReplies::Forget(connection, {entry.mailFile, entry.destUser, entry.domain});
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(index));
    if (COutboundRows::RowsOfFile(connection, entry.mailFile) == 0) {
        const std::string path = ForwardSlashes(entry.mailFile);
        if (IsQueueFilePath(path)) ::unlink(path.c_str());
        COutboundQueue::ForgetTrust(connection, entry.mailFile);
    }
    return true;
}
