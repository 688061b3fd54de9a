// CSystemNotice: the short plain-text messages the local postmaster sends
// about other mail (delivery errors and confirmations).
//
// Every notice has the same header block and body layout; it is composed
// into a temporary message file and handed to the local SMTP server on the
// loopback address, which routes it like any other message. The
// "X-Mailer: Tessal Notification" line marks it so that nothing answers a
// notice with another notice.
#pragma once

#include <ctime>
#include <string>

class CGeneratedMailPolicy;
class CMailContent;

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

    // Writes the notice into an opened temporary message file; false when a
    // write fails. The values quoted from the message the notice is about
    // (toAddress, dateValue, subjectValue) are cut as the generated-mail
    // policy says (CGeneratedMailPolicy::Quote).
    static bool ComposeNotice(CMailContent& content, const std::string& toAddress, const std::string& subject,
                              const std::string& firstSentence, bool withTime, const std::string& dateValue,
                              const std::string& summaryTo, const std::string& subjectValue);
    // Sends a composed notice to recipient through the local SMTP server,
    // in a session marked as generated mail; true when the data was
    // accepted. Whether recipient may have it is the caller's question to
    // CGeneratedMailPolicy.
    static bool SendNotice(CMailContent& content, const std::string& recipient);

    // Composes and sends one notice of a kind about a message: sendTo gets
    // it, summaryTo is the " To : " line. A message that is itself a notice
    // gets none, so two servers never trade notices, and none goes where
    // policy (of the message it is about) forbids. False when no notice
    // went out.
    static bool Issue(Kind kind, const std::string& sendTo, const std::string& summaryTo, CMailContent& about,
                      const CGeneratedMailPolicy& policy);

    static const char* SubjectOf(Kind kind);
    static const char* FirstSentenceOf(Kind kind);
    static bool CarriesTime(Kind kind) { return kind == Kind::Delivered || kind == Kind::Read; }

    // Date, Subject, To and From of the first 64 KiB of a message ("" when missing).
    static NoticeSource ReadSource(CMailContent& message);
    // True for an X-Mailer value that marks a generated notice.
    static bool IsNoticeMailer(const std::string& mailer);
    // "%a, %d %b %Y %H:%M:%S" in English with the machine's numeric zone
    // offset ("+0530") after it.
    static std::string FormatDate(std::time_t when);
};
