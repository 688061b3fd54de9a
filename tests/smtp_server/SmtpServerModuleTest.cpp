// The SMTP server module end to end: loaded by the server host from the
// build's module directory on a provisioned home, spoken to over loopback
// by a scripted client for the protocol's edge cases (real clients speak to
// it in the end-to-end tests); what it accepted is read back from the spool
// directory.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SmtpClient.h"
#include "foundation/CAccountRows.h"
#include "TestContent.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "app/CServerHost.h"
#include "delivery/CLocalAccount.h"
#include "delivery/CSystemNotice.h"
#include "foundation/CMailDatabase.h"
#include "store/MailStorePaths.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/Registry.h"
#include "spool/CMailRouter.h"
#include "spool/CMailSpoolProcessor.h"
#include "spool/MailInfo.h"
#include "spool/SpoolFile.h"

namespace {

// Every spooled message's text.
std::string ContentOf(MailInfo& info) {
    return info.content ? ReadAll(*info.content) : std::string();
}

// Each step is the reply code expected, a space and the command: "250 NOOP".
void Expect(SmtpClient& client, const std::vector<std::string>& steps) {
    for (const std::string& step : steps) EXPECT_EQ(Code(client.Command(step.substr(4))), Code(step)) << step;
}

// The codes of the next replies.
std::vector<int> Replies(SmtpClient& client, int count) {
    std::vector<int> codes;
    while (count-- > 0) codes.push_back(Code(client.Reply()));
    return codes;
}

// MAIL, RCPT and DATA for one recipient, then the text; the code after the text.
int SendOne(SmtpClient& client, const std::string& text, const std::string& to = "alice@localhost") {
    Expect(client, {"250 MAIL FROM:<a@example.org>", "250 RCPT TO:<" + to + ">", "354 DATA"});
    return Code(client.Command(text + "\r\n."));
}

class SmtpServerModule : public ::testing::Test {
protected:
    void SetUp() override {
        // The module next to the program, as the host finds it in an installation.
        const char* build = std::getenv("VELMORA_BUILD_DIR");
        ::setenv("VELMORA_MODULE_DIR", (std::string(build ? build : "..") + "/bin").c_str(), 1);
        ASSERT_TRUE(home.Provision());
        previousDirectory = std::filesystem::current_path();
        std::filesystem::current_path(home.Path());
        CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
        CMailDatabase::SetMailStoreMaker(&mailstore::MakeAccountDirectories);
        port = FreePort();
        ASSERT_NE(port, 0);
        SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(port));
        // Setup also registers the POP3 server as #2; these tests load the SMTP server alone.
        SetSettingDword((std::string(settings::kServersKeyPath) + "\\#2").c_str(), settings::kServerActive, 0);
    }

    void TearDown() override {
        Stop();
        if (!previousDirectory.empty()) std::filesystem::current_path(previousDirectory);
    }

    void Start() {
        host.SetStopTiming(std::chrono::milliseconds(10), std::chrono::milliseconds(10000));
        ASSERT_TRUE(host.StartServerHost());
        started = true;
        ASSERT_EQ(host.GetModules().GetModules().size(), 1u);
        // An installation's setup makes the postmaster; the bare test home has none.
        if (CAccountRows::AccountExists(host.GetDatabase()->GetConnectionHandle(), "postmaster") == CAccountRows::Presence::Absent) {
            ASSERT_TRUE(host.GetDatabase()->CreateAccount("postmaster", "secret1", false, true, "postmaster@127.0.0.1",
                                                          0, 1, 1, 0, 0));
        }
        for (const char* user : {"alice", "bob"})
            ASSERT_TRUE(host.GetDatabase()->CreateAccount(user, "secret1", false, false,
                                                          std::string(user) + ".smith@localhost", 0, 1, 1, 0, 0));
    }

    void Stop() {
        if (std::exchange(started, false)) host.StopServerHost();
    }

    // Sessions end on their own threads; wait (bounded) until none is left.
    void WaitUntilIdle() {
        ASSERT_TRUE(WaitUntil([&] { return host.AreServersIdle(); }, std::chrono::seconds(10)));
    }

