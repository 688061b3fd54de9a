// The POP3 server module end to end: loaded by the server host from the
// build's module directory on a provisioned home, spoken to over loopback by
// Python's poplib; what the sessions did is read back from the store.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CLoginThrottle.h"
#include "CPop3Session.h"
#include "CPop3Settings.h"
#include "TestContent.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "app/CServerHost.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SettingsCatalogue.h"
#include "store/MailStorePaths.h"

namespace {

// One client's whole run; it exits non-zero (with the reason) at the first surprise.
constexpr const char* kClient = R"PY(
import os, poplib, sys, threading, time
port, sync = int(sys.argv[1]), sys.argv[2]
def session(user='alice', password='secret1'):
    p = poplib.POP3('127.0.0.1', port, timeout=30)
    p.user(user)
    p.pass_(password)
    return p
def refused(user, password, code):
    try:
        session(user, password)
    except poplib.error_proto as e:
        assert code in e.args[0], e.args[0]
        return
    raise AssertionError('login of %s accepted' % user)

# Two mailboxes read side by side on the server's one database connection;
# dave's client goes without QUIT, and what it retrieved is read all the same.
def read_all(user):
    q = session(user)
    for n in range(1, q.stat()[0] + 1):
        q.retr(n)
    q.file.close()
    q.sock.close()
dave = threading.Thread(target=read_all, args=('dave',))
dave.start()

p = poplib.POP3('127.0.0.1', port, timeout=30)
caps = p.capa()
assert all(c in caps for c in ('USER', 'TOP', 'UIDL', 'RESP-CODES')), caps
p.user('alice'); p.pass_('secret1')
uids = [u.split()[1] for u in p.uidl()[1]]
assert len(set(uids)) == 3 and p.uidl(2).split()[2] == uids[1]
for n in (1, 2, 3):
    p.retr(n)
# Mail stored meanwhile waits for the next session: numbers never move.
open(sync + '/in-session', 'w').close()
for attempt in range(500):
    if os.path.exists(sync + '/stored'): break
    time.sleep(0.02)
assert p.stat()[0] == 3 and len(p.uidl()[1]) == 3
dave.join()
# Its session has ended once its mailbox can be opened again.
for attempt in range(500):
    try:
        session('dave').quit()
        break
    except poplib.error_proto:
        time.sleep(0.02)
refused('alice', 'secret1', b'[IN-USE]')
p.quit()
p = session()
assert [u.split()[1] for u in p.uidl()[1]][:3] == uids and p.stat()[0] == 4
p.quit()
refused('alice', 'wrong', b'[AUTH]')
refused('bob', 'secret1', b'[AUTH]')
refused('carol', 'secret1', b'[AUTH]')
refused('erin', 'secret1', b'[AUTH]')
)PY";

