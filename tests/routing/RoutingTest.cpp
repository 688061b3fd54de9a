// Routing of spooled and handed-in messages through the real database, file
// system, mail store, outbound queue, mail log and a loopback SMTP server
// that records the notices.
#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>
#include <filesystem>
#include <set>

#include "PostgresTestServer.h"
#include "MailFlowFixture.h"
#include "foundation/StringFormat.h"
#include "spool/CSpoolFilePool.h"
#include "spool/CMailRouter.h"
#include "spool/CMailSpoolProcessor.h"
#include "spool/CMailSpooler.h"
#include "spool/MailInfo.h"
#include "spool/SpoolFile.h"
#include "store/CSpoolServedRows.h"

namespace {

namespace fs = std::filesystem;

struct To {
    std::string user;
    std::string domain;
    bool local;
};

class RoutingTest : public MailFlowTest {
protected:
    void SetUp() override {
        MailFlowTest::SetUp();
        processor.SetDatabase(&db);
        processor.SetRouter(&router);
        CMailRouter::ResetPendingOutbound();
    }

    std::unique_ptr<MailInfo> Info(const std::string& sender, const std::vector<To>& recipients,
                                   const std::string& text) {
        auto info = std::make_unique<MailInfo>();
        info->sender = sender;
        for (const To& to : recipients) {
            auto recipient = std::make_unique<MailRecipient>(to.user, to.domain);
            if (to.local) recipient->account.reset(db.LookupLocalAccount(to.user));
            info->recipients.push_back(std::move(recipient));
        }
        info->content = Content(text);
        info->DotsCount = 2;
        return info;
    }
    // Spools the message as the SMTP server module does.
    void Spool(const std::string& sender, const std::vector<To>& recipients, const std::string& text,
               bool mayRelay = false) {
        CMailSpooler spooler(&db);
        auto info = Info(sender, recipients, text);
        info->mayRelay = mayRelay;
        ASSERT_EQ(spooler.InsertMail(info.release()), 1);
    }
    std::vector<std::string> SpoolFiles() { return Listing("SMTPSpooler"); }
    std::vector<std::string> OutboxFiles() { return Listing("Outbox"); }
    std::vector<std::string> Listing(const std::string& directory) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(home.File(directory)))
            if (!CSpoolFilePool::IsKeptName(e.path().filename().string())) names.push_back(e.path().string());
        return names;
    }

    CMailRouter router;
    CMailSpoolProcessor processor;
};

const To kBob{"bob", "example.org", true}, kCarol{"carol", "example.org", true}, kZed{"zed", "far.example", false};

const std::string kText =
    "From: Ann <ann@remote.example>\r\nTo: bob@example.org, carol@example.org, "
    "zed@far.example\r\nSubject: Plans\r\nDate: Sun, 06 Dec 2026 10:00:00 +0000\r\n\r\n"
    "Hello all\r\n";

}  // namespace

TEST_F(RoutingTest, SpooledMessageReachesTwoMailboxesTheQueueAndTheLogsAndTheFileGoes) {
    const long bob = Create("bob");
    const long carol = Create("carol");
    Spool("ann@remote.example", {kBob, kZed, kCarol}, kText);
    ASSERT_EQ(SpoolFiles().size(), 1u);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_TRUE(SpoolFiles().empty());

    EXPECT_EQ(StoredMessages(bob), 1);
    EXPECT_EQ(StoredMessages(carol), 1);
    EXPECT_EQ(TestHome::ReadFile(Files(bob)[0]), kText);
    EXPECT_EQ(Count("SELECT count(*) FROM Mails WHERE mDotsSize = 2"), 2);
    EXPECT_EQ(Count("SELECT count(*) FROM MailInfo WHERE Sender = 'Ann <ann@remote.example>' and Subject = 'Plans'"),
              2);

    // One Outbox file: the sender record, then the message.
    const std::vector<std::string> outbox = OutboxFiles();
    ASSERT_EQ(outbox.size(), 1u);
    const std::string sender = "ann@remote.example";
    EXPECT_EQ(TestHome::ReadFile(outbox[0]), std::string(1, static_cast<char>(sender.size())) + sender + kText);
    const std::string name = fs::path(outbox[0]).filename().string();
    EXPECT_EQ(Lines("SELECT DestUser, Domain, MailFile, Sent, FailureCode, SenderAccountId FROM OutBoundMails"),
              std::vector<std::string>{"zed|far.example|Outbox/" + name + "|0|0|0"});
    EXPECT_EQ(CMailRouter::PendingOutbound(), 1u);

    // The mail log: two received, with their texts at their offsets; the
    // queued copy is not sent until an exchanger takes it.
    EXPECT_EQ(Lines("SELECT MailFrom, MailTo, Subject, IsLocal, MailSize, Offset FROM MAILSTATISTICS "
                    "ORDER BY IsLocal, MailTo"),
              (std::vector<std::string>{
                  StringPrintf("Ann <ann@remote.example>|bob|Plans|1|%zu|0", kText.size()),
                  StringPrintf("Ann <ann@remote.example>|carol|Plans|1|%zu|%zu", kText.size(), kText.size())}));
    EXPECT_EQ(TestHome::ReadFile(mailLog->LogRoot() + "/" + mailLog->CurrentDay() + "/ReceiveMail.Log"), kText + kText);
    EXPECT_EQ(Notices(), 0);
}

