// The filter phase against a real rspamd: started once for the suite in a
// temporary directory with a configuration of its own (one worker on a
// free loopback port, no plug-ins, no redis, the test patterns on), so the
// GTUBE family of test strings gives each of its actions. Sessions run in
// process over a socket pair with an outside client address (a loopback
// client may relay and is never filtered); what they accept is routed into
// the mailboxes and read back from the store.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "CSmtpSession.h"
#include "DatabaseTest.h"
#include "SmtpClient.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "foundation/COwnNames.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/Text.h"
#include "spool/CMailRouter.h"
#include "spool/CMailSpooler.h"
#include "spool/SpoolFile.h"

namespace {

constexpr const char* kGtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";
// rspamd's variant of the test string that asks for "add header".
constexpr const char* kGtubeAddHeader = "YJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";

class RspamdPeer {
public:
    // Empty when it runs, else why not.
    std::string Start() {
        char pattern[] = "/tmp/velmora-rspamd-XXXXXX";
        if (!::mkdtemp(pattern)) return "no temporary directory";
        directory = pattern;
        port = FreePort();
        const std::string conf = directory + "/rspamd.conf";
        TestHome::WriteFile(conf, "options {\n  pidfile = \"" + directory + "/rspamd.pid\";\n  dbdir = \"" + directory +
                                      "\";\n  tmpdir = \"" + directory +
                                      "\";\n  filters = \"\";\n  enable_test_patterns = true;\n"
                                      "  dns { nameserver = [\"127.0.0.1:9\"]; timeout = 0.1s; retransmits = 1; }\n}\n"
                                      "logging { type = \"file\"; filename = \"" +
                                      directory +
                                      "/rspamd.log\"; level = \"error\"; }\n"
                                      "actions { reject = 15; add_header = 6; greylist = 4; }\n"
                                      "worker \"normal\" { bind_socket = \"127.0.0.1:" +
                                      std::to_string(port) + "\"; count = 1; }\n");
        std::vector<std::string> argv = {"rspamd", "-f", "-c", conf};
        // rspamd drops root unless told to stay.
        if (::geteuid() == 0) argv.insert(argv.end(), {"-i", "-u", "root", "-g", "root"});
        if (!process.Start(argv, directory + "/rspamd.out")) return "rspamd did not start (apt-get install rspamd)";
        // It compiles its tables before it listens: seconds, not minutes.
        if (!WaitForPort(port, std::chrono::seconds(90))) return "rspamd did not listen: " + process.Output();
        return "";
    }
    void Stop() { process.Stop(); }
    ~RspamdPeer() {
        process.Stop();
        std::error_code ignored;
        if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }

private:
    ChildProcess process;
    std::string directory;
    int port = 0;
};

class Session : public SmtpClient {
public:
    Session(CAccountDatabase* database, CMailSpooler* spooler, const char* clientAddress) {
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        Adopt(UniqueFd(pair[1]));
        environment = {database, spooler, -1, "mx.test", {"mx.test"}};
        settings.commandTimeoutMs = settings.dataBlockTimeoutMs = settings.dataTimeoutMs = 30000;
        session = std::make_unique<CSmtpSession>(UniqueFd(pair[0]), CClientAddress::FromText(clientAddress),
                                                 environment, settings);
        thread = std::thread([this] {
            session->Run();
            session.reset();
        });
    }
    ~Session() { Close(), thread.join(); }

private:
    CSmtpSettings settings;
    CSmtpSession::Environment environment;
    std::unique_ptr<CSmtpSession> session;
    std::thread thread;
};

class SmtpServerFilter : public DatabaseTest {
protected:
    static void SetUpTestSuite() {
        rspamd = new RspamdPeer();
        why = rspamd->Start();
    }
    static void TearDownTestSuite() {
        delete rspamd;
        rspamd = nullptr;
    }
    void SetUp() override {
        if (!why.empty()) GTEST_SKIP() << why;
        DatabaseTest::SetUp();
        WorkInHome();
        ASSERT_TRUE(db.CreateAccount("alice", "secret1", false, false, "alice@example.org", 0, 1, 1, 0, 0));
        SetSettingString(settings::kFilterKeyPath, "Rspamd URL", rspamd->Url());
        SetSettingString(settings::kPreferencesKeyPath, "MailDomain", "mx.test");
    }

