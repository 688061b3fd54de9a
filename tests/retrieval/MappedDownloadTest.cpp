// Mapped accounts fetched from a real Dovecot and handed to an SMTP peer
// standing in for the local SMTP server: byte for byte, once, deleted only
// after the hand-over, oversized mail left in place with a notice, mail
// refused for good passed over with one, a stop that finishes the message in
// hand, and many accounts through a small pool of workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "DatabaseTest.h"
#include "DovecotPeer.h"
#include "TestPeers.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"
#include "retrieval/CMappedAccounts.h"
#include "retrieval/CMappedDownloader.h"

using namespace std::chrono_literals;

namespace {

std::string Lines(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::string(98, 'z') + "\r\n";
    return text;
}

const std::vector<std::string> kTexts = {
    "From: Ann <ann@example.org>\r\nSubject: one\r\n\r\nplain\r\n",
    "Subject: dots\r\n\r\n.\r\n..two\r\n.leading\r\nend.\r\n",
    "From: bob@example.net\r\nSubject: three\r\n\r\n" + Lines(120),
};

class MappedDownloadTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        ASSERT_TRUE(smtp.Start(home.File("smtp")));
        SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(smtp.Port()));
    }
    // A local account with one mapped account on Dovecot's user remote.
    void Map(const std::string& local, const std::string& remote, bool leaveOnServer, long limitKb = 0) {
        if (db.AccountExists(local) != CMailDatabase::Presence::Present) {
            ASSERT_TRUE(db.CreateAccount(local, "pw", false, false, local + "@example.org", 0, 1, 1, 0, 0));
        }
        ASSERT_TRUE(Exec("UPDATE Accounts SET RecvMailSizeLimit = " + std::to_string(limitKb) + " WHERE aUserName = '" +
                         local + "'"));
        CMappedAccounts::Entry entry;
        entry.server = "127.0.0.1";
        entry.remoteUser = remote;
        entry.port = dovecot.Port();
        entry.leaveOnServer = leaveOnServer;
        ASSERT_EQ(CMappedAccounts::Add(Connection(), AccountId(local), entry, "secret"), CMappedAccounts::Change::Made);
    }
    void Pass() {
        CMappedDownloader downloader;
        downloader.DownloadMappedAccounts(db, &status, stop);
        downloader.WaitForMappedDownloads();
    }
    // Every message the peer took, with its envelope's recipients first.
    std::vector<std::string> Received() {
        std::vector<std::string> all;
        for (int n = 1; n <= smtp.MessageCount(); ++n) {
            std::string envelope;
            const std::string text = smtp.Message(n, &envelope);
            all.push_back(envelope.substr(envelope.find('\n') + 1) + text);
        }
        std::sort(all.begin(), all.end());
        return all;
    }

    DovecotPeer dovecot;
    SmtpPeer smtp;
    StatusWindowQueue status;
    StopSignal stop;
};

}  // namespace

