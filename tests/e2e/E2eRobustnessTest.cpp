// Bad input against the whole server: commands out of order, bare LF line
// ends, megabyte lines, a thousand recipients, clients that stall or vanish
// in the middle of a message. Each gets its reply code or a clean close, the
// server keeps serving, and what ends up in mailboxes and the outbound queue
// is exactly the messages that were answered 250: nothing partial, nothing
// duplicated, no temporary file left behind.
#include <string>
#include <thread>
#include <vector>

#include "E2eFixture.h"

namespace {

using E2eRobustness = E2eFixture;
using namespace std::chrono_literals;

}  // namespace

TEST_F(E2eRobustness, CommandsOutOfOrderAndBareLineEndsStillDeliverExactlyWhatWasAccepted) {
    StartServer();
    SmtpClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_EQ(Code(client.Reply()), 220);
    EXPECT_EQ(Code(client.Command("MAIL FROM:<bob@localhost>")), 503);  // before the greeting
    EXPECT_EQ(Code(client.Command("DATA")), 503);
    EXPECT_EQ(Code(client.Command("EHLO client.test")), 250);
    EXPECT_EQ(Code(client.Command("RCPT TO:<alice@localhost>")), 503);  // before MAIL
    EXPECT_EQ(Code(client.Command("DATA")), 503);
    EXPECT_EQ(Code(client.Command("MAIL FROM:<bob@localhost>")), 250);
    EXPECT_EQ(Code(client.Command("MAIL FROM:<bob@localhost>")), 503);  // nested
    EXPECT_EQ(Code(client.Command("DATA")), 554);                       // no recipient yet
    EXPECT_EQ(Code(client.Command("RCPT TO:<alice@localhost>")), 250);
    EXPECT_EQ(Code(client.Command("RSET")), 250);  // that transaction is gone
    EXPECT_EQ(Code(client.Command("DATA")), 503);
    // Commands and text with bare LF line ends, pipelined in one write.
    ASSERT_TRUE(client.Send("MAIL FROM:<bob@localhost>\nRCPT TO:<alice@localhost>\nDATA\n"));
    EXPECT_EQ(Code(client.Reply()), 250);
    EXPECT_EQ(Code(client.Reply()), 250);
    EXPECT_EQ(Code(client.Reply()), 354);
    // A "." line between bare LFs does not end the text (only CR LF "." CR LF
    // does): its dot is taken as a transparency dot like any other.
    ASSERT_TRUE(client.Send("Subject: bare\n\nfirst\n.\n..stuffed\nlast\r\n.\r\n"));
    EXPECT_EQ(Code(client.Reply()), 250);
    EXPECT_EQ(Code(client.Command("QUIT")), 221);
    EXPECT_TRUE(client.ClosedByServer());

    ASSERT_TRUE(WaitForMail("alice", 1)) << server.Output();
    ASSERT_TRUE(WaitForEmptySpool());
    const std::vector<std::string> texts = home.InboxTexts("alice");
    ASSERT_EQ(texts.size(), 1u);
    const std::size_t at = texts[0].find("Subject: bare");
    ASSERT_NE(at, std::string::npos) << texts[0];
    EXPECT_EQ(texts[0].substr(at), "Subject: bare\r\n\r\nfirst\r\n\r\n.stuffed\r\nlast\r\n");
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM Mails"), 1);
    // The removed transparency dots are counted with the message.
    EXPECT_EQ(home.SqlNumber("SELECT mDotsSize FROM Mails"), 2);
    StopServer();
}

