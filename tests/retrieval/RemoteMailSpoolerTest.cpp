// Distribution of remote server account mail: recipients by To and Cc with
// aliases, by the Received "for" clause, one delivery per recipient of a
// message fetched from several accounts, a corrupt spool file set aside,
// and the download from a real Dovecot with MaxMails.
// aiosmtpd stands in for the local SMTP server and records each envelope.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "DovecotPeer.h"
#include "MailFlowFixture.h"
#include "foundation/CAliasMapping.h"
#include "foundation/CRemoteServerAccounts.h"
#include "retrieval/CRemoteMailSpooler.h"
#include "retrieval/CRemoteSpoolFile.h"

namespace {

class RemoteMailSpoolerTest : public MailFlowTest {
protected:
    void SetUp() override {
        MailFlowTest::SetUp();
        if (HasFatalFailure()) return;
        for (const char* name : {"alice", "bob", "carol", "dave"}) Create(name);
        spooler.SetDatabase(&db);
    }
    // Writes a spool file of the account; each file is a second older than
    // the next, so distribution takes them in the order written.
    std::string Spool(const std::string& owner, bool alias, const std::string& message) {
        CRemoteSpoolFile record;
        record.userId = "shared";
        record.userName = owner;
        record.serverAddr = "pop.example.net";
        record.alias = alias;
        record.aliasAddress = "example.org";
        std::string path;
        auto content = Content(message);
        EXPECT_TRUE(record.Write(*content, "MailSpooler", &path));
        // Named as the Outbox names its files.
        EXPECT_TRUE(std::regex_match(std::filesystem::path(path).filename().string(),
                                     std::regex("Tes[0-9A-F]{1,4}\\.tmp")))
            << path;
        std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1) +
                                                   std::chrono::seconds(++written));
        return path;
    }
    // Recipients of each message the local server took, by subject.
    std::map<std::string, std::multiset<std::string>> Delivered() {
        std::map<std::string, std::multiset<std::string>> delivered;
        for (int n = 1; n <= peer.MessageCount(); ++n) {
            std::string envelope;
            const std::string text = peer.Message(n, &envelope);
            const std::size_t s = text.find("Subject: ");
            const std::string subject = text.substr(s + 9, text.find('\r', s) - s - 9);
            std::istringstream lines(envelope);
            std::string line;
            std::getline(lines, line);  // the sender
            while (std::getline(lines, line))
                if (!line.empty()) delivered[subject].insert(line);
        }
        return delivered;
    }
    static std::string Mail(const std::string& subject, const std::string& fields) {
        return "From: Ann <ann@remote.example>\r\nSubject: " + subject + "\r\n" + fields + "\r\nBody\r\n";
    }
    bool SpoolEmpty() { return std::filesystem::is_empty(home.File("MailSpooler")); }

    CRemoteMailSpooler spooler;
    int written = 0;
};

TEST_F(RemoteMailSpoolerTest, AliasesAndTheReceivedClauseChooseTheRecipients) {
    CAliasMapping aliases(db.GetConnectionHandle(), "alice");
    ASSERT_TRUE(aliases.AddAlias("bob", "robert smith"));
    ASSERT_TRUE(aliases.AddAlias("carol", "sales"));
    // A domain alias address: user parts, display names do not count.
    Spool("alice", true,
          Mail("by fields",
               "To: \"Robert\" <Robert Smith@example.org>, someone@elsewhere.net\r\n"
               "Cc: SALES@example.org; nobody@example.org\r\nMessage-ID: <m1@remote>\r\n"));
    Spool("alice", true,
          Mail("by received",
               "To: list@example.org\r\nReceived: from a by b for <carol@example.org>; now\r\n"
               "Received: from c by d for <bob@example.org>; earlier\r\n"));
    Spool("alice", true, Mail("to nobody", "To: list@example.org\r\n"));
    Spool("alice", false, Mail("alias off", "To: bob@example.org\r\n"));
    EXPECT_EQ(spooler.DistributeRemoteMail(), 4);

    using R = std::multiset<std::string>;
    const auto delivered = Delivered();
    EXPECT_EQ(delivered.at("by fields"), (R{"bob@127.0.0.1", "carol@127.0.0.1"}));
    EXPECT_EQ(delivered.at("by received"), (R{"carol@127.0.0.1"}));
    EXPECT_EQ(delivered.at("to nobody"), (R{"alice@127.0.0.1"}));
    EXPECT_EQ(delivered.at("alias off"), (R{"alice@127.0.0.1"}));
    EXPECT_TRUE(SpoolEmpty());
}

