// The SMTP server's limits against clients that would hold it up or probe
// it: sessions per address, deadlines that trickled bytes do not move, the
// cap on commands without mail, refused recipients counting as errors, the
// room kept for new addresses and the short wait of idle clients when crowded,
// mailbox limits at RCPT, and the bound on a recipient look-up that the
// database does not answer. Sessions run on a socket pair with shortened
// time-outs; the client address is given to them.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "PostgresTestServer.h"
#include "CClientCounter.h"
#include "CSessionGate.h"
#include "CSmtpSession.h"
#include "DatabaseTest.h"
#include "SessionPair.h"
#include "SmtpClient.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "spool/CMailSpooler.h"
#include "spool/MailInfo.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Whether a thread of this process is asleep in a timed sleep (as SQLite's
// busy handler sleeps between its tries at a lock), from the system call it
// is blocked in.
bool InTimedSleep(pid_t thread) {
    const std::string text = TestHome::ReadFile("/proc/self/task/" + std::to_string(thread) + "/syscall");
    const long call = std::atol(text.c_str());
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
#ifdef SYS_nanosleep
    if (call == SYS_nanosleep) return true;
#endif
    return call == SYS_clock_nanosleep;
}

// Takes every message and keeps nothing.
class CountingSpooler : public CMailSpooler {
public:
    CountingSpooler() : CMailSpooler(nullptr) {}
    int InsertMail(MailInfo* info) override { return delete info, ++taken, 1; }
    int taken = 0;
};

class SmtpServerLimits : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        WorkInHome();  // the spool directory messages are received into
        // alice: 2 KB receive limit; bob: 2 KB mailbox, filled by a test; carol: no limits.
        ASSERT_TRUE(db.CreateAccount("alice", "secret1", false, false, "alice@example.org", 0, 1, 1, 2, 0));
        ASSERT_TRUE(db.CreateAccount("bob", "secret1", false, false, "bob@example.org", 2, 1, 1, 0, 0));
        ASSERT_TRUE(db.CreateAccount("carol", "secret1", false, false, "carol@example.org", 0, 1, 1, 0, 0));
        // Short deadlines, no tarpit unless a test wants them.
        settings.commandTimeoutMs = settings.dataBlockTimeoutMs = settings.dataTimeoutMs = 5000;
        settings.databaseWaitMs = 5000;
        settings.tarpitStepMs = 0;
    }
    // The greeting, EHLO and MAIL FROM done.
    static void Begin(SessionPair& session, const std::string& mail = "MAIL FROM:<s@example.org>") {
        ASSERT_EQ(session.Reply().substr(0, 4), "220 ");
        ASSERT_EQ(session.Command("EHLO client.test").substr(0, 4), "250-");
        ASSERT_EQ(session.Command(mail).substr(0, 3), "250");
    }
    CSmtpSettings settings;
    CountingSpooler spooler;
};

}  // namespace

TEST(SmtpServerClients, EachAddressHoldsAtMostItsShareAndLoopbackIsExempt) {
    CClientCounter counter;
    const CClientAddress crowd = CClientAddress::FromText("198.51.100.2");
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(counter.Admit(crowd, 10)) << i;
    EXPECT_FALSE(counter.Admit(crowd, 10));  // the 11th
    EXPECT_TRUE(counter.Admit(CClientAddress::FromText("203.0.113.2"), 10));
    counter.Release(crowd);
    EXPECT_TRUE(counter.Admit(crowd, 10));
    // An IPv6 site is one client however many addresses of its /64 it uses.
    for (const char* site : {"2001:db8:5::2", "2001:db8:5::3", "2001:db8:5::4"})
        ASSERT_TRUE(counter.Admit(CClientAddress::FromText(site), 3));
    EXPECT_FALSE(counter.Admit(CClientAddress::FromText("2001:db8:5::ffff"), 3));
    EXPECT_TRUE(counter.Admit(CClientAddress::FromText("2001:db8:6::2"), 3));
    for (const char* machine : {"127.0.0.1", "::1"})
        for (int i = 0; i < 50; ++i) ASSERT_TRUE(counter.Admit(CClientAddress::FromText(machine), 1));
}

