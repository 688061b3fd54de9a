// The expiry step through the real database, the Outbox directory and a
// real SMTP server (aiosmtpd) on loopback standing in for the local one:
// which rows are notified and retired (a 5xx reply at once, a 4xx one when
// it expires, each quoted), the notice's recipient (the envelope sender
// alone) and layout, how much of a stranger's message it carries,
// and the orphan scan's treatment of files held, young or old.
#include <filesystem>
#include <array>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "DatabaseTest.h"
#include "TestPeers.h"
#include "foundation/DateText.h"
#include "foundation/SettingsCatalogue.h"
#include "outbound/CFailedMails.h"
#include "outbound/COutboundQueue.h"
#include "foundation/COutboundReplies.h"

namespace {

namespace fs = std::filesystem;

class FailedMailsTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        WorkInHome();
        ASSERT_TRUE(peer.Start(home.File("peer")));
        SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(peer.Port()));
    }

    // Queues a message from fromField (its "From" value) with envelope
    // sender to users at domain, each row at code, queued at `queued`.
    std::string Queue(const std::string& sender, const std::string& fromField, const std::vector<std::string>& users,
                      const std::string& domain, int code, std::time_t queued) {
        COutboundQueue queue("Outbox", Connection());
        EXPECT_TRUE(queue.CreateMailFile());
        EXPECT_TRUE(queue.SetSender(sender));
        for (const std::string& user : users) EXPECT_TRUE(queue.AddRecipient(user, domain));
        auto content = Content(MessageFrom(fromField));
        EXPECT_TRUE(queue.WriteBody(*content));
        EXPECT_TRUE(Exec("UPDATE OutBoundMails SET FailureCode = " + std::to_string(code) + ", RcptDate = '" +
                         LocalDateTimeText(queued) + "' WHERE MailFile = '" + queue.FilePath() + "'"));
        return queue.FilePath();
    }
    static std::string MessageFrom(const std::string& fromField) {
        return "From: " + fromField + "\r\nTo: someone@far.example\r\nSubject: Figures\r\n\r\n.dot line\r\nend\r\n";
    }
    void Expire(std::uint32_t days, std::time_t passStart) {
        CFailedMails(Connection(), "office.test", days, passStart).Process();
    }
    // Every notice received so far by its envelope ("<>\nrecipient\n" for the null sender).
    std::multimap<std::string, std::string> Notices() {
        std::multimap<std::string, std::string> notices;
        for (int n = 1; n <= peer.MessageCount(); ++n) {
            std::string envelope;
            const std::string text = peer.Message(n, &envelope);
            notices.emplace(envelope, text);
        }
        return notices;
    }
    static std::string Reason(const std::string& recipient, const std::string& why) {
        return "Sorry, Your Mail to\r\n " + recipient + "\r\n could not be delivered due to\r\n " + why;
    }

    SmtpPeer peer;
    const std::time_t now = std::time(nullptr);
};