TEST_F(RemoteMailSpoolerTest, OneMessageFromTwoAccountsReachesEachRecipientOnce) {
    const std::string message = Mail("twice", "To: bob@example.org, alice@example.org\r\nMessage-ID: <same@x>\r\n");
    Spool("alice", false, message);  // everything to alice
    Spool("dave", true, message);    // bob and alice by name: only bob is new
    Spool("dave", true, message);    // both served: removed unsent
    Spool("carol", false, Mail("other", "To: bob@example.org\r\nMessage-ID: <SAME@X>\r\n"));  // ids ignore case
    EXPECT_EQ(spooler.DistributeRemoteMail(), 4);
    EXPECT_EQ(peer.MessageCount(), 3);
    using R = std::multiset<std::string>;
    const auto delivered = Delivered();
    EXPECT_EQ(delivered.at("twice"), (R{"alice@127.0.0.1", "bob@127.0.0.1"}));
    EXPECT_EQ(delivered.at("other"), (R{"carol@127.0.0.1"}));
    EXPECT_TRUE(SpoolEmpty());

    // The served list lasts one distribution: the next pass delivers again.
    Spool("alice", false, message);
    EXPECT_EQ(spooler.DistributeRemoteMail(), 1);
    EXPECT_EQ(peer.MessageCount(), 4);
}

TEST_F(RemoteMailSpoolerTest, ACorruptSpoolFileIsSetAsideAndTheNextOneDistributed) {
    const std::string bad = Spool("alice", false, Mail("cut", "To: bob@example.org\r\n"));
    std::filesystem::resize_file(bad, std::filesystem::file_size(bad) - 3);
    Spool("alice", false, Mail("whole", "To: bob@example.org\r\n"));
    EXPECT_EQ(spooler.DistributeRemoteMail(), 1);
    EXPECT_EQ(Delivered().count("whole"), 1u);
    const std::string aside = bad.substr(0, bad.size() - 4) + ".bad";
    EXPECT_TRUE(std::filesystem::exists(aside));
    EXPECT_FALSE(std::filesystem::exists(bad));
    // With the local server gone, the files stay for the next distribution.
    const std::string kept = Spool("alice", false, Mail("kept", "To: bob@example.org\r\n"));
    SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(ClosedPort()));
    EXPECT_EQ(spooler.DistributeRemoteMail(), 0);
    EXPECT_TRUE(std::filesystem::exists(kept));
}

TEST_F(RemoteMailSpoolerTest, DownloadFetchesMaxMailsNewMessagesPerPassAndDeletesOnlyWhatIsSpooled) {
    DovecotPeer dovecot;
    dovecot.AddUser("office", "secret1");
    dovecot.AddUser("shared", "secret2");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    ASSERT_TRUE(dovecot.AddMessage("office", "m1", Mail("one", "To: bob@example.org\r\nMessage-ID: <x1@r>\r\n")));
    ASSERT_TRUE(dovecot.AddMessage("office", "m2", Mail("two", "To: carol@example.org\r\n")));
    ASSERT_TRUE(dovecot.AddMessage("office", "m3", Mail("three", "Received: by x for <bob@example.org>\r\n")));
    ASSERT_TRUE(dovecot.AddMessage("shared", "s1", Mail("one", "To: bob@example.org\r\nMessage-ID: <x1@r>\r\n")));
    CRemoteServerAccounts accounts(db.GetConnectionHandle());
    CRemoteServerAccounts::Account office{"office", "alice", "office", "secret1", true, "127.0.0.1", true, "",
                                          "example.org", dovecot.Port()};
    CRemoteServerAccounts::Account shared{"shared", "dave", "shared", "secret2", false, "127.0.0.1", false, "",
                                          "", dovecot.Port()};
    ASSERT_TRUE(accounts.Add(office));
    ASSERT_TRUE(accounts.Add(shared));
    SetSettingDword(settings::kPreferencesKeyPath, "MaxMails", 2);

    const auto pass = [&] {
        CRemoteMailSpooler cycle;
        cycle.SetDatabase(&db);
        const int fetched = cycle.DownloadRemoteServerAccounts();
        cycle.DistributeRemoteMail();
        return fetched;
    };
    EXPECT_EQ(pass(), 3) << dovecot.Why();
    EXPECT_EQ(dovecot.MessageCount("office"), 3);
    EXPECT_EQ(dovecot.MessageCount("shared"), 0);
    EXPECT_EQ(Text("SELECT LastMailId FROM RemoteServerAccounts WHERE ServerName = 'office'"), "m2");
    using R = std::multiset<std::string>;
    auto delivered = Delivered();
    // The same message from dave's account still reaches dave.
    EXPECT_EQ(delivered.at("one"), (R{"bob@127.0.0.1", "dave@127.0.0.1"}));
    EXPECT_EQ(delivered.at("two"), (R{"carol@127.0.0.1"}));
    EXPECT_EQ(pass(), 1);
    EXPECT_EQ(Delivered().at("three"), (R{"bob@127.0.0.1"}));
    EXPECT_EQ(pass(), 0);
    EXPECT_TRUE(SpoolEmpty());
}

}  // namespace
