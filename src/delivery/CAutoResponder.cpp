// CAutoResponder: the reply's guards, layout and sending, and the
// administrator's text file.
#include "delivery/CAutoResponder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <ctime>
#include <functional>
#include <vector>

#include "delivery/CGeneratedMailPolicy.h"
#include "store/CUserRecord.h"
#include "foundation/CMailContent.h"
#include "foundation/CTempMailContent.h"
#include "foundation/DateText.h"
#include "foundation/OdbcConnectionInfo.h"
#include "foundation/RecordVersion.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/VersionedCache.h"
#include "message/CBase64LineWriter.h"
#include "message/CMailHeader.h"
#include "message/CTextClassifier.h"
#include "message/EncodedWordText.h"
#include "message/MessageIdText.h"
#include "platform/FileIo.h"
#include "platform/Text.h"
#include "smtp/CLocalHandBack.h"
#include "smtp/CSmtpConnection.h"
#include "store/CAutoReplyRows.h"
#include "store/MailStorePaths.h"

namespace {

// A header line stays within the 998 bytes a line may have.
constexpr std::size_t kMaxHeaderValue = 900;
// Identifiers in the reply's References, its parent's included.
constexpr std::size_t kMaxReferences = 10;

// A value quoted into a header line of the reply: one line, bounded.
std::string HeaderValue(std::string value) {
    for (char& c : value)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return CutAtCharacter(std::move(value), kMaxHeaderValue);
}

// The keyword of a structured value: "no (comment)" and "bulk; x" read
// "no" and "bulk", lower case.
std::string Keyword(const std::string& value) {
    std::string_view text = Trim(value);
    const std::size_t end = text.find_first_of(" \t;(");
    return FoldCase(std::string(text.substr(0, end)));
}

// Senders that are programs, not people (RFC 3834, and what every vacation
// program has skipped for decades): a reply to them is lost or bounced.
bool IsDaemonAddress(const std::string& path) {
    const std::string user = FoldCase(path.substr(0, path.find('@')));
    for (const char* name : {"mailer-daemon", "mailer", "postmaster", "listserv", "majordomo", "nobody"})
        if (user == name) return true;
    return StartsWithNoCase(user, "owner-") || EndsWithNoCase(user, "-request") || EndsWithNoCase(user, "-owner") ||
           EndsWithNoCase(user, "-bounces");
}

// The text file, when it is a regular file; a path that is not one (a
// directory, a pipe that would block, a link) gives nothing.
UniqueFd OpenText(const std::string& path) {
    if (path.empty()) return UniqueFd();
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return UniqueFd();
    return file;
}

// At most kMaxTextBytes of the file from its start, block by block.
bool CopyText(int file, const std::function<bool(const char*, std::size_t)>& sink) {
    if (file < 0 || ::lseek(file, 0, SEEK_SET) != 0) return true;
    std::vector<char> block(CAutoResponder::kCopyBlock);
    std::uint64_t copied = 0;
    while (copied < CAutoResponder::kMaxTextBytes) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), CAutoResponder::kMaxTextBytes - copied));
        const ssize_t n = ::read(file, block.data(), want);
        if (n < 0 && errno == EINTR) continue;
        // A read error ends the text where it is, as the designed copy did.
        if (n <= 0) break;
        if (!sink(block.data(), static_cast<std::size_t>(n))) return false;
        copied += static_cast<std::uint64_t>(n);
    }
    return true;
}

// "Subject: Re:" and the sender's subject, cut. ASCII (his encoded words
// too, less one the cut left open) goes as it came; other bytes go in
// encoded words, "Re:" with them, so the line stays a valid header.
std::string SubjectLine(const CMailHeader& header) {
    const std::string subject = CGeneratedMailPolicy::Quote(HeaderValue(header.GetField("Subject")));
    switch (CTextClassifier::Of(subject)) {
        case CTextClassifier::Kind::SevenBit:
            return "Subject: Re:" + WithoutOpenEncodedWord(subject) + "\r\n";
        case CTextClassifier::Kind::Utf8:
            return "Subject: " + EncodedWords("Re:" + subject, "UTF-8", true) + "\r\n";
        case CTextClassifier::Kind::EightBit:
            break;
    }
    return "Subject: " + EncodedWords("Re:" + subject, "ISO-8859-1", false) + "\r\n";
}

