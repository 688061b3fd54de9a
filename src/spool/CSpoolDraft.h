// CSpoolDraft: a message received straight into its spool file.
//
// The SMTP session knows the sender and the recipients before the data
// comes, so it starts the spool file then (hidden, as ".SMF<hex>.part")
// with its record up to the message and lets the data stream into it.
// WriteSpoolFile then only fills in the dots and the length, appends the
// trailer and publishes the file as a whole one: the message is written to
// disk once, not into a temporary file and again into the spool. A draft
// that is not published (a refused or abandoned message) removes its file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/CMailContent.h"
#include "platform/UniqueFd.h"
#include "spool/SpoolFile.h"

class CSpoolDraft : public CMailContent {
public:
    // Starts the spool file in directory; null when it cannot be made (the
    // reason is logged).
    static std::unique_ptr<CSpoolDraft> Begin(const std::string& directory, const std::string& sender,
                                              const std::vector<std::unique_ptr<MailRecipient>>& recipients);
    ~CSpoolDraft() override;

    // The message part, as any content.
    std::uint32_t GetLength() override;
    void Rewind() override;
    int Read(void* buffer, std::uint32_t count) override;
    bool Write(const void* buffer, std::uint32_t count) override;
    bool Open() override;

    // True when the record started here is the one the message would get in
    // directory (nothing changed since Begin).
    bool Matches(const std::string& directory, const std::string& sender,
                 const std::vector<spool::RecipientEntry>& entries) const;
    // Completes and publishes the spool file (see spool::PublishPartFile).
    // Once only.
    bool Publish(std::int32_t dots, bool mayRelay, std::string* path, bool junk = false);

    // Rewrites the message part as lines (whole header lines, each ending
    // in CR LF) followed by the text received so far, leaving out every
    // Authentication-Results field of its header that names one of
    // ownNames (lower case) as its authentication service: such a claim
    // comes from outside and would pass for this server's own. The record
    // keeps its layout: a new part file takes the record, the lines and the
    // text (copied by the kernel, not through memory) and replaces this one.
    // False, with the draft failed, when that cannot be done.
    bool Rewrite(const std::string& lines, const std::vector<std::string>& ownNames);
    // The name the message is known by while it is received ("SMF" and its
    // number in hex).
    std::string QueueId() const;

private:
    CSpoolDraft() = default;

    UniqueFd file;
    std::string directory;
    std::string partPath;
    std::uint32_t number = 0;
    std::string sender;
    std::vector<spool::RecipientEntry> entries;
    std::uint64_t messageStart = 0;  // offset of the message's first byte
    std::uint64_t written = 0;       // bytes of message written
    std::uint64_t readAt = 0;        // next byte of message to read
    bool failed = false;
};
