// CForwarding: the forward list, the sending on of copies in both modes, the
// loop notice and the administrator's statements.
#include "delivery/CForwarding.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

#include "delivery/CGeneratedMailPolicy.h"
#include "delivery/CSystemNotice.h"
#include "store/CUserRecord.h"
#include "delivery/ListingText.h"
#include "foundation/CMailContent.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcConnectionInfo.h"
#include "foundation/ProcessSettings.h"
#include "foundation/RecordVersion.h"
#include "foundation/StringFormat.h"
#include "foundation/VersionedCache.h"
#include "message/CMailHeader.h"
#include "outbound/COutboundQueue.h"
#include "platform/Text.h"
#include "smtp/CLocalHandBack.h"
#include "store/CForwardingRows.h"

namespace {

// A sender longer than any address is not one: the copy goes with the null sender.
constexpr std::size_t kMaxSender = 512;

std::string OneLine(std::string value) {
    for (char& c : value)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return value;
}

// Bytes [offset, length) of from, appended to to.
bool CopyFrom(CMailContent& from, std::uint64_t offset, std::uint32_t length, CMailContent& to) {
    from.Rewind();
    std::vector<char> block(CForwarding::kCopyBlock);
    std::uint64_t position = 0;
    while (position < length) {
        const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(block.size(), length - position));
        const int n = from.Read(block.data(), want);
        // A message that ends early is not sent on as if whole.
        if (n <= 0) return false;
        const std::uint64_t end = position + static_cast<std::uint64_t>(n);
        if (end > offset) {
            const std::uint64_t skip = offset > position ? offset - position : 0;
            if (!to.Write(block.data() + skip, static_cast<std::uint32_t>(end - position - skip))) return false;
        }
        position = end;
    }
    return true;
}

// The copy for one target in the rewriting mode: its header, then the
// message from the end of the original header on; null when it cannot be
// written.
std::unique_ptr<CTempMailContent> WriteCopy(const std::string& header, std::size_t headerLength, CMailContent& content,
                                            std::uint32_t length) {
    auto copy = std::make_unique<CTempMailContent>();
    if (!copy->Open() || !copy->Write(header.data(), static_cast<std::uint32_t>(header.size())) ||
        !CopyFrom(content, headerLength, length, *copy))
        return nullptr;
    return copy;
}

bool SendLocal(CLocalHandBack& local, const std::string& sender, const std::string& address, CMailContent& message) {
    return local.Open() && local.HandBack(CLocalHandBack::To(sender, address), message).sent;
}

bool Queue(SQLHDBC connection, const std::string& sender, bool trusted, const CForwarding::Entry& entry,
           CMailContent& message) {
    COutboundQueue queue(CForwarding::kOutboxDirectory, connection);
    queue.SetTrusted(trusted);
    if (queue.CreateMailFile() && queue.SetSender(sender) && queue.AddRecipient(entry.userId, entry.serverAddr) &&
        queue.WriteBody(message)) {
        g_moduleLog.Write(
            StringPrintf("Queued %s (forwarded) for %s", queue.FilePath().c_str(), entry.Address().c_str()));
        return true;
    }
    queue.Discard();
    return false;
}

}  // namespace

std::vector<CForwarding::Entry> CForwarding::LoadList(SQLHDBC connection, long accountId) {
    // Read for every message an account receives: kept while the record
    // version stays, read before the rows so a change meanwhile is not missed.
    static VersionedCache<long, std::vector<Entry>> kept(1024);
    const std::optional<std::int64_t> version = RecordVersion::ReadForDeliverySettings(connection);
    if (version)
        if (std::optional<std::vector<Entry>> hit = kept.Find(*version, accountId)) return std::move(*hit);
    std::vector<Entry> entries;
    std::vector<CForwardingRows::Row> rows;
    // As far as it got when a statement fails, but never kept then.
    const bool complete = CForwardingRows::ReadEnabled(connection, accountId, kMaxEntries, rows);
    for (CForwardingRows::Row& row : rows) {
        Entry entry;
        entry.userId = OneLine(row.userId.substr(0, kMaxUserId));
        entry.serverAddr = OneLine(row.serverAddr.substr(0, kMaxServerAddr));
        entry.routeLocal = row.routeLocal;
        entries.push_back(std::move(entry));
    }
    if (!complete) return entries;
    if (version && !OdbcConnectionInfo::IsLost(connection)) kept.Store(*version, accountId, entries);
    return entries;
}

bool CForwarding::IsRetainCopy(SQLHDBC connection, long accountId) {
    return CForwardingRows::RetainCopy(connection, accountId);
}

