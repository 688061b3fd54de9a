// Mail through the whole server: real clients (swaks, curl, Python's
// smtplib) talk to `velmora run`, and the message must come out where an
// office expects it: in the local user's Inbox as a ".mel" file with its
// Mails and MailInfo rows, or in the outbound queue as an Outbox file with
// one OutBoundMails row per remote recipient. A recipient the server does
// not know is refused at RCPT and leaves nothing behind.
//
// Every client here connects from loopback, which may relay by design; the
// refusal of relaying for outside clients is proven by the SMTP server
// module's own tests (SmtpServerRelay), where the client address can be set.
#include <filesystem>
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace {

using E2eDelivery = E2eFixture;

std::string FileName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}
std::string Stem(const std::string& path) {
    return std::filesystem::path(path).stem().string();
}

}  // namespace

TEST_F(E2eDelivery, SwaksAndCurlDeliverIntoTheLocalUsersInbox) {
    StartServer();
    const RunResult swaks =
        RunProgram({"swaks", "--server", "127.0.0.1:" + std::to_string(port), "--from", "bob@localhost", "--to",
                    "alice@localhost", "--header", "Subject: from swaks", "--body", "swaks body line", "--hide-all"});
    ASSERT_EQ(swaks.status, 0) << swaks.output;

    const std::string mail = home.File("curl.eml");
    TestHome::WriteFile(mail, "From: bob@localhost\r\nSubject: from curl\r\n\r\ncurl body line\r\n");
    const RunResult curl = RunProgram(
        {"curl", "-sS", "--max-time", "30", "--url", "smtp://127.0.0.1:" + std::to_string(port), "--mail-from",
         "bob@localhost", "--mail-rcpt", "alice@localhost", "--mail-rcpt", "BOB@LOCALHOST", "--upload-file", mail});
    ASSERT_EQ(curl.status, 0) << curl.output;

    ASSERT_TRUE(WaitForMail("alice", 2)) << server.Output();
    ASSERT_TRUE(WaitForMail("bob", 1));
    ASSERT_TRUE(WaitForEmptySpool());

    const long aliceId = home.SqlNumber("SELECT aAccountId FROM Accounts WHERE aUserName = 'alice'");
    ASSERT_GT(aliceId, 0);
    int swaksSeen = 0, curlSeen = 0;
    for (const std::string& file : home.InboxFiles("alice")) {
        const std::string text = TestHome::ReadFile(file);
        const std::string id = Stem(file);
        // The server's trace line first, then the message as sent.
        EXPECT_EQ(text.rfind("Received: from ", 0), 0u) << text;
        EXPECT_EQ(home.Sql("SELECT aAccountId, mMailSize, mFolderId, mDeleted, mRead FROM Mails WHERE mMailId = '" +
                           id + "'"),
                  std::to_string(aliceId) + "|" + std::to_string(text.size()) + "|1|0|0");
        const std::string info =
            home.Sql("SELECT Sender, Subject, aAccountId, mFolderId FROM MailInfo WHERE mMailId = '" + id + "'");
        if (text.find("\r\n\r\nswaks body line\r\n") != std::string::npos) {
            ++swaksSeen;
            EXPECT_EQ(info, "bob@localhost|from swaks|" + std::to_string(aliceId) + "|1");
        } else if (text.find("\r\n\r\ncurl body line\r\n") != std::string::npos) {
            ++curlSeen;
            EXPECT_EQ(info, "bob@localhost|from curl|" + std::to_string(aliceId) + "|1");
        }
    }
    EXPECT_EQ(swaksSeen, 1);
    EXPECT_EQ(curlSeen, 1);
    const std::vector<std::string> bobs = home.InboxTexts("bob");
    ASSERT_EQ(bobs.size(), 1u);
    EXPECT_NE(bobs[0].find("curl body line"), std::string::npos);
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM Mails"), 3);
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM MailInfo"), 3);
    EXPECT_TRUE(home.OutboxFiles().empty());
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM OutBoundMails"), 0);
    StopServer();
}

