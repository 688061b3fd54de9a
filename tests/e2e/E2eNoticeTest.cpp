// Notices that come back through the SMTP server: routing and local
// delivery compose them and hand them to the server on its own configured
// port, which spools and routes them like any other message. Each test
// checks the whole loop: the notice reaches the right mailbox, from the
// postmaster, naming the message it is about, and the message itself went
// where the quota rules say.
//
// These need routing and local delivery in `velmora run`; with spooled mail
// only held they fail at the first wait for a mailbox.
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace {

using E2eNotices = E2eFixture;

// A message of about size bytes written by alice, with the headers a notice quotes.
std::string Message(const std::string& to, const std::string& subject, std::size_t size,
                    const std::string& extraHeader = "") {
    std::string text = "From: alice@localhost\r\nTo: " + to +
                       "\r\nDate: Mon, 07 Dec 2026 09:00:00 +0000\r\n"
                       "Subject: " +
                       subject + "\r\n" + extraHeader + "\r\n";
    while (text.size() < size) text += std::string(70, 'q') + "\r\n";
    return text + "end";
}

// The messages in user's Inbox whose text holds marker.
std::vector<std::string> MailsWith(const MailHome& home, const std::string& user, const std::string& marker) {
    std::vector<std::string> found;
    for (const std::string& text : home.InboxTexts(user))
        if (text.find(marker) != std::string::npos) found.push_back(text);
    return found;
}

void ExpectNoticeHeader(const std::string& notice, const std::string& to, const std::string& subject) {
    EXPECT_NE(notice.find("\r\nFrom: postmaster\r\nTo: " + to + "\r\nSubject: " + subject + "\r\n"), std::string::npos)
        << notice;
    EXPECT_NE(notice.find("\r\nX-Mailer: Tessal Notification\r\n"), std::string::npos);
}

}  // namespace

TEST_F(E2eNotices, OverTheSendingQuotaLocalRecipientsGetItRemoteOnesDoNotAndTheSenderIsTold) {
    // sam may send 1 KB.
    ASSERT_TRUE(home.AddAccount("sam", {"--send-limit", "1"}));
    StartServer();
    SmtpClient client;
    Open(client);
    EXPECT_EQ(Code(Transaction(client, "sam@localhost", {"carol@remote.example", "bob@localhost"},
                               Message("carol@remote.example, bob@localhost", "too big to send", 3000))),
              250);
    // Under the limit the same route is taken in full.
    EXPECT_EQ(Code(Transaction(client, "sam@localhost", {"dave@remote.example"},
                               Message("dave@remote.example", "small enough", 200))),
              250);
    EXPECT_EQ(Code(client.Command("QUIT")), 221);

    ASSERT_TRUE(WaitForMail("bob", 1)) << server.Output();
    ASSERT_TRUE(WaitForMail("sam", 1));
    ASSERT_TRUE(WaitForEmptySpool());
    ASSERT_EQ(MailsWith(home, "bob", "Subject: too big to send").size(), 1u);
    const std::vector<std::string> notices = MailsWith(home, "sam", "Subject: Message Delivery Error");
    ASSERT_EQ(notices.size(), 1u);
    ExpectNoticeHeader(notices[0], "sam@localhost", "Message Delivery Error");
    EXPECT_NE(notices[0].find("\r\n\r\nThe following mail of yours was not sent to the recipient as it was "
                              "exceeding your mail sending quota.\r\n\r\n Date : Mon, 07 Dec 2026 09:00:00 +0000"
                              "\r\n To : carol@remote.example, bob@localhost\r\n Subject : too big to send"),
              std::string::npos)
        << notices[0];
    // Only the small message's recipient is queued.
    ASSERT_TRUE(WaitUntil([&] { return home.SqlNumber("SELECT COUNT(*) FROM OutBoundMails") >= 1; }, kDeliveryWait));
    EXPECT_EQ(home.Sql("SELECT lower(DestUser) FROM OutBoundMails"), "dave");
    EXPECT_EQ(home.OutboxFiles().size(), 1u);
    StopServer();
}