class Pop3ServerModule : public ::testing::Test {
protected:
    void SetUp() override {
        const char* build = std::getenv("VELMORA_BUILD_DIR");
        ::setenv("VELMORA_MODULE_DIR", (std::string(build ? build : "..") + "/bin").c_str(), 1);
        ASSERT_TRUE(home.Provision());
        previousDirectory = std::filesystem::current_path();
        std::filesystem::current_path(home.Path());
        CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
        CMailDatabase::SetMailStoreMaker(&mailstore::MakeAccountDirectories);
        port = FreePort();
        ASSERT_NE(port, 0);
        SetSettingDword(settings::kPortsKeyPath, "POP3 Port", static_cast<unsigned>(port));
        SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(FreePort()));
        tlsPort = FreePort();
        SetSettingDword(settings::kPortsKeyPath, "POP3S Port", static_cast<unsigned>(tlsPort));
        Configure();
        host.SetStopTiming(std::chrono::milliseconds(10), std::chrono::milliseconds(10000));
        ASSERT_TRUE(host.StartServerHost());
        started = true;
        CMailDatabase* database = host.GetDatabase();
        ASSERT_TRUE(database->CreateAccount("alice", "secret1", false, false, "alice@example.org", 0, 1, 1, 0, 0));
        ASSERT_TRUE(database->CreateAccount("bob", "secret1", false, false, "bob@example.org", 0, 0, 1, 0, 0));
        ASSERT_TRUE(database->CreateAccount("dave", "secret1", false, false, "dave@example.org", 0, 1, 1, 0, 0));
        ASSERT_TRUE(database->CreateAccount("carol", "secret1", false, false, "carol@example.org", 0, 1, 1, 0, 0));
        ASSERT_TRUE(database->CreateAccount("erin", "secret1", false, false, "erin@example.org", 0, 1, 1, 0, 0));
        OdbcStatement dead(database->GetConnectionHandle());
        ASSERT_TRUE(dead.ExecDirect("UPDATE Accounts SET aIsAlive = 0 WHERE aUserName = 'carol'"));
        // A rights row gone is no grant of the read right.
        ASSERT_TRUE(OdbcStatement(database->GetConnectionHandle())
                        .ExecDirect("DELETE FROM AccessControl WHERE aAccountId = (SELECT aAccountId FROM Accounts "
                                    "WHERE aUserName = 'erin')"));
    }

    // Settings of one test, written before the server starts.
    virtual void Configure() {}

    void TearDown() override {
        if (started) host.StopServerHost();
        if (!previousDirectory.empty()) std::filesystem::current_path(previousDirectory);
    }

    std::unique_ptr<CLocalAccount> Account(const char* name = "alice") {
        std::unique_ptr<CLocalAccount> account(host.GetDatabase()->LookupLocalAccount(name));
        if (account) account->LoadAllFolders();
        return account;
    }

    static std::uint32_t Count(CMailDatabase* database, const std::string& sql) {
        OdbcStatement statement(database->GetConnectionHandle());
        std::uint32_t count = 0;
        return statement.ExecDirect(sql) && statement.BindULong(1, count) && statement.Fetch() ? count : 99;
    }

    bool Store(const std::string& text) {
        return Account()->StoreInFolder(Content(text).get(), static_cast<std::uint32_t>(text.size()),
                                        CLocalAccount::kInbox);
    }

    void RunClient(const char* script) {
        const RunResult run = RunProgram({"python3", "-c", script, std::to_string(port)}, std::chrono::seconds(60));
        EXPECT_EQ(run.status, 0) << run.output;
    }

    TestHome home;
    CServerHost host;
    std::filesystem::path previousDirectory;
    int port = 0;
    int tlsPort = 0;
    bool started = false;
};

