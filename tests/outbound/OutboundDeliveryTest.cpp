// Delivery passes against real peers on loopback: dnsmasq answering MX
// records that point at 127.0.0.1, aiosmtpd exchangers reached through
// "MX Port" or a domain's own port, and aiosmtpd relay hosts demanding AUTH
// LOGIN or offering only CRAM-MD5, and relay hosts that demand TLS with a
// certificate of the test authority. Checks what each peer received and what
// the pass left in the queue rows and the replies kept with them, which
// recipients counted as sent, also when an exchanger falls silent after a
// message's data. Rows a pass delivered (or a 5xx retired) may already be
// purged by the expiry step, so "delivered" means no row left unsent.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "DatabaseTest.h"
#include "TestPeers.h"
#include "foundation/ProcessSettings.h"
#include "foundation/SettingsCatalogue.h"
#include "outbound/COutboundDelivery.h"
#include "outbound/COutboundQueue.h"
#include "foundation/COutboundReplies.h"
#include "platform/StatusWindow.h"

namespace {

const std::string kSender = "sender@office.example";
// Lines starting with "." (a lone one included) must arrive intact.
const std::string kMessage =
    "From: Sender <sender@office.example>\r\n"
    "Subject: Figures\r\n"
    "\r\n"
    ".leading dot\r\n"
    "..two dots\r\n"
    ".\r\n"
    "last line\r\n";

class OutboundDeliveryTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        WorkInHome();
        SetSettingDword(settings::kPreferencesKeyPath, "ChangeFromAddress", 0);
        ProcessSettings::Current().Load();
        ASSERT_TRUE(dns.Start(home.File("dnsmasq.log"),
                              {"--mx-host=alpha.test,127.0.0.1,10", "--mx-host=beta.test,127.0.0.1,10",
                               "--mx-host=dead.test,127.0.0.1,10"}));
        SetSettingString(settings::kDnsKeyPath, "#1", dns.Entry());
        // Notices of retired rows go nowhere here (FailedMailsTest reads them).
        SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(ClosedPort()));
    }

    std::string Queue(const std::vector<std::pair<std::string, std::string>>& recipients,
                      const std::string& text = kMessage) {
        COutboundQueue queue("Outbox", Connection());
        EXPECT_TRUE(queue.CreateMailFile());
        EXPECT_TRUE(queue.SetSender(kSender));
        for (const auto& [user, domain] : recipients) EXPECT_TRUE(queue.AddRecipient(user, domain));
        EXPECT_TRUE(queue.WriteBody(*Content(text)));
        return queue.FilePath();
    }

    // Runs one pass; gives its status lines.
    std::vector<std::string> Pass(bool direct) {
        StatusWindowQueue window;
        {
            COutboundDelivery delivery;
            delivery.AttachDatabase(&db);
            delivery.SetStatusWindow(&window);
            delivery.SetAcceptedHook([&](const std::string& sender, const std::string& to, CMailContent&) {
                accepted.insert(sender + " > " + to);
            });
            direct ? delivery.DeliverDirect() : delivery.UploadMailsToRemoveServer();
        }
        std::vector<std::string> lines;
        for (StatusMessage m; window.Get(m);)
            if (m.message == StatusWindow::kStatusLine) lines.push_back(m.text);
        return lines;
    }

    // "delivered" (no unsent row left), or "queued CODE".
    std::string State(const std::string& user, const std::string& domain) {
        const auto rows = Rows("SELECT Sent, FailureCode FROM OutBoundMails WHERE DestUser = '" + user +
                               "' AND Domain = '" + domain + "'");
        if (rows.empty() || rows[0][0] == "1" || rows[0][0] == "true") return "delivered";
        return "queued " + rows[0][1];
    }

    std::string Reply(const std::string& user) {
        return Text("SELECT Reply FROM OutboundReplies WHERE DestUser = '" + user + "'");
    }

    static bool Has(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    DnsPeer dns;
    // "sender > recipient" of every recipient whose message was taken.
    std::multiset<std::string> accepted;
};

