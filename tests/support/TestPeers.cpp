// Test peers: process guard, real servers and the scripted TCP peer.
#include "TestPeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "TestHome.h"
#include "platform/Registry.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// From the build, not __FILE__: that may be relative to the build directory
// (ccache's base directory), and tests run elsewhere and change into homes.
std::string SourceDirectory() {
    return VELMORA_TEST_SUPPORT_DIR;
}

UniqueFd Listen(int& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.Get(), 8) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return {};
    port = ntohs(a.sin_port);
    return fd;
}

// The inherited environment with extra entries put over it.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& x) {
            return x.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced) entries.push_back(entry);
    }
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts argv in its own process group with standard output and error on
// outputFd and extra environment entries; -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, int outputFd, const std::vector<std::string>& extra) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<std::string> args = argv;
    std::vector<std::string> env = Environment(extra);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(env);
    pid_t child = -1;
    const int rc = posix_spawnp(&child, argp[0], &actions, &attributes, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return rc == 0 ? child : -1;
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                     const std::vector<std::string>& extraEnvironment) {
    RunResult result;
    char output[] = "/tmp/velmora-run-XXXXXX";
    const int fd = ::mkstemp(output);
    if (fd < 0) return result;
    ::close(fd);
    ChildProcess child;
    if (!child.Start(argv, output, extraEnvironment)) {
        result.output = "cannot start " + argv.at(0);
    } else if (child.WaitExit(limit)) {
        result.status = child.ExitCode();
    } else {
        result.timedOut = true;
        child.Stop();
    }
    if (result.output.empty()) result.output = child.Output();
    ::unlink(output);
    return result;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds wait) {
    const auto until = Clock::now() + wait;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

int FreePort() {
    // Below the kernel's ephemeral range (32768 and up): a port from that
    // range can be taken, between this check and the server's bind, as the
    // source port of any test's outgoing connection.
    thread_local std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(20000, 32000);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = pick(random);
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        if (fd && ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return port;
    }
    int port = 0;
    UniqueFd fd = Listen(port);
    return fd ? port : 0;
}

int ClosedPort() {
    // Bound but not listening: the port stays ours for the process's life and refuses.
    static UniqueFd holder;
    static int port = [] {
        holder.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(holder.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(holder.Get(), reinterpret_cast<sockaddr*>(&a), &len);
        return static_cast<int>(ntohs(a.sin_port));
    }();
    return port;
}

bool WaitForPort(int port, std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < until) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

void SetSettingDword(const char* keyPath, const char* name, unsigned value) {
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, keyPath, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    DWORD v = value;
    RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    RegCloseKey(key);
}

void SetSettingString(const char* keyPath, const char* name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, keyPath, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                  static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

void DeleteSetting(const char* keyPath, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValue(key, name);
    RegCloseKey(key);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& output,
                         const std::vector<std::string>& extraEnvironment) {
    Stop();
    outputPath = output;
    status = 0;
    UniqueFd out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    pid = out ? Spawn(argv, out.Get(), extraEnvironment) : -1;
    return pid > 0;
}

bool ChildProcess::Reap(bool block) {
    if (pid <= 0) return true;
    int s = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &s, block ? 0 : WNOHANG);
        if (done == pid) {
            status = s;
            // Whatever the program left in its group goes with it.
            ::kill(-pid, SIGKILL);
            pid = -1;
            return true;
        }
        if (done < 0 && errno == EINTR) continue;
        return false;
    }
}

void ChildProcess::Stop() {
    if (pid <= 0) return;
    ::kill(-pid, SIGKILL);  // the group: dnsmasq's TCP helpers too
    Reap(true);
}

bool ChildProcess::Signal(int signal) {
    return pid > 0 && ::kill(pid, signal) == 0;
}

bool ChildProcess::WaitExit(std::chrono::milliseconds wait) {
    return WaitUntil([this] { return Reap(false); }, wait);
}

int ChildProcess::ExitCode() const {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ChildProcess::Output() const {
    return outputPath.empty() ? std::string() : TestHome::ReadFile(outputPath);
}

std::string MakeTestCertificates(const std::string& directory) {
    std::filesystem::create_directories(directory);
    const RunResult run =
        RunProgram({"/bin/sh", "-ec",
                    "cd \"$0\"; ec='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'\n"
                    "openssl req -x509 $ec -keyout ca.key -out ca.pem -days 2 -subj '/CN=Velmora Test CA' "
                    "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign\n"
                    "openssl req $ec -keyout server.key -out server.csr -subj /CN=localhost\n"
                    "printf 'basicConstraints=CA:FALSE\\nsubjectAltName=DNS:localhost\\n' > server.ext\n"
                    "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
                    "-extfile server.ext",
                    directory});
    return run.status == 0 ? "" : run.output;
}

bool SmtpPeer::Start(const std::string& recordDirectory, const std::string& user, const std::string& password,
                     bool required, bool cramOnly) {
    directory = recordDirectory;
    std::filesystem::create_directories(directory);
    port = FreePort();
    std::vector<std::string> argv = {"/usr/bin/python3", SourceDirectory() + "/smtp_peer.py", std::to_string(port),
                                     directory};
    if (!user.empty()) {
        argv.push_back(user);
        argv.push_back(password);
        if (required || cramOnly)
            argv.push_back(std::string(required ? "required" : "") + (required && cramOnly ? "," : "") +
                           (cramOnly ? "cram" : ""));
    }
    return process.Start(argv, directory + "/peer.out") && WaitForPort(port);
}

bool SmtpPeer::StartTls(const std::string& recordDirectory, const std::string& user, const std::string& password,
                        const std::string& modes, const std::string& certificate, const std::string& key) {
    directory = recordDirectory;
    std::filesystem::create_directories(directory);
    port = FreePort();
    return process.Start({"/usr/bin/python3", SourceDirectory() + "/smtp_peer.py", std::to_string(port), directory,
                          user, password, modes, certificate, key},
                         directory + "/peer.out") &&
           WaitForPort(port);
}

bool SmtpPeer::Encrypted(int n) const {
    return std::filesystem::exists(directory + "/msg" + std::to_string(n) + ".tls");
}

std::string SmtpPeer::Logins() const {
    return TestHome::ReadFile(directory + "/auth");
}

std::string SmtpPeer::Message(int n, std::string* envelope, std::chrono::milliseconds wait) const {
    const std::string base = directory + "/msg" + std::to_string(n);
    if (!WaitUntil([&] { return std::filesystem::exists(base + ".eml"); }, wait)) return "";
    if (envelope) *envelope = TestHome::ReadFile(base + ".env");
    return TestHome::ReadFile(base + ".eml");
}

int SmtpPeer::MessageCount() const {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(directory)) n += e.path().extension() == ".eml";
    return n;
}

bool DnsPeer::Start(const std::string& logPath, const std::vector<std::string>& records) {
    log = logPath;
    port = FreePort();
    // Kept in the foreground but not in debug mode, which would answer a
    // TCP client (rspamd keeps one open) in the only process and stop
    // answering anything else; its log goes to stderr, no pid file.
    std::vector<std::string> argv = {"/usr/sbin/dnsmasq",
                                     "--keep-in-foreground",
                                     "--log-facility=-",
                                     "--pid-file=",
                                     "--port=" + std::to_string(port),
                                     "--listen-address=127.0.0.1",
                                     "--bind-interfaces",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--conf-file=/dev/null",
                                     "--log-queries",
                                     "--local=/test/",
                                     "--cache-size=0"};
    argv.insert(argv.end(), records.begin(), records.end());
    return process.Start(argv, log) && WaitForPort(port);
}

std::string DnsPeer::Entry() const {
    return "127.0.0.1:" + std::to_string(port);
}

int DnsPeer::QueryCount(const std::string& name) const {
    std::istringstream in(TestHome::ReadFile(log));
    int n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find("query[MX] " + name + " ") != std::string::npos) ++n;
    return n;
}

