// COutboundQueue: writing the Outbox file and the OutBoundMails rows of one
// queued message.
#include "outbound/COutboundQueue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "foundation/CAccountRows.h"
#include "foundation/COutboundRows.h"
#include "foundation/ProcessSettings.h"
#include "foundation/StringFormat.h"
#include "message/AddressFunctions.h"
#include "message/CDkimBodyHash.h"
#include "outbound/CDkimKeys.h"
#include "outbound/CDkimSigner.h"
#include "message/CMailHeader.h"
#include "platform/FileIo.h"
#include "platform/Text.h"
#include "foundation/DateText.h"

namespace {

// A header value must stay on its line: a line break inside it would start
// a field of its own.
std::string OneLine(std::string value) {
    for (char& c : value)
        if (c == '\r' || c == '\n') c = ' ';
    return value;
}

// The hexadecimal numbers of Outbox names are tried from a point that
// differs between processes, so a restarted server does not walk the
// names of every file still queued.
std::atomic<unsigned> g_nextNumber{static_cast<unsigned>(std::time(nullptr)) ^
                                   (static_cast<unsigned>(::getpid()) << 4)};

std::atomic<std::uint32_t> g_queuedRecipients{0};

bool ReadExactly(CMailContent& content, char* buffer, std::uint32_t count, std::uint32_t& got) {
    got = 0;
    while (got < count) {
        int n = content.Read(buffer + got, count - got);
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<std::uint32_t>(n);
    }
    return true;
}

}  // namespace

COutboundQueue::COutboundQueue(const std::string& directory, SQLHDBC connection)
    : connection(connection), directory(ForwardSlashes(directory)) {}

COutboundQueue::~COutboundQueue() {
    // Abandoning the record drops unwritten bytes; closing the file releases
    // the lock that kept delivery passes away from it.
    record.reset();
    file.Reset();
}

bool COutboundQueue::CreateMailFile() {
    record.reset();
    file.Reset();
    filePath.clear();
    if (directory.empty()) return false;
    std::string path;
    file = CreateExclusive(
        [&](unsigned) {
            const std::string name = ShortHexName("Tes", g_nextNumber.fetch_add(1), ".tmp");
            return name.empty() ? name : directory + "/" + name;
        },
        0xFFFF, O_RDWR, 0600, path);
    if (!file) return false;  // every name taken, or no directory, no room, no rights
    // Nobody else may open the file until the message is complete.
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
        file.Reset();
        ::unlink(path.c_str());
        return false;
    }
    filePath = path;
    trustRecorded = false;
    g_moduleLog.WriteVerbose(StringPrintf("Opening file for writing mail..%s", filePath.c_str()));
    record = std::make_unique<RecordWriter>(file.Get(), kRecordBuffer);
    writeFailed = false;
    return true;
}

std::string COutboundQueue::ReduceSender(const std::string& sender) {
    std::string text = sender;
    std::size_t open = text.find('<');
    if (open != std::string::npos) {
        text.erase(0, open + 1);
        std::size_t close = text.find('>');
        if (close != std::string::npos) text.erase(close);
    }
    std::size_t commentStart = text.find('(');
    if (commentStart != std::string::npos) {
        std::size_t commentEnd = text.find(')', commentStart);
        if (commentEnd != std::string::npos) text.erase(commentStart, commentEnd - commentStart + 1);
    }
    return text;
}

bool COutboundQueue::SetSender(const std::string& address) {
    accountId = 0;
    senderReplaced = false;
    sender = address;
    if (filePath.empty() || !record) return false;

    // The account is named by the user part of the bare address, so an
    // envelope sender written "<user@host>" finds its account too.
    const std::string user = SplitAddress(ReduceSender(address)).user;
    if (const std::optional<long> id = CAccountRows::AccountIdByName(connection, user))
        accountId = static_cast<std::int32_t>(*id);
    // A start-up switch: the value read when the server started.
    if (ProcessSettings::Current().changeFromAddress) {
        if (std::optional<std::string> found = CAccountRows::EmailIdOf(connection, user)) {
            std::string emailId = std::move(*found);
            if (emailId.size() > kMaxEmailId) emailId.resize(kMaxEmailId);
            emailId = OneLine(emailId);
            // An account without an external address keeps the sender it
            // came with: an empty sender could never be answered.
            if (!CMailHeader::TrimBlanks(std::string_view(emailId)).empty()) {
                sender = emailId;
                senderReplaced = true;
            }
        }
    }
    if (!record->String(ReduceSender(sender))) {
        writeFailed = true;
        return false;
    }
    return true;
}

