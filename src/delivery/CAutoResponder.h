// CAutoResponder: an account's automatic reply with a fixed text.
//
// The responder is on while the account has an AutoResponder row; its text
// is the file "<Mail Directory>/<mailbox>.atr", sent (bounded) as the
// reply's body in the character set it is written in: ASCII as 7bit, UTF-8
// labelled UTF-8 and other 8-bit bytes labelled ISO-8859-1, both in base64.
// The reply names the message it answers (In-Reply-To, References). A reply
// is composed into a temporary message file and handed to the local SMTP
// server, which routes it like any other message.
//
// Nothing automatic is ever answered, so two responders (or a responder and
// a list) cannot talk to each other for ever: not the server's own replies
// and notices (their X-Mailer), not mail that has passed through more than 25
// servers, and, as RFC 3834 asks, not a message marked Auto-Submitted, bulk,
// list or junk mail, a list's message (List-Id), nor one from a null or
// mailer-daemon sender. Every reply says "Auto-Submitted: auto-replied", and
// it goes only where the generated-mail policy of the message allows. One
// sender is answered once per Preferences "AutoReplyInterval" days (table
// AutoReplies), and the reply quotes at most the first 200 bytes of the
// subject, so a flood of messages under one forged sender makes one short
// reply.
#pragma once

#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

class CGeneratedMailPolicy;
class CMailContent;
class CMailHeader;
class CUserRecord;

class CAutoResponder {
public:
    // More Received fields than this: the message is looping.
    static constexpr int kMaxReceived = 25;
    static constexpr std::uint32_t kCopyBlock = 3072;
    // The longest text sent: a larger file is cut here.
    static constexpr std::uint64_t kMaxTextBytes = 1024 * 1024;
    static constexpr const char* kMailer = "Tessal AutoResponder";

    // True while the account has its AutoResponder row; any failure reads off.
    static bool IsOn(SQLHDBC connection, long accountId);
    // The account's text file; "" when the two cannot make a path.
    static std::string TextFilePath(const std::string& mailDirectory, const std::string& mailBox);

    // Why a message is answered or not.
    enum class Verdict { Answer, AutomaticMailer, TooManyHops, AutoSubmitted, BulkOrList, NoSender };
    static Verdict Judge(const CMailHeader& header, const CGeneratedMailPolicy& policy);

    // Answers the message whose header is given, when Judge allows and the
    // policy lets the reply go to its sender; true when the local SMTP server
    // took the reply. Every failure is silent.
    static bool Respond(SQLHDBC connection, const CUserRecord& account, const std::string& mailDirectory,
                        const CMailHeader& header, const CGeneratedMailPolicy& policy);

    // Longest sender address kept as answered (a longer one is cut).
    static constexpr std::size_t kMaxRecipientKey = 320;
    // The setting, within its range.
    static std::uint32_t IntervalDays();
    // Records that the account answers recipient now, unless it did within
    // days; false when it did (or when that cannot be known).
    static bool ClaimReply(SQLHDBC connection, long accountId, const std::string& recipient, std::time_t now,
                           std::uint32_t days);
    // Takes back a claim whose reply did not go out.
    static void ReleaseReply(SQLHDBC connection, long accountId, const std::string& recipient);

    // Writes the reply (header and body) into content; false when a write fails.
    static bool Compose(CMailContent& content, const CUserRecord& account, const CMailHeader& header,
                        const std::string& textPath);

    // The administrator's side. Load: the text (at most kMaxTextBytes), ""
    // when the file cannot be read.
    static std::string Load(const std::string& path);
    enum class SaveResult { TurnedOn, Updated, TurnedOff, Unchanged, FileFailed, DatabaseFailed };
    // Stores text as the account's reply; an empty text turns the responder
    // off. wasOn: IsOn before the change.
    static SaveResult Save(SQLHDBC connection, long accountId, const std::string& path, const std::string& text,
                           bool wasOn);
};
