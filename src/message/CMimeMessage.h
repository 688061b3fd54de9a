// CMimeMessage: splits one stored message into its header, its body text and
// its attachments, or, given the name of one attachment, puts that
// attachment's content into the body file instead.
//
// Understands multipart messages (nested too), single-part text and non-text
// messages, and plain messages carrying uuencoded files. Transfer encodings of
// MIME parts are not decoded: a part's bytes are copied as they stand and its
// Content-Type and Content-Transfer-Encoding are left in the header for the
// consumer. Only uuencoded blocks are decoded, on extraction.
//
// The message is streamed in 64 KiB windows; memory stays bounded whatever
// the input (see the limits in the implementation).
#pragma once

#include "foundation/CTempMailContent.h"
#include "message/CMailHeader.h"
#include "message/CMimeAttachment.h"

#include <memory>
#include <string>
#include <vector>

class CMailContent;

class CMimeMessage {
public:
    CMimeMessage();
    ~CMimeMessage();
    CMimeMessage(const CMimeMessage&) = delete;
    CMimeMessage& operator=(const CMimeMessage&) = delete;

    // Reads content from its current position (callers rewind it first).
    // extractName empty: list mode (body text + attachment records);
    // otherwise extraction mode (that attachment's content in the body file,
    // and, for a MIME part, that part's header as the header).
    // False when content is null or empty, when the body file cannot be made
    // or written, or when content cannot be read. The body file is left
    // rewound.
    bool Parse(CMailContent* content, const std::string& extractName);

    // Null before a successful Parse.
    CMailHeader* GetHeader() const { return header.get(); }
    CTempMailContent* GetBody() const { return body.get(); }
    const std::vector<CMimeAttachment>& GetAttachments() const { return attachments; }
    // The message's Content-Type as written (trimmed).
    const std::string& GetContentType() const { return contentType; }

private:
    class Walker;  // the streaming parser; one per Parse call

    int partCounter = 0;
    std::string contentType;
    std::unique_ptr<CTempMailContent> body;
    std::vector<CMimeAttachment> attachments;
    std::unique_ptr<CMailHeader> header;
};