bool COutboundQueue::AddRecipient(const std::string& user, const std::string& domain) {
    // Without a file a row would point at nothing.
    if (filePath.empty()) return false;
    if (!COutboundRows::Insert(connection, user, domain, filePath, std::time(nullptr), static_cast<long>(accountId)))
        return false;
    // After a row: the expiry step drops marks of files without rows, and
    // must never drop this one in between.
    if (trusted && !trustRecorded) {
        trustRecorded = COutboundRows::RecordTrust(connection, filePath);
        if (!trustRecorded)
            g_moduleLog.Write(StringPrintf("*** %s not marked as from a trusted client; a bounce attaches its start",
                                           filePath.c_str()));
    }
    return true;
}

bool COutboundQueue::IsTrusted(SQLHDBC connection, const std::string& mailFile) {
    return COutboundRows::IsTrusted(connection, mailFile);
}

void COutboundQueue::ForgetTrust(SQLHDBC connection, const std::string& mailFile) {
    COutboundRows::ForgetTrust(connection, mailFile);
}

bool COutboundQueue::WriteAll(const void* data, std::size_t length) {
    if (::WriteAll(file.Get(), data, length)) return true;
    writeFailed = true;
    return false;
}

bool COutboundQueue::CopyContent(CMailContent& content, std::uint32_t remaining) {
    std::vector<char> block(kCopyBlock);
    while (remaining > 0) {
        int n = content.Read(block.data(), std::min(remaining, kCopyBlock));
        // A message that ends early or cannot be read is not queued as if whole.
        if (n <= 0) return false;
        if (!WriteAll(block.data(), static_cast<std::size_t>(n))) return false;
        remaining -= static_cast<std::uint32_t>(n);
    }
    return true;
}

// The header (block[0, headerEnd + 2), whole lines) with the From field,
// and a Reply-To field written "REPLY-TO", carrying the replacement
// sender. A Reply-To spelled any other way is the user's own choice (a team
// or list address) and stays. Every other line stays as written, in place:
// repeated fields such as Received keep their own lines.
std::string COutboundQueue::RewrittenHeader(const char* block, std::size_t headerEnd) const {
    const std::string_view header(block, headerEnd + 2);
    std::string out;
    out.reserve(header.size() + sender.size() * 2 + 16);
    bool dropping = false;  // continuation lines of a replaced field
    bool sawFrom = false;
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find("\r\n", start);
        std::size_t next = end == std::string_view::npos ? header.size() : end + 2;
        std::string_view line = header.substr(start, next - start);
        start = next;
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (!dropping) out.append(line);
            continue;
        }
        dropping = false;
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            std::string_view name = CMailHeader::TrimBlanks(line.substr(0, colon));
            bool isFrom = EqualsNoCase(name, "From");
            if (isFrom || name == "REPLY-TO") {
                sawFrom = sawFrom || isFrom;
                out.append(name);
                out.append(": ");
                out.append(sender);
                out.append("\r\n");
                dropping = true;
                continue;
            }
        }
        out.append(line);
    }
    if (!sawFrom) {
        out.append("From: ");
        out.append(sender);
        out.append("\r\n");
    }
    return out;
}