// Twenty addresses, a hundred connections each, taken in turns as a flood
// arrives: they fill the listener but for the reserve, and a client from
// any other address still gets in.
TEST(SmtpServerClients, BusyAddressesLeaveARoomForNewOnes) {
    CSessionGate gate;
    gate.SetLimits(150, 256, 10);  // the setting lowers the descriptors' cap: a reserve of 15
    auto crowd = [](int a) { return CClientAddress::FromText("198.51.100." + std::to_string(a + 1)); };
    int admitted = 0;
    for (int round = 0; round < 100; ++round)
        for (int a = 0; a < 20; ++a) admitted += gate.Admit(crowd(a)) == CSessionGate::Verdict::Admitted;
    EXPECT_EQ(admitted, 135);
    EXPECT_TRUE(gate.Crowded());
    for (int n = 0; n < 15; ++n)
        ASSERT_EQ(gate.Admit(CClientAddress::FromText("203.0.113." + std::to_string(n + 1))),
                  CSessionGate::Verdict::Admitted) << n;
    EXPECT_EQ(gate.Admit(CClientAddress::FromText("203.0.113.200")), CSessionGate::Verdict::Full);
    gate.Release(crowd(3));
    EXPECT_EQ(gate.Admit(crowd(3)), CSessionGate::Verdict::Full);  // a busy address gets no reserved room
    EXPECT_EQ(gate.Admit(CClientAddress::FromText("127.0.0.1")), CSessionGate::Verdict::Admitted);
}

// Once the listener is crowded a client that sent no MAIL gets the short
// time-out, even when the crowd came after its wait began; one that did
// keeps the whole command time-out.
TEST_F(SmtpServerLimits, CrowdedListenersCloseIdleClientsThatSentNoMail) {
    settings.crowdedTimeoutMs = 200;
    CSessionGate gate;
    gate.SetLimits(8, 1000, 10);
    SessionPair sender(&db, &spooler, settings, "192.0.2.1", &gate);
    Begin(sender);
    const auto start = Clock::now();
    SessionPair idle(&db, &spooler, settings, "192.0.2.2", &gate);
    ASSERT_EQ(idle.Reply().substr(0, 4), "220 ");
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(gate.Admit(CClientAddress::FromText("198.51.100." + std::to_string(i + 1))),
                  CSessionGate::Verdict::Admitted);
    EXPECT_EQ(idle.Reply(), "421 mx.test Timeout, closing connection\r\n");
    EXPECT_LT(MillisecondsSince(start), 2500);  // the command time-out is 5000 ms
    EXPECT_GE(MillisecondsSince(start), 200);
    EXPECT_EQ(sender.Command("RCPT TO:<carol@localhost>"), "250 OK\r\n");
}