// What the end-to-end clients do not reach: CAPA, UIDL stable across
// sessions, [IN-USE] for a second session, RETR marking messages read, the
// lock released at QUIT; two mailboxes read at once; mail delivered during
// a session left for the next one; a wrong password, an account without the
// read right (or without its rights row) and a dead one refused. (The command set, dot lines and deletion are the
// end-to-end test's.)
TEST_F(Pop3ServerModule, LocksTheMailboxMarksWhatIsReadAndRefusesWhoMayNotRead) {
    const std::string texts[] = {
        "From: a@example.org\r\nSubject: one\r\n\r\nfirst body line\r\nsecond body line\r\n",
        "From: a@example.org\r\nSubject: two\r\n\r\n.starts with a dot\r\n..two dots\r\n.\r\nend\r\n",
        "From: a@example.org\r\nSubject: three\r\n\r\nthird\r\n",
    };
    for (const char* name : {"alice", "dave"}) {
        std::unique_ptr<CLocalAccount> account = Account(name);
        ASSERT_TRUE(account);
        for (const std::string& text : texts) {
            auto content = Content(text);
            ASSERT_TRUE(
                account->StoreInFolder(content.get(), static_cast<std::uint32_t>(text.size()), CLocalAccount::kInbox));
        }
    }
    // A fourth message goes in once the client says its session is open.
    const std::string sync = home.Path();
    std::thread late([&] {
        if (!WaitUntil([&] { return std::filesystem::exists(sync + "/in-session"); }, std::chrono::seconds(60))) return;
        const std::string text = "From: a@example.org\r\nSubject: four\r\n\r\nlate\r\n";
        auto content = Content(text);
        std::unique_ptr<CLocalAccount> alice = Account();
        if (alice) alice->StoreInFolder(content.get(), static_cast<std::uint32_t>(text.size()), CLocalAccount::kInbox);
        TestHome::WriteFile(sync + "/stored", "");
    });
    const RunResult run = RunProgram({"python3", "-c", kClient, std::to_string(port), sync}, std::chrono::seconds(90));
    late.join();
    EXPECT_EQ(run.status, 0) << run.output;

    for (const char* name : {"alice", "dave"}) {
        std::unique_ptr<CLocalAccount> account = Account(name);
        for (long n = 1; n <= 3; ++n) EXPECT_TRUE(account->IsRead(n, CLocalAccount::kInbox)) << name << n;
    }
    EXPECT_EQ(Account()->GetMessageCount(false, CLocalAccount::kInbox), 4);
    OdbcStatement logged(host.GetDatabase()->GetConnectionHandle());
    unsigned char flag = 1;
    ASSERT_TRUE(logged.ExecDirect("SELECT aLogged FROM Accounts WHERE aUserName = 'alice'"));
    ASSERT_TRUE(logged.BindBit(1, flag) && logged.Fetch());
    EXPECT_EQ(flag, 0) << "the account lock outlived its session";
}

class Pop3ServerLimits : public Pop3ServerModule {
protected:
    void Configure() override {
        SetSettingDword(settings::kPortsKeyPath, "POP3 Max Sessions", 2);
        SetSettingDword(settings::kPortsKeyPath, "POP3 Timeout", 2);
    }
};

// Two sessions at most: the third client is told so and closed; an idle
// session is closed after the time-out, and its slot serves the next client.
TEST_F(Pop3ServerLimits, RefusesBeyondTheSessionCapAndClosesIdleSessions) {
    constexpr const char* kScript = R"PY(
import socket, sys, time
port = int(sys.argv[1])
def connect():
    s = socket.create_connection(('127.0.0.1', port), timeout=10)
    return s, s.makefile('rb')
a, fa = connect(); assert fa.readline().startswith(b'+OK')
b, fb = connect(); assert fb.readline().startswith(b'+OK')
c, fc = connect(); line = fc.readline()
assert line.startswith(b'-ERR [SYS/TEMP]'), line
assert fc.readline() == b'', 'the refused client stays connected'
start = time.monotonic()
line = fa.readline()
assert line.startswith(b'-ERR'), line
assert fa.readline() == b''
assert fb.readline().startswith(b'-ERR')
elapsed = time.monotonic() - start
assert 1.0 <= elapsed < 8, elapsed
# The closed sessions' slots come free as their threads end.
for attempt in range(250):
    d, fd = connect(); line = fd.readline()
    if not line.startswith(b'-ERR [SYS/TEMP]'): break
    d.close(); time.sleep(0.02)
assert line.startswith(b'+OK'), line
)PY";
    const RunResult run = RunProgram({"python3", "-c", kScript, std::to_string(port)}, std::chrono::seconds(60));
    EXPECT_EQ(run.status, 0) << run.output;
}

class Pop3ServerTls : public Pop3ServerModule {
protected:
    void Configure() override {
        ASSERT_EQ(MakeTestCertificates(home.File("pki")), "");
        SetSettingString(settings::kTlsKeyPath, "Certificate File", home.File("pki/server.pem"));
        SetSettingString(settings::kTlsKeyPath, "Key File", home.File("pki/server.key"));
    }
};