TEST_F(OutboundDeliveryTest, DirectDeliveryWorksEachDomainAndMarksEachFailure) {
    SmtpPeer alpha, beta;
    // Alpha offers STARTTLS: taken, whatever the certificate says.
    ASSERT_EQ(MakeTestCertificates(home.File("pki")), "");
    ASSERT_TRUE(alpha.StartTls(home.File("alpha"), "u", "p", "offer", home.File("pki/server.pem"),
                               home.File("pki/server.key")));
    ASSERT_TRUE(beta.Start(home.File("beta")));
    SetSettingDword(settings::kPortsKeyPath, "MX Port", static_cast<unsigned>(alpha.Port()));
    const std::string betaDomain = "beta.test:" + std::to_string(beta.Port());
    const std::string deadDomain = "dead.test:" + std::to_string(ClosedPort());
    Queue({{"ann", "alpha.test"}, {"refused1", "alpha.test"}, {"later1", "alpha.test"}, {"carl", betaDomain}});
    Queue({{"nobody", "unknown.test"}, {"x", deadDomain}});

    const std::vector<std::string> lines = Pass(true);

    // Each exchanger got the message once, byte for byte, for its domain's
    // accepted recipients only.
    std::string envelope;
    EXPECT_EQ(alpha.Message(1, &envelope), kMessage);
    EXPECT_EQ(envelope, kSender + "\nann@alpha.test\n");
    EXPECT_EQ(beta.Message(1, &envelope), kMessage);
    EXPECT_EQ(envelope, kSender + "\ncarl@beta.test\n");
    EXPECT_EQ(alpha.MessageCount(), 1);
    EXPECT_EQ(beta.MessageCount(), 1);
    EXPECT_TRUE(alpha.Encrypted(1));
    EXPECT_FALSE(beta.Encrypted(1));

    EXPECT_EQ(State("ann", "alpha.test"), "delivered");
    EXPECT_EQ(State("carl", betaDomain), "delivered");
    // 550 fails for good: retired in this pass; 451 is tried again.
    EXPECT_EQ(State("refused1", "alpha.test"), "delivered");
    EXPECT_EQ(State("later1", "alpha.test"), "queued 2");
    EXPECT_EQ(Reply("later1"), "451 4.7.1 Greylisted, try again later");
    EXPECT_EQ(accepted, (std::multiset<std::string>{kSender + " > ann@alpha.test", kSender + " > carl@beta.test"}));
    EXPECT_EQ(State("x", deadDomain), "queued 1");
    // Code 5 fails for good: the expiry step may retire it in the same pass.
    const std::string unknown = State("nobody", "unknown.test");
    EXPECT_TRUE(unknown == "queued 5" || unknown == "delivered") << unknown;

    for (const std::string& line :
         {std::string("Connecting to alpha.test"), "Sending Mail From " + kSender + " ",
          std::string("Sending Mail To refused1@alpha.test "),
          std::string("Error Sending Mail To refused1@alpha.test "),
          std::string("Remote reply for refused1@alpha.test: 550 5.1.1 No such user"), "Connecting to " + betaDomain,
          std::string("Error in Connecting to unknown.test 2"), "Error in Connecting to " + deadDomain + " 0"})
        EXPECT_TRUE(Has(lines, line)) << line;
}

