// A full disk while several sessions send: the home is on a small file
// system of its own (tmpfs, so the test needs root and skips otherwise),
// filled by another writer in the middle of the stream while the server is
// held (SIGSTOP), so that what it has in hand meets the full disk. Intake
// then defers or fails messages, delivery cannot store and the database refuses its
// rows; once room is made again every message answered 250 is in its
// mailbox exactly once.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "E2eFixture.h"

namespace {

namespace fs = std::filesystem;

// The home's content moved onto a tmpfs mounted over the home; unmounted
// (lazily, whatever still holds it) when the test ends.
class SmallDisk {
public:
    bool Mount(const std::string& home, std::uint64_t bytes) {
        const std::string aside = home + ".aside";
        std::error_code error;
        fs::create_directory(aside, error);
        fs::copy(home, aside, fs::copy_options::recursive, error);
        if (error) return false;
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        if (::mount("tmpfs", home.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) return false;
        path = home;
        fs::copy(aside, home, fs::copy_options::recursive, error);
        fs::remove_all(aside);
        return !error;
    }
    ~SmallDisk() {
        if (!path.empty()) ::umount2(path.c_str(), MNT_DETACH);
    }

private:
    std::string path;
};

}  // namespace

using E2eFullDisk = E2eFixture;

TEST_F(E2eFullDisk, AFullDiskInTheMiddleOfTheStreamLosesAndDuplicatesNoMessageAnswered250) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the small file system needs root";
    SmallDisk disk;
    // Room for the home and the spool's reserve (new mail is deferred below
    // 64 MB free), and a little more for the stream before the fill.
    ASSERT_TRUE(disk.Mount(home.Path(), 96ull << 20)) << "tmpfs: " << std::strerror(errno);
    // What the full disk refused is tried again soon after there is room.
    ASSERT_TRUE(home.SetDword("Preferences", "SpoolScanInterval", 200));
    StartServer();

    constexpr int kSessions = 6;
    std::vector<std::string> accepted;
    std::mutex lock;
    std::atomic<int> refused{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSessions; ++s) {
        senders.emplace_back([&, s] {
            for (int n = 0; !stop.load() && n < 400; ++n) {
                SmtpClient client;
                if (!client.Connect(port) || Code(client.Reply()) != 220 ||
                    Code(client.Command("EHLO full.test")) != 250)
                    return;
                // A session may end at a refusal: each message on its own session.
                const std::string subject = "full " + std::to_string(s) + "-" + std::to_string(n);
                const std::string text = "Subject: " + subject + "\r\n\r\n" + std::string(8000 + 1000 * s, 'd');
                const int code = Code(Transaction(client, "bob@localhost", {"alice@localhost"}, text));
                client.Command("QUIT");
                if (code != 250) {
                    ++refused;
                    continue;
                }
                std::lock_guard<std::mutex> guard(lock);
                accepted.push_back(subject);
            }
        });
    }
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::lock_guard<std::mutex> guard(lock);
            return accepted.size() >= 20;
        },
        kDeliveryWait));
    // Another writer takes the rest of the disk while the server is held,
    // so the messages in its spool and in its batches meet the full disk.
    ASSERT_TRUE(server.Signal(SIGSTOP));
    const std::string filler = home.File("filler");
    {
        std::ofstream out(filler, std::ios::binary);
        const std::string block(64 * 1024, 'f');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size())) && out.flush()) {
        }
    }
    EXPECT_LT(fs::space(home.Path()).available, 64u * 1024);
    ASSERT_TRUE(server.Signal(SIGCONT));
    const int refusedAtFill = refused.load();
    EXPECT_TRUE(WaitUntil([&] { return refused.load() >= refusedAtFill + 4 * kSessions; }, kDeliveryWait))
        << refused.load();
    stop = true;
    for (std::thread& sender : senders) sender.join();

    fs::remove(filler);
    EXPECT_TRUE(WaitForAllInInbox(accepted, kDeliveryWait * 2)) << home.SpoolFiles().size() << " spool files left\n" << server.Output();
    StopServer();

    const std::vector<std::string> texts = home.InboxTexts("alice");
    for (const std::string& subject : accepted) EXPECT_EQ(CountIn(texts, subject), 1u) << subject;
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) - COUNT(DISTINCT mMailId) FROM Mails"), 0) << "mail ids repeat";
    EXPECT_EQ(static_cast<std::size_t>(home.SqlNumber("SELECT COUNT(*) FROM Mails")), texts.size());
}