TEST_F(RoutingTest, SendingQuotaIsInKilobytesAndDropsOnlyTheRemoteRecipients) {
    Create("dave", Limits{.send = 1});
    const long bob = Create("bob");
    const std::string header =
        "From: dave@example.org\r\nTo: bob@example.org,  zed@far.example \r\n"
        "Subject: Big\r\nDate: Sun, 06 Dec 2026 10:00:00 +0000\r\n";
    // Exactly 1024 bytes passes.
    Spool("dave@example.org", {kZed}, Message(1024, header));
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 1);
    EXPECT_EQ(Notices(), 0);

    Spool("dave@example.org", {kBob, kZed, {"yan", "far.example", false}}, Message(1025, header));
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(StoredMessages(bob), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 1) << "no queue entry for the over-quota message";
    EXPECT_EQ(OutboxFiles().size(), 1u);
    EXPECT_EQ(CMailRouter::PendingOutbound(), 1u);
    ASSERT_EQ(Notices(), 1);
    std::string envelope;
    const std::string notice = Notice(1, &envelope);
    EXPECT_EQ(envelope, "postmaster@127.0.0.1\ndave@example.org\n");
    EXPECT_NE(notice.find("\r\nTo: dave@example.org\r\nSubject: Message Delivery Error\r\n"), std::string::npos);
    EXPECT_NE(notice.find("\r\n\r\nThe following mail of yours was not sent to the recipient as it was exceeding "
                          "your mail sending quota.\r\n\r\n Date : Sun, 06 Dec 2026 10:00:00 +0000\r\n"
                          " To : bob@example.org,  zed@far.example\r\n Subject : Big"),
              std::string::npos)
        << notice;
}

TEST_F(RoutingTest, TheClientsRelayRightTravelsWithTheSpooledMessageToItsReceipts) {
    const long bob = Create("bob");
    const std::string text = "From: ann@example.org\r\nSubject: s\r\nX-QIRN-Receipt: ann@home.example\r\n\r\nHi\r\n";
    Spool("ann@example.org", {kBob, kZed}, text, false);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(Notices(), 0);
    // A stranger's queued copy is not marked as trusted; the relaying
    // client's is, so only its bounce carries the whole message.
    EXPECT_EQ(Count("SELECT count(*) FROM TrustedOutbound"), 0);
    Spool("ann@example.org", {kBob, kZed}, text, true);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(StoredMessages(bob), 2);
    ASSERT_EQ(Notices(), 1);
    std::string envelope;
    Notice(1, &envelope);
    EXPECT_EQ(envelope, "postmaster@127.0.0.1\nann@home.example\n");
    EXPECT_EQ(Count("SELECT count(*) FROM TrustedOutbound"), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 2);
}

TEST_F(RoutingTest, PostmasterGetsOneCopyOfMailWithRemoteRecipientsOnly) {
    const long postmaster = Create("postmaster");
    const long bob = Create("bob");
    ProcessSettings::Current().routeAllMailsToPostmaster = true;
    Spool("ann@remote.example", {kBob}, kText);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(StoredMessages(postmaster), 0);

    Spool("ann@remote.example",
          {{"x", "far.example", false}, kBob, {"y", "far.example", false}, {"z", "near.example", false}}, kText);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(StoredMessages(postmaster), 1);
    EXPECT_EQ(StoredMessages(bob), 2);
    EXPECT_EQ(OutboxFiles().size(), 1u);
    EXPECT_EQ(Lines("SELECT DestUser FROM OutBoundMails ORDER BY DestUser"), (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(CMailRouter::PendingOutbound(), 3u);
}

TEST_F(RoutingTest, AccessControlKeepsASenderWithoutTheWriteRightFromSendingOut) {
    Create("dave", Limits{.allowWrite = 0});
    Create("erin");
    ProcessSettings::Current().accessControl = true;
    Spool("dave@example.org", {kZed}, kText);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    Spool("erin@example.org", {kZed}, kText);
    // An unknown sender is not refused either.
    Spool("nobody@example.org", {kZed}, kText);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 2);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 2);
    EXPECT_EQ(OutboxFiles().size(), 2u);
    EXPECT_EQ(Notices(), 0);
}

