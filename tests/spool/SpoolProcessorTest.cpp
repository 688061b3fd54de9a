// CMailSpoolProcessor: which files a scan routes, that a bad file is left in
// place without stopping the others, and that the thread routes mail that
// was spooled before it started (a restart) and mail spooled while it runs.
#include "SpoolTestSupport.h"

#include "spool/CMailSpoolProcessor.h"
#include "spool/CMailSpooler.h"
#include "spool/SpoolFile.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <map>
#include <set>
#include <thread>

#include "TestPeers.h"
#include "foundation/SettingsCatalogue.h"

using namespace spooltest;

namespace {

// Reads each file as the base router does, records what it saw, and can
// be told to refuse.
class RecordingRouter : public CSpoolRouter {
public:
    bool RouteSpoolFile(const std::string& path, CAccountDatabase* database, std::string& reason) override {
        std::unique_lock<std::mutex> guard(lock);
        offered.push_back(path.substr(path.rfind('/') + 1));
        if (refuse) return false;
        spool::ReadResult result;
        auto info = ReadSpoolFile(path, database, &result);
        if (!info) {
            reason = spool::ReadResultText(result);
            return false;
        }
        senders.push_back(info->sender);
        changed.notify_all();
        return true;
    }
    // Waits for count routed messages; the bound only keeps a broken build from hanging.
    bool WaitForRouted(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(60), [&] { return senders.size() >= count; });
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> offered;
    std::vector<std::string> senders;
    bool refuse = false;
};

class SpoolProcessorTest : public SpoolTest {
protected:
    std::string Insert(const std::string& sender) {
        auto info = Mail(sender, "Subject: " + sender + "\r\n\r\nbody\r\n");
        AddRemote(*info, "r", "d");
        std::string path;
        EXPECT_TRUE(WriteSpoolFile(*info, "SMTPSpooler", &path));
        return path.substr(path.rfind('/') + 1);
    }
};

}  // namespace

TEST_F(SpoolProcessorTest, ScanRoutesGoodFilesAndLeavesEverythingElseInPlace) {
    const std::string first = Insert("first@x");
    TestHome::WriteFile("SMTPSpooler/SMF0.tmp", "");                      // being created
    TestHome::WriteFile("SMTPSpooler/SMF1.tmp", "\x05garbage-and-more");  // malformed
    TestHome::WriteFile("SMTPSpooler/.SMF2.part", "half-written");
    TestHome::WriteFile("SMTPSpooler/notes.txt", "not a spool file");
    const std::string second = Insert("second@x");

    RecordingRouter router;
    CMailSpoolProcessor processor;
    processor.SetDatabase(&db);
    processor.SetRouter(&router);

    router.refuse = true;
    EXPECT_EQ(processor.ScanSpoolDirectory(), 0);
    EXPECT_EQ(SpoolEntries().size(), 6u) << "a refused file is never deleted";

    router.refuse = false;
    router.offered.clear();
    EXPECT_EQ(processor.ScanSpoolDirectory(), 2);
    EXPECT_EQ(std::multiset<std::string>(router.offered.begin(), router.offered.end()),
              (std::multiset<std::string>{first, second, "SMF1.tmp"}));
    EXPECT_EQ(router.senders.size(), 2u);
    EXPECT_EQ(SpoolEntries(), (std::vector<std::string>{".SMF2.part", "SMF0.tmp", "SMF1.tmp", "notes.txt"}));

    // The bad file is tried again at the next scan and still left.
    EXPECT_EQ(processor.ScanSpoolDirectory(), 0);
    EXPECT_TRUE(std::filesystem::exists("SMTPSpooler/SMF1.tmp"));

    // The base router, used when none is set, accepts a readable file.
    CMailSpoolProcessor plain;
    Insert("third@x");
    EXPECT_EQ(plain.ScanSpoolDirectory(), 1);
    EXPECT_EQ(SpoolEntries().size(), 4u);
}

