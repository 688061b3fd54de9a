// Mail through the whole server, once along each path: real clients (swaks,
// curl, Python's smtplib) talk to `velmora run`; local recipients (also at
// an office domain added with `velmora domain add`) get a
// ".mel" file with its Mails and MailInfo rows, remote ones one Outbox file
// with a row each, an unknown one is refused at RCPT; and the notices the
// server composes (receipt, receiving and sending quota) come back through
// its own SMTP port to the right mailbox.
//
// Every client here connects from loopback, which may relay by design; the
// refusal of relaying for outside clients is proven by the SMTP server
// module's own tests, where the client address can be set.
#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace {

using E2eSmoke = E2eFixture;

// A message of about size bytes written by alice, with the headers a notice quotes.
std::string Message(const std::string& to, const std::string& subject, std::size_t size,
                    const std::string& extraHeader = "") {
    std::string text = "From: alice@localhost\r\nTo: " + to +
                       "\r\nDate: Mon, 07 Dec 2026 09:00:00 +0000\r\nSubject: " + subject + "\r\n" + extraHeader +
                       "\r\n";
    while (text.size() < size) text += std::string(70, 'q') + "\r\n";
    return text + "end";
}

// The one message in user's Inbox that holds marker; "" when not exactly one.
std::string MailWith(const MailHome& home, const std::string& user, const std::string& marker) {
    std::vector<std::string> found;
    for (const std::string& text : home.InboxTexts(user))
        if (text.find(marker) != std::string::npos) found.push_back(text);
    return found.size() == 1 ? found[0] : "";
}

}  // namespace

TEST_F(E2eSmoke, MailReachesMailboxesTheQueueAndTheNotices) {
    ASSERT_TRUE(home.AddAccount("sam", {"--send-limit", "1"}));
    ASSERT_TRUE(home.AddAccount("carl", {"--receive-limit", "2"}));
    // An office domain added from the shell is local from then on.
    ASSERT_EQ(home.Velmora({"domain", "add", "example.org"}).status, 0);
    StartServer();
    const RunResult swaks =
        RunProgram({"swaks", "--server", "127.0.0.1:" + std::to_string(port), "--from", "bob@localhost", "--to",
                    "alice@example.org", "--header", "Subject: from swaks", "--body", "swaks body line", "--hide-all"});
    ASSERT_EQ(swaks.status, 0) << swaks.output;
    const std::string mail = home.File("curl.eml");
    TestHome::WriteFile(mail, "From: bob@localhost\r\nSubject: from curl\r\n\r\ncurl body line\r\n");
    const RunResult curl = RunProgram(
        {"curl", "-sS", "--max-time", "30", "--url", "smtp://127.0.0.1:" + std::to_string(port), "--mail-from",
         "bob@localhost", "--mail-rcpt", "alice@localhost", "--mail-rcpt", "BOB@LOCALHOST", "--upload-file", mail});
    ASSERT_EQ(curl.status, 0) << curl.output;
    const RunResult sent = Python(
        "import smtplib, sys\n"
        "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=30)\n"
        "msg = 'From: alice@localhost\\r\\nSubject: outbound\\r\\nX-QIRN-Receipt: alice@localhost\\r\\n\\r\\n"
        "for the world\\r\\n'\n"
        "print('refused', s.sendmail('alice@localhost', ['carol@remote.example', 'bob@localhost',"
        " 'ghost@localhost', 'dave@Remote.Example'], msg))\n"
        "s.quit()\n");
    ASSERT_EQ(sent.status, 0) << sent.output;
    EXPECT_NE(sent.output.find("refused {'ghost@localhost': (550"), std::string::npos) << sent.output;
    {
        SmtpClient client;
        Open(client);
        // Over sam's sending quota: bob gets it, the remote recipient not.
        EXPECT_EQ(Code(Transaction(client, "sam@localhost", {"erin@remote.example", "bob@localhost"},
                                   Message("erin@remote.example, bob@localhost", "too big to send", 3000))),
                  250);
        // Alone, carl refuses it at the end of data; with bob it is taken,
        // and carl's delivery refuses it with a notice.
        const std::string big = Message("carl@localhost", "does not fit", 5000);
        EXPECT_EQ(Code(Transaction(client, "alice@localhost", {"carl@localhost"}, big)), 552);
        EXPECT_EQ(Code(Transaction(client, "alice@localhost", {"carl@localhost", "bob@localhost"}, big)), 250);
        EXPECT_EQ(Code(client.Command("QUIT")), 221);
    }

    ASSERT_TRUE(WaitForMail("alice", 4)) << server.Output();
    ASSERT_TRUE(WaitForMail("bob", 4));
    ASSERT_TRUE(WaitForMail("sam", 1));
    ASSERT_TRUE(WaitForEmptySpool());
    ASSERT_TRUE(WaitForNoTempFiles());
    // Each stored message has its rows, the server's trace line first.
    const long aliceId = home.SqlNumber("SELECT aAccountId FROM Accounts WHERE aUserName = 'alice'");
    for (const std::string& file : home.InboxFiles("alice")) {
        const std::string text = TestHome::ReadFile(file);
        const std::string id = std::filesystem::path(file).stem().string();
        EXPECT_EQ(text.rfind("Received: from ", 0), 0u) << text;
        EXPECT_EQ(home.Sql("SELECT aAccountId, mMailSize, mFolderId FROM Mails WHERE mMailId = '" + id + "'"),
                  std::to_string(aliceId) + "|" + std::to_string(text.size()) + "|1");
    }
    EXPECT_EQ(home.Sql("SELECT Subject FROM MailInfo WHERE aAccountId = " + std::to_string(aliceId) +
                       " AND Sender = 'bob@localhost' ORDER BY Subject"),
              "from curl\nfrom swaks");
    for (const char* marker : {"\r\n\r\ncurl body line\r\n", "\r\n\r\nfor the world\r\n", "Subject: too big to send",
                               "Subject: does not fit"})
        EXPECT_NE(MailWith(home, "bob", marker), "") << marker;
    EXPECT_TRUE(home.InboxFiles("carl").empty());
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM Mails"), 9);

    // The notices' wording is the notice tests' business; here each reaches its mailbox.
    for (const auto& [user, subject, about] :
         std::vector<std::array<std::string, 3>>{{"alice", "Confirmation", ""},
                                                 {"alice", "Error", "Subject : does not fit"},
                                                 {"sam", "Error", "Subject : too big to send"}})
        EXPECT_NE(MailWith(home, user,
                           "\r\nFrom: postmaster\r\nTo: " + user + "@localhost\r\nSubject: Message Delivery " +
                               subject + "\r\n")
                      .find(about),
                  std::string::npos)
            << user << " " << subject;

    // One queue file for the outbound message, one row per remote recipient.
    ASSERT_TRUE(WaitUntil([&] { return home.SqlNumber("SELECT COUNT(*) FROM OutBoundMails") == 2; }, kDeliveryWait));
    const std::vector<std::string> outbox = home.OutboxFiles();
    ASSERT_EQ(outbox.size(), 1u);
    EXPECT_NE(TestHome::ReadFile(outbox[0]).find("\r\n\r\nfor the world\r\n"), std::string::npos);
    EXPECT_EQ(home.Sql("SELECT lower(DestUser), lower(Domain), Sent FROM OutBoundMails ORDER BY DestUser"),
              "carol|remote.example|0\ndave|remote.example|0");
    EXPECT_EQ(std::filesystem::path(home.Sql("SELECT DISTINCT MailFile FROM OutBoundMails")).filename(),
              std::filesystem::path(outbox[0]).filename());
    StopServer();
}