TEST_F(FailedMailsTest, ExpiredAndPermanentRowsGetOneExactNoticeEachAndLeaveNothingBehind) {
    const std::string failed = Queue("ann@sender.example", "Ann <ann@sender.example>",
                                     {"refused1", "busy", "never"}, "far.example", 2, now - 60);
    EXPECT_TRUE(Exec("UPDATE OutBoundMails SET FailureCode = 0 WHERE DestUser = 'never'"));
    const std::string noHost = Queue("carl@sender.example", "carl@sender.example", {"x"}, "nohost.example", 5, now);
    const std::string later = Queue("dan@sender.example", "dan@sender.example", {"y"}, "far.example", 2, now - 10);
    const std::string mixed =
        Queue("eve@sender.example", "eve@sender.example", {"gone", "greylisted"}, "far.example:2525", 2, now);
    for (const auto& [file, user, domain, text] : std::vector<std::array<std::string, 4>>{
             {failed, "busy", "far.example", "451 4.2.1 Mailbox busy"},
             {mixed, "gone", "far.example:2525", "550 5.1.1 No such user"},
             {mixed, "greylisted", "far.example:2525", "451 4.7.1 Try later"}})
        EXPECT_TRUE(COutboundReplies::Record(Connection(), {file, user, domain}, text));

    // Code 5 and a 5xx reply fail for good at once, however young; nothing
    // else is due yet.
    Expire(30, now);
    ASSERT_EQ(peer.MessageCount(), 2);
    const auto first = Notices();
    const auto toEve = first.find("<>\neve@sender.example\n");
    ASSERT_NE(toEve, first.end());
    EXPECT_NE(toEve->second.find(Reason("gone@far.example", "Recipient Refused") +
                                 "\r\n\r\n The remote server replied:\r\n 550 5.1.1 No such user\r\n\r\n--QIRN"),
              std::string::npos);
    EXPECT_EQ(Text("SELECT Count(*) FROM OutboundReplies WHERE DestUser = 'gone'"), "0");
    std::string envelope = "<>\ncarl@sender.example\n";  // the null reverse-path
    ASSERT_EQ(first.count(envelope), 1u);
    const std::string notice = first.find(envelope)->second;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(notice, match,
                                  std::regex("Date: ([A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} [-+][0-9]{4})"
                                             "\r\nMessage-ID: (<[^@>]+@[^>]+>)\r\nMIME-Version: 1.0\r\n"
                                             "Content-Type: multipart/mixed; boundary=\"(QIRN[0-9]{8,})\"")))
        << notice;
    const std::string b = match[3];
    EXPECT_EQ(notice,
              "From: \"TessalMailerDeamon\" <postmaster@127.0.0.1>\r\nTo: carl@sender.example\r\n"
              "Subject: Tessal Mailer Response\r\nDate: " +
                  match[1].str() + "\r\nMessage-ID: " + match[2].str() +
                  "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n\r\n--" + b +
                  "\r\nContent-Type: text/plain; charset=us-ascii\r\nContent-Transfer-Encoding: 7bit\r\n\r\n" +
                  Reason("x@nohost.example", "Host Unknown") + "\r\n\r\n--" + b +
                  "\r\nContent-Type: message/rfc822\r\nContent-Transfer-Encoding: 7bit\r\n"
                  "Content-Disposition: attachment\r\n\r\n" +
                  MessageFrom("carl@sender.example") + "\r\n--" + b + "--\r\n\r\n");
    EXPECT_FALSE(fs::exists(noHost));

    // With no days to wait, every row queued before the pass began expires,
    // the never attempted one with a notice too; the one queued since stays.
    Expire(0, now - 30);
    auto notices = Notices();
    ASSERT_EQ(notices.size(), 5u);
    const auto toAnn = notices.equal_range("<>\nann@sender.example\n");
    ASSERT_EQ(std::distance(toAnn.first, toAnn.second), 3);
    for (const std::string& reason :
         {Reason("refused1@far.example", "Recipient Not Accepted"),
          Reason("busy@far.example", "Recipient Temporarily Refused") +
              "\r\n\r\n The remote server replied:\r\n 451 4.2.1 Mailbox busy",
          Reason("never@far.example", "Unknown Error Occur")}) {
        int found = 0;
        for (auto it = toAnn.first; it != toAnn.second; ++it) {
            found += it->second.find(reason + "\r\n\r\n--QIRN") != std::string::npos;
            EXPECT_NE(it->second.find(MessageFrom("Ann <ann@sender.example>")), std::string::npos);
        }
        EXPECT_EQ(found, 1) << reason;
    }
    EXPECT_FALSE(fs::exists(failed));
    EXPECT_EQ(Lines("SELECT DestUser, Sent FROM OutBoundMails ORDER BY DestUser"),
              (std::vector<std::string>{"greylisted|0", "y|0"}));
    EXPECT_TRUE(fs::exists(later));
    EXPECT_TRUE(fs::exists(mixed));
}

TEST_F(FailedMailsTest, TheSenderRecordNamesTheRecipientAndNoticesAreNotAnswered) {
    const std::string noAt = Queue("ann@sender.example", "Ann Smith", {"a"}, "far.example", 2, now - 60);
    const std::string toDaemon = Queue("", "<TessalMailerDeamon@relay.example>", {"b"}, "far.example", 3, now - 60);
    const std::string bounce = Queue("", "postmaster", {"c"}, "far.example", 1, now - 60);
    Expire(0, now);
    const auto notices = Notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices.begin()->first, "<>\nann@sender.example\n");
    EXPECT_NE(notices.begin()->second.find("\r\nTo: ann@sender.example\r\n"), std::string::npos);
    // Notified or not, every row is retired with its file.
    EXPECT_EQ(Text("SELECT Count(*) FROM OutBoundMails"), "0");
    for (const std::string& file : {noAt, toDaemon, bounce}) EXPECT_FALSE(fs::exists(file)) << file;
}

