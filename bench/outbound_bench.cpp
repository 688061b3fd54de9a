// Outbound benchmark: one delivery pass of a full queue through the real
// `velmora run`, to a local SMTP sink that accepts everything.
//   1. A fresh home relays through a gateway on loopback (`Use Smart SMTP`
//      0, `RemoteGateway Server` 127.0.0.1, `RemotePort` the sink's port):
//      one connection for the whole pass.
//   2. 2,000 messages of 4 KB for one remote domain are queued over SMTP
//      (untimed); then `velmora send-receive` starts a pass and the clock
//      runs until the sink has the last message.
//   3. Printed: messages per second, the server's CPU per 1,000 messages
//      over the pass, and whether the 400 msg/s floor held.
// The sink is part of this program (a thread answering 250 to everything),
// so its own speed is far above the server's.
//
//   outbound_bench [--program PATH] [--dir DIR] [--messages N] [--size BYTES]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/BenchHome.h"
#include "e2e/BenchOptions.h"
#include "e2e/BenchSupport.h"
#include "e2e/MailBatch.h"
#include "e2e/ServerProcess.h"
#include "e2e/SmtpClient.h"

namespace {

using namespace bench;
using namespace std::chrono_literals;

// Accepts every transaction; counts the messages whose data ended.
class Sink {
public:
    ~Sink() { Stop(); }
    bool Start() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener, 16) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return false;
        port = ntohs(a.sin_port);
        thread = std::thread([this] { Accept(); });
        return true;
    }
    void Stop() {
        stopping = true;
        if (thread.joinable()) thread.join();
        for (std::thread& t : sessions)
            if (t.joinable()) t.join();
        sessions.clear();
        if (listener >= 0) ::close(listener);
        listener = -1;
    }
    int Port() const { return port; }
    long Received() const { return received.load(); }

private:
    void Accept() {
        while (!stopping) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) sessions.emplace_back([this, fd] { Serve(fd); });
        }
    }
    static bool Reply(int fd, const char* text) {
        return ::send(fd, text, std::strlen(text), MSG_NOSIGNAL) == static_cast<ssize_t>(std::strlen(text));
    }
    void Serve(int fd) {
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Reply(fd, "220 sink ready\r\n");
        std::string buffer;
        bool inData = false;
        char chunk[65536];
        while (!stopping) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(n));
            std::string replies;
            for (;;) {
                if (inData) {
                    const std::size_t end = buffer.find("\r\n.\r\n");
                    if (end == std::string::npos) {
                        // Keep only what may hold the start of the end mark.
                        if (buffer.size() > 4) buffer.erase(0, buffer.size() - 4);
                        break;
                    }
                    buffer.erase(0, end + 5);
                    inData = false;
                    ++received;
                    replies += "250 taken\r\n";
                    continue;
                }
                const std::size_t eol = buffer.find("\r\n");
                if (eol == std::string::npos) break;
                std::string line = buffer.substr(0, eol);
                buffer.erase(0, eol + 2);
                for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                if (line.rfind("EHLO", 0) == 0)
                    replies += "250-sink\r\n250 PIPELINING\r\n";
                else if (line.rfind("DATA", 0) == 0) {
                    replies += "354 go on\r\n";
                    inData = true;
                    buffer.insert(0, "\r\n");  // the data's first line may be the end mark
                } else if (line.rfind("QUIT", 0) == 0) {
                    Reply(fd, "221 bye\r\n");
                    ::close(fd);
                    return;
                } else
                    replies += "250 ok\r\n";
            }
            if (!replies.empty() && !Reply(fd, replies.c_str())) break;
        }
        ::close(fd);
    }

    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<long> received{0};
    std::thread thread;
    std::vector<std::thread> sessions;
};

struct Options {
    std::string program;
    std::string dir;
    int messages = 2000;
    std::size_t size = 4096;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    BenchOptions options;
    options.Value("--messages", o.messages);
    options.Value("--size", o.size);
    if (!options.Parse(argc, argv, o.program, o.dir)) {
        std::cerr << "usage: outbound_bench [--program PATH] [--dir DIR] [--messages N] [--size BYTES]\n";
        return 64;
    }
    BenchHome home;
    if (const std::string why = home.Create(o.program, o.dir, "outbound"); !why.empty()) {
        std::cerr << "outbound_bench: " << why << "\n";
        return 1;
    }

    Sink sink;
    if (!sink.Start()) return 1;
    const int port = FreePort();
    const bool ready =
        home.Setup() && home.SetDword("Ports", "SMTP Port", port) && home.SetDword("Ports", "Use Smart SMTP", 0) &&
        home.Velmora({"reg", "set", "Ports", "RemoteGateway Server", "string", "127.0.0.1"}) &&
        home.SetDword("Ports", "RemotePort", sink.Port()) && home.SetDword("Preferences", "ErrorMailDayCount", 30);
    if (!ready) {
        std::cerr << "outbound_bench: the home could not be provisioned:\n" << home.CommandOutput();
        return 1;
    }
    ServerProcess server;
    if (!home.Start(server)) {
        std::cerr << "outbound_bench: the server did not start:\n" << server.Output();
        return 1;
    }

    // Queue the messages (untimed): eight sessions, one remote domain; routing
    // has put every message on the queue when the Outbox holds them all.
    MailBatch batch;
    batch.port = port;
    batch.messages = o.messages;
    batch.sessions = 8;
    const std::string text = MakeMessage(o.size, "someone@sink.example", "outbound");
    for (int r = 0; r < 50; ++r) batch.recipients.push_back("user" + std::to_string(r) + "@sink.example");
    batch.texts.assign(batch.recipients.size(), text);
    const std::string outbox = home.Home() + "/Outbox";
    const long queued = batch.Send([&] { return CountFiles({outbox}, ".tmp"); }, [] { return true; }, 20ms).accepted;
    std::printf("queued: %ld messages of %zu bytes for one domain (Outbox files: %zu)\n", queued, o.size,
                CountFiles({outbox}, ".tmp"));

    const double cpuBefore = server.TreeCpuSeconds();
    const auto start = Clock::now();
    if (!home.Velmora({"send-receive"})) {
        std::cerr << "outbound_bench: send-receive failed:\n" << home.CommandOutput();
        return 1;
    }
    while (sink.Received() < queued && Clock::now() < start + 600s) std::this_thread::sleep_for(5ms);
    const auto done = Clock::now();
    const double cpu = server.TreeCpuSeconds() - cpuBefore;
    const double rate = static_cast<double>(sink.Received()) / Seconds(start, done);
    std::printf("one delivery pass through a gateway on one connection:\n");
    std::printf("  delivered: %ld in %.3f s = %.0f msg/s (floor 400: %s)\n", sink.Received(), Seconds(start, done),
                rate, rate >= 400 ? "held" : "MISSED");
    std::printf("  server CPU: %.2f s over the pass = %.2f s per 1,000 messages\n", cpu,
                cpu * 1000.0 / static_cast<double>(std::max<long>(1, sink.Received())));
    server.Stop();
    sink.Stop();
    return sink.Received() == queued && queued == o.messages ? 0 : 1;
}
