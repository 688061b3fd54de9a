// CSystemNotice: composition of the postmaster's notices and their sending
// to the local SMTP server.
#include "delivery/CSystemNotice.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "delivery/CGeneratedMailPolicy.h"
#include "foundation/CMailContent.h"
#include "foundation/COwnNames.h"
#include "foundation/CTempMailContent.h"
#include "message/CMailHeader.h"
#include "message/MessageIdText.h"
#include "smtp/CLocalHandBack.h"
#include "foundation/DateText.h"

namespace {

// A header value must stay on its own line: a line break inside the "To:"
// value would let the address add header fields of its own.
std::string OneLine(std::string value) {
    for (char& c : value)
        if (c == '\r' || c == '\n') c = ' ';
    return value;
}

bool WriteText(CMailContent& content, const std::string& text) {
    return content.Write(text.data(), static_cast<std::uint32_t>(text.size()));
}

}  // namespace

std::string CSystemNotice::FormatDate(std::time_t when) {
    return MailDateText(when);
}

const char* CSystemNotice::SubjectOf(Kind kind) {
    switch (kind) {
        case Kind::Delivered:
            return "Message Delivery Confirmation";
        case Kind::Read:
            return "Message Read Confirmation";
        default:
            return "Message Delivery Error";
    }
}

const char* CSystemNotice::FirstSentenceOf(Kind kind) {
    switch (kind) {
        case Kind::SendingQuotaExceeded:
            return "The following mail of yours was not sent to the recipient as it was exceeding your mail "
                   "sending quota.";
        case Kind::ReceivingQuotaExceeded:
            return "The following mail of yours could not be delivered to recipient due to quota restriction.";
        case Kind::ForwardingLoop:
            return "The following mail of yours could not be forwarded as per recipient's settings due to "
                   "looping in mail delivery.";
        case Kind::Delivered:
            return "The following mail of yours has been delivered to the recipient on ";
        case Kind::Read:
            return "The following mail of yours has been read by the recipient on ";
    }
    return "";
}

bool CSystemNotice::ComposeNotice(CMailContent& content, const std::string& toAddress, const std::string& subject,
                                  const std::string& firstSentence, bool withTime, const std::string& dateValue,
                                  const std::string& summaryTo, const std::string& subjectValue) {
    const std::string now = FormatDate(std::time(nullptr));
    std::string header;
    // The bare local name until the home has a domain of its own.
    const std::string from = COwnNames::HomeDomain().empty() ? std::string("postmaster") : COwnNames::Postmaster();
    header += "From: " + from + "\r\n";
    header += "To: " + OneLine(CGeneratedMailPolicy::Quote(toAddress)) + "\r\n";
    header += "Subject: " + OneLine(subject) + "\r\n";
    header += "Date: " + now + "\r\n";
    header += "Message-ID: " + NewMessageId() + "\r\n";
    header += "X-MSMail-Priority: Normal\r\n";
    header += "X-Priority: 3\r\n";
    header += std::string("X-Mailer: ") + kMailer + "\r\n";
    header += "MIME-Version: 1.0\r\n";
    header += "Content-Type: text/plain; charset=ISO-8859-1\r\n";
    header += "Content-Transfer-Encoding: 7bit\r\n";
    header += "\r\n";
    if (!WriteText(content, header)) return false;

    std::string body = firstSentence;
    if (withTime) body += now + ".";
    body += "\r\n";
    body += "\r\n Date : " + CGeneratedMailPolicy::Quote(dateValue);
    body += "\r\n To : " + summaryTo;
    body += "\r\n Subject : " + CGeneratedMailPolicy::Quote(subjectValue);
    return WriteText(content, body);
}

bool CSystemNotice::SendNotice(CMailContent& content, const std::string& recipient) {
    // Nobody to tell (a bounce-style empty sender): nothing is sent.
    if (CMailHeader::TrimBlanks(std::string_view(recipient)).empty()) return false;
    CLocalHandBack::Options options;
    options.generatedMail = true;
    return CLocalHandBack::Once(options, CLocalHandBack::To(COwnNames::Postmaster(), recipient), content).sent;
}

NoticeSource CSystemNotice::ReadSource(CMailContent& message) {
    const std::string head = ReadHead(message, kMessageHeadBytes);
    const CMailHeader header(head.data(), head.size());
    return SourceOf(header);
}

NoticeSource CSystemNotice::SourceOf(const CMailHeader& header) {
    NoticeSource source;
    source.date = header.GetField("Date");
    source.subject = header.GetField("Subject");
    source.to = header.GetField("To");
    source.from = header.GetField("From");
    source.mailer = header.GetField("X-Mailer");
    return source;
}

bool CSystemNotice::IsNoticeMailer(const std::string& mailer) {
    return mailer.find("Notification") != std::string::npos;
}

CSystemNotice::Text CSystemNotice::TextOf(Kind kind) {
    return {SubjectOf(kind), FirstSentenceOf(kind), CarriesTime(kind)};
}

CSystemNotice::Outcome CSystemNotice::Send(Kind kind, const NoticeSource& about, const std::string& to,
                                           const std::string& summaryTo, const CGeneratedMailPolicy& policy,
                                           const std::string& recipient) {
    return Send(TextOf(kind), about, to, summaryTo, policy, recipient);
}

CSystemNotice::Outcome CSystemNotice::Send(const Text& text, const NoticeSource& about, const std::string& to,
                                           const std::string& summaryTo, const CGeneratedMailPolicy& policy,
                                           const std::string& recipient) {
    const std::string& target = recipient.empty() ? to : recipient;
    if (CMailHeader::TrimBlanks(std::string_view(target)).empty()) return Outcome::Withheld;
    if (!policy.MaySendTo(target) || IsNoticeMailer(about.mailer)) return Outcome::Withheld;
    CTempMailContent notice;
    if (!notice.Open()) return Outcome::NoTemporaryFile;
    if (!ComposeNotice(notice, to, text.subject, text.firstSentence, text.withTime, about.date, summaryTo,
                       about.subject))
        return Outcome::NotSent;
    return SendNotice(notice, target) ? Outcome::Sent : Outcome::NotSent;
}

bool CSystemNotice::Issue(Kind kind, const std::string& sendTo, const std::string& summaryTo, CMailContent& about,
                          const CGeneratedMailPolicy& policy) {
    return Send(kind, ReadSource(about), sendTo, summaryTo, policy) == Outcome::Sent;
}