TEST_F(RoutingTest, AWatcherOfSenderAndRecipientGetsOneCopy) {
    const long bob = Create("bob");
    const long boss = Create("boss");
    const long audit = Create("audit");
    ASSERT_TRUE(Exec(StringPrintf("INSERT INTO mailmonitor VALUES ('%ld','S','ann@remote.example')", boss)));
    ASSERT_TRUE(Exec(StringPrintf("INSERT INTO mailmonitor VALUES ('%ld','R','bob@example.org')", boss)));
    ASSERT_TRUE(Exec(StringPrintf("INSERT INTO mailmonitor VALUES ('%ld','R','zed@far.example')", audit)));
    // Receive watches count only while monitoring is allowed.
    Spool("ann@remote.example", {kBob, kZed}, kText);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(StoredMessages(boss), 1);
    EXPECT_EQ(StoredMessages(audit), 0);

    SetSettingDword(settings::kMailMonitorKeyPath, "AllowMailMonitor", 1);
    Spool("ann@remote.example", {kBob, kZed}, kText);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(StoredMessages(boss), 2);
    EXPECT_EQ(StoredMessages(audit), 1);
    EXPECT_EQ(router.GetMonitorList(), (std::vector<std::string>{"boss", "audit"}));
    EXPECT_EQ(StoredMessages(bob), 2);
}

TEST_F(RoutingTest, AllMailCopiesNeverOverwriteEachOther) {
    Create("bob");
    const std::string archive = home.File("archive");
    fs::create_directory(archive);
    ProcessSettings::Current().allMailLogMailBox = archive;
    for (int n = 0; n < 3; ++n) Spool("ann@remote.example", {kBob}, kText + std::to_string(n));
    EXPECT_EQ(processor.ScanSpoolDirectory(), 3);
    std::set<std::string> copies;
    for (const auto& e : fs::directory_iterator(archive)) {
        EXPECT_EQ(e.path().extension(), ".cnm");
        copies.insert(TestHome::ReadFile(e.path().string()));
    }
    EXPECT_EQ(copies, (std::set<std::string>{kText + "0", kText + "1", kText + "2"}));
}

TEST_F(RoutingTest, ARecipientThatCannotBeStoredKeepsTheSpoolFileAndOnlyItIsServedAgain) {
    const long bob = Create("bob");
    const long carol = Create("carol");
    const std::string inbox = home.File("mail/QIRN" + std::to_string(carol) + "/Inbox");
    fs::remove_all(inbox);
    Spool("ann@remote.example", {kBob, kCarol, kZed}, kText);
    const std::string spooled = SpoolFiles().at(0);
    std::string reason;
    EXPECT_FALSE(router.ProcessSpoolFile(spooled, &db, reason));
    EXPECT_NE(reason.find("carol"), std::string::npos) << reason;
    EXPECT_NE(reason.find("No such file or directory"), std::string::npos) << reason;
    EXPECT_EQ(processor.ScanSpoolDirectory(), 0);
    EXPECT_EQ(SpoolFiles().size(), 1u);
    EXPECT_EQ(StoredMessages(bob), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM Mails WHERE aAccountId = " + std::to_string(carol)), 0);

    fs::create_directory(inbox);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_TRUE(SpoolFiles().empty());
    EXPECT_EQ(StoredMessages(carol), 1);
    EXPECT_EQ(StoredMessages(bob), 1) << "served once while the process runs";
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 1);
    EXPECT_EQ(CMailRouter::PendingOutbound(), 1u);
}

