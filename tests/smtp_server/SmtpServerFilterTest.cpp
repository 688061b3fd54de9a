// The filter phase against a real rspamd: started for each test in a
// temporary directory with a configuration of its own (one worker on a
// free loopback port, no plug-ins, no redis, the test patterns on), so the
// GTUBE family of test strings gives each of its actions. Sessions run in
// process over a socket pair with an outside client address (a loopback
// client may relay and is never filtered); what they accept is routed into
// the mailboxes and read back from the store.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "DatabaseTest.h"
#include "SessionPair.h"
#include "smtp/CGeneratedMailSessions.h"
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
    // Empty when it runs, else why not; dns names the test's name server
    // for the configuration that checks senders.
    std::string Start(const std::string& config = "rspamd-test.conf", const std::string& dns = "") {
        char pattern[] = "/tmp/velmora-rspamd-XXXXXX";
        if (!::mkdtemp(pattern)) return "no temporary directory";
        directory = pattern;
        port = FreePort();
        std::vector<std::string> argv = {"rspamd", "-f",
                                         "-c",     TestHome::SourcePath("tests/support/" + config),
                                         "--var",  "TESTDIR=" + directory,
                                         "--var",  "TESTPORT=" + std::to_string(port)};
        if (!dns.empty()) argv.insert(argv.end(), {"--var", "TESTDNS=" + dns});
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

class SmtpServerFilter : public DatabaseTest {
protected:
    void SetUp() override {
        if (const std::string why = rspamd.Start(); !why.empty()) GTEST_SKIP() << why;
        DatabaseTest::SetUp();
        WorkInHome();
        ASSERT_TRUE(db.CreateAccount("alice", "secret1", false, false, "alice@example.org", 0, 1, 1, 0, 0));
        SetSettingString(settings::kFilterKeyPath, "Rspamd URL", rspamd.Url());
        SetSettingString(settings::kPreferencesKeyPath, "MailDomain", "mx.test");
    }

    // The reply code at the end of one message's data.
    int Send(const char* client, const std::string& text, const std::string& sender = "ann@sender.example") {
        SessionPair session(&db, &spooler, CSmtpSettings(), client);
        EXPECT_EQ(Code(session.Reply()), 220);
        EXPECT_EQ(Code(session.Command("EHLO sender.example")), 250);
        EXPECT_EQ(Code(session.Command("MAIL FROM:<" + sender + ">")), 250);
        EXPECT_EQ(Code(session.Command("RCPT TO:<alice@localhost>")), 250);
        EXPECT_EQ(Code(session.Command("DATA")), 354);
        return Code(session.Command(text + "\r\n."));
    }
    // The same over loopback TCP from a session that hands over fetched
    // mail, as the remote mailboxes' downloads do.
    int SendFetched(const std::string& text) {
        UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_TRUE(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::listen(listener.Get(), 1) == 0 &&
                    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
                    ::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        UniqueFd accepted(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        const std::uint16_t port = CGeneratedMailSessions::LocalPortOf(client.Get());
        CGeneratedMailSessions::Add(port, CGeneratedMailSessions::Kind::Fetched);
        int code = 0;
        {
            SessionPair session({std::move(accepted), std::move(client)}, &db, &spooler, CSmtpSettings(), "127.0.0.1");
            EXPECT_EQ(Code(session.Reply()), 220);
            EXPECT_EQ(Code(session.Command("EHLO mx.test")), 250);
            EXPECT_EQ(Code(session.Command("MAIL FROM:<ann@sender.example>")), 250);
            EXPECT_EQ(Code(session.Command("RCPT TO:<alice@localhost>")), 250);
            EXPECT_EQ(Code(session.Command("DATA")), 354);
            code = Code(session.Command(text + "\r\n."));
        }
        CGeneratedMailSessions::Remove(port, CGeneratedMailSessions::Kind::Fetched);
        return code;
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

    RspamdPeer rspamd;
    CMailSpooler spooler{&db};
};

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

    // A client that may relay is not filtered, unless the office asks for
    // it; mail fetched from a remote mailbox comes from loopback too, and is.
    EXPECT_EQ(Send("127.0.0.1", std::string("Subject: own\r\n\r\n") + kGtube), 250);
    EXPECT_EQ(SendFetched(std::string("Subject: fetched\r\n\r\n") + kGtube), 550);
    SetSettingDword(settings::kFilterKeyPath, "Filter Relay Clients", 1);
    EXPECT_EQ(Send("127.0.0.1", std::string("Subject: own\r\n\r\n") + kGtube), 550);
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
    ScriptedPeer silent([](PeerLink& link) {
        std::string request;
        link.ReadUntil("\r\n\r\nnever", request, std::chrono::seconds(20));
    });
    SetSettingString(settings::kFilterKeyPath, "Rspamd URL", "http://127.0.0.1:" + std::to_string(silent.Port()));
    SetSettingDword(settings::kFilterKeyPath, "Rspamd Timeout", 1);
    EXPECT_EQ(Send("203.0.113.9", "Subject: three\r\n\r\nx"), 451);

    // The backend itself gone: the same; a message over the size limit is
    // not asked about at all.
    SetSettingString(settings::kFilterKeyPath, "Rspamd URL", rspamd.Url());
    rspamd.Stop();
    EXPECT_EQ(Send("203.0.113.9", "Subject: four\r\n\r\nx"), 451);
    SetSettingDword(settings::kFilterKeyPath, "Rspamd Max Size", 64);
    EXPECT_EQ(Send("203.0.113.9", "Subject: five\r\n\r\n" + std::string(100, 'x')), 250);
}

// rspamd's SPF, DKIM and DMARC modules asking dnsmasq about the sender's
// domain: one header line with this server's name and each verdict.
TEST_F(SmtpServerFilter, SenderChecksAreRecordedInOneHeaderNamingThisServer) {
    DnsPeer dns;
    ASSERT_TRUE(dns.Start(home.File("dns.log"), {"--txt-record=sender.test,v=spf1 ip4:203.0.113.9 -all",
                                                 "--txt-record=_dmarc.sender.test,v=DMARC1; p=reject"}));
    rspamd.Stop();
    RspamdPeer checking;
    if (const std::string why = checking.Start("rspamd-auth-test.conf", dns.Entry()); !why.empty()) GTEST_SKIP() << why;
    SetSettingString(settings::kFilterKeyPath, "Rspamd URL", checking.Url());

    const std::string message = "From: Ann <ann@sender.test>\r\nSubject: hi\r\n\r\nhello";
    std::string text;
    for (const auto& [client, verdicts] :
         {std::pair{"203.0.113.9", "spf=pass smtp.mailfrom=sender.test; dkim=none; dmarc=pass header.from=sender.test"},
          std::pair{"198.51.100.7",
                    "spf=fail smtp.mailfrom=sender.test; dkim=none; dmarc=fail header.from=sender.test"}}) {
        ASSERT_EQ(Send(client, message, "ann@sender.test"), 250);
        ASSERT_TRUE(RouteAll());
        Stored(text);
        EXPECT_EQ(text.rfind("Authentication-Results: " + Own() + "; " + verdicts + "\r\nReceived: ", 0), 0u) << text;
        EXPECT_EQ(text.find("Authentication-Results:", 1), std::string::npos) << text;
    }
}

// clamd, asked before rspamd, with one signature of its own for the EICAR
// test string (no downloaded databases).
TEST_F(SmtpServerFilter, AVirusIsRefusedBeforeTheSpamCheckAndCleanMailPassesBoth) {
    const std::string directory = home.File("clamd");
    std::filesystem::create_directories(directory + "/db");
    TestHome::WriteFile(directory + "/db/eicar.ndb",
                        "Velmora.Test.EICAR:0:*:58354f2150254041505b345c505a58353428505e2937434329377d244549434152"
                        "2d5354414e444152442d414e544956495255532d544553542d46494c452124482b482a\n");
    const int port = FreePort();
    TestHome::WriteFile(directory + "/clamd.conf", "Foreground yes\nDatabaseDirectory " + directory +
                                                       "/db\nTCPAddr 127.0.0.1\nTCPSocket " + std::to_string(port) +
                                                       "\nTemporaryDirectory " + directory + "\n" +
                                                       (::geteuid() == 0 ? "User root\n" : ""));
    ChildProcess clamd;
    if (!clamd.Start({"clamd", "-c", directory + "/clamd.conf"}, directory + "/clamd.out") ||
        !WaitForPort(port, std::chrono::seconds(60)))
        GTEST_SKIP() << "clamd did not start (apt-get install clamav-daemon): " << clamd.Output();
    SetSettingString(settings::kFilterKeyPath, "ClamAV Address", "127.0.0.1:" + std::to_string(port));

    EXPECT_EQ(
        Send("203.0.113.9", "Subject: v\r\n\r\nX5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"),
        554);
    EXPECT_TRUE(SpoolEmpty());
    ASSERT_EQ(Send("203.0.113.9", "Subject: fine\r\n\r\nhello"), 250);
    ASSERT_TRUE(RouteAll());
    std::string text;
    EXPECT_EQ(Stored(text), (std::vector<std::string>{"Inbox|0"}));
    EXPECT_EQ(text.rfind("Authentication-Results: " + Own() + "; none\r\nReceived: ", 0), 0u) << text;
}
