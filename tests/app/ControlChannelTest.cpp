// The control socket and the shell commands that use it, through the real
// `velmora run`: status and stop against a running server (send-receive is
// the outbound end-to-end test's), the one-sentence refusal when none runs
// (also over a crashed server's socket), requests the channel refuses, and
// the queue commands, which need no server, against rows put into the table.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>

#include "E2eFixture.h"
#include "app/CControlServer.h"

namespace {

using namespace std::chrono_literals;

// One raw request line (or whatever bytes) over the home's socket; the reply.
std::string Raw(const std::string& home, const std::string& bytes) {
    sockaddr_un address{};
    UniqueFd dirHold;
    if (!CControlServer::MakeAddress(home, address, dirHold)) return "<no address>";
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return "<refused>";
    ::send(fd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd.Get(), SHUT_WR);
    std::string reply;
    char buffer[512];
    for (ssize_t n; (n = ::recv(fd.Get(), buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
    return reply;
}

class ControlChannelTest : public E2eFixture {
protected:
    std::string Socket() const { return home.File(CControlServer::kSocketName); }
    // A socket file nobody listens on, as a killed server leaves it.
    void LeaveStaleSocket() {
        sockaddr_un address{};
        UniqueFd dirHold;
        ASSERT_TRUE(CControlServer::MakeAddress(home.Path(), address, dirHold));
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
        ASSERT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
};

TEST_F(ControlChannelTest, WithoutAServerEachCommandSaysSoInOneSentence) {
    LeaveStaleSocket();
    for (const char* command : {"status", "send-receive", "stop"}) {
        const RunResult r = RunProgram({VelmoraProgram(), "--home", home.Path(), command});
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.output,
                  std::string("velmora ") + command + ": no server is running on the home " + home.Path() + "\n");
    }
    EXPECT_EQ(RunProgram({VelmoraProgram(), "--home", home.Path(), "status", "now"}).status, 64);
}

TEST_F(ControlChannelTest, StatusAndStopReachTheRunningServer) {
    LeaveStaleSocket();  // replaced at start
    StartServer();
    struct stat info {};
    ASSERT_EQ(::lstat(Socket().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    RunResult r = home.Velmora({"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Send and receive: idle; 0 completed since start"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Queue: 0 recipients waiting"), std::string::npos) << r.output;

    // What the channel refuses, each answered in one line.
    EXPECT_EQ(Raw(home.Path(), "reboot\n").rfind("ERR unknown request", 0), 0u);
    EXPECT_EQ(Raw(home.Path(), std::string(CControlServer::kMaxRequestBytes + 10, 'x')),
              "ERR the request is too long\n");
    EXPECT_EQ(Raw(home.Path(), "status"), "ERR a request is one line ending in a line feed\n");

    r = home.Velmora({"stop"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("has stopped"), std::string::npos) << r.output;
    ASSERT_TRUE(server.WaitExit(20s));
    EXPECT_EQ(server.ExitCode(), 0) << server.Output();
    EXPECT_FALSE(std::filesystem::exists(Socket()));
}

TEST_F(ControlChannelTest, QueueListShowsReasonsAndDeleteTakesTheFileWithItsLastRow) {
    std::filesystem::create_directories(home.File("Outbox"));
    for (const char* name : {"Tes1A.tmp", "Tes2B.tmp"}) std::ofstream(home.File("Outbox/") + name) << "x";
    // One statement at a time, a yes/no column written as both backends take it.
    for (const char* row : {"'zed','far.example','Outbox/Tes1A.tmp',false,2,'2026-12-01 10:00:00','0'",
                            "'amy','near.example','Outbox/Tes1A.tmp',false,0,'2026-12-01 10:00:00','0'",
                            "'bo','near.example','Outbox/Tes2B.tmp',false,6,'2026-12-02 11:00:00','0'"})
        ASSERT_EQ(home.Sql(std::string("INSERT INTO OutBoundMails VALUES (") + row + ")"), "");
    ASSERT_EQ(home.Sql("INSERT INTO OutboundReplies VALUES ('Outbox/Tes1A.tmp','zed','far.example',"
                       "'451 4.2.1 Mailbox busy',false)"),
              "");
    RunResult r = home.Velmora({"queue", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output,
              "Outbox/Tes1A.tmp  zed@far.example  code 2 Recipient Temporarily Refused  queued 2026-12-01 10:00:00"
              "  reply: 451 4.2.1 Mailbox busy\n"
              "Outbox/Tes1A.tmp  amy@near.example  not yet tried  queued 2026-12-01 10:00:00\n"
              "Outbox/Tes2B.tmp  bo@near.example  code 6 Remote Host Returned Error on this account  queued "
              "2026-12-02 11:00:00\n");

    // No terminal, no --yes: nothing goes.
    r = RunProgram({VelmoraProgram(), "--home", home.Path(), "queue", "delete", "Tes1A.tmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(home.SqlNumber("SELECT count(*) FROM OutBoundMails"), 3);
    r = RunProgram({VelmoraProgram(), "--home", home.Path(), "queue", "delete", "Outbox\\Tes9.tmp", "--yes"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("no queued mail has the file Outbox/Tes9.tmp"), std::string::npos) << r.output;

    r = home.Velmora({"queue", "delete", "Tes1A.tmp", "--yes"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "Deleted Outbox/Tes1A.tmp (2 recipients)\n");
    EXPECT_FALSE(std::filesystem::exists(home.File("Outbox/Tes1A.tmp")));
    EXPECT_TRUE(std::filesystem::exists(home.File("Outbox/Tes2B.tmp")));
    EXPECT_EQ(home.Sql("SELECT DestUser FROM OutBoundMails"), "bo");
    EXPECT_EQ(home.SqlNumber("SELECT count(*) FROM OutboundReplies"), 0);
}

}  // namespace
