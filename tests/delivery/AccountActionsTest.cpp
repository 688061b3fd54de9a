// The decisions of the per-account actions that the end-to-end tests cannot
// reach one by one: which messages the responder must leave unanswered, what
// it makes of a text file of any kind, and the To rewriting of forwarded
// copies on awkward headers.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "delivery/CAutoResponder.h"
#include "delivery/CForwarding.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "delivery/CUserRecord.h"
#include "foundation/CTempMailContent.h"
#include "message/CMailHeader.h"
#include "TestHome.h"

namespace {

using Verdict = CAutoResponder::Verdict;

Verdict Judge(const std::string& fields, const std::string& envelope = "stranger@far.test") {
    const std::string text = "From: Stranger <stranger@far.test>\r\n" + fields + "\r\nbody\r\n";
    const CMailHeader header(text.data(), text.size());
    return CAutoResponder::Judge(header, CGeneratedMailPolicy(envelope, true, nullptr));
}

std::string Hops(int count) {
    std::string lines;
    for (int i = 0; i < count; ++i) lines += "Received: from a\r\n\tby b; date\r\n";
    return lines;
}

}  // namespace

TEST(AutoResponderGuards, AnswersPeopleAndNothingAutomatic) {
    EXPECT_EQ(Judge(""), Verdict::Answer);
    EXPECT_EQ(Judge("Auto-Submitted: No (a person)\r\nPrecedence: first-class\r\n"), Verdict::Answer);
    EXPECT_EQ(Judge("X-Mailer: my notification tool\r\n"), Verdict::Answer);  // the guard is case-sensitive
    EXPECT_EQ(Judge(Hops(25)), Verdict::Answer);
    EXPECT_EQ(Judge(Hops(26)), Verdict::TooManyHops);
    EXPECT_EQ(Judge("X-Mailer: Tessal AutoResponder\r\n"), Verdict::AutomaticMailer);
    EXPECT_EQ(Judge("auto-submitted: auto-generated; x=y\r\n"), Verdict::AutoSubmitted);
    EXPECT_EQ(Judge("Precedence: JUNK\r\n"), Verdict::BulkOrList);
    EXPECT_EQ(Judge("Precedence: bulk\r\n"), Verdict::BulkOrList);
    EXPECT_EQ(Judge("List-Id: <team.example.org>\r\n"), Verdict::BulkOrList);
    EXPECT_EQ(Judge("", ""), Verdict::NoSender);
    EXPECT_EQ(Judge("", "MAILER-DAEMON@far.test"), Verdict::NoSender);
    EXPECT_EQ(Judge("", "team-request@far.test"), Verdict::NoSender);
}

TEST(ForwardingRewrite, ToIsReplacedInPlaceAndEveryOtherLineKept) {
    std::string header;
    std::size_t length = 0;
    const std::string head = "Received: a\r\n\tb\r\nTO: x@y,\r\n\tz@w\r\nsubject:  S \r\nto: again\r\n\r\nbody";
    ASSERT_TRUE(CForwarding::RewriteTo(head, "t@u.test", header, length));
    EXPECT_EQ(header, "Received: a\r\n\tb\r\nTo: t@u.test\r\nsubject:  S \r\n");
    EXPECT_EQ(head.substr(length), "\r\nbody");

    ASSERT_TRUE(CForwarding::RewriteTo("From: a\r\n\r\n", "t@u.test", header, length));
    EXPECT_EQ(header, "From: a\r\nTo: t@u.test\r\n");
    ASSERT_TRUE(CForwarding::RewriteTo("\r\nbody only", "t@u.test", header, length));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(header, "To: t@u.test\r\n");
    EXPECT_FALSE(CForwarding::RewriteTo("From: a\r\nSubject: never ends", "t@u.test", header, length));
}

TEST(AutoResponderText, AnyFileIsCopiedBoundedAndOnlyARegularFileIsRead) {
    TestHome dir;
    const CUserRecord account(SQL_NULL_HDBC, 1);
    const std::string message = "From: a@b.test\r\nSubject: s\r\n\r\n";
    const CMailHeader header(message.data(), message.size());
    const auto replyLength = [&](const std::string& path) {
        CTempMailContent reply;
        EXPECT_TRUE(reply.Open() && CAutoResponder::Compose(reply, account, header, path));
        return static_cast<std::uint64_t>(reply.GetLength());
    };
    const std::uint64_t headerOnly = replyLength(dir.File("missing.atr"));

    std::string bytes;
    for (std::size_t i = 0; bytes.size() < CAutoResponder::kMaxTextBytes + 4096; ++i)
        bytes.push_back(static_cast<char>(i * 7919 % 256));
    TestHome::WriteFile(dir.File("big.atr"), bytes);
    EXPECT_EQ(replyLength(dir.File("big.atr")), headerOnly + CAutoResponder::kMaxTextBytes);
    EXPECT_EQ(CAutoResponder::Load(dir.File("big.atr")), bytes.substr(0, CAutoResponder::kMaxTextBytes));
    // A pipe nobody writes to would block delivery for ever; a directory is no text.
    ASSERT_EQ(::mkfifo(dir.File("pipe.atr").c_str(), 0600), 0);
    EXPECT_EQ(replyLength(dir.File("pipe.atr")), headerOnly);
    ASSERT_EQ(::mkdir(dir.File("dir.atr").c_str(), 0700), 0);
    EXPECT_EQ(replyLength(dir.File("dir.atr")), headerOnly);
}
