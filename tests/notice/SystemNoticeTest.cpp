// System notices end to end: composed into a temporary message file and
// sent to a real SMTP server (aiosmtpd, the tests' SmtpPeer) standing in for
// the local SMTP server on the configured loopback port.
#include <memory>
#include <regex>
#include <string>

#include "TestContent.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "foundation/SettingsCatalogue.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "spool/CSystemNotice.h"

namespace {

// A message from a client that may relay: its notices may go anywhere.
const CGeneratedMailPolicy kRelaying("ann@example.org", true, nullptr);

// "Sun, 06 Dec 2026 10:00:00 +0530"
const std::string kDate =
    "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "\\d{4} \\d\\d:\\d\\d:\\d\\d [+-]\\d{4}";

std::string HeaderBlock(const std::string& to, const std::string& subject) {
    return "From: postmaster\r\nTo: " + to + "\r\nSubject: " + subject + "\r\nDate: " + kDate +
           "\r\nMessage-ID: <[^>]+>\r\nX-MSMail-Priority: Normal\r\nX-Priority: 3\r\nX-Mailer: Tessal Notification\r\n"
           "MIME-Version: 1\\.0\r\nContent-Type: text/plain; charset=ISO-8859-1\r\n"
           "Content-Transfer-Encoding: 7bit\r\n\r\n";
}

class SystemNoticeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(home.Provision()); }
    TestHome home;
};

TEST_F(SystemNoticeTest, ComposedNoticeHasTheHeaderBlockAndSummaryLines) {
    auto notice = Content("");
    ASSERT_TRUE(
        CSystemNotice::ComposeNotice(*notice, "ann@example.org", "Message Delivery Error",
                                     CSystemNotice::FirstSentenceOf(CSystemNotice::Kind::ReceivingQuotaExceeded), false,
                                     "Sun, 06 Dec 2026 10:00:00 +0000", "carol@mail.local", "It's big"));
    const std::string expected =
        HeaderBlock("ann@example\\.org", "Message Delivery Error") +
        "The following mail of yours could not be delivered to recipient due to quota restriction\\.\r\n"
        "\r\n Date : Sun, 06 Dec 2026 10:00:00 \\+0000\r\n To : carol@mail\\.local\r\n Subject : It's big";
    const std::string text = ReadAll(*notice);
    EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;

    // A confirmation carries the time after its sentence; missing values stay empty.
    auto confirmation = Content("");
    ASSERT_TRUE(CSystemNotice::ComposeNotice(
        *confirmation, "bob@example.org\r\nBcc: victim@example.org", "Message Read Confirmation",
        CSystemNotice::FirstSentenceOf(CSystemNotice::Kind::Read), true, "", "carol@mail.local", ""));
    const std::string read = ReadAll(*confirmation);
    EXPECT_TRUE(std::regex_match(
        read, std::regex(HeaderBlock("bob@example\\.org  Bcc: victim@example\\.org", "Message Read Confirmation") +
                         "The following mail of yours has been read by the recipient on " + kDate +
                         "\\.\r\n\r\n Date : \r\n To : carol@mail\\.local\r\n Subject : ")))
        << read;
}

TEST_F(SystemNoticeTest, NoticeGoesToTheConfiguredLocalPortFromThePostmaster) {
    SmtpPeer server;
    ASSERT_TRUE(server.Start(home.File("received")));
    SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(server.Port()));

    auto original = Content(
        "From: Ann <ann@example.org>\r\nTo: carol@mail.local\r\nSubject: Report\r\n"
        "Date: Sun, 06 Dec 2026 10:00:00 +0000\r\n\r\nbody\r\n");
    ASSERT_TRUE(CSystemNotice::Issue(CSystemNotice::Kind::Delivered, "Ann <ann@example.org>", "carol@corp.example",
                                     *original, kRelaying));
    ASSERT_EQ(server.MessageCount(), 1);
    std::string envelope;
    const std::string text = server.Message(1, &envelope);
    EXPECT_EQ(envelope, "postmaster@127.0.0.1\nann@example.org\n");
    EXPECT_TRUE(std::regex_match(
        text, std::regex(HeaderBlock("Ann <ann@example\\.org>", "Message Delivery Confirmation") +
                         "The following mail of yours has been delivered to the recipient on " + kDate +
                         "\\.\r\n\r\n Date : Sun, 06 Dec 2026 10:00:00 \\+0000\r\n To : carol@corp\\.example"
                         "\r\n Subject : Report\r\n")))
        << text;

    // A composed notice sent as it is.
    auto notice = Content("");
    ASSERT_TRUE(CSystemNotice::ComposeNotice(*notice, "x@example.org", "Message Delivery Error",
                                             CSystemNotice::FirstSentenceOf(CSystemNotice::Kind::ForwardingLoop), false,
                                             "", "fwd@mail.local", ""));
    ASSERT_TRUE(CSystemNotice::SendNotice(*notice, "x@example.org"));
    ASSERT_EQ(server.MessageCount(), 2);
    EXPECT_EQ(server.Message(2), ReadAll(*notice) + "\r\n");

    // A notice about a notice is never sent.
    auto earlier = Content(server.Message(1));
    EXPECT_FALSE(CSystemNotice::Issue(CSystemNotice::Kind::ReceivingQuotaExceeded, "postmaster@127.0.0.1",
                                      "carol@corp.example", *earlier, kRelaying));
    EXPECT_EQ(server.MessageCount(), 2);

    // Nobody to tell: nothing is sent.
    EXPECT_FALSE(CSystemNotice::SendNotice(*notice, "  "));
    EXPECT_EQ(server.MessageCount(), 2);
}

TEST_F(SystemNoticeTest, NoListeningServerMeansNoNoticeAndNoHarm) {
    SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(ClosedPort()));
    auto original = Content("Subject: x\r\n\r\nbody");
    EXPECT_FALSE(CSystemNotice::Issue(CSystemNotice::Kind::SendingQuotaExceeded, "a@b.example", "c@d.example",
                                      *original, kRelaying));
    // The message the notice was about is untouched and readable from the start.
    EXPECT_EQ(ReadAll(*original), "Subject: x\r\n\r\nbody");
}

TEST_F(SystemNoticeTest, DatesCarryTheMachinesNumericZoneOffset) {
    // The zone is the machine's own offset, not a fixed name.
    setenv("TZ", "Asia/Kolkata", 1);
    tzset();
    EXPECT_EQ(CSystemNotice::FormatDate(1765008000), "Sat, 06 Dec 2025 13:30:00 +0530");
    setenv("TZ", "America/St_Johns", 1);
    tzset();
    EXPECT_EQ(CSystemNotice::FormatDate(1765008000), "Sat, 06 Dec 2025 04:30:00 -0330");
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(CSystemNotice::FormatDate(1765008000), "Sat, 06 Dec 2025 08:00:00 +0000");
    unsetenv("TZ");
    tzset();
}

}  // namespace
