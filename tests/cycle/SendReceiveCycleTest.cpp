// The send and receive cycle on a provisioned home: its status list, its
// triggers against routing's real pending counter, the rules that keep a
// second cycle out while one runs, and a stop during a cycle, also while a
// silent relay host holds it. The worker's
// database maker is where a test holds a cycle busy.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "MailFlowFixture.h"
#include "cycle/CCycleStatus.h"
#include "cycle/CSendReceiveCycle.h"
#include "spool/CMailRouter.h"
#include "spool/MailInfo.h"

namespace {

using namespace std::chrono_literals;

// The cycle's clock under test: the triggers are looked at every 20 ms.
constexpr std::chrono::milliseconds kTestTick{20};

TEST(CycleStatusList, KeepsNewestFirstEmptiesPastOneHundredAndShowsTheStopText) {
    CCycleStatus status;
    status.Apply({CCycleStatus::kStepText, 0, "Sending Mails", 0}, false);
    status.Apply({CCycleStatus::kProgress, 0, "half", 50}, false);  // not a list line
    for (int i = 1; i <= 100; ++i) status.Apply({CCycleStatus::kDetailLine, 0, "line " + std::to_string(i), 0}, false);
    CCycleStatus::Snapshot s = status.Take();
    ASSERT_EQ(s.lines.size(), 101u);  // the most it ever shows
    EXPECT_EQ(s.lines.front(), "line 100");
    EXPECT_EQ(s.lines.back(), "Sending Mails");
    EXPECT_EQ(s.step, "Sending Mails");
    EXPECT_EQ(s.progress, 50);
    EXPECT_EQ(s.progressText, "half");

    // More than 100 lines: emptied before the insert.
    status.Apply({CCycleStatus::kProgressLine, 0, "Connecting", 0}, false);
    s = status.Take();
    EXPECT_EQ(s.lines, std::vector<std::string>{"Connecting"});
    EXPECT_EQ(s.progressText, "Connecting");

    // While a stop is pending, detail lines say so instead.
    status.Apply({CCycleStatus::kDetailLine, 0, "Sending to far.example", 0}, true);
    EXPECT_EQ(status.Take(1).lines, std::vector<std::string>{CCycleStatus::kFinishingLine});
    status.Show();
    EXPECT_TRUE(status.Take().lines.empty());

    // The newest delivery failure outlives the list; other lines leave it.
    EXPECT_EQ(status.Take().lastDeliveryError, "");
    for (const char* line : {"Error in Connecting to far.example 3", "Connecting to near.example",
                             "Connection to near.example lost", "Connection to lost.example", "Error : 1 sqlite"})
        status.Apply({CCycleStatus::kDetailLine, 0, line, 0}, false);
    status.Show();
    EXPECT_EQ(status.Take().lastDeliveryError, "Connection to near.example lost");
}

class SendReceiveCycleTest : public MailFlowTest {
protected:
    void SetUp() override {
        MailFlowTest::SetUp();
        if (HasFatalFailure()) return;
        CMailRouter::ResetPendingOutbound();
        // Relay through the loopback peer: a pass never looks beyond this machine.
        SetSettingDword(settings::kPortsKeyPath, "Use Smart SMTP", 0);
        SetSettingString(settings::kPortsKeyPath, "RemoteGateway Server", "127.0.0.1");
        SetSettingDword(settings::kPortsKeyPath, "RemotePort", static_cast<unsigned>(peer.Port()));
        SetSettingDword(settings::kPreferencesKeyPath, "SendReceiveTick", static_cast<unsigned>(kTestTick.count()));
    }
    void TearDown() override {
        Release();
        cycle.reset();
        MailFlowTest::TearDown();
    }

    // The cycle; with hold, every worker waits in its database maker until Release.
    void Make(bool hold) {
        holding = hold;
        cycle = std::make_unique<CSendReceiveCycle>([this]() -> std::unique_ptr<CMailDatabase> {
            {
                std::unique_lock<std::mutex> guard(lock);
                ++makers;
                changed.notify_all();
                changed.wait(guard, [this] { return !holding; });
                stopSeen = cycle->Status().stopRequested;
            }
            auto own = std::make_unique<CMailDatabase>();
            if (!own->Connect()) return nullptr;
            return own;
        });
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock);
        holding = false;
        changed.notify_all();
    }
    bool WaitForWorkers(int count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, 10s, [&] { return makers >= count; });
    }
    // Lets `count` more ticks of the cycle's clock pass.
    bool WaitForTicks(std::uint64_t count) {
        const std::uint64_t until = cycle->TickCount() + count;
        return WaitUntil([&] { return cycle->TickCount() >= until; }, 10s);
    }
    bool WaitForCycles(std::uint64_t count) {
        return WaitUntil([&] { return cycle->Status().cyclesCompleted >= count && !cycle->IsBusy(); }, 20s);
    }
    // One message for `count` remote recipients, through routing.
    void QueueRemote(int count) {
        auto info = std::make_unique<MailInfo>();
        info->sender = "ann@remote.example";
        for (int i = 0; i < count; ++i)
            info->recipients.push_back(std::make_unique<MailRecipient>("r" + std::to_string(i), "far.example"));
        info->content = Content("From: ann@remote.example\r\nSubject: out\r\n\r\nbody\r\n");
        info->DotsCount = 2;
        ASSERT_EQ(router.RouteMailInfo(std::move(info), Connection(), &db), 1);
    }

    CMailRouter router;
    std::unique_ptr<CSendReceiveCycle> cycle;
    std::mutex lock;
    std::condition_variable changed;
    bool holding = false;
    int makers = 0;
    bool stopSeen = false;
};

