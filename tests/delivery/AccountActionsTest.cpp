// The decisions of the per-account actions that the end-to-end tests cannot
// reach one by one: which messages the responder must leave unanswered, what
// it makes of a text file of any kind, and the To rewriting of forwarded
// copies on awkward headers; the reply's character sets and thread fields.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "delivery/CAutoResponder.h"
#include "delivery/CForwarding.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "store/CUserRecord.h"
#include "foundation/CTempMailContent.h"
#include "message/CBase64Decoder.h"
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

namespace {

// The reply composed for message with the text at path: header and body.
struct Reply {
    std::string head;
    std::string body;
    std::string Decoded() const { return CBase64Decoder().Decode(body); }
    bool Has(const std::string& line) const { return head.find("\r\n" + line + "\r\n") != std::string::npos; }
};

Reply Compose(const std::string& path, const std::string& message = "From: a@b.test\r\nSubject: s\r\n\r\n") {
    const CUserRecord account(SQL_NULL_HDBC, 1);
    const CMailHeader header(message.data(), message.size());
    CTempMailContent content;
    EXPECT_TRUE(content.Open() && CAutoResponder::Compose(content, account, header, path));
    std::string text(content.GetLength(), '\0');
    content.Rewind();
    EXPECT_EQ(content.Read(text.data(), static_cast<std::uint32_t>(text.size())), static_cast<int>(text.size()));
    const std::size_t split = text.find("\r\n\r\n");
    return {"\r\n" + text.substr(0, split + 2), text.substr(split + 4)};
}

}  // namespace

TEST(AutoResponderText, AnyFileIsCopiedBoundedAndOnlyARegularFileIsRead) {
    TestHome dir;
    EXPECT_EQ(Compose(dir.File("missing.atr")).body, "");

    std::string bytes;
    for (std::size_t i = 0; bytes.size() < CAutoResponder::kMaxTextBytes + 4096; ++i)
        bytes.push_back(static_cast<char>(i * 7919 % 256));
    TestHome::WriteFile(dir.File("big.atr"), bytes);
    const Reply big = Compose(dir.File("big.atr"));
    EXPECT_EQ(big.Decoded(), bytes.substr(0, CAutoResponder::kMaxTextBytes));
    EXPECT_EQ(CAutoResponder::Load(dir.File("big.atr")), bytes.substr(0, CAutoResponder::kMaxTextBytes));
    // A pipe nobody writes to would block delivery for ever; a directory is no text.
    ASSERT_EQ(::mkfifo(dir.File("pipe.atr").c_str(), 0600), 0);
    EXPECT_EQ(Compose(dir.File("pipe.atr")).body, "");
    ASSERT_EQ(::mkdir(dir.File("dir.atr").c_str(), 0700), 0);
    EXPECT_EQ(Compose(dir.File("dir.atr")).body, "");
}

TEST(AutoResponderText, EachTextGoesInItsOwnCharacterSetInLinesOf76) {
    TestHome dir;
    const std::string ascii = "I am away.\r\n.A dotted line\r\n";
    const std::string utf8 = "Je suis absent jusqu'\xC3\xA0 lundi. \xE2\x82\xAC \xF0\x9F\x8C\x8D\r\n" + std::string(300, 'x');
    const std::string latin1 = "Gr\xFC\xDF aus K\xF6ln\r\n";
    const std::string overlong = "caf\xC0\xA9 \xED\xA0\x80\r\n";  // not UTF-8: an overlong form, a surrogate
    const std::string nul = std::string("a\0b\r\n", 5);
    const struct {
        std::string text, type, encoding;
    } cases[] = {{ascii, "ISO-8859-1", "7bit"},
                 {utf8, "UTF-8", "base64"},
                 {latin1, "ISO-8859-1", "base64"},
                 {overlong, "ISO-8859-1", "base64"},
                 {nul, "ISO-8859-1", "base64"},
                 {std::string(999, 'a'), "ISO-8859-1", "base64"}};
    for (const auto& c : cases) {
        TestHome::WriteFile(dir.File("a.atr"), c.text);
        const Reply reply = Compose(dir.File("a.atr"));
        EXPECT_TRUE(reply.Has("Content-Type: text/plain; charset=" + c.type)) << reply.head;
        EXPECT_TRUE(reply.Has("Content-Transfer-Encoding: " + c.encoding)) << reply.head;
        EXPECT_EQ(c.encoding == "7bit" ? reply.body : reply.Decoded(), c.text);
        for (std::size_t at = 0; c.encoding == "base64" && at < reply.body.size(); at = reply.body.find('\n', at) + 1)
            EXPECT_LE(reply.body.find("\r\n", at) - at, 76u);
    }
}