TEST_F(FailedMailsTest, OnlyTheEnvelopeSenderIsToldAndAStrangerGetsTheFirst50KBBack) {
    // A forged From on a large message: the header's address is never told.
    std::string text = "From: Victim <victim@example.com>\r\nSubject: payload\r\n\r\n";
    for (int line = 0; text.size() < 200 * 1024; ++line) text += "line " + std::to_string(line) + std::string(70, 'p') + "\r\n";
    const auto queue = [&](const std::string& sender, bool trusted) {
        COutboundQueue queue("Outbox", Connection());
        queue.SetTrusted(trusted);
        EXPECT_TRUE(queue.CreateMailFile() && queue.SetSender(sender) && queue.AddRecipient("gone", "far.example"));
        auto content = Content(text);
        EXPECT_TRUE(queue.WriteBody(*content));
        EXPECT_TRUE(Exec("UPDATE OutBoundMails SET FailureCode = 2 WHERE MailFile = '" + queue.FilePath() + "'"));
    };
    queue("spammer@outside.example", false);
    queue("ann@office.example", true);
    queue("", false);  // a bounce: nobody to tell
    EXPECT_EQ(Text("SELECT Count(*) FROM TrustedOutbound"), "1");
    Expire(0, std::time(nullptr) + 10);

    const auto notices = Notices();
    ASSERT_EQ(notices.size(), 2u);
    const auto attached = [](const std::string& notice) {
        const std::string start = "Content-Disposition: attachment\r\n\r\n";
        const std::size_t from = notice.find(start) + start.size();
        return notice.substr(from, notice.rfind("\r\n--QIRN") - from);
    };
    ASSERT_EQ(notices.count("<>\nspammer@outside.example\n"), 1u);
    const std::string cut = attached(notices.find("<>\nspammer@outside.example\n")->second);
    EXPECT_LE(cut.size(), 50u * 1024);
    EXPECT_GT(cut.size(), 49u * 1024);
    EXPECT_TRUE(text.starts_with(cut) && cut.ends_with("\r\n"));
    ASSERT_EQ(notices.count("<>\nann@office.example\n"), 1u);
    EXPECT_EQ(attached(notices.find("<>\nann@office.example\n")->second), text);
    // The marks go with their rows.
    EXPECT_EQ(Text("SELECT Count(*) FROM TrustedOutbound"), "0");
}

TEST_F(FailedMailsTest, OrphanScanDeletesOnlyOldUnreferencedFilesNobodyHolds) {
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(11);
    auto writer = std::make_unique<COutboundQueue>("Outbox", Connection());
    ASSERT_TRUE(writer->CreateMailFile());
    ASSERT_TRUE(writer->SetSender("ann@sender.example"));
    const std::string held = writer->FilePath();
    const std::string referenced = Queue("ann@sender.example", "ann@sender.example", {"a"}, "far.example", 2, now);
    TestHome::WriteFile(home.File("Outbox/young.tmp"), "x");
    TestHome::WriteFile(home.File("Outbox/orphan.tmp"), "x");
    for (const std::string& file : {held, referenced, std::string("Outbox/orphan.tmp")}) fs::last_write_time(file, old);

    Expire(30, now);
    EXPECT_TRUE(fs::exists(held));
    EXPECT_TRUE(fs::exists(referenced));
    EXPECT_TRUE(fs::exists("Outbox/young.tmp"));
    EXPECT_FALSE(fs::exists("Outbox/orphan.tmp"));
    // Once its writer lets go, a file that never got a row is an orphan.
    writer.reset();
    Expire(30, now);
    EXPECT_FALSE(fs::exists(held));
    EXPECT_TRUE(fs::exists(referenced));
    EXPECT_EQ(peer.MessageCount(), 0);
}

}  // namespace
