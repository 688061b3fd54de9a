// Start-up of the real program: one server per home (a second start on a
// served home ends at once, names the holder and leaves the first server's
// deliveries exactly once); a start that cannot listen or reads a mistyped
// port or listen address ends with one sentence and a non-zero exit, its
// spool as it was; and it says where it really listens.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <set>
#include <string>

#include "E2eFixture.h"
#include "foundation/CTempMailContent.h"
#include "spool/MailInfo.h"
#include "spool/MailRecipient.h"
#include "spool/SpoolFile.h"

namespace {

using E2eStartup = E2eFixture;
using namespace std::chrono_literals;

// `velmora run` on the home to its end: exit code and what it printed.
RunResult RunServer(const MailHome& home, const std::vector<std::string>& environment) {
    return RunProgram({VelmoraProgram(), "--home", home.Path(), "run", "--headless"}, 30s, environment);
}

// Stores a value as a hand-edited settings file would (`reg set` refuses
// such values): the value's line replaced by `"NAME"=<value>`.
bool WriteValue(const MailHome& home, const std::string& name, const std::string& value) {
    const std::string path = home.File("settings.reg");
    std::string text = TestHome::ReadFile(path);
    const std::string field = "\"" + name + "\"=";
    const std::size_t at = text.find(field);
    if (at == std::string::npos) return false;
    text.replace(at, text.find('\n', at) - at, field + value);
    TestHome::WriteFile(path, text);
    return true;
}

}  // namespace

// A refused start leaves the spool as it was; a second start on the served
// home is refused while the first goes on storing every message once.
TEST_F(E2eStartup, RefusedStartsLeaveTheSpoolAndASecondServerLeavesEveryMessageStoredOnce) {
    // A message waiting in the spool for a remote recipient.
    MailInfo waiting;
    waiting.sender = "bob@localhost";
    waiting.recipients.push_back(std::make_unique<MailRecipient>("carol", "remote.example"));
    auto content = std::make_unique<CTempMailContent>();
    const std::string text = "Subject: waiting\r\n\r\nbody\r\n";
    ASSERT_TRUE(content->Open() && content->Write(text.data(), static_cast<std::uint32_t>(text.size())));
    waiting.content = std::move(content);
    ASSERT_TRUE(WriteSpoolFile(waiting, home.File("SMTPSpooler")));
    const std::vector<std::string> spool = home.SpoolFiles();
    ASSERT_EQ(spool.size(), 1u);

    // Each refused start ends with exit 1 and one sentence, before it serves.
    auto expectRefused = [&](const std::string& sentence) {
        const RunResult r = RunServer(home, ServerEnvironment());
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("velmora run: " + sentence), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("velmora: serving"), std::string::npos) << r.output;
    };
    {  // the port is taken
        UniqueFd taker(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(taker.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(taker.Get(), 1), 0);
        expectRefused("SMTP cannot listen on 0.0.0.0:" + std::to_string(port) + ": Address already in use");
    }
    const std::string portSetting = "setting Ports\\SMTP Port ";
    ASSERT_TRUE(WriteValue(home, "SMTP Port", "\"" + std::to_string(port) + "\""));
    expectRefused(portSetting + "is stored as a string; it must be a dword from 1 to 65535");
    ASSERT_TRUE(WriteValue(home, "SMTP Port", "dword:00011170"));  // 70000
    expectRefused(portSetting + "is 70000; it must be from 1 to 65535");
    ASSERT_TRUE(home.SetDword("Ports", "SMTP Port", static_cast<std::uint32_t>(port)));
    EXPECT_EQ(home.Velmora({"reg", "set", "Ports", "SMTP Listen Address", "string", "localhost"}).status, 1);
    ASSERT_EQ(home.Velmora({"reg", "set", "Ports", "SMTP Listen Address", "string", "127.0.0.1"}).status, 0);
    ASSERT_TRUE(WriteValue(home, "SMTP Listen Address", "\"localhost\""));
    expectRefused("setting Ports\\SMTP Listen Address is \"localhost\", which is not an IPv4 or IPv6 address");

    EXPECT_EQ(home.SpoolFiles(), spool);
    EXPECT_TRUE(home.OutboxFiles().empty());
    // Mended, the server listens where it is told and takes the waiting
    // message on.
    ASSERT_EQ(home.Velmora({"reg", "set", "Ports", "SMTP Listen Address", "string", "127.0.0.1"}).status, 0);
    StartServer();
    EXPECT_NE(server.Output().find("velmora: SMTP listening on 127.0.0.1:" + std::to_string(port) + "\n"),
              std::string::npos)
        << server.Output();
    EXPECT_EQ(TestHome::ReadFile(home.File("server.lock")), std::to_string(server.Pid()) + "\n");
    constexpr int kMessages = 300;
    SmtpClient client;
    Open(client);
    for (int n = 0; n < kMessages; ++n) {
        // The second start comes while the first server is busy routing.
        if (n == kMessages / 2) {
            const RunResult second = RunServer(home, ServerEnvironment());
            EXPECT_EQ(second.status, 1) << second.output;
            EXPECT_NE(second.output.find("velmora run: the home " + home.Path() + " is already served by process " +
                                         std::to_string(server.Pid())),
                      std::string::npos)
                << second.output;
            EXPECT_EQ(second.output.find("listening"), std::string::npos) << second.output;
            // The commands that read and edit settings and accounts take no lock.
            EXPECT_EQ(home.Velmora({"account", "list"}).status, 0);
            EXPECT_EQ(home.Velmora({"reg", "get", "Ports", "SMTP Port"}).status, 0);
        }
        const std::string text = "Subject: once " + std::to_string(n) + "\r\n\r\nbody\r\n";
        ASSERT_EQ(Code(Transaction(client, "bob@localhost", {"alice@localhost"}, text)), 250) << n;
    }
    ASSERT_TRUE(WaitForMail("alice", kMessages)) << home.InboxFiles("alice").size() << " stored";
    ASSERT_TRUE(WaitForEmptySpool());
    EXPECT_EQ(home.OutboxFiles().size(), 1u);  // the waiting message
    // As many files as messages, each subject among them: every message exactly once.
    std::set<std::string> subjects;
    for (const std::string& text : home.InboxTexts("alice")) {
        const std::size_t at = text.find("Subject: once ");
        if (at != std::string::npos) subjects.insert(text.substr(at, text.find("\r\n", at) - at));
    }
    EXPECT_EQ(subjects.size(), static_cast<std::size_t>(kMessages));
    EXPECT_EQ(home.InboxFiles("alice").size(), static_cast<std::size_t>(kMessages));
    EXPECT_EQ(home.SqlNumber("SELECT count(*) FROM Mails"), kMessages);
    StopServer();
    EXPECT_EQ(TestHome::ReadFile(home.File("server.lock")), "") << "a clean stop empties the lock file";
}