TEST_F(SendReceiveCycleTest, MailCountStartsASendOnlyCycleOnceTheCounterReachesIt) {
    SetSettingDword(settings::kPreferencesKeyPath, "SendOnMailCount", 3);
    Make(true);
    ASSERT_TRUE(cycle->Start());
    QueueRemote(2);
    ASSERT_TRUE(WaitForTicks(3));
    EXPECT_FALSE(cycle->IsBusy());
    EXPECT_EQ(CMailRouter::PendingOutbound(), 2u);

    QueueRemote(1);
    ASSERT_TRUE(WaitForWorkers(1));
    const CCycleStatus::Snapshot running = cycle->Status();
    EXPECT_TRUE(running.busy);
    EXPECT_TRUE(running.sendOnly);
    EXPECT_EQ(CMailRouter::PendingOutbound(), 0u);
    Release();
    ASSERT_TRUE(WaitForCycles(1));
    const CCycleStatus::Snapshot done = cycle->Status();
    EXPECT_FALSE(done.sendOnly);
    EXPECT_EQ(done.mainText, "Send and Receive Completed");
    EXPECT_EQ(done.step, "Sending Mails");
    ASSERT_FALSE(done.lines.empty());
    EXPECT_EQ(done.lines.back(), "Sending Mails");
}

TEST_F(SendReceiveCycleTest, WhileACycleRunsRequestsAreDroppedAndTheCountTriggerIsLost) {
    SetSettingDword(settings::kPreferencesKeyPath, "SendOnMailCount", 3);
    Make(true);
    ASSERT_TRUE(cycle->Start());
    cycle->PostMessage(CSendReceiveCycle::kCycleRequest);
    ASSERT_TRUE(WaitForWorkers(1));
    EXPECT_FALSE(cycle->Status().sendOnly);

    cycle->PostMessage(CSendReceiveCycle::kCycleRequest);
    QueueRemote(3);
    // Both are taken (and dropped) by the next ticks.
    EXPECT_TRUE(WaitUntil([] { return CMailRouter::PendingOutbound() == 0; }, 5s));
    ASSERT_TRUE(WaitForTicks(2));
    Release();
    ASSERT_TRUE(WaitForCycles(1));
    ASSERT_TRUE(WaitForTicks(3));
    EXPECT_EQ(cycle->Status().cyclesCompleted, 1u);
    EXPECT_FALSE(cycle->IsBusy());
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(makers, 1);
}

TEST_F(SendReceiveCycleTest, StartUpSwitchRunsOneCycleAndStopWaitsForItAfterAskingItToStop) {
    SetSettingDword(settings::kPreferencesKeyPath, "SendReceiveOnStartup", 1);
    Make(true);
    ASSERT_TRUE(cycle->Start());
    EXPECT_TRUE(cycle->IsBusy());
    ASSERT_TRUE(WaitForWorkers(1));
    std::thread releaser([this] {
        WaitUntil([this] { return cycle->Status().stopRequested; }, 10s);
        Release();
    });
    cycle->Stop();
    releaser.join();
    EXPECT_TRUE(stopSeen);
    const CCycleStatus::Snapshot s = cycle->Status();
    EXPECT_FALSE(s.busy);
    EXPECT_FALSE(s.stopRequested);
    EXPECT_EQ(s.cyclesCompleted, 1u);
    EXPECT_EQ(s.mainText, "Send and Receive Completed");
    // Stopped: a request starts nothing, and no tick comes to take it (two
    // ticks' time: nothing running could show it sooner).
    const std::uint64_t ticked = cycle->TickCount();
    cycle->PostMessage(CSendReceiveCycle::kCycleRequest);
    std::this_thread::sleep_for(kTestTick * 2);
    EXPECT_FALSE(cycle->IsBusy());
    EXPECT_EQ(cycle->TickCount(), ticked);
}

TEST_F(SendReceiveCycleTest, AStopWhileTheRelayHostIsSilentEndsTheCycleWithinSeconds) {
    SilentSmtpPeer silent;
    SetSettingDword(settings::kPortsKeyPath, "RemotePort", static_cast<unsigned>(silent.Port()));
    QueueRemote(1);
    Make(false);
    ASSERT_TRUE(cycle->Start());
    cycle->PostMessage(CSendReceiveCycle::kStartCycle);
    // Waiting for the answer to the end of data: ten minutes unless stopped.
    ASSERT_TRUE(WaitUntil([&] { return silent.dataEnded.load(); }, 20s));
    const auto start = std::chrono::steady_clock::now();
    cycle->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, StopSignal::kGrace + 3s);
    EXPECT_EQ(cycle->Status().cyclesCompleted, 1u);
    EXPECT_EQ(Text("SELECT COUNT(*) FROM OutBoundMails WHERE Sent = false"), "1") << "the message left the queue";
}

}  // namespace
