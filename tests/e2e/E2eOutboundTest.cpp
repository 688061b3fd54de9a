// Mail to the world through the real program: direct delivery by MX to an
// exchanger on loopback (dnsmasq answers the MX records, "MX Port" reaches
// the exchanger), a 550 recipient bounced in the same cycle and a 451 one
// sent by the next, the sent-mail log counting only what was taken, the
// shell's view of the pass and the queue, and relayed delivery through a
// gateway that requires a login, killed in the middle of a pass.
#include <ctime>
#include <set>

#include "E2eFixture.h"
#include "TestPeers.h"

namespace {

class E2eOutboundTest : public E2eFixture {
protected:
    void Set(const std::vector<std::string>& setting) {
        std::vector<std::string> args = {"reg", "set"};
        args.insert(args.end(), setting.begin(), setting.end());
        const RunResult result = home.Velmora(args);
        ASSERT_EQ(result.status, 0) << result.output;
    }
    void Send(const std::vector<std::string>& to, const std::string& text) {
        SmtpClient client;
        Open(client);
        ASSERT_EQ(Code(Transaction(client, "alice@localhost", to, text)), 250);
        client.Command("QUIT");
    }
    long Rows() { return home.SqlNumber("SELECT count(*) FROM OutBoundMails"); }
    long SentLogged() { return home.SqlNumber("SELECT count(*) FROM MAILSTATISTICS WHERE IsLocal = false"); }

    SmtpPeer exchanger;
    DnsPeer dns;
};

// As sent (dot-stuffed): the message holds ".a line ..." and "..two dots".
const std::string kText =
    "From: Alice <alice@localhost>\r\nTo: x@a.test\r\nSubject: out\r\n\r\nfirst line\r\n..a line that "
    "starts with a dot\r\n...two dots\r\nlast line";
const std::string kBody = "\r\n\r\nfirst line\r\n.a line that starts with a dot\r\n..two dots\r\nlast line";

// The message from its empty line on: the header may be rewritten when
// queued (ChangeFromAddress), the body never.
std::string Body(const std::string& message) {
    const std::size_t at = message.find("\r\n\r\n");
    return at == std::string::npos ? "" : message.substr(at);
}

}  // namespace