    // The reply code at the end of one message's data.
    int Send(const char* client, const std::string& text) {
        Session session(&db, &spooler, client);
        EXPECT_EQ(Code(session.Reply()), 220);
        EXPECT_EQ(Code(session.Command("EHLO sender.example")), 250);
        EXPECT_EQ(Code(session.Command("MAIL FROM:<ann@sender.example>")), 250);
        EXPECT_EQ(Code(session.Command("RCPT TO:<alice@localhost>")), 250);
        EXPECT_EQ(Code(session.Command("DATA")), 354);
        return Code(session.Command(text + "\r\n."));
    }
    // Routes every spool file and removes it, as the spool processor does; false when one stays.
    bool RouteAll() {
        CMailRouter router;
        bool all = true;
        for (const auto& entry : std::filesystem::directory_iterator(home.File(spool::kSpoolDirectory))) {
            std::string reason;
            if (!spool::IsSpoolFileName(entry.path().filename().string())) continue;
            const bool routed = router.ProcessSpoolFile(entry.path().string(), &db, reason);
            if (routed) std::filesystem::remove(entry.path());
            all &= routed;
        }
        return all;
    }
    // "folder name|read" of each stored message, and the text of the last.
    std::vector<std::string> Stored(std::string& lastText) {
        std::vector<std::string> rows = Lines(
            "SELECT f.FolderName, m.mRead, m.mMailId FROM Mails m JOIN FolderMapping f ON f.aAccountId = "
            "m.aAccountId AND f.FolderId = m.mFolderId ORDER BY m.mRcvdTime, m.mMailId");
        for (std::string& row : rows) {
            const std::string id = row.substr(row.rfind('|') + 1);
            row.erase(row.rfind('|'));
            for (const auto& entry : std::filesystem::recursive_directory_iterator(home.Path()))
                if (entry.path().filename() == id + ".mel") lastText = TestHome::ReadFile(entry.path().string());
        }
        return rows;
    }
    // The name this server gives itself in Authentication-Results.
    static std::string Own() { return COwnNames::Domain().empty() ? "mx.test" : COwnNames::Domain(); }
    bool SpoolEmpty() { return std::filesystem::is_empty(home.File(spool::kSpoolDirectory)); }

    static RspamdPeer* rspamd;
    static std::string why;
    CMailSpooler spooler{&db};
};
RspamdPeer* SmtpServerFilter::rspamd = nullptr;
std::string SmtpServerFilter::why;

}  // namespace

TEST_F(SmtpServerFilter, RefusedSpamIsStoredNowhereJunkGoesToJunkCleanMailToTheInbox) {
    // Refused at the end of data: no spool file, no part file, no bounce.
    EXPECT_EQ(Send("203.0.113.9", std::string("Subject: buy\r\n\r\n") + kGtube), 550);
    EXPECT_TRUE(SpoolEmpty());

    ASSERT_EQ(Send("203.0.113.9", std::string("Subject: maybe\r\n\r\n") + kGtubeAddHeader), 250);
    ASSERT_TRUE(RouteAll());
    std::string text;
    EXPECT_EQ(Stored(text), (std::vector<std::string>{"Junk|0"}));
    EXPECT_EQ(text.rfind("X-Spam: Yes\r\nX-Spam-Score: 6.00 / 15.00\r\nAuthentication-Results: " + Own() +
                             "; none\r\n"
                             "Received: from sender.example ([203.0.113.9])",
                         0),
              0u)
        << text;

    // A claim in this server's name from outside goes; another's stays,
    // with the continuation lines of each.
    ASSERT_EQ(
        Send("203.0.113.9", "Authentication-Results: " + UpperCase(Own()) +
                                ";\r\n\tspf=pass\r\nAuthentication-Results: other.example; "
                                "dkim=pass\r\nSubject: hello\r\n\r\nAuthentication-Results: mx.test; body text stays"),
        250);
    ASSERT_TRUE(RouteAll());
    EXPECT_EQ(Stored(text), (std::vector<std::string>{"Junk|0", "Inbox|0"}));
    EXPECT_EQ(text.rfind("Authentication-Results: " + Own() + "; none\r\nReceived: ", 0), 0u) << text;
    EXPECT_EQ(text.find("spf=pass"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nAuthentication-Results: other.example; dkim=pass\r\nSubject: hello\r\n\r\n"
                        "Authentication-Results: mx.test; body text stays\r\n"),
              std::string::npos)
        << text;

    // A client that may relay is not filtered.
    EXPECT_EQ(Send("127.0.0.1", std::string("Subject: own\r\n\r\n") + kGtube), 250);
}

TEST_F(SmtpServerFilter, WithoutTheBackendMailFlowsOrIsDeferredWhenFailingClosed) {
    SetSettingString(settings::kFilterKeyPath, "Rspamd URL", "http://127.0.0.1:" + std::to_string(ClosedPort()));
    EXPECT_EQ(Send("203.0.113.9", "Subject: one\r\n\r\nx"), 250);
    ASSERT_TRUE(RouteAll());
    std::string text;
    EXPECT_EQ(Stored(text), (std::vector<std::string>{"Inbox|0"}));
    EXPECT_EQ(text.rfind("Received: ", 0), 0u) << text;

    SetSettingDword(settings::kFilterKeyPath, "Rspamd Fail", 1);
    EXPECT_EQ(Send("203.0.113.9", "Subject: two\r\n\r\nx"), 451);
    EXPECT_TRUE(SpoolEmpty());

    // A backend that takes the connection and never answers: the same,
    // once its time is up.
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    UniqueFd silentFd(silent);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
    SetSettingString(settings::kFilterKeyPath, "Rspamd URL",
                     "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    SetSettingDword(settings::kFilterKeyPath, "Rspamd Timeout", 1);
    EXPECT_EQ(Send("203.0.113.9", "Subject: three\r\n\r\nx"), 451);

    // The backend itself gone: the same; a message over the size limit is
    // not asked about at all.
    SetSettingString(settings::kFilterKeyPath, "Rspamd URL", rspamd->Url());
    rspamd->Stop();
    EXPECT_EQ(Send("203.0.113.9", "Subject: four\r\n\r\nx"), 451);
    SetSettingDword(settings::kFilterKeyPath, "Rspamd Max Size", 64);
    EXPECT_EQ(Send("203.0.113.9", "Subject: five\r\n\r\n" + std::string(100, 'x')), 250);
}
