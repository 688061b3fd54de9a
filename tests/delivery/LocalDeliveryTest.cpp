// Local delivery through the real database, mail store and a loopback SMTP
// server that records the notices: size limits at their exact boundary, the
// stored rows and files, receipts, groups, task documents and what happens
// when a message cannot be stored.
#include <filesystem>
#include <regex>
#include <thread>

#include "MailFlowFixture.h"
#include "foundation/StringFormat.h"

namespace {

namespace fs = std::filesystem;

class LocalDeliveryTest : public MailFlowTest {};

// The header value of a recorded notice ("" when missing).
std::string Field(const std::string& message, const std::string& name) {
    const std::string key = "\r\n" + name + ": ";
    const std::size_t at = ("\r\n" + message).find(key);
    if (at == std::string::npos) return "";
    const std::size_t start = at + key.size() - 2;
    return message.substr(start, message.find("\r\n", start) - start);
}

}  // namespace

TEST_F(LocalDeliveryTest, ReceivingLimitIsInKilobytesAndAMessageOfExactlyTheLimitFits) {
    const long id = Create("bob", Limits{.receive = 10});
    auto bob = Account("bob");
    Deliver(*bob, Message(10240));
    EXPECT_FALSE(bob->DeliveryFailed());
    EXPECT_EQ(StoredMessages(id), 1);
    EXPECT_EQ(Notices(), 0);

    Deliver(*bob, Message(10241));
    EXPECT_FALSE(bob->DeliveryFailed()) << "a refusal is not a failure to keep";
    EXPECT_EQ(StoredMessages(id), 1);
    ASSERT_EQ(Notices(), 1);
    std::string envelope;
    const std::string notice = Notice(1, &envelope);
    // To the envelope sender, which "To:" names; the summary names the
    // receiving account.
    EXPECT_EQ(envelope, "postmaster@127.0.0.1\nann@remote.example\n");
    EXPECT_EQ(Field(notice, "To"), "ann@remote.example");
    EXPECT_EQ(Field(notice, "Subject"), "Message Delivery Error");
    EXPECT_NE(notice.find("\r\n\r\nThe following mail of yours could not be delivered to recipient due to quota "
                          "restriction.\r\n\r\n Date : Sun, 06 Dec 2026 10:00:00 +0000\r\n To : bob@example.org\r\n"
                          " Subject : Hello"),
              std::string::npos)
        << notice;
    // Nothing was logged as received for the refused message.
    EXPECT_EQ(Count("SELECT count(*) FROM MAILSTATISTICS WHERE IsLocal = 1"), 1);

    // A notice is not answered with a notice.
    Deliver(*bob, Message(12000,
                          "From: postmaster\r\nTo: bob@example.org\r\nSubject: Message Delivery Error\r\n"
                          "X-Mailer: Tessal Notification\r\nX-QIRN-Receipt: ann@remote.example\r\n"));
    EXPECT_EQ(Notices(), 1);
}

TEST_F(LocalDeliveryTest, MailboxLimitCountsOnlyUndeletedInboxMessages) {
    const long id = Create("bob", Limits{.mailbox = 2});
    auto bob = Account("bob");
    Deliver(*bob, Message(1000));
    Deliver(*bob, Message(1048));  // 2048 bytes in all: exactly the limit
    EXPECT_EQ(StoredMessages(id), 2);
    Deliver(*bob, Message(100));
    EXPECT_EQ(StoredMessages(id), 2);
    EXPECT_EQ(Notices(), 1);

    // A message in another folder does not count, a deleted one neither.
    auto sent = Content(Message(5000));
    ASSERT_TRUE(bob->StoreInFolder(sent.get(), 5000, CLocalAccount::kSent));
    ASSERT_TRUE(Exec("UPDATE Mails SET mDeleted = 1 WHERE mMailSize = 1000"));
    Deliver(*bob, Message(1000));
    EXPECT_EQ(Count("SELECT count(*) FROM Mails WHERE mFolderId = 1 and aAccountId = " + std::to_string(id)), 3);
    EXPECT_EQ(Notices(), 1);
}