TEST_F(OutboundDeliveryTest, RefusedDataRetiresOnlyFor5xxAndUnreadableFilesLeaveTheRowsQueued) {
    SmtpPeer alpha;
    ASSERT_TRUE(alpha.Start(home.File("alpha")));
    SetSettingDword(settings::kPortsKeyPath, "MX Port", static_cast<unsigned>(alpha.Port()));
    Queue({{"ann", "alpha.test"}, {"rejectdata", "alpha.test"}});
    // A refusal at RCPT keeps its own code and reply when the data then fails.
    Queue({{"dora", "alpha.test"}, {"later2", "alpha.test"}},
          "Subject: full\r\nX-Test-Reply: 452 4.3.1 Insufficient system storage\r\n\r\nbody\r\n");
    const std::string missing = Queue({{"gone", "alpha.test"}});
    std::filesystem::remove(home.File(missing));
    Queue({{"bob", "alpha.test"}});

    const std::vector<std::string> lines = Pass(true);

    // Both recipients were accepted, but the data was refused for good:
    // neither is sent, both retire.
    EXPECT_EQ(State("ann", "alpha.test"), "delivered");
    EXPECT_EQ(State("rejectdata", "alpha.test"), "delivered");
    EXPECT_EQ(State("dora", "alpha.test"), "queued 6");
    EXPECT_EQ(Reply("dora"), "452 4.3.1 Insufficient system storage");
    EXPECT_EQ(State("later2", "alpha.test"), "queued 2");
    EXPECT_EQ(Reply("later2"), "451 4.7.1 Greylisted, try again later");
    EXPECT_EQ(State("gone", "alpha.test"), "queued 3");
    EXPECT_TRUE(Has(lines, "554"));
    EXPECT_TRUE(Has(lines, "Error Sending Mail From "));
    // The session goes on with the domain's next message.
    std::string envelope;
    EXPECT_EQ(alpha.Message(1, &envelope), kMessage);
    EXPECT_EQ(envelope, kSender + "\nbob@alpha.test\n");
    EXPECT_EQ(State("bob", "alpha.test"), "delivered");
    EXPECT_EQ(alpha.MessageCount(), 1);
    EXPECT_EQ(accepted, std::multiset<std::string>{kSender + " > bob@alpha.test"});
}

TEST_F(OutboundDeliveryTest, AnExchangerSilentAfterTheDataCostsOneTimeOutAndTheNextDomainIsServed) {
    SmtpPeer beta;
    ASSERT_TRUE(beta.Start(home.File("beta")));
    SilentSmtpPeer silent;
    const std::string alphaDomain = "alpha.test:" + std::to_string(silent.Port());
    const std::string betaDomain = "beta.test:" + std::to_string(beta.Port());
    SetSettingDword(settings::kPortsKeyPath, "SMTP Client End Timeout", 1);
    Queue({{"a1", alphaDomain}});
    Queue({{"a2", alphaDomain}, {"b1", betaDomain}});
    Queue({{"a3", alphaDomain}});
    const auto start = std::chrono::steady_clock::now();
    Pass(true);
    // The default wait for the end of data alone is ten minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(silent.transactions, 1) << "the silent session was used again";
    EXPECT_EQ(beta.Message(1), kMessage);
    EXPECT_EQ(State("b1", betaDomain), "delivered");
    // The one in flight failed in its transfer, the others count as tried.
    std::multiset<std::string> states;
    for (const char* user : {"a1", "a2", "a3"}) states.insert(State(user, alphaDomain));
    EXPECT_EQ(states, (std::multiset<std::string>{"queued 1", "queued 1", "queued 6"}));
}

TEST_F(OutboundDeliveryTest, RelayHostsWithAuthLoginOrOnlyCramMd5TakeEachMessageOnce) {
    SetSettingDword(settings::kPortsKeyPath, "Use Smart SMTP", 0);
    SetSettingString(settings::kPortsKeyPath, "RemoteGateway Server", "127.0.0.1");
    SetSettingDword(settings::kPortsKeyPath, "UseAuthenticated", 1);
    SetSettingString(settings::kPortsKeyPath, "SMTPUser", "relayuser");
    SetSettingString(settings::kPortsKeyPath, "SMTPPassword", "s3cret");
    for (const bool cramOnly : {false, true}) {
        SCOPED_TRACE(cramOnly ? "CRAM-MD5 only" : "AUTH LOGIN");
        SmtpPeer gateway;
        ASSERT_TRUE(gateway.Start(home.File(cramOnly ? "cram" : "login"), "relayuser", "s3cret", true, cramOnly));
        SetSettingDword(settings::kPortsKeyPath, "RemotePort", static_cast<unsigned>(gateway.Port()));
        ASSERT_TRUE(Exec("DELETE FROM OutBoundMails"));
        Queue({{"ann", "alpha.test"}, {"bob", "beta.test"}, {"refused2", "beta.test"}});
        // A transfer refused for good retires the rows of both domains.
        Queue({{"carl", "alpha.test"}, {"rejectdata", "beta.test"}});

        const std::vector<std::string> lines = Pass(false);

        std::string envelope;
        EXPECT_EQ(gateway.Message(1, &envelope), kMessage);
        EXPECT_EQ(envelope, kSender + "\nann@alpha.test\nbob@beta.test\n");
        EXPECT_EQ(gateway.MessageCount(), 1);
        EXPECT_TRUE(Has(lines, "Connecting to 127.0.0.1"));
        EXPECT_EQ(State("ann", "alpha.test"), "delivered");
        EXPECT_EQ(State("bob", "beta.test"), "delivered");
        EXPECT_EQ(State("refused2", "beta.test"), "delivered");
        EXPECT_EQ(State("carl", "alpha.test"), "delivered");
        EXPECT_EQ(State("rejectdata", "beta.test"), "delivered");
        EXPECT_EQ(accepted, (std::multiset<std::string>{kSender + " > ann@alpha.test", kSender + " > bob@beta.test"}));
        accepted.clear();
    }
}

