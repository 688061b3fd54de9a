// CFailureNotice: composes one non-delivery notice.
//
// The notice is a multipart/mixed MIME message from the server's
// postmaster, dated and with a Message-ID of its own: a short plain-text
// part with the reason (quoting the remote server's reply when there was
// one), then the failed message attached as message/rfc822. It goes to the envelope sender recorded with the queued
// message and nowhere else: a header address is whatever the message's
// author wrote, and a notice sent there would carry a stranger's text to a
// victim of his choice. A message sent with the null sender (itself a
// bounce) has nobody to tell. The attachment may be cut to its first bytes
// (SetAttachLimit), at a line end, for a message from a stranger.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "message/CMailHeader.h"

class CMailContent;

class CFailureNotice {
public:
    static constexpr const char* kSubject = "Tessal Mailer Response";
    // Of a stranger's message only this much goes back in its notice.
    static constexpr std::uint64_t kStrangerAttachBytes = 50 * 1024;
    // An address longer than this is no address anyone can be answered at.
    static constexpr std::size_t kMaxAddress = 1024;

    CFailureNotice() = default;
    ~CFailureNotice();
    CFailureNotice(const CFailureNotice&) = delete;
    CFailureNotice& operator=(const CFailureNotice&) = delete;

    // The notice's "From" value.
    void SetFrom(const std::string& text) { from = text; }
    // The message that failed; not owned, must outlive Compose.
    void SetFailedMessage(CMailContent* content) { failedMessage = content; }
    // The envelope sender recorded with the failed message ("" for none).
    void SetEnvelopeSender(const std::string& address) { envelopeSender = address; }
    // At most this many bytes of the failed message are attached (0: all).
    void SetAttachLimit(std::uint64_t bytes) { attachLimit = bytes; }
    // Takes the envelope sender as the notice's recipient; false when it is
    // none anyone can be answered at (the null sender among them).
    bool ReadFailedSender();
    void SetReasonText(const std::string& text) { reasonText = text; }
    // Writes the notice into a new temporary file; GetNotice then hands it
    // over, or gives nothing when it could not be made whole.
    void Compose();
    std::unique_ptr<CMailContent> GetNotice();
    const std::string& GetRecipient() const { return recipient; }

    // The explanation of an OutBoundMails failure code, told by the
    // remote server's reply line when one is known.
    static const char* ReasonText(std::uint32_t failureCode, std::string_view reply = {});
    // "QIRN" and eight numbers from the C library generator.
    static std::string MakeBoundary();
    // An address a notice can be sent to: a character before its "@", no
    // control characters (it becomes a header value), not overlong.
    static bool IsUsableAddress(std::string_view address);

private:
    bool WriteNotice(CMailContent& out);
    bool WriteFailedMessage(CMailContent& out);

    CMailContent* failedMessage = nullptr;
    std::unique_ptr<CMailContent> notice;
    CMailHeader header;
    std::string reasonText;
    std::string recipient;
    std::string from;
    std::string boundary;
    std::string envelopeSender;
    std::uint64_t attachLimit = 0;
};