TEST_F(MappedDownloadTest, MessagesArriveOnceAndLeaveTheServerOnlyWhenAsked) {
    dovecot.AddUser("kept", "secret");
    dovecot.AddUser("taken", "secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    for (const char* user : {"kept", "taken"})
        for (std::size_t i = 0; i < kTexts.size(); ++i)
            ASSERT_TRUE(dovecot.AddMessage(user, "m" + std::to_string(i + 1), kTexts[i]));
    Map("alice", "kept", true);
    Map("carol", "taken", false);
    Pass();
    std::vector<std::string> expected;
    for (const std::string& text : kTexts) {
        expected.push_back("alice@127.0.0.1\n" + text);
        expected.push_back("carol@127.0.0.1\n" + text);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(Received() == expected) << "not the messages put in, byte for byte";
    std::string envelope;
    for (int n = 1; n <= smtp.MessageCount(); ++n)
        if (smtp.Message(n, &envelope) == kTexts[1]) {
            EXPECT_EQ(envelope.substr(0, envelope.find('\n')), "MailGateway@127.0.0.1");
        }
    EXPECT_EQ(dovecot.MessageCount("kept"), 3);
    EXPECT_EQ(dovecot.MessageCount("taken"), 0);
    EXPECT_EQ(Text("SELECT LastMailId FROM POPACCOUNTS WHERE UserId = 'kept'"), "m3");

    // The next pass finds nothing new; a new message is the only one fetched.
    Pass();
    EXPECT_EQ(smtp.MessageCount(), 6);
    ASSERT_TRUE(dovecot.AddMessage("kept", "m4", "Subject: four\r\n\r\nfour\r\n"));
    Pass();
    EXPECT_EQ(smtp.MessageCount(), 7);
}

TEST_F(MappedDownloadTest, RefusedOrOversizedMailStaysOnTheServer) {
    dovecot.AddUser("refused", "secret");
    dovecot.AddUser("big", "secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    for (std::size_t i = 0; i < kTexts.size(); ++i) {
        ASSERT_TRUE(dovecot.AddMessage("refused", "m" + std::to_string(i + 1), kTexts[i]));
        ASSERT_TRUE(dovecot.AddMessage("big", "m" + std::to_string(i + 1), kTexts[i]));
    }
    // A stored 0 would grant no worker at all: the pass must still run.
    SetSettingDword(settings::kPreferencesKeyPath, "ReceiveThreadCount", 0);
    // The peer refuses the data of mail for "rejectdata...".
    Map("rejectdata", "refused", false);
    // 20 KB of z: above a 10 KB limit.
    Map("dave", "big", false, 10);
    Pass();
    EXPECT_EQ(dovecot.MessageCount("refused"), 3);
    EXPECT_EQ(dovecot.MessageCount("big"), 1);
    std::vector<std::string> got = Received();
    ASSERT_EQ(got.size(), 3u);
    const auto notice = std::find_if(got.begin(), got.end(), [](const std::string& text) {
        return text.find("Message left on the remote server") != std::string::npos;
    });
    ASSERT_NE(notice, got.end());
    EXPECT_EQ(notice->find("dave@127.0.0.1\n"), 0u);
    EXPECT_NE(notice->find(std::to_string(kTexts[2].size()) + " bytes from bob@example.net"), std::string::npos)
        << *notice;
    EXPECT_NE(notice->find("Subject : three"), std::string::npos);
    // Told once, and still there.
    Pass();
    EXPECT_EQ(smtp.MessageCount(), 3);
    EXPECT_EQ(dovecot.MessageCount("big"), 1);
}

TEST_F(MappedDownloadTest, TwentyAccountsThroughFourWorkersAllArrive) {
    SetSettingDword(settings::kPreferencesKeyPath, "ReceiveThreadCount", 4);
    for (int u = 0; u < 20; ++u) dovecot.AddUser("r" + std::to_string(u), "secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    for (int u = 0; u < 20; ++u) {
        for (const char* name : {"a", "b"})
            ASSERT_TRUE(
                dovecot.AddMessage("r" + std::to_string(u), name, "Subject: " + std::to_string(u) + "\r\n\r\nx\r\n"));
        Map("user" + std::to_string(u), "r" + std::to_string(u), false);
    }
    Pass();
    EXPECT_EQ(smtp.MessageCount(), 40);
    for (int u = 0; u < 20; ++u) EXPECT_EQ(dovecot.MessageCount("r" + std::to_string(u)), 0) << u;
}

namespace {

// Raises the stop once the second message is on its way: it is in hand.
class StopAtSecondMessage : public StatusWindow {
public:
    explicit StopAtSecondMessage(StopSignal& stop) : stop(stop) {}
    using StatusWindow::Post;
    bool Post(const StatusMessage& m) override {
        if (m.message == kStatusLine && m.text.rfind("Downloading Mail 2 of", 0) == 0) second = true;
        if (m.message == kProgressText && second) stop.Raise();
        return true;
    }

private:
    StopSignal& stop;
    std::atomic<bool> second{false};
};

}  // namespace

TEST_F(MappedDownloadTest, AStopFinishesTheMessageInHandAndQuitsSoNothingComesTwice) {
    dovecot.AddUser("taken", "secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    std::vector<std::string> texts;
    for (int i = 1; i <= 5; ++i) {
        std::string body;
        for (int line = 0; line < 20 * i; ++line) body += std::string(98, 'y') + "\r\n";
        texts.push_back("Subject: m" + std::to_string(i) + "\r\n\r\n" + body);
        ASSERT_TRUE(dovecot.AddMessage("taken", "m" + std::to_string(i), texts.back()));
    }
    Map("carol", "taken", false);
    {
        StopAtSecondMessage window(stop);
        CMappedDownloader downloader;
        downloader.DownloadMappedAccounts(db, &window, stop);
        downloader.WaitForMappedDownloads();
    }
    ASSERT_TRUE(stop.Raised());
    // Both stored messages are gone from the server: the session ended with QUIT.
    EXPECT_EQ(smtp.MessageCount(), 2);
    EXPECT_TRUE(WaitUntil([&] { return dovecot.MessageCount("taken") == 3; }, 10s)) << dovecot.MessageCount("taken");
    stop.Clear();
    Pass();
    std::vector<std::string> expected;
    for (const std::string& text : texts) expected.push_back("carol@127.0.0.1\n" + text);
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(Received() == expected) << "a message missing or fetched twice";
    EXPECT_EQ(dovecot.MessageCount("taken"), 0);
}

TEST_F(MappedDownloadTest, MailRefusedForGoodIsPassedOverWithANoticeAndHoldsNothingBack) {
    dovecot.AddUser("kept", "secret");
    dovecot.AddUser("taken", "secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    const auto mail = [](const std::string& subject, const std::string& reply = "") {
        return (reply.empty() ? "" : "X-Test-Reply: " + reply + "\r\n") +
               "From: Ann <ann@example.org>\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
    };
    for (const char* user : {"kept", "taken"}) {
        ASSERT_TRUE(dovecot.AddMessage(user, "a", mail("first")));
        ASSERT_TRUE(dovecot.AddMessage(user, "b", mail("too big", "552 5.3.4 Message size exceeds fixed maximum")));
        ASSERT_TRUE(dovecot.AddMessage(user, "c", mail("third")));
    }
    // A refusal for now, and a full mailbox however coded, end the pass there.
    ASSERT_TRUE(dovecot.AddMessage("taken", "d", mail("later", "451 4.3.0 Try again later")));
    ASSERT_TRUE(dovecot.AddMessage("taken", "e", mail("full", "552 5.2.2 Mailbox full")));
    Map("alice", "kept", true);
    Map("carol", "taken", false);
    Pass();
    const auto subjects = [&] {
        std::multiset<std::string> seen;
        for (int n = 1; n <= smtp.MessageCount(); ++n) {
            std::string envelope;
            const std::string text = smtp.Message(n, &envelope);
            const std::string to = envelope.substr(envelope.find('\n') + 1);
            const std::size_t s = text.find("Subject: ");
            seen.insert(to.substr(0, to.find('@')) + " " + text.substr(s + 9, text.find('\r', s) - s - 9));
        }
        return seen;
    };
    using S = std::multiset<std::string>;
    EXPECT_EQ(subjects(), (S{"alice first", "alice third", "alice Message refused", "carol first", "carol third",
                             "carol Message refused"}));
    for (int n = 1; n <= smtp.MessageCount(); ++n) {
        const std::string text = smtp.Message(n);
        if (text.find("refused by this server (552 5.3.4") == std::string::npos) continue;
        const bool kept = text.find("To: alice@") != std::string::npos;
        EXPECT_NE(text.find(kept ? "it stays on the remote server" : "it was removed from the remote server"),
                  std::string::npos)
            << text;
    }
    EXPECT_EQ(dovecot.MessageCount("kept"), 3);
    EXPECT_EQ(dovecot.MessageCount("taken"), 2);
    EXPECT_EQ(Text("SELECT LastMailId FROM POPACCOUNTS WHERE UserId = 'kept'"), "c");
    // Nothing is fetched twice and nobody is told twice.
    Pass();
    EXPECT_EQ(smtp.MessageCount(), 6);
    EXPECT_EQ(dovecot.MessageCount("taken"), 2);
}
