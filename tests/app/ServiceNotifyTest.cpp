// What a service manager hears from the real `velmora run`, through a
// notification socket of the test's own: READY=1 only once the SMTP port
// accepts, heartbeats under a watchdog, STOPPING=1 at SIGTERM; and the
// diagnostic log's lines on standard error only when a manager runs us.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "E2eFixture.h"
#include "platform/ServiceNotify.h"
#include "platform/UniqueFd.h"

namespace {

using namespace std::chrono_literals;

// A bound datagram socket in the home, as systemd's NOTIFY_SOCKET is.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& socketPath) : path(socketPath), fd(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) return;
        path.copy(address.sun_path, path.size());
        bound = ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    bool Bound() const { return bound; }
    // The next datagram whose text contains `wanted`; "" when none came in the wait.
    std::string Next(const std::string& wanted, std::chrono::milliseconds wait = 60s) {
        const auto end = std::chrono::steady_clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            pollfd p{fd.Get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
            if (n <= 0) continue;
            std::string text(buffer, static_cast<std::size_t>(n));
            received.push_back(text);
            if (text.find(wanted) != std::string::npos) return text;
        }
    }
    std::vector<std::string> received;

private:
    std::string path;
    UniqueFd fd;
    bool bound = false;
};

class ServiceNotifyTest : public E2eFixture {};

TEST_F(ServiceNotifyTest, ReadyOnceListeningThenHeartbeatsAndStoppingAndTheLogOnStandardError) {
    if (!ServiceNotify::Supported()) GTEST_SKIP() << "built without libsystemd";
    NotifySocket manager(home.File("notify"));
    ASSERT_TRUE(manager.Bound());
    std::vector<std::string> environment = ServerEnvironment();
    environment.push_back("NOTIFY_SOCKET=" + home.File("notify"));
    environment.push_back("WATCHDOG_USEC=200000");  // a heartbeat every 100 ms
    ASSERT_TRUE(server.Start(home.Path(), home.File("server.out"), environment));

    const std::string ready = manager.Next("READY=1");
    ASSERT_NE(ready, "") << server.Output();
    // Ready is the first thing said, and by then the port takes a session.
    EXPECT_EQ(manager.received.size(), 1u);
    EXPECT_EQ(ready, "READY=1\nSTATUS=Serving " + home.Path());
    SmtpClient client;
    ASSERT_TRUE(client.Connect(port));
    EXPECT_EQ(Code(client.Reply()), 220);

    EXPECT_EQ(manager.Next("WATCHDOG=1"), "WATCHDOG=1");
    ASSERT_TRUE(server.Signal(SIGTERM));
    EXPECT_EQ(manager.Next("STOPPING=1"), "STOPPING=1\nSTATUS=Stopping");
    ASSERT_TRUE(server.WaitExit(20s));
    EXPECT_EQ(server.ExitCode(), 0) << server.Output();
    // The journal reads standard error: the log's lines are there too.
    EXPECT_NE(server.Output().find("velmora log: SMTP server listening on"), std::string::npos) << server.Output();
}

TEST_F(ServiceNotifyTest, WithoutAManagerTheLogStaysInItsFile) {
    // A journal stream that is not our standard error is someone else's.
    std::vector<std::string> environment = ServerEnvironment();
    environment.push_back("JOURNAL_STREAM=1:1");
    ASSERT_TRUE(server.Start(home.Path(), home.File("server.out"), environment));
    ASSERT_TRUE(server.WaitServing()) << server.Output();
    StopServer();
    EXPECT_EQ(server.Output().find("velmora log:"), std::string::npos) << server.Output();
    EXPECT_NE(home.LogText().find("SMTP server listening on"), std::string::npos);
}

}  // namespace