// Relay hosts demanding TLS, then AUTH, with a certificate of the test
// authority (trusted through TLS\CA File) for "localhost" only.
TEST_F(OutboundDeliveryTest, RelayHostsDemandingTlsGetCheckedTlsAndAuthPlain) {
    ASSERT_EQ(MakeTestCertificates(home.File("pki")), "");
    SetSettingString(settings::kTlsKeyPath, "CA File", home.File("pki/ca.pem"));
    SetSettingDword(settings::kPortsKeyPath, "Use Smart SMTP", 0);
    SetSettingDword(settings::kPortsKeyPath, "UseAuthenticated", 1);
    SetSettingString(settings::kPortsKeyPath, "SMTPUser", "relayuser");
    SetSettingString(settings::kPortsKeyPath, "SMTPPassword", "s3cret");
    // Peer modes, Gateway TLS, the name the relay host goes by, delivered.
    using Case = std::tuple<const char*, unsigned, const char*, bool>;
    for (const auto& [modes, gatewayTls, host, delivers] :
         std::initializer_list<Case>{{"starttls,required", 2, "localhost", true},
                                     {"starttls,required", 2, "127.0.0.1", false},
                                     {"implicit,required", 3, "localhost", true},
                                     {"starttls,required", 1, "127.0.0.1", true},
                                     {"starttls,required", 0, "localhost", false}}) {
        SCOPED_TRACE(std::string(modes) + " mode " + std::to_string(gatewayTls) + " " + host);
        SmtpPeer gateway;
        ASSERT_TRUE(gateway.StartTls(home.File("gw" + std::to_string(gatewayTls) + host), "relayuser", "s3cret", modes,
                                     home.File("pki/server.pem"), home.File("pki/server.key")));
        SetSettingString(settings::kPortsKeyPath, "RemoteGateway Server", host);
        SetSettingDword(settings::kPortsKeyPath, "RemotePort", static_cast<unsigned>(gateway.Port()));
        SetSettingDword(settings::kPortsKeyPath, "Gateway TLS", gatewayTls);
        ASSERT_TRUE(Exec("DELETE FROM OutBoundMails"));
        Queue({{"ann", "alpha.test"}});
        Pass(false);
        EXPECT_EQ(gateway.Message(1, nullptr, std::chrono::milliseconds(delivers ? 10000 : 200)) == kMessage, delivers);
        // Where nothing is delivered, no password went out either.
        EXPECT_EQ(gateway.Logins(), delivers ? "PLAIN\n" : "");
        EXPECT_EQ(State("ann", "alpha.test") == "delivered", delivers);
    }
}

// A peer's reply is shown and quoted: one line of printable ASCII, cut to 300 bytes.
TEST(OutboundRepliesTest, RepliesAreCleanedCutAndClassed) {
    EXPECT_EQ(COutboundReplies::Clean(" 550\t5.1.1 <a@b>:\x1b[31m gone\x7f\r\n"), "550 5.1.1 <a@b>:[31m gone");
    EXPECT_EQ(COutboundReplies::Clean(std::string("451 caf\xC3\xA9\0x", 11)), "451 caf??x");
    EXPECT_EQ(COutboundReplies::Clean("552 " + std::string(400, 'z') + "\n"), "552 " + std::string(296, 'z'));
    EXPECT_EQ(COutboundReplies::Clean(std::string(20000, '\n')), "");
    EXPECT_TRUE(COutboundReplies::IsPermanent("554 x") && !COutboundReplies::IsPermanent("421 x"));
}

}  // namespace