TEST_F(E2eOutboundTest, DirectDeliveryReachesEachDomainOnceA550BouncesAtOnceAndA451IsRetried) {
    ASSERT_TRUE(exchanger.Start(home.File("exchanger")));
    ASSERT_TRUE(dns.Start(home.File("dns.log"), {"--mx-host=a.test,127.0.0.1,10", "--mx-host=b.test,127.0.0.1,10"}));
    Set({"Ports", "MX Port", "dword", std::to_string(exchanger.Port())});
    Set({"Ports", "Use Smart SMTP", "dword", "1"});
    Set({"DNS", "#1", "string", dns.Entry(), "--force"});
    Set({"Preferences", "ErrorMailDayCount", "dword", "5"});
    StartServer();

    Send({"x@a.test", "y@b.test", "bob@localhost"}, kText);
    ASSERT_TRUE(WaitForMail("bob", 1));
    ASSERT_TRUE(WaitUntil([&] { return Rows() == 2; }, kDeliveryWait));
    EXPECT_EQ(SentLogged(), 0);  // queued is not sent
    Pass(1);
    EXPECT_EQ(SentLogged(), 2);
    // One session per domain, each given the message once, its body byte for
    // byte as it was stored for the local recipient.
    ASSERT_EQ(exchanger.MessageCount(), 2);
    const std::string stored = home.InboxTexts("bob").at(0);
    EXPECT_TRUE(Body(stored).starts_with(kBody)) << stored;
    std::string envelopes;
    for (int n = 1; n <= 2; ++n) {
        std::string envelope;
        const std::string received = exchanger.Message(n, &envelope);
        EXPECT_TRUE(Body(received) == Body(stored)) << received << "\n---\n" << stored;
        envelopes += envelope;
    }
    EXPECT_NE(envelopes.find("\nx@a.test\n"), std::string::npos) << envelopes;
    EXPECT_NE(envelopes.find("\ny@b.test\n"), std::string::npos) << envelopes;
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(home.OutboxFiles().empty());
    const std::string status = Status();
    EXPECT_NE(status.find("Connecting to a.test"), std::string::npos) << status;
    EXPECT_NE(status.find("Send and Receive Completed"), std::string::npos) << status;

    // 550: the sender has the notice from this very cycle, the reply quoted,
    // and the row is gone; 451: queued with its reply, sent by the next cycle.
    Send({"refused@a.test", "later@a.test"}, "Subject: will bounce\r\n\r\nbody");
    ASSERT_TRUE(WaitUntil([&] { return Rows() == 2; }, kDeliveryWait));
    Pass(2);
    ASSERT_TRUE(WaitForMail("alice", 1));
    const std::string notice = home.InboxTexts("alice").at(0);
    for (const char* part : {"Subject: Tessal Mailer Response", "\r\nDate: ", "\r\nMessage-ID: <",
                             "\r\nMIME-Version: 1.0\r\n", "refused@a.test\r\n could not be delivered due to\r\n "
                             "Recipient Refused\r\n\r\n The remote server replied:\r\n 550 5.1.1 No such user",
                             "Content-Type: message/rfc822", "Subject: will bounce"})
        EXPECT_NE(notice.find(part), std::string::npos) << part << "\n" << notice;
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(SentLogged(), 2);
    const RunResult listed = home.Velmora({"queue", "list"});
    EXPECT_EQ(listed.output.find("refused@a.test"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("later@a.test  code 2 Recipient Temporarily Refused  queued "), std::string::npos)
        << listed.output;
    EXPECT_NE(listed.output.find("reply: 451 4.7.1 Greylisted, try again later\n"), std::string::npos) << listed.output;
    const std::string shown = Status();
    EXPECT_NE(shown.find("reply for later@a.test: 451 4.7.1 Greylisted"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Remote reply for refused@a.test: 550 5.1.1 No such user"), std::string::npos) << shown;
    EXPECT_NE(home.LogText().find("refused for good: 550 5.1.1 No such user"), std::string::npos);

    Pass(3);
    EXPECT_EQ(Rows(), 0);
    ASSERT_EQ(exchanger.MessageCount(), 3);
    std::string envelope;
    exchanger.Message(3, &envelope);
    EXPECT_EQ(envelope, "alice@localhost\nlater@a.test\n");
    EXPECT_EQ(SentLogged(), 3);
}

// As a new home has it (SendOnMailCount 1), mail leaves without anyone
// asking for a cycle.
TEST_F(E2eOutboundTest, AFreshHomeSendsQueuedMailByItself) {
    ASSERT_TRUE(exchanger.Start(home.File("exchanger")));
    ASSERT_TRUE(dns.Start(home.File("dns.log"), {"--mx-host=a.test,127.0.0.1,10"}));
    Set({"Ports", "MX Port", "dword", std::to_string(exchanger.Port())});
    Set({"DNS", "#1", "string", dns.Entry(), "--force"});
    Set({"Preferences", "SendOnMailCount", "dword", "1"});
    StartServer();
    Send({"x@a.test"}, kText);
    EXPECT_TRUE(WaitUntil([&] { return exchanger.MessageCount() == 1; }, std::chrono::seconds(90))) << Status();
    EXPECT_TRUE(WaitUntil([&] { return Rows() == 0; }, kDeliveryWait));
}

// Relayed through a gateway that wants a login, one session for the pass.
TEST_F(E2eOutboundTest, RelayWithALoginLosesNoMessageWhenKilledMidPass) {
    SmtpPeer gateway;
    ASSERT_TRUE(gateway.Start(home.File("gateway"), "relayuser", "relay pass", true));
    Set({"Ports", "Use Smart SMTP", "dword", "0"});
    Set({"Ports", "RemoteGateway Server", "string", "127.0.0.1"});
    Set({"Ports", "RemotePort", "dword", std::to_string(gateway.Port())});
    Set({"Ports", "UseAuthenticated", "dword", "1"});
    Set({"Ports", "SMTPUser", "string", "relayuser"});
    Set({"Ports", "SMTPPassword", "string", "relay pass"});
    StartServer();
    constexpr int kMessages = 40;
    std::string body;
    while (body.size() < 20000) body += std::string(76, 'k') + "\r\n";
    {
        SmtpClient client;
        Open(client);
        for (int i = 0; i < kMessages; ++i)
            ASSERT_EQ(Code(Transaction(client, "alice@localhost", {"slow@far.test"},
                                       "Subject: m" + std::to_string(i) + "\r\n\r\n" + body)),
                      250);
    }
    ASSERT_TRUE(WaitUntil([&] { return Rows() == kMessages && !home.OutboxBeingWritten(); }, kDeliveryWait));
    ASSERT_EQ(home.Velmora({"send-receive"}).status, 0);
    // The gateway answers each message 0.1 s late: the kill lands mid-pass.
    ASSERT_TRUE(WaitUntil([&] { return gateway.MessageCount() >= 2; }, kDeliveryWait));
    server.Kill();  // SIGKILL in the middle of the pass
    EXPECT_LT(gateway.MessageCount(), kMessages);

    // Whatever the pass had not finished is still queued, and the next pass
    // sends it: every message arrives at least once.
    StartServer();
    Pass(1);
    std::set<std::string> subjects;
    for (int n = 1; n <= gateway.MessageCount(); ++n) {
        const std::string text = gateway.Message(n);
        const std::size_t at = text.find("Subject: ");
        if (at != std::string::npos) subjects.insert(text.substr(at + 9, text.find("\r\n", at) - at - 9));
    }
    EXPECT_EQ(subjects.size(), static_cast<std::size_t>(kMessages));
    // (A file whose rows the killed pass had already marked sent is left to
    // the orphan scan, which takes it once it is ten minutes old.)
    EXPECT_EQ(Rows(), 0);
    // The password never reaches the diagnostic log.
    for (const std::string& log : home.Files("logs", "", ".log"))
        EXPECT_EQ(TestHome::ReadFile(log).find("relay pass"), std::string::npos) << log;
}