bool PeerLink::Send(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool PeerLink::Readable(std::chrono::milliseconds wait) {
    if (!pending.empty()) return true;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) > 0;
}

bool PeerLink::ReadUntil(const std::string& terminator, std::string& text, std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const std::size_t at = pending.find(terminator);
        if (at != std::string::npos) {
            text = pending.substr(0, at + terminator.size());
            pending.erase(0, at + terminator.size());
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

bool PeerLink::ReadLine(std::string& line, std::chrono::milliseconds wait) {
    return ReadUntil("\n", line, wait);
}

ScriptedPeer::ScriptedPeer(Script script, int connections) {
    listener = Listen(port);
    worker = std::thread([this, script = std::move(script), connections] {
        for (int i = 0; i < connections; ++i) {
            pollfd p{listener.Get(), POLLIN, 0};
            if (::poll(&p, 1, 20000) <= 0) return;
            UniqueFd client(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) return;
            PeerLink link(client.Get());
            script(link);
        }
    });
}

ScriptedPeer::~ScriptedPeer() {
    Join();
}

void ScriptedPeer::Join() {
    if (worker.joinable()) worker.join();
}

SilentSmtpPeer::SilentSmtpPeer()
    : peer([this](PeerLink& link) {
          link.Send("220 silent.test ready\r\n");
          std::string line;
          while (link.ReadLine(line)) {
              const std::string verb = line.substr(0, 4);
              if (verb == "Data") break;
              if (verb == "Mail") ++transactions;
              link.Send("250 ok\r\n");
          }
          link.Send("354 go ahead\r\n");
          if (!link.ReadUntil("\r\n.\r\n", line)) return;
          dataEnded = true;
          link.ReadUntil("never", line, std::chrono::seconds(30));
      }) {}
