// The shell commands of the real program as an administrator meets them on
// the first day: help on standard output with exit 0, a missing home named
// with the command that makes one, and a moved home repaired by setup.
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "E2eFixture.h"

namespace {

// The program's standard output alone (standard error is dropped).
RunResult StdoutOf(const std::vector<std::string>& arguments) {
    std::string command = "'" + VelmoraProgram() + "'";
    for (const std::string& a : arguments) command += " '" + a + "'";
    return RunProgram({"sh", "-c", command + " 2>/dev/null"});
}

}  // namespace

TEST(E2eShellHelp, HelpGoesToStandardOutputUsageErrorsToStandardErrorAndAMissingHomeIsNamed) {
    for (const char* ask : {"--help", "-h", "help", "help account", "account --help", "reg -h", "domain --help",
                            "setup --help", "run --help", "help domain"}) {
        std::vector<std::string> words;
        for (std::istringstream in(ask); in >> words.emplace_back();) {
        }
        words.pop_back();
        const RunResult r = StdoutOf(words);
        EXPECT_EQ(r.status, 0) << ask;
        EXPECT_EQ(r.output.rfind("usage: velmora", 0), 0u) << ask << ": " << r.output;
    }
    EXPECT_NE(StdoutOf({"help", "domain"}).output.find("domain add NAME"), std::string::npos);
    for (const auto& wrong : std::vector<std::vector<std::string>>{{}, {"frobnicate"}, {"--hme", "x", "setup"}}) {
        const RunResult r = StdoutOf(wrong);
        EXPECT_EQ(r.status, 64);
        EXPECT_EQ(r.output, "");
    }

    // A missing home is named with the command that makes one.
    TestHome parent;
    const std::string missing = parent.File("no-such-home");
    for (const auto& command : std::vector<std::vector<std::string>>{
             {"account", "list"}, {"reg", "set", "Ports", "SMTP Port", "dword", "2525"}}) {
        std::vector<std::string> argv = {VelmoraProgram(), "--home", missing};
        argv.insert(argv.end(), command.begin(), command.end());
        const RunResult r = RunProgram(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("the home " + missing + " does not exist; make one with `velmora --home " + missing +
                                " setup`"),
                  std::string::npos)
            << r.output;
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(E2eShellMove, AMovedHomeWorksAfterSetupAndKeepsPathsSetElsewhere) {
    TestHome elsewhere;
    MailHome home;
    ASSERT_TRUE(home.Setup());
    ASSERT_TRUE(home.AddAccount("alice"));
    ASSERT_EQ(home.Velmora({"reg", "set", "Log", "Log Directory", "string", elsewhere.Path()}).status, 0);
    const std::string old = home.Path();
    const std::string moved = old + "-moved";
    std::filesystem::rename(old, moved);
    // As for an administrator: the data-source files are the home's own.
    ::unsetenv("ODBCINI");
    ::unsetenv("ODBCSYSINI");

    auto velmora = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {VelmoraProgram(), "--home", moved});
        return RunProgram(arguments);
    };
    EXPECT_NE(velmora({"account", "list"}).output.find("moved or restored from " + old), std::string::npos);
    using Step = std::tuple<std::vector<std::string>, int, std::string>;  // command, exit code, part of its output
    for (const auto& [command, status, says] : std::vector<Step>{
             {{"account", "list"}, 1, "`velmora --home " + moved + " setup`"},
             {{"setup"}, 0, "The home moved from " + old},
             {{"account", "list"}, 0, "alice"},
             {{"domain", "add", "example.org"}, 0, ""},
             {{"account", "add", "carol", "--password", "c", "--email", "carol@localhost"},
              0,
              "its mail is kept in " + moved + "/mail/QIRN"},
             {{"reg", "get", "Storage", "Mail Directory"}, 0, "Mail Directory = " + moved + "/mail (string)\n"},
             {{"reg", "get", "Log", "Log Directory"}, 0, "Log Directory = " + elsewhere.Path() + " (string)\n"},
             {{"reg", "get", "TLS", "Key File"}, 0, "Key File = " + moved + "/tls/private-key.pem (string)\n"}}) {
        const RunResult r = velmora(command);
        EXPECT_EQ(r.status, status) << command[0] << ": " << r.output;
        EXPECT_NE(r.output.find(says), std::string::npos) << r.output;
    }
    // A database file in the home moves with it (one on a server stays where it is).
    if (!home.Postgres()) {
        EXPECT_NE(TestHome::ReadFile(moved + "/odbc.ini").find("Database=" + moved + "/velmora.db\n"),
                  std::string::npos);
    }
    // A second setup has nothing left to repair.
    EXPECT_EQ(velmora({"setup"}).output.find("The home moved from"), std::string::npos);
    std::filesystem::rename(moved, old);
}

namespace {

using E2eStatusJson = E2eFixture;

// `velmora status --json` piped into python3's json module, which prints the
// fields the test looks at (a reply that does not parse fails there).
RunResult StatusJsonFields(const std::string& home) {
    const std::string script =
        "import json,sys; d=json.load(sys.stdin); c=d.get('cycle') or {}; q=d.get('queue') or {};"
        "print(d['running'], d.get('pid'), (d.get('sessions') or {}).get('SMTP'), c.get('cyclesCompleted'),"
        " q.get('waiting'), type(d.get('uptimeSeconds')).__name__, d.get('lastDeliveryError'))";
    return RunProgram({"sh", "-c",
                       "'" + VelmoraProgram() + "' --home '" + home + "' status --json 2>/dev/null | python3 -c \"" +
                           script + "\""});
}

}  // namespace

TEST_F(E2eStatusJson, OneObjectWithCycleQueueSessionsAndPidAndRunningFalseWithoutAServer) {
    StartServer();
    Pass(1);
    // A held SMTP session shows in the SMTP listener's count.
    SmtpClient client;
    Open(client);
    const std::string expected =
        "True " + std::to_string(server.Pid()) + " 1 1 0 int None";
    RunResult r;
    ASSERT_TRUE(WaitUntil(
        [&] {
            r = StatusJsonFields(home.Path());
            return r.output.rfind(expected, 0) == 0;
        },
        kDeliveryWait))
        << r.output;
    client.Close();
    StopServer();

    r = StdoutOf({"--home", home.Path(), "status", "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "{\"running\":false}\n");
    EXPECT_EQ(StatusJsonFields(home.Path()).output.rfind("False None None None None NoneType None", 0), 0u);
}