// A process killed after a spool file's copies were committed but before
// the file went: the next process finds the file, with its recipients
// recorded as served in the copies' own transaction, and stores nothing
// twice; a file under the same name but another stamp starts afresh.
TEST_F(RoutingTest, AKillBetweenTheCommitAndTheSpoolFilesReleaseDeliversNothingTwice) {
    const long bob = Create("bob");
    const long carol = Create("carol");
    Spool("ann@remote.example", {kBob, kCarol}, kText);
    const std::string spooled = SpoolFiles().at(0);
    // Made by an earlier run.
    const timespec anHourAgo[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, spooled.c_str(), anHourAgo, 0), 0);
    std::string reason;
    // Routed, and the process ends before the spool processor releases the file.
    ASSERT_TRUE(router.ProcessSpoolFile(spooled, &db, reason)) << reason;
    EXPECT_EQ(Count("SELECT count(*) FROM SpoolServed"), 2);

    CMailRouter restarted;
    CMailSpoolProcessor again;
    again.SetDatabase(&db);
    again.SetRouter(&restarted);
    EXPECT_EQ(again.ScanSpoolDirectory(), 1);
    EXPECT_TRUE(SpoolFiles().empty());
    EXPECT_EQ(StoredMessages(bob), 1);
    EXPECT_EQ(StoredMessages(carol), 1);
    // The released file's rows go at the next start at the latest.
    EXPECT_TRUE(CSpoolServedRows::Sweep(Connection(), {}));
    EXPECT_EQ(Count("SELECT count(*) FROM SpoolServed"), 0);

    // A row left for a name now taken by another message serves nobody.
    Spool("ann@remote.example", {kBob}, kText);
    const std::string next = SpoolFiles().at(0);
    const std::string name = fs::path(next).filename().string();
    ASSERT_EQ(::utimensat(AT_FDCWD, next.c_str(), anHourAgo, 0), 0);
    ASSERT_TRUE(Exec("INSERT INTO SpoolServed VALUES('" + name + "','0:0.000000000',0)"));
    CMailRouter third;
    ASSERT_TRUE(third.ProcessSpoolFile(next, &db, reason)) << reason;
    EXPECT_EQ(StoredMessages(bob), 2);
}

TEST_F(RoutingTest, AQueueThatCannotBeWrittenKeepsTheSpoolFile) {
    const long bob = Create("bob");
    fs::remove_all(home.File("Outbox"));
    Spool("ann@remote.example", {kBob, kZed}, kText);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 0);
    EXPECT_EQ(SpoolFiles().size(), 1u);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 0);
    EXPECT_EQ(CMailRouter::PendingOutbound(), 0u);

    fs::create_directory(home.File("Outbox"));
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(StoredMessages(bob), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 1);
    EXPECT_EQ(CMailRouter::PendingOutbound(), 1u);
}

TEST_F(RoutingTest, QuotesLongAndNonAsciiAddressesAreQueuedIntact) {
    const std::string sender = "o'neil.caf\xC3\xA9@remote.example";
    const std::string user = "d'arcy" + std::string(300, 'q') + "\xE2\x82\xAC";
    Spool(sender, {{user, "far.example", false}},
          "From: x\r\nSubject: L'\xC3\xA9t\xC3\xA9 " + std::string(300, 's') + "\r\n\r\nbody\r\n");
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(Lines("SELECT DestUser, Domain FROM OutBoundMails"), std::vector<std::string>{user + "|far.example"});
}

TEST_F(RoutingTest, HandedInMessageIsRoutedAndWhatFailsIsSpooledAgain) {
    const long bob = Create("bob");
    const long carol = Create("carol");
    std::vector<std::pair<std::string, std::string>> notified;
    router.SetNewMailNotifier([&](std::string head, std::string user) { notified.emplace_back(head, user); });
    const std::string inbox = home.File("mail/QIRN" + std::to_string(carol) + "/Inbox");
    fs::remove_all(inbox);
    auto info = Info("ann@remote.example", {kBob, kCarol, kZed}, kText);
    info->recipients.insert(info->recipients.begin() + 1, nullptr);  // an empty slot is nobody
    EXPECT_EQ(router.RouteMailInfo(std::move(info), db.GetConnectionHandle(), &db), 1);
    EXPECT_EQ(StoredMessages(bob), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 1);
    ASSERT_EQ(notified.size(), 2u);
    EXPECT_EQ(notified[0], std::make_pair(kText, std::string("bob")));

    // carol's copy waits in the spool directory, for carol alone.
    ASSERT_EQ(SpoolFiles().size(), 1u);
    std::unique_ptr<MailInfo> again = ReadSpoolFile(SpoolFiles()[0], &db);
    ASSERT_TRUE(again);
    ASSERT_EQ(again->recipients.size(), 1u);
    EXPECT_EQ(again->recipients[0]->user, "carol");
    EXPECT_TRUE(again->recipients[0]->account);
    EXPECT_EQ(again->sender, "ann@remote.example");
    fs::create_directory(inbox);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(StoredMessages(carol), 1);
    EXPECT_EQ(StoredMessages(bob), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 1);

    // The new-mail notice carries the first 6144 bytes only.
    const std::string large = Message(10000);
    EXPECT_EQ(router.RouteMailInfo(Info("ann@remote.example", {kBob}, large), db.GetConnectionHandle(), &db), 1);
    EXPECT_EQ(notified.back(), std::make_pair(large.substr(0, 6144), std::string("bob")));
    EXPECT_EQ(StoredMessages(bob), 2);
}

