// The dial object on a phone book of shell one-liners that record their
// calls: the retry rule (n tries, then a cancel; 0 retries, one try), the
// redial interval on an injected clock, the user ending the call (a cancel
// only without a console), an up command that hangs (killed, a failed
// dial), and a link that counts as up only once its status command says so.
#include <gtest/gtest.h>

#include <thread>

#include "TestHome.h"
#include "TestPeers.h"
#include "cycle/CDialConnection.h"
#include "platform/Home.h"

namespace {

using namespace std::chrono_literals;
using Clock = CDialConnection::Clock;

class DialConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { Home::Use(home.Path()); }

    // One entry "Line" whose up command is `up` (a shell text).
    CPhoneBook Book(const std::string& up, const std::string& extra = "") {
        CPhoneBook book;
        book.Parse("[Line]\nup = sh -c \"echo up >> " + home.File("calls") + "; " + up +
                   "\"\ndown = sh -c \"echo down >> " + home.File("calls") + "\"\n" + extra);
        EXPECT_TRUE(book.Problems().empty());
        return book;
    }

    CDialConnection::Hooks Hooks() {
        CDialConnection::Hooks hooks;
        hooks.show = [this](const std::string& text) {
            std::lock_guard<std::mutex> guard(lock);
            shown += text + "\n";
        };
        hooks.connected = [this] { ++connected; };
        hooks.cancelled = [this] { ++cancelled; };
        hooks.pause = [this](Clock::duration d) {
            std::lock_guard<std::mutex> guard(lock);
            paused += d;
        };
        hooks.now = [this] { return now.load(); };
        return hooks;
    }

    // Waits for the dial to settle in one of its end states (a failed dial
    // reports its state only after its hang-up).
    static int Settle(const CDialConnection& dial) {
        WaitUntil([&] { return dial.GetState() != CDialConnection::kDialing; }, 20s);
        return dial.GetState();
    }

    // The calls recorded once they are what is expected (a cancel's hang-up
    // may still run when the state is told), or after a while what they are.
    std::string Calls(const std::string& expected) const {
        std::string calls;
        WaitUntil([&] { return (calls = TestHome::ReadFile(home.File("calls"))) == expected; }, 5s);
        return calls;
    }
    bool WaitForCancel() {
        return WaitUntil([&] { return cancelled.load() != 0; }, 5s);
    }
    Clock::duration Paused() {
        std::lock_guard<std::mutex> guard(lock);
        return paused;
    }
    std::string Shown() {
        std::lock_guard<std::mutex> guard(lock);
        return shown;
    }

    TestHome home;
    std::mutex lock;
    std::string shown;
    std::atomic<int> connected{0}, cancelled{0};
    std::atomic<Clock::time_point> now{Clock::time_point(1000h)};
    Clock::duration paused{};
};

TEST_F(DialConnectionTest, AFailingLineIsTriedRetriesTimesAtTheIntervalThenCancelled) {
    CDialConnection dial(Book("exit 3"), Hooks());
    dial.Configure("Li", "user", "pw", 3, "30");
    ASSERT_TRUE(dial.Dial());
    for (int attempt = 1; attempt <= 2; ++attempt) {
        ASSERT_EQ(Settle(dial), CDialConnection::kFailed) << Shown();
        EXPECT_EQ(dial.RetriesLeft(), 3u - attempt);
        EXPECT_FALSE(dial.RedialDue());
        now = now.load() + 30s;
        ASSERT_TRUE(dial.RedialDue());
        ASSERT_TRUE(dial.Dial());
    }
    ASSERT_EQ(Settle(dial), CDialConnection::kCancelled);
    EXPECT_EQ(Calls("up\ndown\nup\ndown\nup\ndown\n"), "up\ndown\nup\ndown\nup\ndown\n");
    // The cancel is told after its hang-up.
    WaitForCancel();
    EXPECT_EQ(cancelled.load(), 1);
    EXPECT_EQ(connected.load(), 0);
    EXPECT_EQ(Paused(), 3 * CDialConnection::kHangUpPause);
    EXPECT_NE(Shown().find("Dialing Line\nOpening Port\nConnecting Device\nConnecting Device\n"
                           "The link command reported an error.\n"),
              std::string::npos)
        << Shown();

    // No retries: one try.
    std::remove(home.File("calls").c_str());
    CDialConnection once(Book("exit 3"), Hooks());
    once.Configure("", "user", "pw", 0);
    once.Dial();
    EXPECT_EQ(Settle(once), CDialConnection::kCancelled);
    EXPECT_EQ(Calls("up\ndown\n"), "up\ndown\n");
}

TEST_F(DialConnectionTest, TheUserEndingTheCallCancelsOnlyWithoutAConsole) {
    CDialConnection headless(Book("kill -TERM $$"), Hooks());
    headless.Configure("Line", "", "", 5);
    headless.Dial();
    EXPECT_EQ(Settle(headless), CDialConnection::kCancelled);
    WaitForCancel();
    EXPECT_EQ(headless.RetriesLeft(), 0u);
    EXPECT_EQ(cancelled.load(), 1);

    CDialConnection::Hooks console = Hooks();
    console.cancelOnUserEnd = false;
    CDialConnection dial(Book("kill -TERM $$"), console);
    dial.Configure("Line", "", "", 5);
    shown.clear();
    dial.Dial();
    WaitUntil([&] { return Shown().find("by the user") != std::string::npos; }, 10s);
    // Neither a redial nor a cancel: the dialog's Cancel ends it.
    EXPECT_EQ(dial.GetState(), CDialConnection::kDialing);
    EXPECT_EQ(dial.RetriesLeft(), 4u);
    EXPECT_EQ(cancelled.load(), 1);
    EXPECT_NE(Shown().find("The link was disconnected by the user."), std::string::npos);
}

TEST_F(DialConnectionTest, AHangingUpCommandIsKilledAndCountsAsAFailedDial) {
    CDialConnection dial(Book("sleep 30", "timeout = 1\n"), Hooks());
    dial.Configure("Line", "", "", 2);
    const auto started = std::chrono::steady_clock::now();
    dial.Dial();
    EXPECT_EQ(Settle(dial), CDialConnection::kFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_NE(Shown().find("did not finish in time"), std::string::npos);
    EXPECT_EQ(Calls("up\ndown\n"), "up\ndown\n");
}

TEST_F(DialConnectionTest, TheLinkIsUpOnceItsStatusCommandSaysSoAndHangsUpOnce) {
    const std::string flag = home.File("link");
    CDialConnection dial(Book("touch " + flag, "status = test -e " + flag + "\n"), Hooks());
    dial.Configure("Line", "u", "p", 1);
    dial.Dial();
    EXPECT_EQ(Settle(dial), CDialConnection::kConnected);
    EXPECT_EQ(connected.load(), 1);
    EXPECT_EQ(dial.RetriesLeft(), 0u);
    EXPECT_NE(Shown().find("Projection Phase Started\nConnected\nConnected\n"), std::string::npos) << Shown();
    dial.HangUp();
    dial.HangUp();  // nothing left to hang up
    EXPECT_EQ(Calls("up\ndown\n"), "up\ndown\n");
    EXPECT_EQ(Paused(), CDialConnection::kHangUpPause);

    // An entry that is not in the book cannot even be dialed.
    CDialConnection missing(Book("true"), Hooks());
    missing.Configure("Elsewhere", "", "", 3);
    EXPECT_FALSE(missing.Dial());
    EXPECT_EQ(missing.GetState(), CDialConnection::kCancelled);
    EXPECT_EQ(cancelled.load(), 1);
}

}  // namespace