TEST_F(SpoolProcessorTest, ThreadRoutesMailLeftFromAnEarlierRunAndMailArrivingWhileItRuns) {
    AddAccount(1, "alice");
    {
        // An earlier run accepted two messages and stopped before routing them.
        CMailSpooler spooler(&db);
        for (const char* sender : {"early1@x", "early2@x"}) {
            auto info = Mail(sender, "m");
            AddLocal(*info, "alice", "");
            ASSERT_EQ(spooler.InsertMail(info.release()), 1);
        }
        RecordingRouter refusing;
        refusing.refuse = true;
        CMailSpoolProcessor earlier;
        earlier.SetRouter(&refusing);
        ASSERT_TRUE(earlier.StartProcessing());
        earlier.StopProcessing();
        EXPECT_FALSE(earlier.IsRunning());
    }
    ASSERT_EQ(SpoolEntries().size(), 2u);

    RecordingRouter router;
    CMailSpoolProcessor processor;
    processor.SetDatabase(&db);
    processor.SetRouter(&router);
    ASSERT_TRUE(processor.StartProcessing());
    ASSERT_TRUE(router.WaitForRouted(2));

    CMailSpooler spooler(&db);
    auto info = Mail("late@x", "m");
    AddRemote(*info, "r", "d");
    ASSERT_EQ(spooler.InsertMail(info.release()), 1);
    ASSERT_TRUE(router.WaitForRouted(3));
    processor.StopProcessing();
    EXPECT_FALSE(processor.IsRunning());

    EXPECT_EQ(std::multiset<std::string>(router.senders.begin(), router.senders.end()),
              (std::multiset<std::string>{"early1@x", "early2@x", "late@x"}));
    EXPECT_TRUE(SpoolEntries().empty());
}

TEST_F(SpoolProcessorTest, WorkersRouteFilesAtOnceButEachFileInOneHandOnly) {
    // Each file is held until the next one is taken (or none is left), so
    // that files overlap; any file seen twice at once, or routed twice, is a
    // fault.
    class SlowRouter : public CSpoolRouter {
    public:
        bool RouteSpoolFile(const std::string& path, CAccountDatabase*, std::string&) override {
            std::unique_lock<std::mutex> guard(lock);
            if (!busy.insert(path).second) ++overlaps;
            most = std::max(most, busy.size());
            const int ticket = ++taken;
            done.notify_all();
            done.wait_for(guard, std::chrono::seconds(2),
                          [&] { return taken > ticket || busy.size() + routed.size() >= kFiles; });
            busy.erase(path);
            ++routed[path];
            done.notify_all();
            return true;
        }
        const std::size_t kFiles = 12;
        std::mutex lock;
        std::condition_variable done;
        std::set<std::string> busy;
        std::map<std::string, int> routed;
        std::size_t most = 0;
        int overlaps = 0;
        int taken = 0;
    } router;

    // Workers waiting on a database server's answers come in larger numbers, unless set.
    EXPECT_GE(CMailSpoolProcessor::ConfiguredWorkerCount(true), 8);
    SetSettingDword(settings::kPreferencesKeyPath, "SpoolThreadCount", 3);
    EXPECT_EQ(CMailSpoolProcessor::ConfiguredWorkerCount(), 3);
    EXPECT_EQ(CMailSpoolProcessor::ConfiguredWorkerCount(true), 3);
    for (int i = 0; i < 6; ++i) Insert("early" + std::to_string(i) + "@x");
    CMailSpoolProcessor processor;
    processor.SetRouter(&router);
    ASSERT_TRUE(processor.StartProcessing());
    EXPECT_EQ(processor.GetWorkerCount(), 3);
    for (int i = 0; i < 6; ++i) Insert("late" + std::to_string(i) + "@x");
    {
        std::unique_lock<std::mutex> guard(router.lock);
        ASSERT_TRUE(router.done.wait_for(guard, std::chrono::seconds(60), [&] { return router.routed.size() >= 12; }));
    }
    // A scan on another thread meanwhile finds nothing it may take.
    EXPECT_EQ(processor.ScanSpoolDirectory(), 0);
    processor.StopProcessing();
    EXPECT_EQ(router.overlaps, 0);
    EXPECT_GE(router.most, 2u);
    EXPECT_EQ(router.routed.size(), 12u);
    for (const auto& [path, times] : router.routed) EXPECT_EQ(times, 1) << path;
    EXPECT_TRUE(SpoolEntries().empty());
}

TEST_F(SpoolProcessorTest, WithoutTheDirectoryThereIsNoThread) {
    CMailSpoolProcessor processor("NoSuchDirectory");
    EXPECT_FALSE(processor.StartProcessing());
    EXPECT_FALSE(processor.IsRunning());
    processor.StopProcessing();  // harmless without a thread
}