TEST_F(LocalDeliveryTest, DeliveriesAtOnceNeverBothPassALimitOnlyOneFitsAndAChangedLimitAppliesAtOnce) {
    const long id = Create("bob", Limits{.mailbox = 2});
    // Spool workers each deliver on their own connection.
    CMailDatabase other;
    ASSERT_TRUE(other.Connect());
    std::unique_ptr<CLocalAccount> first = Account("bob");
    std::unique_ptr<CLocalAccount> second(other.LookupLocalAccount("bob"));
    ASSERT_TRUE(first && second);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(Exec("DELETE FROM Mails"));
        std::thread a([&] { Deliver(*first, Message(1500)); });
        std::thread b([&] { Deliver(*second, Message(1500)); });
        a.join();
        b.join();
        EXPECT_EQ(Count("SELECT count(*) FROM Mails WHERE aAccountId = " + std::to_string(id)), 1) << round;
    }

    // Account records are kept between messages; a change made elsewhere
    // (here straight in the table) reaches the very next look-up.
    ASSERT_TRUE(Exec("DELETE FROM Mails"));
    Deliver(*Account("bob"), Message(3000));
    EXPECT_EQ(Count("SELECT count(*) FROM Mails"), 0);
    ASSERT_TRUE(Exec("UPDATE MailSizeControl SET MailBoxLimit = 4 WHERE aAccountId = " + std::to_string(id)));
    Deliver(*Account("bob"), Message(3000));
    EXPECT_EQ(Count("SELECT count(*) FROM Mails"), 1);
    ASSERT_TRUE(Exec("UPDATE Accounts SET aUserName = 'robert' WHERE aAccountId = " + std::to_string(id)));
    EXPECT_EQ(Account("bob"), nullptr);
    EXPECT_EQ(Account("Robert")->GetAccountId(), id);
}