bool CForwarding::RewriteTo(const std::string& head, const std::string& address, std::string& header,
                            std::size_t& headerLength) {
    if (head.starts_with("\r\n")) {
        headerLength = 0;
    } else {
        const std::size_t blank = head.find("\r\n\r\n");
        if (blank == std::string::npos) return false;
        headerLength = blank + 2;
    }
    const std::string field = "To: " + OneLine(address) + "\r\n";
    const std::string_view fields(head.data(), headerLength);
    header.clear();
    header.reserve(fields.size() + field.size());
    bool replaced = false;
    bool dropping = false;  // the continuation lines of a To field
    for (std::size_t start = 0; start < fields.size();) {
        const std::size_t end = fields.find("\r\n", start);
        const std::size_t next = end == std::string_view::npos ? fields.size() : end + 2;
        const std::string_view line = fields.substr(start, next - start);
        start = next;
        if (line[0] == ' ' || line[0] == '\t') {
            if (!dropping) header.append(line);
            continue;
        }
        const std::size_t colon = line.find(':');
        dropping = colon != std::string_view::npos && EqualsNoCase(Trim(line.substr(0, colon)), "To");
        if (!dropping) {
            header.append(line);
        } else if (!replaced) {
            // The first To becomes this copy's; a second one would name
            // recipients the copy is not for.
            header.append(field);
            replaced = true;
        }
    }
    if (!replaced) header.append(field);
    return true;
}

CForwarding::Result CForwarding::Forward(const CUserRecord& account, SQLHDBC connection,
                                         const std::vector<Entry>& entries, const std::string& head,
                                         CMailContent& content, std::uint32_t length,
                                         const CGeneratedMailPolicy& policy, bool changeTo) {
    Result result;
    const CMailHeader header(head.data(), head.size());
    // The copy goes on with the envelope sender the message came with (the
    // null one stays null): a failure on the way is told to whoever sent
    // it, never to an address its header merely names.
    std::string sender = policy.EnvelopeSender();
    if (sender.size() > kMaxSender) sender.clear();
    if (header.Occurrences("Received") > kMaxReceived) {
        result.looping = true;
        CSystemNotice::Send(CSystemNotice::Kind::ForwardingLoop, CSystemNotice::SourceOf(header), sender,
                            account.GetEmailId(), policy);
        return result;
    }

    CLocalHandBack::Options options;
    options.generatedMail = true;
    CLocalHandBack local(options);
    for (const Entry& entry : entries) {
        ++result.total;
        std::unique_ptr<CTempMailContent> copy;
        CMailContent* message = &content;
        std::string rewritten;
        std::size_t headerLength = 0;
        // A header that does not end within the head goes on unchanged.
        if (changeTo && RewriteTo(head, entry.Address(), rewritten, headerLength)) {
            copy = WriteCopy(rewritten, headerLength, content, length);
            if (!copy) continue;  // not handed over
            message = copy.get();
        }
        bool handedOver = false;
        if (entry.routeLocal) {
            handedOver = SendLocal(local, sender, entry.Address(), *message);
        } else {
            handedOver = Queue(connection, sender, policy.FromTrustedClient(), entry, *message);
            if (handedOver && changeTo) COutboundQueue::CountQueued(1);
        }
        if (handedOver) ++result.handedOver;
    }
    return result;
}

bool CForwarding::ForwardDelivered(const CUserRecord& account, SQLHDBC connection, const std::string& head,
                                   CMailContent& content, std::uint32_t length, const CGeneratedMailPolicy& policy) {
    const std::vector<Entry> entries = LoadList(connection, account.GetAccountId());
    if (entries.empty()) return true;
    const Result result = Forward(account, connection, entries, head, content, length, policy,
                                  ProcessSettings::Current().changeToAddress);
    const bool retain = IsRetainCopy(connection, account.GetAccountId());
    if (result.Complete()) return retain;
    if (result.looping)
        g_moduleLog.Write(
            StringPrintf("Forwarding for %s: the message has passed more than %d servers; not "
                         "forwarded, kept in its mailbox",
                         account.GetUserName().c_str(), kMaxReceived));
    else
        g_moduleLog.Write(StringPrintf("Forwarding for %s: %zu of %zu forwards not handed over%s",
                                       account.GetUserName().c_str(), result.total - result.handedOver, result.total,
                                       retain ? "" : "; its copy is kept in its mailbox"));
    return true;
}

bool CForwarding::Add(SQLHDBC connection, long accountId, const std::string& user, const std::string& server,
                      bool routeLocal) {
    return CForwardingRows::Add(connection, accountId, user, server, routeLocal);
}

bool CForwarding::Delete(SQLHDBC connection, long accountId, const std::string& user, const std::string& server) {
    return CForwardingRows::Delete(connection, accountId, user, server);
}

bool CForwarding::SetRetainCopy(SQLHDBC connection, long accountId, bool retain) {
    return CForwardingRows::SetRetainCopy(connection, accountId, retain);
}

bool CForwarding::IsPlainTarget(const std::string& user, const std::string& server) {
    if (user.empty() || user.size() > kMaxUserId || server.empty() || server.size() > kMaxServerAddr) return false;
    const auto plain = [](const std::string& part) {
        return std::none_of(part.begin(), part.end(), [](char c) {
            return static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) == 0x7F ||
                   std::string_view("@<>()[],;:\"\\").find(c) != std::string_view::npos;
        });
    };
    return plain(user) && plain(server);
}