TEST_F(SmtpServerLimits, TrickledBytesDoNotMoveTheDeadlines) {
    settings.commandTimeoutMs = settings.dataBlockTimeoutMs = 400;
    for (bool inData : {false, true}) {
        SessionPair session(&db, &spooler, settings, "127.0.0.1");
        if (inData) {
            Begin(session);
            ASSERT_EQ(session.Command("RCPT TO:<someone@remote.example>").substr(0, 3), "250");
            ASSERT_EQ(session.Command("DATA").substr(0, 3), "354");
        } else {
            ASSERT_EQ(session.Reply().substr(0, 4), "220 ");
        }
        // One byte every 50 ms kept a time-out that restarted on each byte waiting for ever.
        const auto start = Clock::now();
        std::atomic<bool> answered{false};
        std::thread slow([&] {
            for (int i = 0; i < 40 && !answered && session.Send("x"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        });
        EXPECT_EQ(session.Reply(), "421 mx.test Timeout, closing connection\r\n") << inData;
        answered = true;
        EXPECT_GE(MillisecondsSince(start), 350);
        EXPECT_LT(MillisecondsSince(start), 1200);
        slow.join();
    }
    EXPECT_EQ(spooler.taken, 0);
}

TEST_F(SmtpServerLimits, OnlyAHundredCommandsWithoutMailAndFewErrors) {
    SessionPair session(&db, &spooler, settings);
    ASSERT_EQ(session.Reply().substr(0, 4), "220 ");
    std::string burst;
    for (int i = 0; i < 101; ++i) burst += i % 2 ? "NOOP\r\n" : "RSET\r\n";
    ASSERT_TRUE(session.Send(burst));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(session.Reply(), "250 OK\r\n") << i;
    EXPECT_EQ(session.Reply(), "421 mx.test Too many commands without mail, closing connection\r\n");
    EXPECT_EQ(session.Reply(), "");  // closed

    // Refused recipients are errors, and each one from the third on waits longer.
    settings.tarpitStepMs = 4;
    settings.tarpitCapMs = 12;
    SessionPair prober(&db, &spooler, settings);
    Begin(prober);
    const auto start = Clock::now();
    burst.clear();
    for (int i = 0; i < 1000; ++i)
        burst += "RCPT TO:<user" + std::to_string(i) + (i % 2 ? "@localhost>\r\n" : "@elsewhere.example>\r\n");
    prober.Send(burst);
    int refused = 0;
    std::string reply;
    while (!(reply = prober.Reply()).empty() && reply.substr(0, 3) != "421") ++refused;
    EXPECT_EQ(refused, CSmtpSession::kMaxErrors - 1);  // 550 and 554 alike
    EXPECT_EQ(reply, "421 mx.test Too many errors, closing connection\r\n");
    // From the third error on each reply waited: 4 + 8 + 12 x 15 ms.
    EXPECT_GE(MillisecondsSince(start), 192);
}

TEST_F(SmtpServerLimits, SizeOverALimitOrAFullMailboxIsRefusedBeforeTheData) {
    std::unique_ptr<CLocalAccount> bob(db.LookupLocalAccount("bob"));
    auto filler = Content("Subject: filler\r\n\r\n" + std::string(2100, 'f') + "\r\n");
    ASSERT_TRUE(bob && bob->StoreInFolder(filler.get(), filler->GetLength(), CLocalAccount::kInbox));
    SessionPair session(&db, &spooler, settings);
    Begin(session, "MAIL FROM:<s@example.org> SIZE=3000");
    EXPECT_EQ(session.Command("RCPT TO:<alice@localhost>"), "552 5.2.3 Message exceeds the recipient's size limit\r\n");
    // Larger than bob's whole mailbox: no deletion makes room, so no retry.
    EXPECT_EQ(session.Command("RCPT TO:<bob@localhost>"),
              "552 5.2.2 Message exceeds the recipient's mailbox size\r\n");
    EXPECT_EQ(session.Command("RCPT TO:<carol@localhost>"), "250 OK\r\n");
    EXPECT_EQ(session.Command("RSET"), "250 OK\r\n");
    // Within the limit but beyond the room left: worth another try.
    EXPECT_EQ(session.Command("MAIL FROM:<s@example.org> SIZE=1500"), "250 OK\r\n");
    EXPECT_EQ(session.Command("RCPT TO:<bob@localhost>"), "452 4.2.2 Mailbox full, try again later\r\n");
    EXPECT_EQ(session.Command("RSET"), "250 OK\r\n");

    // Without SIZE only the full mailbox is certain to refuse; an oversize
    // message at the end of data is the end-to-end smoke test's.
    EXPECT_EQ(session.Command("MAIL FROM:<s@example.org>"), "250 OK\r\n");
    EXPECT_EQ(session.Command("RCPT TO:<bob@localhost>").substr(0, 4), "452 ");
    EXPECT_EQ(session.Command("RCPT TO:<alice@localhost>"), "250 OK\r\n");
}

TEST_F(SmtpServerLimits, ALockedDatabaseGetsTryLaterWithinTheBound) {
    if (PostgresTestServer::FromEnvironment()) GTEST_SKIP() << "a whole-database write lock is SQLite's";
    // A delivery writing on the shared connection waits for a lock another
    // connection holds; the look-up queues behind it on the same connection.
    CMailDatabase other;
    ASSERT_TRUE(other.Open());
    ASSERT_TRUE(OdbcSucceeded(SQLSetConnectAttr(other.GetConnectionHandle(), SQL_ATTR_AUTOCOMMIT,
                                                reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
    {
        OdbcStatement hold(other.GetConnectionHandle());
        ASSERT_TRUE(hold.ExecDirect("UPDATE Accounts SET aLogged = true WHERE aUserName = 'carol'"));
    }
    std::atomic<pid_t> deliveryThread{0};
    std::thread delivery([&] {
        deliveryThread = ::gettid();
        Exec("UPDATE Accounts SET aLogged = true WHERE aUserName = 'alice'");
    });
    // The delivery holds the connection, waiting for the lock, before the look-up comes.
    EXPECT_TRUE(WaitUntil([&] { return deliveryThread != 0 && InTimedSleep(deliveryThread); }, std::chrono::seconds(5)));

    settings.databaseWaitMs = 300;
    SessionPair session(&db, &spooler, settings);
    Begin(session);
    const auto start = Clock::now();
    EXPECT_EQ(session.Command("RCPT TO:<carol@localhost>"),
              "451 4.3.0 Recipient lookup timed out, try again later\r\n");
    EXPECT_LT(MillisecondsSince(start), 1000);
    SQLEndTran(SQL_HANDLE_DBC, other.GetConnectionHandle(), SQL_ROLLBACK);
    delivery.join();
    // Once the overrun look-up has ended the next one is answered.
    std::string reply;
    WaitUntil([&] { return (reply = session.Command("RCPT TO:<carol@localhost>")).substr(0, 3) != "451"; },
              std::chrono::seconds(10));
    EXPECT_EQ(reply, "250 OK\r\n");
}
