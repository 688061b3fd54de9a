// CSystemNotice: the short plain-text messages the local postmaster sends
// about other mail (delivery errors and confirmations).
//
// Every notice (quota notices, delivery and read receipts, and whatever
// notice comes later) goes through Send: the generated-mail policy, the
// notice-about-a-notice check, one header block and body layout. It is composed
// into a temporary message file and handed back to the local SMTP server
// (CLocalHandBack), which routes it like any other message. The
// "X-Mailer: Tessal Notification" line marks it so that nothing answers a
// notice with another notice.
#pragma once

#include <ctime>
#include <string>

class CGeneratedMailPolicy;
class CMailContent;
class CMailHeader;

// The header values of the message a notice is about.
struct NoticeSource {
    std::string date;
    std::string subject;
    std::string to;
    std::string from;
    std::string mailer;  // X-Mailer
};

class CSystemNotice {
public:
    enum class Kind { SendingQuotaExceeded, ReceivingQuotaExceeded, ForwardingLoop, Delivered, Read };

    static constexpr const char* kMailer = "Tessal Notification";

    // What became of a notice.
    enum class Outcome {
        Sent,             // the local SMTP server accepted it
        Withheld,         // nobody to tell, policy forbids, or the message is itself a notice
        NoTemporaryFile,  // the notice could not be composed: no temporary file
        NotSent,          // composing or sending failed
    };

    // The one path every notice takes: the checks, the composition and the
    // sending. about: the header values of the message the notice is about;
    // to: the notice's "To:" value; summaryTo: its " To : " line; recipient:
    // the address it is sent to ("" for to itself). A message that is itself
    // a notice gets none, so two servers never trade notices, and none goes
    // where policy (of the message it is about) forbids.
    static Outcome Send(Kind kind, const NoticeSource& about, const std::string& to, const std::string& summaryTo,
                        const CGeneratedMailPolicy& policy, const std::string& recipient = {});
    // A notice's own subject and first sentence (the time after it when withTime).
    struct Text {
        std::string subject;
        std::string firstSentence;
        bool withTime = false;
    };
    static Text TextOf(Kind kind);
    // The same path for a notice of another kind's text.
    static Outcome Send(const Text& text, const NoticeSource& about, const std::string& to,
                        const std::string& summaryTo, const CGeneratedMailPolicy& policy,
                        const std::string& recipient = {});
    // Send about a message read from content; true when the notice went out.
    static bool Issue(Kind kind, const std::string& sendTo, const std::string& summaryTo, CMailContent& about,
                      const CGeneratedMailPolicy& policy);

    // The steps of Send. ComposeNotice writes the notice into an opened
    // temporary message file; false when a write fails. The values quoted
    // from the message the notice is about (toAddress, dateValue,
    // subjectValue) are cut as the generated-mail policy says
    // (CGeneratedMailPolicy::Quote).
    static bool ComposeNotice(CMailContent& content, const std::string& toAddress, const std::string& subject,
                              const std::string& firstSentence, bool withTime, const std::string& dateValue,
                              const std::string& summaryTo, const std::string& subjectValue);
    // Sends a composed notice to recipient through the local SMTP server,
    // in a session marked as generated mail; true when the data was
    // accepted.
    static bool SendNotice(CMailContent& content, const std::string& recipient);

    static const char* SubjectOf(Kind kind);
    static const char* FirstSentenceOf(Kind kind);
    static bool CarriesTime(Kind kind) { return kind == Kind::Delivered || kind == Kind::Read; }

    // Date, Subject, To and From of the first 64 KiB of a message ("" when missing).
    static NoticeSource ReadSource(CMailContent& message);
    // The same of a parsed header.
    static NoticeSource SourceOf(const CMailHeader& header);
    // True for an X-Mailer value that marks a generated notice.
    static bool IsNoticeMailer(const std::string& mailer);
    // "%a, %d %b %Y %H:%M:%S" in English with the machine's numeric zone
    // offset ("+0530") after it.
    static std::string FormatDate(std::time_t when);
};