TEST_F(E2eDelivery, RemoteRecipientsAreQueuedInTheOutboxAndLocalOnesDelivered) {
    StartServer();
    const RunResult sent = Python(
        "import smtplib, sys\n"
        "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=30)\n"
        "msg = 'From: alice@localhost\\r\\nTo: carol@remote.example\\r\\nSubject: outbound\\r\\n\\r\\n"
        "for the world\\r\\n'\n"
        "print('refused', s.sendmail('alice@localhost', ['carol@remote.example', 'bob@localhost',"
        " 'dave@Remote.Example'], msg))\n"
        "s.quit()\n");
    ASSERT_EQ(sent.status, 0) << sent.output;
    EXPECT_NE(sent.output.find("refused {}"), std::string::npos) << sent.output;

    ASSERT_TRUE(WaitForMail("bob", 1)) << server.Output();
    ASSERT_TRUE(WaitForEmptySpool());
    ASSERT_TRUE(WaitUntil([&] { return home.SqlNumber("SELECT COUNT(*) FROM OutBoundMails") == 2; }, kDeliveryWait));
    // One queue file for the message, one row per remote recipient.
    const std::vector<std::string> outbox = home.OutboxFiles();
    ASSERT_EQ(outbox.size(), 1u);
    const std::string queued = TestHome::ReadFile(outbox[0]);
    EXPECT_NE(queued.find("Subject: outbound\r\n\r\nfor the world\r\n"), std::string::npos) << queued;
    EXPECT_EQ(home.Sql("SELECT lower(DestUser), lower(Domain), Sent FROM OutBoundMails ORDER BY DestUser"),
              "carol|remote.example|0\ndave|remote.example|0");
    EXPECT_EQ(FileName(home.Sql("SELECT DISTINCT MailFile FROM OutBoundMails")), FileName(outbox[0]));

    const std::vector<std::string> bobs = home.InboxTexts("bob");
    ASSERT_EQ(bobs.size(), 1u);
    EXPECT_NE(bobs[0].find("for the world"), std::string::npos);
    EXPECT_TRUE(home.InboxFiles("alice").empty());
    StopServer();
}

TEST_F(E2eDelivery, AnUnknownLocalUserIsRefusedAtRcptAndNothingIsKept) {
    StartServer();
    {
        SmtpClient client;
        Open(client);
        EXPECT_EQ(Code(client.Command("MAIL FROM:<bob@localhost>")), 250);
        const std::string refused = client.Command("RCPT TO:<ghost@localhost>");
        EXPECT_EQ(Code(refused), 550) << refused;
        // With no recipient left there is no message to take.
        EXPECT_EQ(Code(client.Command("DATA")), 554);
        EXPECT_EQ(Code(client.Command("QUIT")), 221);
    }
    const std::string mail = home.File("ghost.eml");
    TestHome::WriteFile(mail, "Subject: to a ghost\r\n\r\nnobody\r\n");
    const RunResult curl =
        RunProgram({"curl", "-sS", "--max-time", "30", "--url", "smtp://127.0.0.1:" + std::to_string(port),
                    "--mail-from", "bob@localhost", "--mail-rcpt", "ghost@localhost", "--upload-file", mail});
    EXPECT_NE(curl.status, 0) << curl.output;
    // Mixed: the known recipient gets it, the unknown one is told 550.
    const RunResult mixed = Python(
        "import smtplib, sys\n"
        "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=30)\n"
        "print('refused', s.sendmail('bob@localhost', ['ghost@localhost', 'alice@localhost'],"
        " 'Subject: mixed\\r\\n\\r\\nfor alice only\\r\\n'))\n"
        "s.quit()\n");
    ASSERT_EQ(mixed.status, 0) << mixed.output;
    EXPECT_NE(mixed.output.find("'ghost@localhost': (550"), std::string::npos) << mixed.output;

    ASSERT_TRUE(WaitForMail("alice", 1)) << server.Output();
    ASSERT_TRUE(WaitForEmptySpool());
    ASSERT_TRUE(WaitForNoTempFiles());
    const std::vector<std::string> alices = home.InboxTexts("alice");
    ASSERT_EQ(alices.size(), 1u);
    EXPECT_NE(alices[0].find("for alice only"), std::string::npos);
    EXPECT_TRUE(home.InboxFiles("bob").empty());
    EXPECT_TRUE(home.InboxFiles("postmaster").empty());
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM Mails"), 1);
    EXPECT_TRUE(home.OutboxFiles().empty());
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM OutBoundMails"), 0);
    StopServer();
}