TEST_F(LocalDeliveryTest, StoredRowsKeepQuotesLongAndNonAsciiValuesIntact) {
    const long id = Create("bob");
    auto bob = Account("bob");
    // A 300-byte From whose cut at 254 bytes would split a two-byte letter.
    std::string longFrom = std::string(253, 'a') + "\xC3\xA9" + std::string(45, 'b');
    const std::string text = "From: " + longFrom +
                             "\r\nSubject: O'Neil's caf\xC3\xA9 \xE2\x82\xAC\r\n"
                             "X-QIRN-DocType: memo\r\n\r\nbody\r\n";
    bob->SetDotsCount(-4);
    Deliver(*bob, text);
    ASSERT_EQ(StoredMessages(id), 1);
    EXPECT_EQ(Text("SELECT Subject FROM MailInfo"), "O'Neil's caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(Text("SELECT Sender FROM MailInfo"), std::string(253, 'a'));
    EXPECT_EQ(Lines("SELECT mMailSize, mMailOffset, mDeleted, mDotsSize, mType, mRead, mFolderId FROM Mails"),
              std::vector<std::string>{StringPrintf("%zu|0|0|0|2|0|1", text.size())});
    EXPECT_EQ(TestHome::ReadFile(Files(id)[0]), text);
    EXPECT_EQ(Text("SELECT MailTo FROM MAILSTATISTICS WHERE IsLocal = 1"), "bob");

    // An apostrophe in the display name, and an empty header.
    Deliver(*bob, "From: \"D'Arcy\" <darcy@remote.example>\r\n\r\nHi\r\n");
    Deliver(*bob, "\r\njust a body\r\n");
    EXPECT_EQ(StoredMessages(id), 3);
    EXPECT_EQ(Count("SELECT count(*) FROM MailInfo WHERE Sender = '\"D''Arcy\" <darcy@remote.example>'"), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM MailInfo WHERE Sender = 'UnKnown' and Subject = 'Unknown'"), 1);
    for (const std::string& mailId : Lines("SELECT mMailId FROM Mails"))
        EXPECT_TRUE(std::regex_match(mailId, std::regex("QIRN-\\d{8}-\\d{11,}"))) << mailId;
}

TEST_F(LocalDeliveryTest, AMessageThatCannotBeStoredIsReportedAndLeavesNoRow) {
    const long id = Create("bob");
    const std::string inbox = home.File("mail/QIRN" + std::to_string(id) + "/Inbox");
    fs::remove_all(inbox);
    auto bob = Account("bob");
    Deliver(*bob, Message(500, "From: ann@remote.example\r\nX-QIRN-Receipt: ann@remote.example\r\n"));
    EXPECT_TRUE(bob->DeliveryFailed());
    EXPECT_NE(bob->GetDeliveryProblem().find(inbox), std::string::npos) << bob->GetDeliveryProblem();
    EXPECT_NE(bob->GetDeliveryProblem().find("No such file or directory"), std::string::npos);
    EXPECT_EQ(Count("SELECT count(*) FROM Mails"), 0);
    EXPECT_EQ(Count("SELECT count(*) FROM MailInfo"), 0);
    EXPECT_EQ(Notices(), 0) << "no delivery confirmation for a message that was not stored";

    // The next delivery starts clean.
    fs::create_directory(inbox);
    Deliver(*bob, Message(500));
    EXPECT_FALSE(bob->DeliveryFailed());
    EXPECT_EQ(StoredMessages(id), 1);

    // A delivery confirmation only when asked with a value.
    Deliver(*bob, Message(200, "From: a@remote.example\r\nX-QIRN-Receipt:   \r\n"));
    EXPECT_EQ(Notices(), 0);
}

TEST_F(LocalDeliveryTest, GroupsDeliverOneCopyPerMemberAndSurviveAMembershipCycle) {
    const long ann = Create("ann");
    const long bob = Create("bob");
    const long carol = Create("carol");
    const long staff = Create("staff", Limits{.group = true});
    const long sales = Create("sales", Limits{.group = true});
    // staff = {ann, sales, bob}; sales = {bob, carol, staff}: a cycle, and
    // bob in both.
    Members(staff, {ann, sales, bob});
    Members(sales, {bob, carol, staff});
    auto group = Account("staff");
    Deliver(*group, Message(300, "From: x@remote.example\r\nSubject: all\r\nX-QIRN-Receipt: x@remote.example\r\n"));
    EXPECT_FALSE(group->DeliveryFailed());
    EXPECT_EQ(StoredMessages(ann), 1);
    EXPECT_EQ(StoredMessages(bob), 1);
    EXPECT_EQ(StoredMessages(carol), 1);
    EXPECT_EQ(StoredMessages(staff), 0);
    EXPECT_EQ(StoredMessages(sales), 0);

    // One delivery confirmation per account, each naming that account.
    ASSERT_EQ(Notices(), 3);
    std::multiset<std::string> named;
    for (int n = 1; n <= 3; ++n) {
        const std::string notice = Notice(n);
        EXPECT_EQ(Field(notice, "Subject"), "Message Delivery Confirmation");
        const std::size_t at = notice.find("\r\n To : ");
        ASSERT_NE(at, std::string::npos);
        named.insert(notice.substr(at + 8, notice.find("\r\n", at + 8) - at - 8));
    }
    EXPECT_EQ(named, (std::multiset<std::string>{"ann@example.org", "bob@example.org", "carol@example.org"}));
}

TEST_F(LocalDeliveryTest, AGroupMemberThatCannotStoreFailsTheGroupWithoutStoppingTheOthers) {
    const long ann = Create("ann");
    const long bob = Create("bob");
    const long staff = Create("staff", Limits{.group = true});
    Members(staff, {ann, bob, 4242});  // 4242: an account deleted long ago
    fs::remove_all(home.File("mail/QIRN" + std::to_string(ann) + "/Inbox"));
    auto group = Account("staff");
    Deliver(*group, Message(300));
    EXPECT_TRUE(group->DeliveryFailed());
    EXPECT_NE(group->GetDeliveryProblem().find("ann"), std::string::npos);
    EXPECT_EQ(StoredMessages(bob), 1);
}

TEST_F(LocalDeliveryTest, DeliveryConfirmationNamesTheRecipientAndTheTime) {
    Create("bob");
    auto bob = Account("bob");
    Deliver(*bob, Message(200,
                          "From: a@remote.example\r\nSubject: Report\r\n"
                          "X-QIRN-Receipt: Ann <ann@remote.example>\r\n"));
    ASSERT_EQ(Notices(), 1);
    std::string envelope;
    const std::string notice = Notice(1, &envelope);
    EXPECT_EQ(envelope, "postmaster@127.0.0.1\nann@remote.example\n");
    EXPECT_EQ(Field(notice, "To"), "Ann <ann@remote.example>");
    EXPECT_TRUE(std::regex_search(notice, std::regex("\r\n\r\nThe following mail of yours has been delivered to the "
                                                     "recipient on \\w{3}, \\d\\d \\w{3} \\d{4} \\d\\d:\\d\\d:\\d\\d "
                                                     "[+-]\\d{4}\\.\r\n\r\n Date : \r\n To : bob@example.org\r\n "
                                                     "Subject : Report(\r\n)?$")))
        << notice;
}

TEST_F(LocalDeliveryTest, MarkingReadSendsTheReadConfirmationEachTimeToLocalAddressesOnly) {
    Create("bob");
    Create("ann");
    {
        auto bob = Account("bob");
        Deliver(*bob, Message(200, "From: a@remote.example\r\nSubject: plain\r\n"));
        Deliver(*bob, Message(200,
                              "From: a@remote.example\r\nSubject: Minutes\r\n"
                              "X-QIRN-Read-Notify: Ann <ann@localhost>\r\n"));
        // Who sent a stored message is not kept with it: a remote requester
        // is never told.
        Deliver(*bob, Message(200,
                              "From: a@remote.example\r\nSubject: probe\r\n"
                              "X-QIRN-Read-Notify: victim@remote.example\r\n"));
    }
    auto bob = Account("bob");
    ASSERT_TRUE(bob->Login("secret"));
    ASSERT_EQ(bob->GetMessageCount(false, 1), 3);
    long plain = 0, asking = 0, probe = 0;
    for (long n = 1; n <= 3; ++n) {
        const std::string subject = bob->GetStoredMail(n, 1)->GetSubject();
        (subject == "plain" ? plain : subject == "Minutes" ? asking : probe) = n;
    }
    EXPECT_TRUE(bob->MarkRead(1, plain));
    EXPECT_TRUE(bob->MarkRead(1, probe));
    EXPECT_EQ(Notices(), 0);
    EXPECT_TRUE(bob->MarkRead(1, asking));
    EXPECT_TRUE(bob->MarkRead(1, asking));
    EXPECT_FALSE(bob->MarkRead(1, 4));
    ASSERT_EQ(Notices(), 2);
    std::string envelope;
    Notice(1, &envelope);
    EXPECT_EQ(envelope, "postmaster@127.0.0.1\nann@localhost\n");
    const std::string notice = Notice(2);
    EXPECT_EQ(Field(notice, "Subject"), "Message Read Confirmation");
    EXPECT_TRUE(std::regex_search(notice, std::regex("has been read by the recipient on [^\r]*[+-]\\d{4}\\.\r\n\r\n "
                                                     "Date : \r\n To : bob@example.org\r\n Subject : Minutes(\r\n)?$")))
        << notice;
    EXPECT_EQ(Count("SELECT count(*) FROM Mails WHERE mRead = 1"), 3);
}

namespace {

std::string TaskDocument(const std::string& query) {
    return "From: planner@example.org\r\nTo: procmgr@example.org\r\nX-QIRN-Recipient: bob@example.org\r\n"
           "X-QIRN-TaskID: TASK-17\r\nX-QIRN-Originator: planner\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
           "--b1\r\nContent-Type: text/plain\r\n\r\nA task.\r\n"
           "--b1\r\nContent-Type: qirn/query\r\n\r\n" +
           query +
           "\r\n"
           "--b1\r\nContent-Type: qirn/data; name=\"task.dat\"\r\n\r\nstep one\r\nstep two\r\n"
           "--b1--\r\n";
}

}  // namespace

TEST_F(LocalDeliveryTest, TaskQueriesRunOnlyWhenTheAdministratorAllowsThem) {
    Create("procmgr");
    const long bob = Create("bob");
    const std::string query = "INSERT INTO Domains VALUES ('evil.example', 'x', 0)";
    auto procmgr = Account("procmgr");
    Deliver(*procmgr, TaskDocument(query));
    EXPECT_FALSE(procmgr->DeliveryFailed()) << procmgr->GetDeliveryProblem();
    EXPECT_EQ(Count("SELECT count(*) FROM Domains WHERE DomainName = 'evil.example'"), 0);
    EXPECT_EQ(Count("SELECT count(*) FROM Mails WHERE mFolderId = 1"), 0) << "task documents are not mail";

    // The request entry and the data part, each with its file.
    EXPECT_EQ(Lines("SELECT mMailId, aAccountId, mMailSize, mType, mFolderId FROM Mails ORDER BY mFolderId"),
              (std::vector<std::string>{"TASK-17|" + std::to_string(bob) + "|18|3|3",
                                        "TASK-17|" + std::to_string(bob) + "|0|3|4"}));
    const std::string box = home.File("mail/QIRN" + std::to_string(bob));
    EXPECT_EQ(TestHome::ReadFile(box + "/Task/TASK-17.mel"), "step one\r\nstep two");
    EXPECT_TRUE(fs::exists(box + "/Request/TASK-17.mel"));

    SetSettingDword(settings::kPreferencesKeyPath, "AllowTaskQueries", 1);
    Deliver(*procmgr, TaskDocument(query));
    EXPECT_EQ(Count("SELECT count(*) FROM Domains WHERE DomainName = 'evil.example'"), 1);
    // The same task again records nothing twice.
    EXPECT_EQ(Count("SELECT count(*) FROM Mails"), 2);
}