// In-Reply-To and References naming the message answered, from its sane
// identifiers only. References keeps the thread's first message and its
// latest ones, so a long thread makes a short field.
std::string ThreadLines(const CMailHeader& header) {
    std::string parent;
    ForEachMessageId(header.GetField("Message-ID"), [&](std::string_view id) {
        if (parent.empty()) parent = id;
    });
    std::string references = header.GetField("References");
    if (Trim(references).empty()) references = header.GetField("In-Reply-To");
    std::string first;
    std::deque<std::string> latest;
    ForEachMessageId(references, [&](std::string_view id) {
        if (first.empty()) {
            first = id;
            return;
        }
        latest.emplace_back(id);
        if (latest.size() > kMaxReferences - 2) latest.pop_front();
    });
    if (!first.empty()) latest.emplace_front(first);
    if (!parent.empty()) latest.push_back(parent);
    std::string lines;
    if (!parent.empty()) lines += "In-Reply-To: " + parent + "\r\n";
    for (std::size_t i = 0; i < latest.size(); ++i) lines += (i == 0 ? "References: " : " ") + latest[i] + "\r\n";
    return lines;
}

}  // namespace

bool CAutoResponder::IsOn(SQLHDBC connection, long accountId) {
    // Asked for every message an account receives: kept while the record
    // version stays, read before the row so a change meanwhile is not missed.
    static VersionedCache<long, bool> kept(1024);
    const std::optional<std::int64_t> version = RecordVersion::ReadForDeliverySettings(connection);
    if (version)
        if (const std::optional<bool> hit = kept.Find(*version, accountId)) return *hit;
    const std::optional<bool> found = CAutoReplyRows::IsOn(connection, accountId);
    if (!found) return false;
    if (version && !OdbcConnectionInfo::IsLost(connection)) kept.Store(*version, accountId, *found);
    return *found;
}

std::string CAutoResponder::TextFilePath(const std::string& mailDirectory, const std::string& mailBox) {
    if (!mailstore::IsSafeName(mailBox)) return {};
    return mailstore::JoinPath(mailDirectory, mailBox + ".atr");
}

CAutoResponder::Verdict CAutoResponder::Judge(const CMailHeader& header, const CGeneratedMailPolicy& policy) {
    // The server's own replies and notices say so in X-Mailer (case matters).
    const std::string mailer = header.GetField("X-Mailer");
    if (mailer.find("AutoResponder") != std::string::npos || mailer.find("Notification") != std::string::npos)
        return Verdict::AutomaticMailer;
    if (header.Occurrences("Received") > kMaxReceived) return Verdict::TooManyHops;
    const std::string submitted = Keyword(header.GetField("Auto-Submitted"));
    if (!submitted.empty() && submitted != "no") return Verdict::AutoSubmitted;
    const std::string precedence = Keyword(header.GetField("Precedence"));
    if (precedence == "bulk" || precedence == "list" || precedence == "junk") return Verdict::BulkOrList;
    if (!Trim(header.GetField("List-Id")).empty()) return Verdict::BulkOrList;
    if (!policy.MayGenerate()) return Verdict::NoSender;
    const std::string from = CSmtpConnection::RecipientPath(header.GetField("From"));
    if (from.empty() || IsDaemonAddress(from)) return Verdict::NoSender;
    const std::string& envelope = policy.EnvelopeSender();
    if (!envelope.empty() && IsDaemonAddress(envelope)) return Verdict::NoSender;
    return Verdict::Answer;
}

bool CAutoResponder::Compose(CMailContent& content, const CUserRecord& account, const CMailHeader& header,
                             const std::string& textPath) {
    // The text is read twice through one descriptor: once to tell its
    // character set, then to copy it. Save replaces the file by renaming, so
    // both passes read the same bytes.
    const UniqueFd text = OpenText(textPath);
    CTextClassifier classifier;
    CopyText(text.Get(), [&](const char* data, std::size_t size) {
        classifier.Feed(std::string_view(data, size));
        return true;
    });
    const CTextClassifier::Kind kind = classifier.Result();

    std::string head;
    head += "From: " + HeaderValue(account.GetEmailId()) + "\r\n";
    head += "To: " + HeaderValue(header.GetField("From")) + "\r\n";
    head += SubjectLine(header);
    head += "Date: " + MailDateText(std::time(nullptr)) + "\r\n";
    head += "Message-ID: " + NewMessageId() + "\r\n";
    head += ThreadLines(header);
    head += "X-MSMail-Priority: Normal\r\n";
    head += "X-Priority: 3\r\n";
    head += std::string("X-Mailer: ") + kMailer + "\r\n";
    head += "MIME-Version: 1.0\r\n";
    if (kind == CTextClassifier::Kind::SevenBit) {
        head += "Content-Type: text/plain; charset=ISO-8859-1\r\n";
        head += "Content-Transfer-Encoding: 7bit\r\n";
    } else {
        // Bytes 7bit cannot carry go in base64: UTF-8 text labelled as such,
        // anything else as ISO-8859-1, in which every byte is a character.
        head += kind == CTextClassifier::Kind::Utf8 ? "Content-Type: text/plain; charset=UTF-8\r\n"
                                                    : "Content-Type: text/plain; charset=ISO-8859-1\r\n";
        head += "Content-Transfer-Encoding: base64\r\n";
    }
    head += "Auto-Submitted: auto-replied\r\n";
    head += "\r\n";
    if (!content.Write(head.data(), static_cast<std::uint32_t>(head.size()))) return false;
    const auto write = [&](const char* data, std::size_t size) {
        return content.Write(data, static_cast<std::uint32_t>(size));
    };
    if (kind == CTextClassifier::Kind::SevenBit) return CopyText(text.Get(), write);
    CBase64LineWriter body(write);
    return CopyText(text.Get(), [&](const char* data, std::size_t size) {
               return body.Write(std::string_view(data, size));
           }) &&
           body.Finish();
}

