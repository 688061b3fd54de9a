// COutboundQueue: the Outbox file format, the OutBoundMails rows written at
// queuing, and the console's queue view and delete.
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
#include "foundation/CMailContent.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcStatement.h"
#include "foundation/ProcessSettings.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "message/AddressFunctions.h"
#include "message/CMailHeader.h"
#include "platform/FileIo.h"
#include "platform/Text.h"
#include "foundation/DateText.h"

namespace {

// The queue view shows header fields from this much of a queued message:
// pieces of 1023 bytes until more than 3000 are held.
constexpr std::size_t kPreviewHeadBytes = 3 * 1023;

std::string ForwardSlashes(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

// A header value must stay on its line: a line break inside it would start
// a field of its own.
std::string OneLine(std::string value) {
    for (char& c : value)
        if (c == '\r' || c == '\n') c = ' ';
    return value;
}

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

// The hexadecimal numbers of Outbox names are tried from a point that
// differs between processes, so a restarted server does not walk the
// names of every file still queued.
std::atomic<unsigned> g_nextNumber{static_cast<unsigned>(std::time(nullptr)) ^
                                   (static_cast<unsigned>(::getpid()) << 4)};

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

// ---------------------------------------------------------------- archive

bool COutboxArchive::Flush() {
    if (!::WriteAll(fd, buffer, used)) return false;
    used = 0;
    return true;
}

bool COutboxArchive::Put(const void* data, std::size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        if (used == kBufferSize && !Flush()) return false;
        std::size_t take = std::min(length, kBufferSize - used);
        std::memcpy(buffer + used, bytes, take);
        used += take;
        bytes += take;
        length -= take;
    }
    return true;
}

bool COutboxArchive::Get(void* data, std::size_t length) {
    char* bytes = static_cast<char*>(data);
    while (length > 0) {
        if (consumed == used) {
            ssize_t n;
            do {
                n = ::read(fd, buffer, kBufferSize);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) return false;
            used = static_cast<std::size_t>(n);
            consumed = 0;
        }
        std::size_t take = std::min(length, used - consumed);
        std::memcpy(bytes, buffer + consumed, take);
        consumed += take;
        bytes += take;
        length -= take;
    }
    return true;
}

bool COutboxArchive::WriteString(const std::string& text) {
    const std::size_t length = text.size();
    if (length > 0xFFFFFFFFu) return false;
    unsigned char prefix[7];
    std::size_t prefixLength;
    if (length < 255) {
        prefix[0] = static_cast<unsigned char>(length);
        prefixLength = 1;
    } else if (length <= 65533) {
        prefix[0] = 0xFF;
        prefix[1] = static_cast<unsigned char>(length & 0xFF);
        prefix[2] = static_cast<unsigned char>(length >> 8);
        prefixLength = 3;
    } else {
        prefix[0] = 0xFF;
        prefix[1] = 0xFF;
        prefix[2] = 0xFF;
        for (int i = 0; i < 4; ++i) prefix[3 + i] = static_cast<unsigned char>(length >> (8 * i));
        prefixLength = 7;
    }
    return Put(prefix, prefixLength) && Put(text.data(), length);
}

bool COutboxArchive::ReadString(std::string& text) {
    text.clear();
    unsigned char first;
    if (!Get(&first, 1)) return false;
    std::uint32_t length = first;
    if (first == 0xFF) {
        unsigned char word[2];
        if (!Get(word, 2)) return false;
        length = static_cast<std::uint32_t>(word[0] | (word[1] << 8));
        if (length == 0xFFFE) return false;  // a wide-character marker: not ours
        if (length == 0xFFFF) {
            unsigned char dword[4];
            if (!Get(dword, 4)) return false;
            length = static_cast<std::uint32_t>(dword[0]) | (static_cast<std::uint32_t>(dword[1]) << 8) |
                     (static_cast<std::uint32_t>(dword[2]) << 16) | (static_cast<std::uint32_t>(dword[3]) << 24);
        }
    }
    if (length > kMaxStringBytes) return false;
    text.resize(length);
    if (length > 0 && !Get(text.data(), length)) {
        text.clear();
        return false;
    }
    return true;
}

bool COutboxArchive::Close() {
    if (storing) return Flush();
    // Bytes read ahead go back, so the file continues right after the record.
    std::size_t ahead = used - consumed;
    used = consumed = 0;
    if (ahead == 0) return true;
    return ::lseek(fd, -static_cast<off_t>(ahead), SEEK_CUR) >= 0;
}

// ------------------------------------------------------------------ queue

COutboundQueue::COutboundQueue(const std::string& directory, SQLHDBC connection)
    : connection(connection), directory(ForwardSlashes(directory)) {}

COutboundQueue::COutboundQueue(const std::string& directory) : directory(ForwardSlashes(directory)) {}

COutboundQueue::~COutboundQueue() {
    // Abandoning the archive drops unwritten bytes; closing the file releases
    // the lock that kept delivery passes away from it.
    archive.reset();
    file.Reset();
}

bool COutboundQueue::CreateMailFile() {
    archive.reset();
    file.Reset();
    filePath.clear();
    if (directory.empty()) return false;
    std::string path;
    file = CreateExclusive(
        [&](unsigned) {
            const unsigned number = g_nextNumber.fetch_add(1) & 0xFFFF;
            if (number == 0) return std::string();
            char name[16];
            std::snprintf(name, sizeof name, "Tes%X.tmp", number);
            return directory + "/" + name;
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
    g_moduleLog.WriteVerbose(StringPrintf("Opening file for writing mail..%s", filePath.c_str()));
    archive = std::make_unique<COutboxArchive>(file.Get(), true);
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
    if (filePath.empty() || !archive) return false;

    // The account is named by the user part of the bare address, so an
    // envelope sender written "<user@host>" finds its account too.
    const std::string user = SplitAddress(ReduceSender(address)).user;
    if (const std::optional<long> id = CMailDatabase::AccountIdByName(connection, user))
        accountId = static_cast<std::int32_t>(*id);
    // A start-up switch: the value read when the server started.
    if (ProcessSettings::Current().changeFromAddress) {
        OdbcStatement s(connection);
        std::string emailId;
        if (s.ExecDirect(FormatSql("SELECT EmailId FROM Accounts WHERE aUserName = '%s'", SqlText::Quote(user))) &&
            s.Fetch() && s.GetText(1, emailId)) {
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
    if (!archive->WriteString(ReduceSender(sender))) {
        writeFailed = true;
        return false;
    }
    return true;
}

bool COutboundQueue::AddRecipient(const std::string& user, const std::string& domain) {
    // Without a file a row would point at nothing.
    if (filePath.empty()) return false;
    OdbcStatement s(connection);
    return s.ExecDirect(FormatSql("INSERT INTO OUTBOUNDMAILS VALUES ('%s','%s','%s', false, 0, '%s','%ld')",
                                  SqlText::Quote(user), SqlText::Quote(domain), SqlText::Quote(filePath),
                                  SqlText::Quote(LocalDateTimeText(std::time(nullptr))), static_cast<long>(accountId)));
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

// Writes the header (block[0, headerEnd + 2), whole lines) with the From
// field, and a Reply-To field written "REPLY-TO", carrying the replacement
// sender. A Reply-To spelled any other way is the user's own choice (a team
// or list address) and stays. Every other line stays as written, in place:
// repeated fields such as Received keep their own lines.
bool COutboundQueue::WriteRewrittenHeader(const char* block, std::size_t headerEnd) {
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
    out.append("\r\n");
    return WriteAll(out.data(), out.size());
}

bool COutboundQueue::WriteBody(CMailContent& content) {
    if (filePath.empty() || !file) return false;
    if (archive) {
        if (!archive->Close()) writeFailed = true;
        archive.reset();
    }
    const std::uint32_t total = content.GetLength();
    content.Rewind();
    if (!senderReplaced) return CopyContent(content, total) && Settle();

    std::vector<char> first(kHeaderWindow);
    std::uint32_t got = 0;
    const std::uint32_t want = std::min(total, kHeaderWindow);
    if (!ReadExactly(content, first.data(), want, got) || got != want) return false;
    std::string_view view(first.data(), got);
    std::size_t headerEnd = view.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos) {
        // The header does not end within the window: the message goes as it is.
        if (!WriteAll(first.data(), got)) return false;
    } else {
        if (!WriteRewrittenHeader(first.data(), headerEnd)) return false;
        if (!WriteAll(first.data() + headerEnd + 4, got - headerEnd - 4)) return false;
    }
    return CopyContent(content, total - got) && Settle();
}

bool COutboundQueue::Settle() {
    // The message is on disk before the caller lets go of its own copy.
    if (!writeFailed && ::fdatasync(file.Get()) != 0) writeFailed = true;
    return !writeFailed;
}

void COutboundQueue::Discard() {
    archive.reset();
    if (filePath.empty()) return;
    if (connection != SQL_NULL_HDBC) {
        OdbcStatement s(connection);
        s.ExecDirect(FormatSql("DELETE FROM OutBoundMails WHERE MailFile = '%s'", SqlText::Quote(filePath)));
    }
    ::unlink(filePath.c_str());
    file.Reset();
    filePath.clear();
}

bool COutboundQueue::OpenMailFile(const std::string& path) {
    archive.reset();
    file.Reset();
    senderRead = false;
    senderDamaged = false;
    filePath = ForwardSlashes(path);
    int fd = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    file.Reset(fd);
    // A writer still holds the file while its message is incomplete.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        file.Reset();
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        file.Reset();
        return false;
    }
    archive = std::make_unique<COutboxArchive>(fd, false);
    return true;
}

std::string COutboundQueue::ReadSender() {
    std::string text;
    if (!archive) return text;
    senderRead = true;
    if (!archive->ReadString(text)) senderDamaged = true;
    return text;
}

std::unique_ptr<CMailContent> COutboundQueue::ExtractBody() {
    if (!file) return nullptr;
    // The message starts after the sender record, read or not.
    if (!senderRead) ReadSender();
    if (senderDamaged) return nullptr;
    if (archive) {
        bool positioned = archive->Close();
        archive.reset();
        if (!positioned) return nullptr;
    }
    const off_t position = ::lseek(file.Get(), 0, SEEK_CUR);
    struct stat info {};
    if (position < 0 || ::fstat(file.Get(), &info) != 0) return nullptr;
    const off_t remainingBytes = info.st_size - position;
    // A message stream is at most 4 GiB - 1 bytes long.
    if (remainingBytes <= 0 || remainingBytes > static_cast<off_t>(0xFFFFFFFEu)) return nullptr;
    auto content = std::make_unique<CTempMailContent>();
    if (!content->Open()) return nullptr;
    std::vector<char> block(kCopyBlock);
    std::uint64_t remaining = static_cast<std::uint64_t>(remainingBytes);
    while (remaining > 0) {
        ssize_t n = ::read(file.Get(), block.data(), std::min<std::uint64_t>(remaining, kCopyBlock));
        if (n < 0 && errno == EINTR) continue;
        // A short or failed read would hand on a cut message as if whole.
        if (n <= 0) return nullptr;
        if (!content->Write(block.data(), static_cast<std::uint32_t>(n))) return nullptr;
        remaining -= static_cast<std::uint64_t>(n);
    }
    content->Rewind();
    return content;
}

// ----------------------------------------------------------- console view

bool COutboundQueue::ListQueue(SQLHDBC connection, std::vector<OutboundQueueEntry>& entries) {
    entries.clear();
    OdbcStatement s(connection);
    if (!s.ExecDirect("SELECT * FROM OutBoundMails")) return false;
    while (s.Fetch()) {
        OutboundQueueEntry entry;
        std::string sent, code;
        s.GetText(1, entry.destUser);
        s.GetText(2, entry.domain);
        s.GetText(3, entry.mailFile);
        s.GetText(4, sent);
        s.GetText(5, code);
        s.GetText(6, entry.rcptDate);
        entry.sent = sent == "1" || EqualsNoCase(sent, "true");
        entry.failureCode = static_cast<std::int32_t>(std::strtol(code.c_str(), nullptr, 10));
        entries.push_back(std::move(entry));
    }
    return true;
}

bool COutboundQueue::PreviewQueuedMail(const std::string& mailFile, OutboundQueuePreview& preview) {
    preview.recipient = preview.subject = preview.date = "Unknown";
    COutboundQueue reader("Outbox");
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

bool COutboundQueue::DeleteQueueEntry(SQLHDBC connection, std::vector<OutboundQueueEntry>& entries, std::size_t index) {
    if (index >= entries.size()) return false;
    const OutboundQueueEntry entry = entries[index];
    {
        OdbcStatement s(connection);
        if (!s.ExecDirect(FormatSql(
                "DELETE FROM OutBoundMails WHERE DestUser = '%s' AND Domain = '%s' AND MailFile = '%s'",
                SqlText::Quote(entry.destUser), SqlText::Quote(entry.domain), SqlText::Quote(entry.mailFile))))
            return false;
    }
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(index));
    OdbcStatement count(connection);
    std::string rows;
    if (count.ExecDirect(
            FormatSql("SELECT Count(*) FROM OutBoundMails WHERE MailFile = '%s'", SqlText::Quote(entry.mailFile))) &&
        count.Fetch() && count.GetText(1, rows) && rows == "0") {
        const std::string path = ForwardSlashes(entry.mailFile);
        if (IsQueueFilePath(path)) ::unlink(path.c_str());
    }
    return true;
}
