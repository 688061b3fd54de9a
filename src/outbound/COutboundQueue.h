// COutboundQueue: queues one outbound message.
//
// A queued message is an Outbox file (the envelope sender as a
// length-prefixed string, RecordWriter's encoding, then the message bytes)
// plus one OutBoundMails row per remote recipient naming that file. The
// writer makes the file, records the sender, inserts the rows and copies the
// message in. It holds an exclusive advisory lock on its file until it is
// destroyed, so a delivery pass (COutboundQueueReader) never reads a message
// that is still being written. The console's view of the queue is
// COutboundQueueView.
//
// A message from a local account or a client that may relay is DKIM-signed
// when its From domain has keys (CDkimSigner): the body's hash is taken in
// a first pass over the content, then the signatures go on top.
//
// A message that came from a client that may relay is listed in
// TrustedOutbound once its first row is in: only such a message goes back
// whole in a non-delivery notice. Whoever does not say so queues a
// stranger's message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/OdbcEnvironment.h"
#include "platform/RecordWriter.h"
#include "platform/UniqueFd.h"

class CMailContent;

class COutboundQueue {
public:
    // Block size of every message copy.
    static constexpr std::uint32_t kCopyBlock = 64 * 1024;
    // Only this much of the start of a message is looked at as its header
    // when the sender is rewritten.
    static constexpr std::uint32_t kHeaderWindow = 6144;
    // A message to be DKIM-signed has its header within this much of its
    // start, else it leaves unsigned.
    static constexpr std::uint32_t kSignedHeaderWindow = 64 * 1024;
    // The longest account EmailId taken as a replacement sender.
    static constexpr std::size_t kMaxEmailId = 350;
    // A sender record claiming more than this is not a sender: the file is
    // treated as damaged instead of being read into memory.
    static constexpr std::uint32_t kMaxSenderBytes = 1024 * 1024;
    // The sender record is buffered in pieces of this size.
    static constexpr std::size_t kRecordBuffer = 4096;

    // directory "Outbox" and the connection for look-ups and inserts.
    COutboundQueue(const std::string& directory, SQLHDBC connection);
    virtual ~COutboundQueue();
    COutboundQueue(const COutboundQueue&) = delete;
    COutboundQueue& operator=(const COutboundQueue&) = delete;

    // In this order. Each returns false when the message could not be queued
    // as asked; the caller then keeps the message (and may call Discard to
    // take back what was queued so far).
    bool CreateMailFile();
    bool SetSender(const std::string& address);
    // Before the first AddRecipient: the message came from a client that
    // may relay. Not recorded (a failed insert) reads as a stranger's.
    void SetTrusted(bool fromTrustedClient) { trusted = fromTrustedClient; }
    bool AddRecipient(const std::string& user, const std::string& domain);
    bool WriteBody(CMailContent& content);
    // Removes this message's rows and its file: for a writer whose message
    // could not be queued completely.
    void Discard();

    const std::string& FilePath() const { return filePath; }
    const std::string& Sender() const { return sender; }
    std::int32_t AccountId() const { return accountId; }
    bool SenderReplaced() const { return senderReplaced; }

    // The text stored as the sender record: the address inside the first
    // "<...>", without a "(comment)".
    static std::string ReduceSender(const std::string& sender);

    // Whether the queued message in mailFile came from a client that may
    // relay; false when unknown.
    static bool IsTrusted(SQLHDBC connection, const std::string& mailFile);
    // Drops the trust mark of a file whose rows are gone.
    static void ForgetTrust(SQLHDBC connection, const std::string& mailFile);

    // Remote recipients queued since the last reset (routing's and
    // forwarding's), read by the send-on-count trigger of the cycle.
    // Deletes the rows of queued files that are not there (relative names
    // are the home's, the process's working directory) and returns those
    // names: a restored queue whose file was sent while its backup ran.
    static std::vector<std::string> DropRowsWithoutFiles(SQLHDBC connection);
    static void CountQueued(std::uint32_t recipients);
    static std::uint32_t QueuedCount();
    // Sets the count back to 0 and returns what it was.
    static std::uint32_t ResetQueuedCount();

private:
    bool CopyContent(CMailContent& content, std::uint32_t remaining);
    bool WriteAll(const void* data, std::size_t length);
    bool Settle();
    std::string RewrittenHeader(const char* block, std::size_t headerEnd) const;
    // The DKIM-Signature fields for the message whose (final) header is
    // header and whose body starts at bodyStart; "" when it is not signed.
    std::string Signatures(CMailContent& content, const std::string& header, std::uint32_t bodyStart,
                           std::uint32_t total) const;

    std::string sender;
    std::int32_t accountId = 0;
    bool senderReplaced = false;
    SQLHDBC connection = SQL_NULL_HDBC;
    std::string directory;
    std::unique_ptr<RecordWriter> record;
    UniqueFd file;
    std::string filePath;
    bool writeFailed = false;  // some bytes did not reach the file
    bool trusted = false;
    bool trustRecorded = false;
};
