// A backup taken while senders keep the server busy, put back into a new
// home: every message answered 250 before the backup began is there, each
// listed message has its file, and a restore refuses a served home and a
// backup that never finished.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "E2eFixture.h"

namespace {

using E2eBackup = E2eFixture;
using namespace std::chrono_literals;

}  // namespace

TEST_F(E2eBackup, ABackupUnderLoadRestoresEveryMessageAcceptedBeforeIt) {
    StartServer();
    std::mutex lock;
    std::vector<std::string> accepted;
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int s = 0; s < 2; ++s) {
        senders.emplace_back([&, s] {
            SmtpClient client;
            if (!client.Connect(port) || Code(client.Reply()) != 220 || Code(client.Command("EHLO b.test")) != 250)
                return;
            for (int n = 0; !stop.load(); ++n) {
                const std::string subject = "load " + std::to_string(s) + "-" + std::to_string(n);
                const std::string text = "Subject: " + subject + "\r\n\r\n" + std::string(3000, 'b');
                if (Code(Transaction(client, "bob@localhost", {"alice@localhost"}, text)) != 250) return;
                const std::lock_guard<std::mutex> guard(lock);
                accepted.push_back(subject);
            }
        });
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::lock_guard<std::mutex> guard(lock);
            return accepted.size() >= 20;
        },
        kDeliveryWait));
    std::vector<std::string> before;
    {
        const std::lock_guard<std::mutex> guard(lock);
        before = accepted;
    }
    const std::string backup = home.File("backup");
    const RunResult taken = home.Velmora({"backup", backup});
    stop = true;
    for (std::thread& sender : senders) sender.join();
    ASSERT_EQ(taken.status, 0) << taken.output;
    EXPECT_NE(taken.output.find("running server"), std::string::npos) << taken.output;

    // A served home is not restored into.
    const RunResult served = home.Velmora({"restore", backup, "--yes"});
    EXPECT_EQ(served.status, 1);
    EXPECT_NE(served.output.find("served by process"), std::string::npos) << served.output;
    StopServer();

    MailHome copy;
    ASSERT_TRUE(copy.Setup());
    // Without its marker a backup is no backup.
    std::filesystem::rename(backup + "/BACKUP-COMPLETE", backup + "/marker");
    const RunResult half = copy.Velmora({"restore", backup});
    EXPECT_EQ(half.status, 1);
    EXPECT_NE(half.output.find("no complete backup"), std::string::npos) << half.output;
    std::filesystem::rename(backup + "/marker", backup + "/BACKUP-COMPLETE");
    const RunResult restored = copy.Velmora({"restore", backup});
    ASSERT_EQ(restored.status, 0) << restored.output;

    // What the backup caught in the spool is delivered by the restored home.
    ServerProcess second;
    ASSERT_TRUE(second.Start(copy.Path(), copy.File("server.out"), {}));
    ASSERT_TRUE(second.WaitServing()) << second.Output();
    EXPECT_TRUE(WaitUntil([&] { return copy.SpoolFiles().empty(); }, kDeliveryWait));
    const std::vector<std::string> texts = copy.InboxTexts("alice");
    for (const std::string& subject : before) {
        const std::string line = "Subject: " + subject + "\r\n";
        EXPECT_TRUE(std::any_of(texts.begin(), texts.end(),
                                [&](const std::string& t) { return t.find(line) != std::string::npos; }))
            << subject << " was accepted before the backup and is not in the restored home";
    }
    const std::string aliceId = copy.Sql("SELECT aAccountId FROM Accounts WHERE aUserName = 'alice'");
    EXPECT_EQ(static_cast<std::size_t>(copy.SqlNumber("SELECT Count(*) FROM Mails WHERE aAccountId = " + aliceId)),
              copy.InboxFiles("alice").size())
        << "rows and message files disagree";
    second.Kill();
}