// Real clients checking the certificate against the test authority: poplib
// through STLS and on the implicit port, curl pop3s, openssl -starttls pop3.
TEST_F(Pop3ServerTls, ServesStlsAndImplicitTlsToRealClients) {
    const std::string text = "Subject: tls\r\n\r\n.dotted\r\n";
    ASSERT_TRUE(
        Account()->StoreInFolder(Content(text).get(), static_cast<std::uint32_t>(text.size()), CLocalAccount::kInbox));
    constexpr const char* kPoplib = R"PY(
import poplib, ssl, sys
context = ssl.create_default_context(cafile=sys.argv[3])
p = poplib.POP3('localhost', int(sys.argv[1]), timeout=30); p.stls(context)
assert 'STLS' not in p.capa()
for p in (p, poplib.POP3_SSL('localhost', int(sys.argv[2]), context=context, timeout=30)):
    p.user('alice'); p.pass_('secret1'); assert b'.dotted' in p.retr(1)[1]; p.quit()
)PY";
    const std::string ca = home.File("pki/ca.pem");
    RunResult run = RunProgram({"/usr/bin/python3", "-c", kPoplib, std::to_string(port), std::to_string(tlsPort), ca});
    EXPECT_EQ(run.status, 0) << run.output;
    run = RunProgram(
        {"curl", "-sS", "--cacert", ca, "-u", "alice:secret1", "pop3s://localhost:" + std::to_string(tlsPort) + "/1"});
    EXPECT_NE(run.output.find("Subject: tls"), std::string::npos) << run.output;
    run =
        RunProgram({"/bin/sh", "-c",
                    "printf 'USER alice\\r\\nPASS secret1\\r\\nSTAT\\r\\nQUIT\\r\\n' | "
                    "openssl s_client -quiet -verify_return_error -CAfile " +
                        ca + " -verify_hostname localhost -starttls pop3 -connect 127.0.0.1:" + std::to_string(port)});
    EXPECT_NE(run.output.find("+OK 1 "), std::string::npos) << run.output;
}

// Failed logins wait longer each time; an outside address that keeps failing
// is locked for a while, the machine itself never, and IPv6 counts per /64.
// A lock is two log lines however often the address knocks meanwhile.
TEST(Pop3LoginThrottle, DelaysFailuresAndLocksOnlyOutsideAddresses) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    g_moduleLog.Open(settings::kProductKeyPath, settings::kLogModule, false);
    CPop3Settings settings;
    settings.failureStepMs = 10;
    settings.failureCapMs = 25;
    settings.lockFailures = 3;
    settings.lockMs = 1500;
    CLoginThrottle throttle("POP3");
    const CClientAddress outside = CClientAddress::FromText("203.0.113.7");
    EXPECT_EQ(throttle.Failed(outside, settings).count(), 10);
    EXPECT_EQ(throttle.Failed(outside, settings).count(), 20);
    EXPECT_FALSE(throttle.IsLocked(outside, settings));
    EXPECT_EQ(throttle.Failed(outside, settings).count(), 25);
    // Sessions that try to log in while the address is locked.
    for (int i = 0; i < 20; ++i) {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const UniqueFd mine(pair[0]);
        const std::string login = "USER ann\r\nPASS x\r\n";
        ASSERT_EQ(::send(mine.Get(), login.data(), login.size(), MSG_NOSIGNAL), static_cast<ssize_t>(login.size()));
        ::shutdown(mine.Get(), SHUT_WR);
        CPop3Session(UniqueFd(pair[1]), outside, {nullptr, &throttle, -1, nullptr}, settings).Run();
    }
    // Its end is noticed when the throttle next sees anyone.
    std::string log;
    EXPECT_TRUE(WaitUntil(
        [&] {
            throttle.IsLocked(CClientAddress::FromText("192.0.2.1"), settings);
            log = TestHome::ReadFile(g_moduleLog.FilePath());
            return log.find("POP3 logins from 203.0.113.7: lock ended; 20 login(s) refused") != std::string::npos;
        },
        std::chrono::seconds(10)))
        << log;
    EXPECT_FALSE(throttle.IsLocked(outside, settings));
    EXPECT_NE(log.find("POP3 logins from 203.0.113.7 locked for 1 s after 3 failed"), std::string::npos);
    EXPECT_EQ(log.find("203.0.113.7", log.find("203.0.113.7") + 1), log.rfind("203.0.113.7")) << log;

    const CClientAddress self = CClientAddress::FromText("127.0.0.1");
    for (int i = 0; i < 6; ++i) throttle.Failed(self, settings);
    EXPECT_FALSE(throttle.IsLocked(self, settings));

    for (int i = 0; i < 3; ++i) throttle.Failed(CClientAddress::FromText("2001:db8:1:2::5"), settings);
    EXPECT_TRUE(throttle.IsLocked(CClientAddress::FromText("2001:db8:1:2::99"), settings));
    throttle.Succeeded(CClientAddress::FromText("2001:db8:1:2::5"));
    EXPECT_FALSE(throttle.IsLocked(CClientAddress::FromText("2001:db8:1:2::99"), settings));
    g_moduleLog.Close();
}