    std::vector<std::string> SpoolFiles() {
        std::vector<std::string> files;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(home.File(spool::kSpoolDirectory), ec))
            if (spool::IsSpoolFileName(entry.path().filename().string())) files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        return files;
    }

    // Every spooled message, read back; the files are removed.
    std::vector<std::unique_ptr<MailInfo>> TakeSpooled() {
        std::vector<std::unique_ptr<MailInfo>> messages;
        for (const std::string& file : SpoolFiles()) {
            auto info = ReadSpoolFile(file, host.GetDatabase());
            EXPECT_NE(info, nullptr) << file;
            if (info) messages.push_back(std::move(info));
            std::filesystem::remove(file);
        }
        return messages;
    }

    // Greeting and EHLO done.
    void Open(SmtpClient& client) {
        ASSERT_TRUE(client.Connect(port));
        ASSERT_EQ(Code(client.Reply()), 220);
        ASSERT_EQ(Code(client.Command("EHLO client.test")), 250);
    }

    TestHome home;
    CServerHost host;
    bool started = false;
    int port = 0;
    std::string previousDirectory;
};

}  // namespace

TEST_F(SmtpServerModule, CommandsOutOfOrderOrMalformedGetTheirReplies) {
    Start();
    SmtpClient client;
    ASSERT_TRUE(client.Connect(port));
    EXPECT_EQ(Code(client.Reply()), 220);
    // Out of order: MAIL before HELO, parameters before EHLO, RCPT and DATA before MAIL, nested MAIL, DATA
    // without a valid recipient, RCPT after RSET; the machine's own name is local.
    Expect(client, {"503 MAIL FROM:<a@example.org>", "501 HELO", "250 HELO client.test"});
    Expect(client, {"555 MAIL FROM:<a@example.org> SIZE=10", "250 EHLO client.test", "503 RCPT TO:<alice@localhost>"});
    Expect(client, {"503 DATA", "501 MAIL FROM:a@example.org", "555 MAIL FROM:<a@example.org> FOO=1"});
    Expect(client, {"501 MAIL FROM:<a@example.org> SIZE=12x", "250 MAIL FROM:<a@example.org>"});
    Expect(client, {"503 MAIL FROM:<a@example.org>", "554 DATA", "550 RCPT TO:<nobody@localhost>"});
    Expect(client,
           {"501 RCPT TO:<alice>", "501 RCPT TO:<alice@bad_domain>", "555 RCPT TO:<alice@localhost> NOTIFY=NEVER"});
    Expect(client, {"250 RCPT TO:<alice@[127.0.0.1]>", "250 RCPT TO:<bob@" + SystemHostName() + ">",
                    "250 RCPT TO:<Bob.Smith@LOCALHOST>", "250 RSET"});  // the last by the account's own address
    Expect(client, {"503 RCPT TO:<alice@localhost>", "252 VRFY alice", "250 NOOP", "502 EXPN staff", "500 FROB"});
    Expect(client, {"500 ", "500 NO\x01OP", "221 QUIT"});
    EXPECT_TRUE(client.ClosedByServer());  // a client that only errs is shown the door in SmtpServerLimits

    // Data that breaks off is never spooled.
    SmtpClient cut;
    Open(cut);
    Expect(cut, {"250 MAIL FROM:<a@example.org>", "250 RCPT TO:<alice@localhost>", "354 DATA"});
    ASSERT_TRUE(cut.Send("Subject: cut off\r\n\r\nhalf a message\r\n"));
    cut.Close();
    WaitUntilIdle();
    EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(SmtpServerModule, PipelinedCommandsAndBareLineEndsInData) {
    Start();
    SmtpClient client;
    ASSERT_TRUE(client.Connect(port));
    EXPECT_EQ(Code(client.Reply()), 220);
    // One write holding a whole transaction's commands, as a pipelining client sends them.
    ASSERT_TRUE(
        client.Send("EHLO client.test\r\nMAIL FROM:<sender@example.org>\r\nRCPT TO:<alice@localhost>\r\n"
                    "RCPT TO:<ghost@localhost>\r\nRCPT TO:<bob@LOCALHOST>\r\nDATA\r\n"));
    const std::string ehlo = client.Reply();
    for (const char* extension : {"PIPELINING\r\n", "SIZE 52428800\r\n", "8BITMIME\r\n"})
        EXPECT_NE(ehlo.find(extension), std::string::npos) << ehlo;
    EXPECT_EQ(Replies(client, 5), (std::vector<int>{250, 250, 550, 250, 354}));
    // Bare LF lines, stuffed dots, and the next transaction right behind the end of data.
    ASSERT_TRUE(
        client.Send("Subject: bare\n\nline one\n..dot line\n.\nlast\r\n.\r\n"
                    "MAIL FROM:<>\r\nRCPT TO:<postmaster>\r\nDATA\r\n"));
    EXPECT_EQ(Replies(client, 4), (std::vector<int>{250, 250, 250, 354}));
    ASSERT_TRUE(client.Send("Subject: bounce\r\n\r\n.\r\nQUIT\r\n"));
    EXPECT_EQ(Replies(client, 2), (std::vector<int>{250, 221}));
    WaitUntilIdle();

    auto messages = TakeSpooled();
    ASSERT_EQ(messages.size(), 2u);
    if (ContentOf(*messages[0]).find("Subject: bare") == std::string::npos) std::swap(messages[0], messages[1]);
    MailInfo &bare = *messages[0], &bounce = *messages[1];
    auto fromSubject = [](MailInfo& info) {
        const std::string text = ContentOf(info);
        return text.substr(std::min(text.find("Subject: "), text.size()));
    };
    EXPECT_EQ(fromSubject(bare), "Subject: bare\r\n\r\nline one\r\n.dot line\r\n\r\nlast\r\n");
    EXPECT_EQ(bare.DotsCount, 2);
    ASSERT_EQ(bare.recipients.size(), 2u);
    EXPECT_EQ(bare.recipients[1]->user, "bob");
    EXPECT_EQ(bounce.sender, "");
    EXPECT_EQ(fromSubject(bounce), "Subject: bounce\r\n\r\n");
    ASSERT_EQ(bounce.recipients.size(), 1u);
    EXPECT_EQ(bounce.recipients[0]->user, "postmaster");
    EXPECT_NE(bounce.recipients[0]->account, nullptr);
}

// Long lines, many recipients and oversize messages are bounded. A 250
// means spooled: a spool file that cannot be started or written (the
// file-size limit stands in for a full disk) is answered
// 451, at DATA or at the end of the data, and leaves no file behind; the
// session goes on. Time-outs are proven in SmtpServerLimits.
TEST_F(SmtpServerModule, LimitsAreBoundedAndA250MeansSpooledOtherwise451) {
    SetSettingDword(settings::kPortsKeyPath, "SMTP Max Message Size", 20000);
    const std::string temp = home.File("tmp");
    std::filesystem::create_directory(temp);
    ::setenv("TMPDIR", temp.c_str(), 1);
    Start();
    SmtpClient client;
    Open(client);
    // A 1 MB command line: refused, the session goes on.
    EXPECT_EQ(client.Command("NOOP " + std::string(1 << 20, 'x')), "500 Line too long\r\n");
    EXPECT_EQ(Code(client.Command("NOOP")), 250);

    Expect(client,
           {"552 MAIL FROM:<a@example.org> SIZE=20001", "552 MAIL FROM:<a@example.org> SIZE=99999999999999999999",
            "250 MAIL FROM:<a@example.org> SIZE=20000"});
    // 1,000 recipients in one burst: the first 256 are taken, the rest told 452.
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += "RCPT TO:<user" + std::to_string(i) + "@remote.example>\r\n";
    ASSERT_TRUE(client.Send(burst));
    std::vector<int> codes = Replies(client, 1000);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 250), 256);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 452), 744);
    Expect(client, {"354 DATA", "250 Subject: many\r\n\r\nhello\r\n."});

    // Larger than the limit: the data is read to its end, answered 552, not kept.
    std::string big;
    while (big.size() < 100000) big += std::string(70, 'b') + "\r\n";
    EXPECT_EQ(SendOne(client, big), 552);
    // The transaction is over; a fresh one fits.
    EXPECT_EQ(Code(client.Command("RCPT TO:<alice@localhost>")), 503);
    EXPECT_EQ(SendOne(client, std::string(19000, 's')), 250);

    // The message is received into its spool file: no spool, no DATA.
    auto begin = [&] { Expect(client, {"250 MAIL FROM:<a@example.org>", "250 RCPT TO:<alice@localhost>"}); };
    const std::string spoolDir = home.File(spool::kSpoolDirectory);
    std::filesystem::rename(spoolDir, spoolDir + ".away");
    begin();
    EXPECT_EQ(Code(client.Command("DATA")), 451);
    std::filesystem::rename(spoolDir + ".away", spoolDir);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit unlimited{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    auto limitFiles = [&](rlim_t bytes) {
        rlimit limit = unlimited;
        limit.rlim_cur = bytes;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    };
    begin();
    limitFiles(0);
    EXPECT_EQ(Code(client.Command("DATA")), 451);
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    begin();
    EXPECT_EQ(Code(client.Command("DATA")), 354);
    limitFiles(4096);
    EXPECT_EQ(Code(client.Command("Subject: big\r\n\r\n" + std::string(12000, 'b') + "\r\n.")), 451);
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    ::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(Code(client.Command("RCPT TO:<alice@localhost>")), 503);  // the transaction ended
    EXPECT_EQ(SendOne(client, "Subject: fits\r\n\r\nx"), 250);
    EXPECT_EQ(SpoolFiles().size(), 3u);  // the 250 came after the file was in place
    EXPECT_EQ(Code(client.Command("QUIT")), 221);
    WaitUntilIdle();
    ::unsetenv("TMPDIR");
    EXPECT_TRUE(std::filesystem::is_empty(temp));

    auto messages = TakeSpooled();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(), [](auto& m) { return m->recipients.size() == 256; }), 1);
    const std::string fits = std::string(19000, 's') + "\r\n";
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [&](auto& m) { return ContentOf(*m).find(fits) != std::string::npos; }),
              1);
}

