// The server process's life: SIGTERM ends it within seconds with exit code
// 0, also with sessions open; without its SMTP module it ends at once with
// exit code 1 and says why; and kill -9 at any moment
// never loses a message it answered 250 for: after a restart every such
// message reaches its mailbox once and the outbound queue.
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2eFixture.h"

namespace {

using E2eLifecycle = E2eFixture;
using E2eCrash = E2eFixture;
using namespace std::chrono_literals;

}  // namespace

TEST_F(E2eLifecycle, WithoutItsModuleItEndsAtOnceAndSigtermEndsItWithinSecondsEvenWithSessionsOpen) {
    const std::string empty = home.File("no-modules");
    std::filesystem::create_directory(empty);
    std::vector<std::string> environment = ServerEnvironment();
    environment.push_back("VELMORA_MODULE_DIR=" + empty);
    ASSERT_TRUE(server.Start(home.Path(), home.File("server.out"), environment));
    ASSERT_TRUE(server.WaitExit(20s)) << "still running without a module";
    EXPECT_EQ(server.ExitCode(), 1) << server.Output();
    EXPECT_NE(server.Output().find("no server module"), std::string::npos) << server.Output();
    EXPECT_EQ(server.Output().find("velmora: serving"), std::string::npos);
    EXPECT_FALSE(SmtpClient().Connect(port));

    StartServer();
    // A session mid-transaction; data cut off is never spooled (SmtpServerModule).
    SmtpClient idle, busy;
    Open(idle);
    Open(busy);
    EXPECT_EQ(Code(busy.Command("MAIL FROM:<bob@localhost>")), 250);
    ASSERT_TRUE(server.Signal(SIGTERM));
    ASSERT_TRUE(server.WaitExit(10s)) << "still running 10 s after SIGTERM";
    EXPECT_EQ(server.ExitCode(), 0) << server.Output();
    // Both sessions were told (421) or closed; neither is left hanging.
    for (SmtpClient* client : {&idle, &busy}) {
        const std::string reply = client->Reply(5s);
        EXPECT_TRUE(Code(reply) == 421 || reply.empty()) << reply;
    }

    // Everything was let go: the same home and port serve again at once.
    StartServer();
    SmtpClient again;
    Open(again);
    EXPECT_EQ(Code(again.Command("QUIT")), 221);
    StopServer();
}

// Senders on several sessions keep sending; the server is killed with
// SIGKILL right after the k-th 250 of a round, restarted, and the next
// round begins. Some messages go to a remote recipient as well, so the
// outbound queue is caught mid-write too. A last restart routes what the
// killed servers left in the spool; then the server is stopped cleanly.
// Every message answered 250 is in the Inbox exactly once.
// Eight senders keep the delivery workers storing at once, so kills land
// inside group commits of several messages.
TEST_F(E2eCrash, Kill9NeverLosesAMessageThatWasAnswered250NorLeavesABrokenOne) {
    constexpr int kSessions = 8;
    const std::vector<int> killAfter = {6, 15, 30};
    std::vector<std::string> accepted;                         // subjects answered 250
    std::map<std::string, std::pair<std::size_t, bool>> sent;  // round, has a remote recipient
    std::mutex lock;
    std::condition_variable changed;
    for (std::size_t round = 0; round < killAfter.size(); ++round) {
        StartServer();
        const std::size_t target = accepted.size() + static_cast<std::size_t>(killAfter[round]);
        std::atomic<bool> stop{false};
        std::vector<std::thread> senders;
        for (int s = 0; s < kSessions; ++s) {
            senders.emplace_back([&, round, s] {
                SmtpClient client;
                if (!client.Connect(port) || Code(client.Reply()) != 220 ||
                    Code(client.Command("EHLO crash.test")) != 250)
                    return;
                for (int n = 0; !stop.load(); ++n) {
                    const std::string subject =
                        "crash " + std::to_string(round) + "-" + std::to_string(s) + "-" + std::to_string(n);
                    const bool remote = n % 3 == 0;
                    std::vector<std::string> to = {"alice@localhost"};
                    if (remote) to.push_back("carol@remote.example");
                    const std::string text = "Subject: " + subject + "\r\n\r\n" + std::string(2000 + 500 * s, 'k');
                    if (Code(Transaction(client, "bob@localhost", to, text)) != 250) return;
                    std::lock_guard<std::mutex> guard(lock);
                    accepted.push_back(subject);
                    sent[subject] = {round, remote};
                    changed.notify_all();
                }
            });
        }
        {
            std::unique_lock<std::mutex> guard(lock);
            EXPECT_TRUE(changed.wait_for(guard, 60s, [&] { return accepted.size() >= target; }))
                << "round " << round << ": only " << accepted.size() << " accepted";
            server.Kill();  // SIGKILL to the server, at once
        }
        stop = true;
        for (std::thread& sender : senders) sender.join();
    }
    ASSERT_FALSE(accepted.empty());

    StartServer();
    EXPECT_TRUE(WaitForAllInInbox(accepted, kDeliveryWait)) << home.SpoolFiles().size() << " spool files left\n" << server.Output();
    StopServer();

    const std::vector<std::string> texts = home.InboxTexts("alice");
    std::vector<std::string> outbox;
    for (const std::string& file : home.OutboxFiles()) outbox.push_back(TestHome::ReadFile(file));
    for (const std::string& subject : accepted) {
        const std::size_t copies = CountIn(texts, subject);
        EXPECT_GE(copies, 1u) << subject << " was answered 250 and is lost";
        // Nor a second copy: a kill after a batch's commit but before its
        // spool files went leaves them recorded as served.
        EXPECT_LE(copies, 1u) << subject << " was delivered twice";
        if (sent[subject].second) {
            EXPECT_GE(CountIn(outbox, subject), 1u) << subject << " was never queued";
        }
    }
    // Every queue row names a queue file that exists.
    std::istringstream queue(home.Sql("SELECT DISTINCT MailFile FROM OutBoundMails"));
    for (std::string row; std::getline(queue, row);)
        EXPECT_TRUE(std::filesystem::exists(home.File("Outbox/" + std::filesystem::path(row).filename().string())))
            << row;

    // Nor does a kill leave a broken message in the mailbox: each listed
    // message has its file, whole, under an id no other listing shares. A kill
    // between writing a file and listing it may leave the file unlisted; the
    // next start removes it, and the spool delivers the message again.
    const std::string aliceId = home.Sql("SELECT aAccountId FROM Accounts WHERE aUserName = 'alice'");
    std::istringstream rows(home.Sql("SELECT mMailId || ' ' || mMailSize FROM Mails WHERE aAccountId = " + aliceId));
    std::size_t listed = 0;
    for (std::string row; std::getline(rows, row);) {
        std::istringstream fields(row);
        std::string id, size;
        fields >> id >> size;
        const std::string file = home.File("mail/QIRN" + aliceId + "/Inbox/" + id + ".mel");
        ASSERT_TRUE(std::filesystem::exists(file)) << "listed without a file: " << id;
        EXPECT_EQ(size, std::to_string(TestHome::ReadFile(file).size())) << "listing and file disagree: " << file;
        ++listed;
    }
    EXPECT_GT(listed, 0u);
    // What a kill left unlisted went at the next start.
    EXPECT_EQ(home.InboxFiles("alice").size(), listed) << "unlisted message files remain";
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) - COUNT(DISTINCT mMailId) FROM Mails"), 0) << "mail ids repeat";
}