// DELE stays in the session until QUIT: a connection that drops (as it does
// when the server dies) leaves every message where it was. A server that
// died during QUIT left rows marked and maybe a file already gone: the next
// start finishes those deletions and touches nothing else.
TEST_F(Pop3ServerModule, DeletionsTakeEffectAtQuitAndAnInterruptedQuitIsFinishedAtStart) {
    SetSettingDword(settings::kPreferencesKeyPath, "CleanUpAfterDelete", 1);
    for (const char* subject : {"1", "2", "3"})
        ASSERT_TRUE(Store(std::string("Subject: ") + subject + "\r\n\r\nx\r\n"));
    std::uint32_t markedMeanwhile = 99;
    std::thread look([&] {
        if (!WaitUntil([&] { return std::filesystem::exists(home.File("deleted")); }, std::chrono::seconds(60))) return;
        markedMeanwhile = Count(host.GetDatabase(), "SELECT count(*) FROM Mails WHERE mDeleted = 1");
        TestHome::WriteFile(home.File("looked"), "");
    });
    RunClient(R"PY(
import os, poplib, sys, time
p = poplib.POP3('127.0.0.1', int(sys.argv[1]), timeout=30)
p.user('alice'); p.pass_('secret1'); p.dele(1); p.dele(3)
open('deleted', 'w').close()
while not os.path.exists('looked'): time.sleep(0.05)
p.sock.close()
)PY");
    look.join();
    EXPECT_EQ(markedMeanwhile, 0u);
    EXPECT_EQ(Account()->GetMessageCount(false, CLocalAccount::kInbox), 3);

    std::vector<std::string> ids, files;
    for (long n = 1; n <= 3; ++n) {
        ids.push_back(Account()->GetMessageId(n, CLocalAccount::kInbox));
        files.push_back(Account()->FolderDirectory(CLocalAccount::kInbox) + "/" + ids.back() + ".mel");
    }
    OdbcStatement mark(host.GetDatabase()->GetConnectionHandle());
    ASSERT_TRUE(mark.ExecDirect("UPDATE Mails SET mDeleted = 1 WHERE mMailId IN ('" + ids[0] + "', '" + ids[1] + "')"));
    ASSERT_TRUE(std::filesystem::remove(files[1]));
    host.StopServerHost();
    started = false;
    CServerHost again;
    ASSERT_TRUE(again.StartServerHost());
    for (int i = 0; i < 3; ++i) {
        const std::string where = " WHERE mMailId = '" + ids[i] + "'";
        CMailDatabase* db = again.GetDatabase();
        EXPECT_EQ(Count(db, "SELECT count(*) FROM Mails" + where) + Count(db, "SELECT count(*) FROM MailInfo" + where) +
                      std::filesystem::exists(files[i]),
                  i < 2 ? 0u : 3u)
            << i;
    }
    again.StopServerHost();
}

