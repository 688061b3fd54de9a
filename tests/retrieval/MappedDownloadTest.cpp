// Mapped accounts fetched from a real Dovecot and handed to an SMTP peer
// standing in for the local SMTP server: byte for byte, once, deleted only
// after the hand-over, oversized mail left in place with a notice, mail
// refused for good passed over with one, a stop that finishes the message in
// hand, many accounts through a small pool of workers, and the ids kept of
// mail left on the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "DatabaseTest.h"
#include "foundation/CAccountRows.h"
#include "DovecotPeer.h"
#include "TestPeers.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"
#include "store/CMappedAccounts.h"
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

// Raises the stop once the second message is on its way: it is in hand.
struct StopAtSecondMessage : StatusWindow {
    explicit StopAtSecondMessage(StopSignal& stop) : stop(stop) {}
    using StatusWindow::Post;
    bool Post(const StatusMessage& m) override {
        second = second || m.text.rfind("Downloading Mail 2 of", 0) == 0;
        if (second && m.message == kProgressText) stop.Raise();
        return true;
    }
    StopSignal& stop;
    std::atomic<bool> second{false};
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
        if (CAccountRows::AccountExists(db.GetConnectionHandle(), local) != CAccountRows::Presence::Present) {
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

// A home that fetched before every id was kept starts from its last id; the
// ids the server no longer lists are forgotten, and the account's go with it.
TEST_F(MappedDownloadTest, AnOlderHomeStartsFromItsLastIdAndKeepsOnlyListedIds) {
    dovecot.AddUser("kept", "secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    for (const char* name : {"m1", "m2", "m3"}) ASSERT_TRUE(dovecot.AddMessage("kept", name, kTexts[0]));
    Map("alice", "kept", true);
    ASSERT_TRUE(Exec("UPDATE POPACCOUNTS SET LastMailId = 'm2'"));
    Pass();
    EXPECT_EQ(smtp.MessageCount(), 1);
    ASSERT_TRUE(dovecot.RemoveMessage("kept", "m1") && dovecot.RemoveMessage("kept", "m3"));
    Pass();
    EXPECT_EQ(smtp.MessageCount(), 1);
    EXPECT_EQ(Text("SELECT Uidl FROM FetchedUidls"), "m2");
    EXPECT_EQ(Text("SELECT Count(*) FROM FetchedUidls"), "1");
    EXPECT_EQ(Text("SELECT LastMailId FROM POPACCOUNTS"), "m3");
    ASSERT_TRUE(db.DeleteAccount("alice"));
    EXPECT_EQ(Text("SELECT Count(*) FROM FetchedUidls"), "0");
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
    // The peer refuses all data for "rejectdata...", notices too: none is passed over untold.
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

TEST_F(MappedDownloadTest, AStopFinishesTheMessageInHandAndQuitsSoNothingComesTwice) {
    dovecot.AddUser("taken", "secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    for (std::size_t i = 0; i < kTexts.size(); ++i)
        ASSERT_TRUE(dovecot.AddMessage("taken", "m" + std::to_string(i + 1), kTexts[i]));
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
    EXPECT_TRUE(WaitUntil([&] { return dovecot.MessageCount("taken") == 1; }, 10s)) << dovecot.MessageCount("taken");
    stop.Clear();
    Pass();
    std::vector<std::string> expected;
    for (const std::string& text : kTexts) expected.push_back("carol@127.0.0.1\n" + text);
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(Received() == expected) << "a message missing or fetched twice";
}

TEST_F(MappedDownloadTest, MailRefusedForGoodIsPassedOverWithANoticeAndHoldsNothingBack) {
    dovecot.AddUser("kept", "secret");
    dovecot.AddUser("taken", "secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    // Refused for good, then (ending the pass) for now, and a full mailbox however coded.
    const std::vector<std::string> replies = {"", "552 5.3.4 Message size exceeds fixed maximum", "",
                                              "451 4.3.0 Try again later", "552 5.2.2 Mailbox full"};
    for (const char* user : {"kept", "taken"})
        for (std::size_t i = 0; i < replies.size(); ++i) {
            const std::string name(1, static_cast<char>('a' + i));
            const std::string reply = replies[i].empty() ? "" : "X-Test-Reply: " + replies[i] + "\r\n";
            ASSERT_TRUE(dovecot.AddMessage(user, name, reply + "Subject: " + name + "\r\n\r\nbody\r\n"));
        }
    Map("alice", "kept", true);
    Map("carol", "taken", false);
    const auto count = [&](const std::string& text) {
        int found = 0;
        for (int n = 1; n <= smtp.MessageCount(); ++n) found += smtp.Message(n).find(text) != std::string::npos;
        return found;
    };
    for (int pass = 1; pass <= 2; ++pass) {
        SCOPED_TRACE(pass);  // the second finds nothing new and tells nobody again
        Pass();
        EXPECT_EQ(smtp.MessageCount(), 6);
        EXPECT_EQ(count("Subject: c\r\n"), 2) << "the mail behind a refused message";
        EXPECT_EQ(count("refused by this server (552 5.3.4"), 2);
        EXPECT_EQ(count("it stays on the remote server"), 1);
        EXPECT_EQ(count("it was removed from the remote server"), 1);
        EXPECT_EQ(dovecot.MessageCount("kept"), 5);
        EXPECT_EQ(dovecot.MessageCount("taken"), 2);
        EXPECT_EQ(Text("SELECT LastMailId FROM POPACCOUNTS WHERE UserId = 'kept'"), "c");
    }
}