std::uint32_t CAutoResponder::IntervalDays() {
    return settings::Dword{settings::kPreferences, "AutoReplyInterval"}.Clamped();
}

bool CAutoResponder::ClaimReply(SQLHDBC connection, long accountId, const std::string& recipient, std::time_t now,
                                std::uint32_t days) {
    return CAutoReplyRows::Claim(connection, accountId, recipient,
                                 now - static_cast<std::time_t>(days) * 24 * 60 * 60, now);
}

void CAutoResponder::ReleaseReply(SQLHDBC connection, long accountId, const std::string& recipient) {
    CAutoReplyRows::Release(connection, accountId, recipient);
}

bool CAutoResponder::Respond(SQLHDBC connection, const CUserRecord& account, const std::string& mailDirectory,
                             const CMailHeader& header, const CGeneratedMailPolicy& policy) {
    if (Judge(header, policy) != Verdict::Answer) return false;
    const std::string recipient = CSmtpConnection::RecipientPath(header.GetField("From"));
    if (!policy.MaySendTo(recipient)) return false;
    const std::string answered = CutAtCharacter(FoldCase(recipient), kMaxRecipientKey);
    if (!ClaimReply(connection, account.GetAccountId(), answered, std::time(nullptr), IntervalDays())) return false;
    // A reply that did not go out leaves the sender to be answered next time.
    bool sent = false;
    CTempMailContent reply;
    if (reply.Open() && Compose(reply, account, header, TextFilePath(mailDirectory, account.GetMailBox()))) {
        CLocalHandBack::Options options;
        options.generatedMail = true;
        sent = CLocalHandBack::Once(options, CLocalHandBack::To(account.GetEmailId(), recipient), reply).sent;
    }
    if (!sent) ReleaseReply(connection, account.GetAccountId(), answered);
    return sent;
}

std::string CAutoResponder::Load(const std::string& path) {
    std::string text;
    const UniqueFd file = OpenText(path);
    CopyText(file.Get(), [&](const char* data, std::size_t size) {
        text.append(data, size);
        return true;
    });
    return text;
}

CAutoResponder::SaveResult CAutoResponder::Save(SQLHDBC connection, long accountId, const std::string& path,
                                                const std::string& text, bool wasOn) {
    if (text.empty()) {
        if (!wasOn) return SaveResult::Unchanged;
        if (!CAutoReplyRows::TurnOff(connection, accountId)) return SaveResult::DatabaseFailed;
        if (!path.empty()) ::unlink(path.c_str());
        return SaveResult::TurnedOff;
    }
    if (path.empty() || text.size() > kMaxTextBytes) return SaveResult::FileFailed;
    // Written aside and renamed into place: a reply being composed reads the
    // old text or the new one, never half of one.
    std::string temporary;
    UniqueFd file = CreateExclusive(
        [&](unsigned) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, ".%08X", static_cast<unsigned>(NextFileNumber()));
            return path + suffix;
        },
        16, O_WRONLY, 0640, temporary);
    if (!file) return SaveResult::FileFailed;
    const bool written = WriteAll(file.Get(), text.data(), text.size()) && ::fsync(file.Get()) == 0;
    file.Reset();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return SaveResult::FileFailed;
    }
    SyncDirectory(path.substr(0, path.rfind('/')));
    if (wasOn) return SaveResult::Updated;
    if (!CAutoReplyRows::TurnOn(connection, accountId)) return SaveResult::DatabaseFailed;
    return SaveResult::TurnedOn;
}
