// COutboundQueueReader: reads one queued outbound message back, for a
// delivery pass and for the console's preview.
//
// It opens an Outbox file named by an OutBoundMails row (see COutboundQueue
// for the format) and hands back its sender and a temporary copy of the
// message. A file whose writer still holds it is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/RecordReader.h"
#include "platform/UniqueFd.h"

class CMailContent;

class COutboundQueueReader {
public:
    // directory: the Outbox the rows name files in.
    explicit COutboundQueueReader(const std::string& directory);
    ~COutboundQueueReader();
    COutboundQueueReader(const COutboundQueueReader&) = delete;
    COutboundQueueReader& operator=(const COutboundQueueReader&) = delete;

    bool OpenMailFile(const std::string& path);
    // The sender record; "" when the file holds none readable.
    std::string ReadSender();
    // The message bytes after the sender record in a new temporary file, or
    // nothing (no temporary file, nothing after the sender record, a damaged
    // sender record, or a failed copy).
    std::unique_ptr<CMailContent> ExtractBody();

    const std::string& FilePath() const { return filePath; }

private:
    std::string directory;
    std::unique_ptr<RecordReader> record;
    UniqueFd file;
    std::string filePath;
    bool senderRead = false;     // the sender record was consumed
    bool senderDamaged = false;  // the sender record could not be read
};