class Pop3ServerGuards : public Pop3ServerModule {
protected:
    void Configure() override {
        SetSettingDword(settings::kPortsKeyPath, "POP3 Login Timeout", 1);
        SetSettingDword(settings::kPortsKeyPath, "POP3 Sessions Per Client", 2);
        SetSettingDword(settings::kPreferencesKeyPath, "RequireTLSForLogin", 0);
    }
};

// Before login a client gets 20 commands and the login time-out from
// connecting, however busily it talks; after login the ordinary time-out.
TEST_F(Pop3ServerGuards, ClientsThatDoNotLogInAreClosed) {
    RunClient(R"PY(
import socket, sys, time
def connect():
    s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=10)
    f = s.makefile('rb'); assert f.readline().startswith(b'+OK'); return s, f
s, f = connect(); s.sendall(b'USER alice\r\n' * 21)
assert all(f.readline().startswith(b'+OK') for _ in range(20))
line = f.readline(); assert line.startswith(b'-ERR Too many commands') and f.readline() == b'', line
s, f = connect()
for sent in range(20):
    s.sendall(b'USER alice\r\n'); line = f.readline()
    if not line.startswith(b'+OK'): break
    time.sleep(0.2)
assert line.startswith(b'-ERR Login timeout') and f.readline() == b'', (sent, line)
s, f = connect(); s.sendall(b'USER alice\r\nPASS secret1\r\n'); f.readline(); assert f.readline().startswith(b'+OK')
for _ in range(8):
    time.sleep(0.2); s.sendall(b'NOOP\r\n'); assert f.readline().startswith(b'+OK')
)PY");
}

// An outside address beyond its share is refused while another is served,
// and the machine itself is never limited. Outside addresses are put on the
// loopback of a network namespace of the test's own: it runs itself again there.
TEST_F(Pop3ServerGuards, OneAddressBeyondItsShareIsRefusedWhileAnotherIsServed) {
    if (!std::getenv("POP3_TEST_OWN_NETWORK")) {
        if (RunProgram({"unshare", "-rn", "true"}).status != 0) GTEST_SKIP() << "no network namespaces here";
        const RunResult run =
            RunProgram({"unshare", "-rn", std::filesystem::read_symlink("/proc/self/exe").string(),
                        "--gtest_filter=*.OneAddressBeyondItsShareIsRefusedWhileAnotherIsServed"},
                       std::chrono::seconds(90), {"POP3_TEST_OWN_NETWORK=1", "VELMORA_TEST_POSTGRES="});
        EXPECT_EQ(run.status, 0) << run.output;
        return;
    }
    const std::string setup =
        "ip link set lo up && ip addr add 198.51.100.1/32 dev lo && ip addr add 203.0.113.1/32 dev lo";
    ASSERT_EQ(RunProgram({"/bin/sh", "-c", setup}).status, 0);
    RunClient(R"PY(
import socket, sys
def connect(address):
    s = socket.create_connection((address, int(sys.argv[1])), timeout=10, source_address=(address, 0))
    return s, s.makefile('rb')
crowd = [connect('198.51.100.1') for _ in range(3)]
assert [f.readline()[:3] for s, f in crowd[:2]] == [b'+OK'] * 2
line = crowd[2][1].readline(); assert line.startswith(b'-ERR [SYS/TEMP]'), line
assert crowd[2][1].readline() == b''
s, f = connect('203.0.113.1'); s.sendall(b'USER alice\r\nPASS secret1\r\n')
assert [f.readline()[:3] for _ in range(3)] == [b'+OK'] * 3
assert all(f.readline().startswith(b'+OK') for s, f in [connect('127.0.0.1') for _ in range(4)])
)PY");
}

}  // namespace