std::string COutboundQueue::Signatures(CMailContent& content, const std::string& header, std::uint32_t bodyStart,
                                       std::uint32_t total) const {
    CDkimSigner signer(CDkimKeys(CDkimKeys::HomeDirectory()), CDkimSigner::SigningDomain(header, sender));
    if (!signer.Ready()) return {};
    // The first of two passes: the body's hash, block by block.
    content.Rewind();
    std::vector<char> block(kCopyBlock);
    std::uint32_t got = 0;
    if (!ReadExactly(content, block.data(), bodyStart, got) || got != bodyStart) return {};
    CDkimBodyHash hash;
    for (std::uint32_t remaining = total - bodyStart; remaining > 0;) {
        const int n = content.Read(block.data(), std::min(remaining, kCopyBlock));
        if (n <= 0) return {};
        hash.Update(std::string_view(block.data(), static_cast<std::size_t>(n)));
        remaining -= static_cast<std::uint32_t>(n);
    }
    std::string signatures = signer.Sign(header, hash.Final(), std::time(nullptr));
    if (signatures.empty())
        g_moduleLog.Write(StringPrintf("DKIM: %s could not be signed, it leaves unsigned", filePath.c_str()));
    return signatures;
}

bool COutboundQueue::WriteBody(CMailContent& content) {
    if (filePath.empty() || !file) return false;
    if (record) {
        if (!record->Flush()) writeFailed = true;
        record.reset();
    }
    const std::uint32_t total = content.GetLength();
    content.Rewind();
    // Only mail of this office's own people and trusted clients is signed.
    const bool mightSign = trusted || accountId != 0;
    if (!senderReplaced && !mightSign) return CopyContent(content, total) && Settle();

    const std::uint32_t window = std::min(total, mightSign ? kSignedHeaderWindow : kHeaderWindow);
    std::vector<char> first(window);
    std::uint32_t got = 0;
    if (!ReadExactly(content, first.data(), window, got) || got != window) return false;
    const std::size_t headerEnd = std::string_view(first.data(), got).find("\r\n\r\n");
    std::string header;      // the header lines as they are written
    std::uint32_t skip = 0;  // the bytes of the content that header stands for
    std::string signatures;
    if (headerEnd != std::string_view::npos) {
        // A header that does not end within the rewrite's window goes as it is.
        if (senderReplaced && headerEnd + 4 <= kHeaderWindow)
            header = RewrittenHeader(first.data(), headerEnd);
        else
            header.assign(first.data(), headerEnd + 2);
        skip = static_cast<std::uint32_t>(headerEnd + 2);
        if (mightSign) signatures = Signatures(content, header, skip + 2, total);
    }
    content.Rewind();
    if (!ReadExactly(content, first.data(), skip, got) || got != skip) return false;
    if (!WriteAll(signatures.data(), signatures.size()) || !WriteAll(header.data(), header.size())) return false;
    return CopyContent(content, total - skip) && Settle();
}

bool COutboundQueue::Settle() {
    // The message is on disk before the caller lets go of its own copy.
    if (!writeFailed && ::fdatasync(file.Get()) != 0) writeFailed = true;
    return !writeFailed;
}

void COutboundQueue::Discard() {
    record.reset();
    if (filePath.empty()) return;
    if (connection != SQL_NULL_HDBC) {
        COutboundRows::DeleteFile(connection, filePath);
        if (trustRecorded) ForgetTrust(connection, filePath);
    }
    trustRecorded = false;
    ::unlink(filePath.c_str());
    file.Reset();
    filePath.clear();
}


std::vector<std::string> COutboundQueue::DropRowsWithoutFiles(SQLHDBC connection) {
    std::vector<std::string> dropped;
    const COutboundRows::Listing files = COutboundRows::Files(connection);
    if (!files.Ok()) return dropped;
    for (const std::string& name : files.values) {
        struct stat info {};
        if (::stat(ForwardSlashes(name).c_str(), &info) == 0 || errno != ENOENT) continue;
        if (COutboundRows::DeleteFile(connection, name)) {
            ForgetTrust(connection, name);
            dropped.push_back(name);
        }
    }
    return dropped;
}

void COutboundQueue::CountQueued(std::uint32_t recipients) {
    g_queuedRecipients.fetch_add(recipients);
}

std::uint32_t COutboundQueue::QueuedCount() {
    return g_queuedRecipients.load();
}

std::uint32_t COutboundQueue::ResetQueuedCount() {
    return g_queuedRecipients.exchange(0);
}