TEST_F(SmtpServerModule, SessionCapAndShutdown) {
    SetSettingDword(settings::kPortsKeyPath, "SMTP Max Sessions", 2);
    SetSettingDword(settings::kPortsKeyPath, "SMTP Sessions Per Client", 1);  // loopback is not limited by it
    Start();
    SmtpClient first, second, third;
    Open(first);
    Open(second);
    ASSERT_TRUE(third.Connect(port));
    const std::string refused = third.Reply();
    EXPECT_EQ(Code(refused), 421) << refused;
    EXPECT_TRUE(third.ClosedByServer());
    EXPECT_FALSE(host.AreServersIdle());

    // The first is mid-transaction, the second idle: both are told and closed.
    EXPECT_EQ(Code(first.Command("MAIL FROM:<a@example.org>")), 250);
    Stop();
    EXPECT_EQ(Code(first.Reply()), 421);
    EXPECT_EQ(Code(second.Reply()), 421);
    EXPECT_TRUE(first.ClosedByServer());
    SmtpClient late;
    EXPECT_FALSE(late.Connect(port));  // nothing listens any more
    EXPECT_TRUE(SpoolFiles().empty());
}

// A full listener sheds the clients that sent no MAIL after the crowded
// time-out, so a newcomer gets in; a client with a transaction stays.
TEST_F(SmtpServerModule, AFullListenerMakesRoomByClosingIdleClients) {
    SetSettingDword(settings::kPortsKeyPath, "SMTP Max Sessions", 4);
    SetSettingDword(settings::kPortsKeyPath, "SMTP Crowded Timeout", 1);
    Start();
    SmtpClient sender, idle[3];
    Open(sender);
    ASSERT_EQ(Code(sender.Command("MAIL FROM:<a@example.org>")), 250);
    for (SmtpClient& client : idle) Open(client);
    // Each newcomer let in sends MAIL at once, so it is not idle itself and
    // keeps the listener crowded: every idle client is then closed in turn.
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<SmtpClient>> newcomers;
    for (int i = 0; i < 400 && newcomers.size() < std::size(idle); ++i) {
        auto newcomer = std::make_unique<SmtpClient>();
        ASSERT_TRUE(newcomer->Connect(port));
        const std::string greeting = newcomer->Reply();
        if (Code(greeting) == 220) {
            if (newcomers.empty())  // not the 300 s command time-out
                EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
            ASSERT_EQ(Code(newcomer->Command("EHLO newcomer.test")), 250);
            ASSERT_EQ(Code(newcomer->Command("MAIL FROM:<b@example.org>")), 250);
            newcomers.push_back(std::move(newcomer));
            continue;
        }
        EXPECT_EQ(Code(greeting), 421) << greeting;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(newcomers.size(), std::size(idle));
    for (SmtpClient& client : idle) EXPECT_EQ(client.Reply().substr(0, 4), "421 ");
    EXPECT_EQ(Code(sender.Command("RCPT TO:<alice@localhost>")), 250);
}

// The connection is shared: the spool processor routes into the mailboxes
// while the sessions resolve their recipients on the same connection. The
// ThreadSanitizer build runs this to find what the sharing may race on.
TEST_F(SmtpServerModule, RoutingGoesOnWhileSessionsResolveRecipients) {
    Start();
    CMailRouter router;
    CMailSpoolProcessor processor;
    processor.SetDatabase(host.GetDatabase());
    processor.SetRouter(&router);
    ASSERT_TRUE(processor.StartProcessing());
    constexpr int kSessions = 4, kMessages = 10;
    std::atomic<int> accepted{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSessions; ++s)
        senders.emplace_back([&] {
            SmtpClient client;
            if (!client.Connect(port) || Code(client.Reply()) != 220 || Code(client.Command("EHLO c.test")) != 250)
                return;
            for (int m = 0; m < kMessages; ++m) {
                if (Code(client.Command("MAIL FROM:<ann@example.org>")) != 250 ||
                    Code(client.Command("RCPT TO:<alice@localhost>")) != 250 ||
                    Code(client.Command("RCPT TO:<bob@localhost>")) != 250 || Code(client.Command("DATA")) != 354)
                    return;
                if (Code(client.Command("Subject: shared\r\n\r\nbody\r\n.")) == 250) ++accepted;
            }
            client.Command("QUIT");
        });
    for (std::thread& sender : senders) sender.join();
    WaitUntilIdle();
    WaitUntil([&] { return SpoolFiles().empty(); }, std::chrono::seconds(20));
    processor.StopProcessing();
    EXPECT_EQ(accepted.load(), kSessions * kMessages);
    EXPECT_TRUE(SpoolFiles().empty());
    OdbcStatement count(host.GetDatabase()->GetConnectionHandle());
    std::uint32_t stored = 0;
    ASSERT_TRUE(count.ExecDirect("SELECT count(*) FROM Mails") && count.BindULong(1, stored) && count.Fetch());
    EXPECT_EQ(stored, 2u * kSessions * kMessages);
}

// Loopback over IPv6 is the machine too; mail the engine generates comes back
// through loopback without the right to relay.
TEST_F(SmtpServerModule, LoopbackClientsRelayButTheEnginesOwnMailDoesNot) {
    Start();
    SmtpClient client, six;
    Open(client);
    EXPECT_EQ(SendOne(client, "Subject: plain\r\n\r\nx"), 250);
    const bool haveSix = six.Connect(port, true);
    if (haveSix) {
        ASSERT_EQ(Code(six.Reply()), 220);
        EXPECT_EQ(Code(six.Command("EHLO six.test")), 250);
        EXPECT_EQ(SendOne(six, "Subject: six\r\n\r\nx", "carol@remote.example"), 250);
    }
    CTempMailContent notice;
    const std::string text = "Subject: notice\r\n\r\nx\r\n";
    ASSERT_TRUE(notice.Open() && notice.Write(text.data(), static_cast<std::uint32_t>(text.size())));
    ASSERT_TRUE(CSystemNotice::SendNotice(notice, "alice@localhost"));
    client.Close();
    six.Close();
    WaitUntilIdle();

    auto messages = TakeSpooled();
    ASSERT_EQ(messages.size(), haveSix ? 3u : 2u);
    for (auto& info : messages) {
        EXPECT_EQ(info->mayRelay, info->sender == "a@example.org") << info->sender;
        const std::string text = ContentOf(*info);
        if (text.find("Subject: six") != std::string::npos) {
            EXPECT_EQ(text.rfind("Received: from six.test ([IPv6:::1])", 0), 0u);
        }
    }
}