// A message file stands before the rows that list it. When the rows fail
// (a trigger refuses them here), the file goes again, no half-listed
// message is left, and the spool file stays until a later scan stores it.
TEST_F(RoutingTest, ListingRowsThatFailLeaveNoHalfMessageAndTheSpoolFileStays) {
    // The refusing rows are made by SQLite triggers.
    if (PostgresTestServer::FromEnvironment()) GTEST_SKIP() << "SQLite triggers";
    const long bob = Create("bob");
    const long carol = Create("carol");
    long stored = 0;
    for (const std::string table : {"Mails", "MailInfo"}) {
        ASSERT_TRUE(
            Exec(StringPrintf("CREATE TRIGGER refuse BEFORE INSERT ON %s WHEN NEW.aAccountId = %ld "
                              "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                              table.c_str(), carol)));
        Spool("ann@remote.example", {kBob, kCarol}, kText);
        EXPECT_EQ(processor.ScanSpoolDirectory(), 0) << table;
        EXPECT_EQ(SpoolFiles().size(), 1u) << table;
        EXPECT_EQ(StoredMessages(carol), stored) << table;
        EXPECT_EQ(Count("SELECT count(*) FROM MailInfo WHERE aAccountId = " + std::to_string(carol)), stored) << table;

        ASSERT_TRUE(Exec("DROP TRIGGER refuse"));
        EXPECT_EQ(processor.ScanSpoolDirectory(), 1) << table;
        EXPECT_TRUE(SpoolFiles().empty());
        EXPECT_EQ(StoredMessages(carol), ++stored) << table;
        EXPECT_EQ(StoredMessages(bob), stored) << table;
    }
}

// The same for the outbound queue: a queue row that fails takes back the
// rows already written and the Outbox file; the spool file stays.
TEST_F(RoutingTest, QueueRowsThatFailTakeTheOutboxFileBackAndTheSpoolFileStays) {
    // The refusing rows are made by SQLite triggers.
    if (PostgresTestServer::FromEnvironment()) GTEST_SKIP() << "SQLite triggers";
    const long bob = Create("bob");
    ASSERT_TRUE(
        Exec("CREATE TRIGGER refuse BEFORE INSERT ON OutBoundMails WHEN NEW.DestUser = 'y' "
             "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
    Spool("ann@remote.example", {{"x", "far.example", false}, kBob, {"y", "far.example", false}}, kText);
    EXPECT_EQ(processor.ScanSpoolDirectory(), 0);
    EXPECT_EQ(SpoolFiles().size(), 1u);
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 0);
    EXPECT_TRUE(OutboxFiles().empty());
    EXPECT_EQ(CMailRouter::PendingOutbound(), 0u);

    ASSERT_TRUE(Exec("DROP TRIGGER refuse"));
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_TRUE(SpoolFiles().empty());
    EXPECT_EQ(Lines("SELECT DestUser FROM OutBoundMails ORDER BY DestUser"), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(OutboxFiles().size(), 1u);
    EXPECT_EQ(StoredMessages(bob), 1);
}

TEST_F(RoutingTest, AnAccountsOwnAddressReachesItsInboxAndAnUnknownOneIsQueuedAsBefore) {
    const long carol = Create("cmiller");
    Exec("UPDATE Accounts SET EmailId = 'Carol <Carol.Miller@Example.org>' WHERE aUserName = 'cmiller'");
    std::string part;  // a record naming the local recipients by address, not by account
    std::uint32_t number = 0;
    UniqueFd file = spool::CreatePartFile(home.File("SMTPSpooler"), O_RDWR, part, number);
    RecordWriter writer(file.Get());
    spool::WriteRecordHead(writer, "ann@remote.example",
                           {{true, "carol.miller", "example.org"}, {true, "x", "example.org"}}, 0,
                           static_cast<std::uint32_t>(kText.size()));
    ASSERT_TRUE(writer.Bytes(kText.data(), kText.size()) && writer.Flush() &&
                spool::PublishPartFile(std::move(file), home.File("SMTPSpooler"), part, number, nullptr));
    EXPECT_EQ(processor.ScanSpoolDirectory(), 1);
    EXPECT_EQ(StoredMessages(carol), 1);
    EXPECT_EQ(Lines("SELECT DestUser, Domain FROM OutBoundMails"), std::vector<std::string>{"x|example.org"});
}