TEST_F(E2eRobustness, MegabyteLinesAndAThousandRecipientsAreBoundedNotFatal) {
    StartServer();
    SmtpClient client;
    Open(client);
    // A 1 MB command line: refused, and the session goes on.
    EXPECT_EQ(Code(client.Command("MAIL FROM:<bob@localhost> " + std::string(1 << 20, 'x'))), 500);
    EXPECT_EQ(Code(client.Command("NOOP")), 250);

    // A 1 MB line of message text is the message's business: kept whole.
    const std::string longLine(1 << 20, 'L');
    EXPECT_EQ(Code(Transaction(client, "bob@localhost", {"alice@localhost"}, "Subject: long\r\n\r\n" + longLine)), 250);

    // 1,000 recipients in one burst: a bounded number taken, the rest told
    // to try again later (452), and one queue entry for those taken.
    EXPECT_EQ(Code(client.Command("MAIL FROM:<bob@localhost>")), 250);
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += "RCPT TO:<user" + std::to_string(i) + "@remote.example>\r\n";
    ASSERT_TRUE(client.Send(burst));
    int accepted = 0, later = 0, other = 0;
    for (int i = 0; i < 1000; ++i) {
        const int code = Code(client.Reply());
        (code == 250 ? accepted : code == 452 ? later : other) += 1;
    }
    EXPECT_GT(accepted, 0);
    EXPECT_EQ(accepted + later, 1000);
    EXPECT_EQ(other, 0);
    EXPECT_EQ(Code(client.Command("DATA")), 354);
    EXPECT_EQ(Code(client.Command("Subject: many\r\n\r\nto many\r\n.")), 250);
    EXPECT_EQ(Code(client.Command("QUIT")), 221);

    ASSERT_TRUE(WaitForMail("alice", 1)) << server.Output();
    ASSERT_TRUE(WaitForEmptySpool());
    ASSERT_TRUE(
        WaitUntil([&] { return home.SqlNumber("SELECT COUNT(*) FROM OutBoundMails") == accepted; }, kDeliveryWait))
        << home.Sql("SELECT COUNT(*) FROM OutBoundMails");
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(DISTINCT MailFile) FROM OutBoundMails"), 1);
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(DISTINCT lower(DestUser)) FROM OutBoundMails"), accepted);
    EXPECT_EQ(home.OutboxFiles().size(), 1u);
    const std::vector<std::string> texts = home.InboxTexts("alice");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("Subject: long\r\n\r\n" + longLine + "\r\n"), std::string::npos);
    EXPECT_EQ(home.SqlNumber("SELECT mMailSize FROM Mails"), static_cast<long>(texts[0].size()));
    StopServer();
}

TEST_F(E2eRobustness, ClientsThatStallOrVanishMidDataLeaveNothingBehind) {
    ASSERT_TRUE(home.SetDword("Ports", "SMTP Timeout", 2));
    StartServer();
    auto startData = [&](SmtpClient& client, const std::string& subject) {
        Open(client);
        EXPECT_EQ(Code(client.Command("MAIL FROM:<bob@localhost>")), 250);
        EXPECT_EQ(Code(client.Command("RCPT TO:<alice@localhost>")), 250);
        EXPECT_EQ(Code(client.Command("DATA")), 354);
        EXPECT_TRUE(client.Send("Subject: " + subject + "\r\n\r\nhalf a message\r\n"));
    };
    {
        SmtpClient closes;  // FIN in the middle of the text
        startData(closes, "closed");
        closes.Close();
    }
    {
        SmtpClient resets;  // RST after several blocks of text
        startData(resets, "reset");
        std::string block;
        while (block.size() < 3u << 20) block += std::string(998, 'r') + "\r\n";
        EXPECT_TRUE(resets.Send(block));
        resets.Close(true);
    }
    {
        SmtpClient dotless;  // the end-of-data line without its CR LF, then gone
        startData(dotless, "dotless");
        EXPECT_TRUE(dotless.Send("\r\n."));
        dotless.Close();
    }
    {
        SmtpClient stalls;  // stops sending: the server's time-out ends it
        startData(stalls, "stalled");
        const std::string reply = stalls.Reply(20s);
        EXPECT_EQ(Code(reply), 421) << reply;
        EXPECT_TRUE(stalls.ClosedByServer());
    }
    // The server still serves, and the only message it took is the one that ended properly.
    SmtpClient good;
    Open(good);
    EXPECT_EQ(Code(Transaction(good, "bob@localhost", {"alice@localhost"}, "Subject: whole\r\n\r\ncomplete")), 250);
    EXPECT_EQ(Code(good.Command("QUIT")), 221);

    ASSERT_TRUE(WaitForMail("alice", 1)) << server.Output();
    ASSERT_TRUE(WaitForEmptySpool());
    // Every session has ended once no temporary message file is left.
    ASSERT_TRUE(WaitForNoTempFiles()) << TempFiles().size();
    const std::vector<std::string> texts = home.InboxTexts("alice");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("Subject: whole\r\n"), std::string::npos);
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM Mails"), 1);
    EXPECT_TRUE(home.SpoolFiles().empty());
    StopServer();
}
