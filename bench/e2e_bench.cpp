// End-to-end benchmark: the real `velmora run` on a fresh home, fed over
// loopback SMTP.
//   1. 2,000 messages of 4 KB over 8 concurrent sessions (pipelined
//      MAIL/RCPT/DATA) to 10 local accounts: accepted messages per second
//      (until the last 250), delivered messages per second (until the last
//      ".mel" file exists), the server's peak resident memory (VmHWM) and
//      its CPU time.
//   2. One 50 MB message to a fresh server: time to its 250, time until it
//      is in the mailbox, and that server's peak resident memory.
// A 250 means the message is on stable storage, so the figures include
// every fsync; the file system the home is on is printed with them.
//
//   e2e_bench [--program PATH] [--dir DIR] [--messages N] [--sessions N]
//             [--size BYTES] [--big-mb N] [--skip-big]
// Without --program the program is looked for next to this one
// (build/X/bench/e2e_bench -> build/X/bin/velmora). The home is made under
// --dir (default $TMPDIR or /tmp) and removed afterwards (E2E_BENCH_KEEP=1
// keeps it). On a file system without a journal, ext4 allocates inodes
// slowly for a while after many deletions: let a minute pass between runs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs a command to its end (bounded); true on exit code 0.
bool Run(const std::vector<std::string>& argv, const std::string& outputPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    const auto until = Clock::now() + 60s;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The server in its own process group; killed and reaped on every way out.
class Server {
public:
    ~Server() { Stop(); }
    bool Start(const std::string& program, const std::string& home) {
        output = home + "/server.out";
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        std::vector<std::string> argv = {program, "--home", home, "run"};
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        const int rc = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (rc != 0) return false;
        const auto until = Clock::now() + 30s;
        while (Clock::now() < until) {
            if (ReadAll(output).find("velmora: serving") != std::string::npos) return true;
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // SIGTERM and a bounded wait; true on exit code 0.
    bool Stop() {
        if (pid <= 0) return true;
        ::kill(pid, SIGTERM);
        int status = 0;
        const auto until = Clock::now() + 30s;
        bool exited = false;
        while (Clock::now() < until) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        ::kill(-pid, SIGKILL);
        if (!exited) ::waitpid(pid, &status, 0);
        pid = -1;
        return exited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // A "Name:   N kB" line of /proc/<pid>/status, in kB.
    long StatusKb(const char* name) const {
        std::istringstream in(ReadAll("/proc/" + std::to_string(pid) + "/status"));
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name, 0) == 0) return std::atol(line.c_str() + std::strlen(name));
        return -1;
    }
    // User and system CPU seconds so far.
    double CpuSeconds() const {
        const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) return -1;
        std::istringstream in(stat.substr(close + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; in >> field; ++i)
            if (i == 14 || i == 15) ticks += std::atof(field.c_str());
        return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    std::string Output() const { return ReadAll(output); }

private:
    pid_t pid = -1;
    std::string output;
};

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// A minimal SMTP client; every read is bounded.
class Client {
public:
    ~Client() {
        if (fd >= 0) ::close(fd);
    }
    bool Connect(int port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && Code() == 220 &&
               Send("EHLO bench.test\r\n") && Code() == 250;
    }
    bool Send(const std::string& data) {
        for (std::size_t done = 0; done < data.size();) {
            const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // The code of the next whole reply; 0 on failure or after 120 s.
    int Code() {
        for (;;) {
            const std::size_t end = buffer.find("\r\n");
            if (end != std::string::npos) {
                const std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                if (line.size() >= 4 && line[3] == '-') continue;
                return line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 120000) <= 0) return 0;
            char chunk[4096];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return 0;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // One pipelined transaction; true on the final 250.
    bool SendMail(const std::string& from, const std::string& to, const std::string& text) {
        return Send("MAIL FROM:<" + from + ">\r\nRCPT TO:<" + to + ">\r\nDATA\r\n") && Code() == 250 && Code() == 250 &&
               Code() == 354 && Send(text) && Code() == 250;
    }

private:
    int fd = -1;
    std::string buffer;
};

// A dot-stuffed message of size bytes (before the end-of-data line), ending with CR LF "." CR LF.
std::string MakeMessage(std::size_t size, const std::string& to, const std::string& subject) {
    std::string text = "From: bench@localhost\r\nTo: " + to + "\r\nSubject: " + subject +
                       "\r\nDate: Mon, 07 Dec 2026 09:00:00 +0000\r\nMessage-Id: <" + subject + "@bench>\r\n\r\n";
    const std::string line = std::string(76, 'b') + "\r\n";
    while (text.size() + line.size() <= size) text += line;
    text += std::string(size > text.size() + 2 ? size - text.size() - 2 : 0, 'c') + "\r\n";
    return text + ".\r\n";
}

std::size_t CountMel(const std::vector<std::string>& inboxes) {
    std::size_t n = 0;
    std::error_code ec;
    for (const std::string& dir : inboxes)
        for (const auto& e : fs::directory_iterator(dir, ec))
            if (e.path().extension() == ".mel") ++n;
    return n;
}

const char* FileSystemName(const std::string& path) {
    struct statfs s {};
    if (::statfs(path.c_str(), &s) != 0) return "unknown";
    switch (static_cast<unsigned long>(s.f_type)) {
        case 0xEF53:
            return "ext2/3/4";
        case 0x01021994:
            return "tmpfs";
        case 0x58465342:
            return "xfs";
        case 0x9123683E:
            return "btrfs";
        case 0x794C7630:
            return "overlayfs";
        default:
            return "other";
    }
}

struct Options {
    std::string program;
    std::string dir;
    int messages = 2000;
    int sessions = 8;
    std::size_t size = 4096;
    int bigMb = 50;
    bool skipBig = false;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--skip-big")
            o.skipBig = true;
        else if (a == "--program" && (v = next()))
            o.program = v;
        else if (a == "--dir" && (v = next()))
            o.dir = v;
        else if (a == "--messages" && (v = next()))
            o.messages = std::atoi(v);
        else if (a == "--sessions" && (v = next()))
            o.sessions = std::atoi(v);
        else if (a == "--size" && (v = next()))
            o.size = static_cast<std::size_t>(std::atol(v));
        else if (a == "--big-mb" && (v = next()))
            o.bigMb = std::atoi(v);
        else if (a[0] != '-' && o.program.empty())
            o.program = a;
        else
            return false;
    }
    if (o.program.empty()) {
        std::error_code ec;
        o.program = (fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path() / "bin" / "velmora").string();
    }
    if (o.dir.empty()) o.dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    return o.messages > 0 && o.sessions > 0 && o.size >= 512 && o.bigMb > 0;
}

// Removes the home on every way out.
struct HomeGuard {
    std::string path;
    ~HomeGuard() {
        std::error_code ec;
        if (!path.empty() && !std::getenv("E2E_BENCH_KEEP")) fs::remove_all(path, ec);
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::cerr << "usage: e2e_bench [--program PATH] [--dir DIR] [--messages N] [--sessions N] [--size BYTES]"
                     " [--big-mb N] [--skip-big]\n";
        return 64;
    }
    if (::access(o.program.c_str(), X_OK) != 0) {
        std::cerr << "e2e_bench: no program at " << o.program << " (give --program)\n";
        return 1;
    }
    std::string tmpl = o.dir + "/velmora-e2e-bench-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
        std::cerr << "e2e_bench: cannot make a home under " << o.dir << "\n";
        return 1;
    }
    HomeGuard guard{tmpl};
    const std::string home = tmpl;
    std::vector<std::string> inboxes;
    const std::string log = home + "/commands.out";
    // The home's own data source, whatever the caller's environment says.
    ::setenv("ODBCSYSINI", home.c_str(), 1);
    ::setenv("ODBCINI", (home + "/odbc.ini").c_str(), 1);
    fs::create_directories(home + "/tmp");
    ::setenv("TMPDIR", (home + "/tmp").c_str(), 1);
    const int port = FreePort();
    auto velmora = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {o.program, "--home", home});
        return Run(args, log);
    };
    const std::uint64_t bigBytes = static_cast<std::uint64_t>(o.bigMb) << 20;
    bool ready =
        Run({o.program, "setup", "--home", home, "--postmaster-password", "postmaster1"}, log) &&
        velmora({"reg", "set", "Ports", "SMTP Port", "dword", std::to_string(port)}) &&
        velmora({"reg", "set", "Ports", "SMTP Max Message Size", "dword", std::to_string(bigBytes + (1 << 20))});
    // Ten accounts as an office makes them (the default mailbox limit), and
    // one without a mailbox limit for the large message.
    for (int u = 0; ready && u < 10; ++u)
        ready = velmora({"account", "add", "user" + std::to_string(u), "--password", "secret12", "--email",
                         "user" + std::to_string(u) + "@localhost"});
    ready = ready && velmora({"account", "add", "big", "--password", "secret12", "--email", "big@localhost",
                              "--mailbox-limit", "0"});
    if (!ready) {
        std::cerr << "e2e_bench: the home could not be provisioned:\n" << ReadAll(log);
        return 1;
    }
    // Every account's Inbox (mail/<mailbox>/Inbox), found on disk.
    {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(home + "/mail", ec))
            if (fs::is_directory(e.path() / "Inbox")) inboxes.push_back((e.path() / "Inbox").string());
    }
    auto spoolEmpty = [&] {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(home + "/SMTPSpooler", ec))
            if (e.path().extension() == ".tmp" && e.path().filename().string()[0] != '.') return false;
        return true;
    };

    std::cout << "program: " << o.program << "\nhome:    " << home << " (" << FileSystemName(home) << ")\n"
              << "cores:   " << std::thread::hardware_concurrency() << "\n";

    // ---- 1. many small messages ----
    {
        Server server;
        if (!server.Start(o.program, home)) {
            std::cerr << "e2e_bench: the server did not start:\n" << server.Output();
            return 1;
        }
        const long idleKb = server.StatusKb("VmHWM:");
        const double cpuBefore = server.CpuSeconds();
        std::vector<std::string> texts;
        for (int u = 0; u < 10; ++u)
            texts.push_back(MakeMessage(o.size, "user" + std::to_string(u) + "@localhost", "bench"));
        std::atomic<int> accepted{0}, failed{0};
        std::atomic<long long> lastAcceptNs{0};
        const auto start = Clock::now();
        std::vector<std::thread> senders;
        for (int s = 0; s < o.sessions; ++s) {
            senders.emplace_back([&, s] {
                Client client;
                if (!client.Connect(port)) {
                    failed += 1;
                    return;
                }
                for (int m = s; m < o.messages; m += o.sessions) {
                    const int u = m % 10;
                    if (!client.SendMail("bench@localhost", "user" + std::to_string(u) + "@localhost",
                                         texts[static_cast<std::size_t>(u)])) {
                        failed += 1;
                        return;
                    }
                    accepted += 1;
                    const long long ns =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
                    for (long long seen = lastAcceptNs.load();
                         ns > seen && !lastAcceptNs.compare_exchange_weak(seen, ns);) {
                    }
                }
                client.Send("QUIT\r\n");
            });
        }
        for (std::thread& t : senders) t.join();
        const auto acceptedAt = start + std::chrono::nanoseconds(lastAcceptNs.load());
        // Delivered: every ".mel" in place (bounded).
        std::size_t delivered = 0;
        auto deliveredAt = Clock::now();
        const auto until = Clock::now() + 600s;
        while ((delivered = CountMel(inboxes)) < static_cast<std::size_t>(accepted.load()) && Clock::now() < until)
            std::this_thread::sleep_for(20ms);
        deliveredAt = Clock::now();
        const double cpu = server.CpuSeconds() - cpuBefore;
        const long peakKb = server.StatusKb("VmHWM:");
        std::printf("\n%d messages of %zu bytes, %d sessions, 10 local accounts\n", o.messages, o.size, o.sessions);
        std::printf("  accepted:  %d in %.3f s = %.0f msg/s%s\n", accepted.load(), Seconds(start, acceptedAt),
                    accepted.load() / Seconds(start, acceptedAt), failed.load() ? "  (SOME SESSIONS FAILED)" : "");
        std::printf("  delivered: %zu in %.3f s = %.0f msg/s (until the last .mel exists)\n", delivered,
                    Seconds(start, deliveredAt), static_cast<double>(delivered) / Seconds(start, deliveredAt));
        std::printf("  server CPU: %.2f s (user+system) over %.2f s wall\n", cpu, Seconds(start, deliveredAt));
        std::printf("  server peak RSS (VmHWM): %.1f MB (%.1f MB when idle)\n", peakKb / 1024.0, idleKb / 1024.0);
        if (!server.Stop()) std::printf("  (the server did not stop cleanly)\n");
        if (delivered < static_cast<std::size_t>(o.messages)) {
            std::cerr << "e2e_bench: only " << delivered << " of " << o.messages << " delivered\n";
            return 1;
        }
    }

    // ---- 2. one large message, on a fresh server so its peak is its own ----
    if (!o.skipBig) {
        Server server;
        if (!server.Start(o.program, home)) {
            std::cerr << "e2e_bench: the server did not restart:\n" << server.Output();
            return 1;
        }
        const long idleKb = server.StatusKb("VmHWM:");
        const std::string big = MakeMessage(static_cast<std::size_t>(bigBytes), "big@localhost", "big");
        Client client;
        if (!client.Connect(port)) {
            std::cerr << "e2e_bench: no connection for the large message\n";
            return 1;
        }
        const auto start = Clock::now();
        const bool ok = client.SendMail("bench@localhost", "big@localhost", big);
        const auto acceptedAt = Clock::now();
        // In the mailbox, and its spool file gone (routing has finished with it).
        const std::size_t before = static_cast<std::size_t>(o.messages);
        auto whole = [&] { return CountMel(inboxes) > before && spoolEmpty(); };
        const auto until = acceptedAt + 600s;
        while (ok && !whole() && Clock::now() < until) std::this_thread::sleep_for(20ms);
        const auto deliveredAt = Clock::now();
        const long peakKb = server.StatusKb("VmHWM:");
        client.Send("QUIT\r\n");
        std::printf("\none message of %d MB\n", o.bigMb);
        std::printf("  accepted (250) after %.3f s%s\n", Seconds(start, acceptedAt), ok ? "" : "  (REFUSED)");
        std::printf("  delivered after %.3f s\n", Seconds(start, deliveredAt));
        std::printf("  server peak RSS (VmHWM): %.1f MB (%.1f MB when idle)\n", peakKb / 1024.0, idleKb / 1024.0);
        server.Stop();
        if (!ok || !whole()) return 1;
    }
    return 0;
}
