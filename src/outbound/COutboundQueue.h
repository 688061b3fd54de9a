// COutboundQueue: writes and reads one queued outbound message.
//
// A queued message is an Outbox file (the envelope sender as a
// length-prefixed string, then the message bytes) plus one OutBoundMails row
// per remote recipient naming that file. A writer (constructed with a
// database connection) makes the file, records the sender, inserts the rows
// and copies the message in; a reader (no connection) opens a file named by a
// row and hands back its sender and a temporary copy of the message. The
// writer holds an exclusive advisory lock on its file until it is destroyed,
// so a delivery pass never reads a message that is still being written.
//
// The console's view of the queue (listing, preview, delete of one entry) is
// here too, because it is the other owner of the rows' meaning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/OdbcEnvironment.h"
#include "platform/UniqueFd.h"

class CMailContent;

// Buffered length-prefixed string I/O over the Outbox file (the sender
// record), storing or loading.
class COutboxArchive {
public:
    static constexpr std::size_t kBufferSize = 4096;
    // A sender record claiming more than this is not a sender: the file is
    // treated as damaged instead of being read into memory.
    static constexpr std::uint32_t kMaxStringBytes = 1024 * 1024;

    COutboxArchive(int fd, bool storing) : fd(fd), storing(storing) {}
    COutboxArchive(const COutboxArchive&) = delete;
    COutboxArchive& operator=(const COutboxArchive&) = delete;

    bool WriteString(const std::string& text);
    // False when the record is missing, truncated or over kMaxStringBytes.
    bool ReadString(std::string& text);
    // Storing: writes out what is buffered. Loading: puts the file position
    // back at the first byte not consumed. False on a file error.
    bool Close();

private:
    bool Put(const void* data, std::size_t length);
    bool Get(void* data, std::size_t length);
    bool Flush();

    int fd;
    bool storing;
    char buffer[kBufferSize];
    std::size_t used = 0;      // storing: bytes held; loading: bytes in buffer
    std::size_t consumed = 0;  // loading: bytes of buffer handed out
};

// One row of the console's queue view.
struct OutboundQueueEntry {
    std::string destUser;
    std::string domain;
    std::string mailFile;
    bool sent = false;
    std::int32_t failureCode = 0;
    std::string rcptDate;
};

// What the console shows of a queued message; "Unknown" for a missing field.
struct OutboundQueuePreview {
    std::string recipient;
    std::string subject;
    std::string date;
};

class COutboundQueue {
public:
    // Block size of every message copy.
    static constexpr std::uint32_t kCopyBlock = 64 * 1024;
    // Only this much of the start of a message is looked at as its header
    // when the sender is rewritten.
    static constexpr std::uint32_t kHeaderWindow = 6144;
    // The longest account EmailId taken as a replacement sender.
    static constexpr std::size_t kMaxEmailId = 350;

    // Writer: directory "Outbox" and the connection for look-ups and inserts.
    COutboundQueue(const std::string& directory, SQLHDBC connection);
    // Reader.
    explicit COutboundQueue(const std::string& directory);
    virtual ~COutboundQueue();
    COutboundQueue(const COutboundQueue&) = delete;
    COutboundQueue& operator=(const COutboundQueue&) = delete;

    // Writer side, in this order. Each returns false when the message could
    // not be queued as asked; the caller then keeps the message (and may
    // call Discard to take back what was queued so far).
    bool CreateMailFile();
    bool SetSender(const std::string& address);
    bool AddRecipient(const std::string& user, const std::string& domain);
    bool WriteBody(CMailContent& content);
    // Removes this message's rows and its file: for a writer whose message
    // could not be queued completely.
    void Discard();

    // Reader side.
    bool OpenMailFile(const std::string& path);
    // The sender record; "" when the file holds none readable.
    std::string ReadSender();
    // The message bytes after the sender record in a new temporary file, or
    // nothing (no temporary file, nothing after the sender record, a damaged
    // sender record, or a failed copy).
    std::unique_ptr<CMailContent> ExtractBody();

    const std::string& FilePath() const { return filePath; }
    const std::string& Sender() const { return sender; }
    std::int32_t AccountId() const { return accountId; }
    bool SenderReplaced() const { return senderReplaced; }

    // The text stored as the sender record: the address inside the first
    // "<...>", without a "(comment)".
    static std::string ReduceSender(const std::string& sender);
    // The console's queue view.
    static bool ListQueue(SQLHDBC connection, std::vector<OutboundQueueEntry>& entries);
    static bool PreviewQueuedMail(const std::string& mailFile, OutboundQueuePreview& preview);
    // Deletes the entry's row and, when it was the message's last row, its
    // Outbox file. False (entries unchanged) when the row could not be deleted.
    static bool DeleteQueueEntry(SQLHDBC connection, std::vector<OutboundQueueEntry>& entries, std::size_t index);

private:
    bool CopyContent(CMailContent& content, std::uint32_t remaining);
    bool WriteAll(const void* data, std::size_t length);
    bool Settle();
    bool WriteRewrittenHeader(const char* block, std::size_t headerEnd);

    std::string sender;
    std::int32_t accountId = 0;
    bool senderReplaced = false;
    SQLHDBC connection = SQL_NULL_HDBC;
    std::string directory;
    std::unique_ptr<COutboxArchive> archive;
    UniqueFd file;
    std::string filePath;
    bool senderRead = false;     // reader: the sender record was consumed
    bool senderDamaged = false;  // reader: the sender record could not be read
    bool writeFailed = false;    // writer: some bytes did not reach the file
};