TEST(AutoResponderHeader, SubjectStaysAHeaderAndTheThreadIsNamedSafely) {
    TestHome dir;
    const auto header = [&](const std::string& fields) {
        return Compose(dir.File("none.atr"), "From: a@b.test\r\n" + fields + "\r\n").head;
    };
    const auto subject = [](const std::string& head) {
        const std::size_t at = head.find("\r\nSubject: ") + 11;
        return head.substr(at, head.find("\r\nDate: ") - at);
    };
    EXPECT_EQ(subject(header("Subject: =?UTF-8?B?w6Rw?=\r\n")), "Re:=?UTF-8?B?w6Rw?=");
    // A cut that leaves a sender's encoded word open drops it.
    EXPECT_EQ(subject(header("Subject: " + std::string(190, 'a') + " =?UTF-8?B?w6Rww6Rww6Rw?=\r\n")),
              "Re:" + std::string(190, 'a'));
    // Raw UTF-8: encoded words of whole characters, folded; they read back.
    const std::string raw = "R\xC3\xA9union " + std::string(40, 'x') + "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC";
    const std::string encoded = subject(header("Subject: " + raw + "\r\n"));
    std::string decoded;
    for (std::size_t at = 0; (at = encoded.find("=?UTF-8?B?", at)) != std::string::npos;) {
        const std::size_t end = encoded.find("?=", at + 10);
        ASSERT_LE(end + 2 - at, 75u);
        decoded += CBase64Decoder().Decode(encoded.substr(at + 10, end - at - 10));
        at = end;
    }
    EXPECT_EQ(decoded, "Re:" + raw);
    EXPECT_NE(encoded.find("?=\r\n =?UTF-8?B?"), std::string::npos);
    EXPECT_NE(subject(header("Subject: Gr\xFC\xDF\r\n")).find("=?ISO-8859-1?B?UmU6R3L83w==?="), std::string::npos);

    const std::string head = header("Message-ID: junk <parent@b.test> <second@b.test>\r\n"
                                    "References: <root@b.test> <x\x01" "Bcc:@evil> <a b@evil>\r\n <a@b.test>\r\n");
    EXPECT_NE(head.find("\r\nMessage-ID: <"), std::string::npos);
    EXPECT_NE(head.find("\r\nIn-Reply-To: <parent@b.test>\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nReferences: <root@b.test>\r\n <a@b.test>\r\n <parent@b.test>\r\n"), std::string::npos)
        << head;
    EXPECT_EQ(head.find("evil"), std::string::npos);
    // A long thread keeps its first message and its latest ones; broken or
    // missing identifiers name nothing.
    std::string thread;
    for (int i = 0; i < 40; ++i) thread += " <m" + std::to_string(i) + "@b.test>";
    const std::string longHead = header("References:" + thread + "\r\nMessage-ID: <p@b.test>\r\n");
    EXPECT_NE(longHead.find("References: <m0@b.test>\r\n <m32@b.test>\r\n"), std::string::npos) << longHead;
    EXPECT_NE(longHead.find(" <m39@b.test>\r\n <p@b.test>\r\n"), std::string::npos);
    const std::string bare = header("Message-ID: <no-at-sign> <a@b@c> <" + std::string(260, 'a') + "@b>\r\n");
    EXPECT_EQ(bare.find("In-Reply-To"), std::string::npos);
    EXPECT_EQ(bare.find("References"), std::string::npos);
}