TEST_F(E2eNotices, OverTheReceivingQuotaTheMessageIsNotStoredAndItsAuthorIsTold) {
    ASSERT_TRUE(home.AddAccount("carl", {"--receive-limit", "2"}));
    StartServer();
    SmtpClient client;
    Open(client);
    EXPECT_EQ(Code(Transaction(client, "alice@localhost", {"carl@localhost"}, Message("carl@localhost", "fits", 500))),
              250);
    // Alone, carl refuses it at the end of data; with bob it is taken, and
    // carl's delivery refuses it with the notice.
    EXPECT_EQ(Code(Transaction(client, "alice@localhost", {"carl@localhost"},
                               Message("carl@localhost", "does not fit", 5000))),
              552);
    EXPECT_EQ(Code(Transaction(client, "alice@localhost", {"carl@localhost", "bob@localhost"},
                               Message("carl@localhost", "does not fit", 5000))),
              250);
    EXPECT_EQ(Code(client.Command("QUIT")), 221);

    ASSERT_TRUE(WaitForMail("alice", 1)) << server.Output();
    ASSERT_TRUE(WaitForEmptySpool());
    const std::vector<std::string> carls = home.InboxTexts("carl");
    ASSERT_EQ(carls.size(), 1u);
    EXPECT_NE(carls[0].find("Subject: fits\r\n"), std::string::npos);
    const std::vector<std::string> notices = home.InboxTexts("alice");
    ASSERT_EQ(notices.size(), 1u);
    ExpectNoticeHeader(notices[0], "alice@localhost", "Message Delivery Error");
    EXPECT_NE(notices[0].find("\r\n\r\nThe following mail of yours could not be delivered to recipient due to quota "
                              "restriction.\r\n\r\n Date : Mon, 07 Dec 2026 09:00:00 +0000\r\n To : carl@localhost"
                              "\r\n Subject : does not fit"),
              std::string::npos)
        << notices[0];
    StopServer();
}

TEST_F(E2eNotices, AReceiptRequestBringsADeliveryConfirmationPerRecipient) {
    StartServer();
    SmtpClient client;
    Open(client);
    EXPECT_EQ(Code(Transaction(client, "alice@localhost", {"bob@localhost", "postmaster@localhost"},
                               Message("bob@localhost", "please confirm", 300, "X-QIRN-Receipt: alice@localhost\r\n"))),
              250);
    EXPECT_EQ(Code(client.Command("QUIT")), 221);

    ASSERT_TRUE(WaitForMail("alice", 2)) << server.Output();
    ASSERT_TRUE(WaitForEmptySpool());
    ASSERT_EQ(MailsWith(home, "bob", "Subject: please confirm").size(), 1u);
    const std::vector<std::string> confirmations = home.InboxTexts("alice");
    ASSERT_EQ(confirmations.size(), 2u);
    int bob = 0, postmaster = 0;
    for (const std::string& notice : confirmations) {
        ExpectNoticeHeader(notice, "alice@localhost", "Message Delivery Confirmation");
        EXPECT_NE(notice.find("\r\n\r\nThe following mail of yours has been delivered to the recipient on "),
                  std::string::npos)
            << notice;
        EXPECT_NE(notice.find(".\r\n\r\n Date : Mon, 07 Dec 2026 09:00:00 +0000\r\n To : "), std::string::npos);
        bob += notice.find("\r\n To : bob@localhost\r\n Subject : please confirm") != std::string::npos;
        postmaster += notice.find("\r\n To : postmaster@127.0.0.1\r\n Subject : please confirm") != std::string::npos;
    }
    EXPECT_EQ(bob, 1);
    EXPECT_EQ(postmaster, 1);
    StopServer();
}
