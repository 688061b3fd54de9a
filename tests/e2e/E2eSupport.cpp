// End-to-end test support: child processes with bounded waits, the home's
// contents read back, and the raw SMTP client.
#include "E2eSupport.h"

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
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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

// Spawns argv in its own process group with standard output and error on
// outputFd; -1 on failure.
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

void KillAndReap(pid_t pid) {
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::string Slurp(const std::string& path) {
    return TestHome::ReadFile(path);
}

std::string QuoteSql(const std::string& text) {
    std::string quoted;
    for (char c : text) {
        quoted += c;
        if (c == '\'') quoted += c;
    }
    return quoted;
}

}  // namespace

std::string VelmoraProgram() {
    const char* build = std::getenv("VELMORA_BUILD_DIR");
    return std::string(build ? build : "..") + "/bin/velmora";
}

RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                     const std::vector<std::string>& extraEnvironment) {
    RunResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    const pid_t pid = Spawn(argv, writeEnd.Get(), extraEnvironment);
    writeEnd.Reset();
    if (pid < 0) {
        result.output = "cannot start " + argv.at(0);
        return result;
    }
    const auto until = Clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p{readEnd.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char chunk[65536];
        const ssize_t n = ::read(readEnd.Get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(chunk, static_cast<std::size_t>(n));
    }
    // The output ended; the child itself gets what is left of the wait.
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return result;
        }
        if (done < 0 && errno != EINTR) return result;
        if (result.timedOut || Clock::now() >= until) break;
        std::this_thread::sleep_for(5ms);
    }
    result.timedOut = true;
    KillAndReap(pid);
    return result;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds wait) {
    const auto until = Clock::now() + wait;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(25ms);
    }
}

bool ServerProcess::Start(const std::string& home, const std::string& output,
                          const std::vector<std::string>& extraEnvironment) {
    Kill();
    outputPath = output;
    UniqueFd out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out) return false;
    pid = Spawn({VelmoraProgram(), "--home", home, "run"}, out.Get(), extraEnvironment);
    status = 0;
    return pid > 0;
}

bool ServerProcess::Reap(bool block) {
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

bool ServerProcess::WaitServing(std::chrono::milliseconds wait) {
    return WaitUntil(
               [this] {
                   if (Output().find("velmora: serving") != std::string::npos) return true;
                   return Reap(false);  // ended without serving: stop waiting
               },
               wait) &&
           pid > 0;
}

bool ServerProcess::Signal(int signal) {
    return pid > 0 && ::kill(pid, signal) == 0;
}

bool ServerProcess::WaitExit(std::chrono::milliseconds wait) {
    return WaitUntil([this] { return Reap(false); }, wait);
}

void ServerProcess::Kill() {
    if (pid <= 0) return;
    ::kill(-pid, SIGKILL);
    Reap(true);
}

int ServerProcess::ExitCode() const {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ServerProcess::Output() const {
    return outputPath.empty() ? std::string() : Slurp(outputPath);
}

bool MailHome::Setup() {
    const RunResult r =
        RunProgram({VelmoraProgram(), "setup", "--home", Path(), "--postmaster-password", "postmaster1"});
    if (r.status != 0) std::fprintf(stderr, "velmora setup failed: %s\n", r.output.c_str());
    return r.status == 0;
}

RunResult MailHome::Velmora(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {VelmoraProgram(), "--home", Path()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    RunResult r = RunProgram(argv);
    if (r.status != 0) std::fprintf(stderr, "velmora %s failed: %s\n", arguments.at(0).c_str(), r.output.c_str());
    return r;
}

bool MailHome::SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
    return Velmora({"reg", "set", key, name, "dword", std::to_string(value)}).status == 0;
}

bool MailHome::AddAccount(const std::string& name, const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {"account",          "add", name, "--password", "secret12", "--email",
                                          name + "@localhost"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return Velmora(arguments).status == 0;
}

std::string MailHome::Sql(const std::string& query) const {
    // A busy database (the server writing) is waited for, not failed on.
    RunResult r = RunProgram({"sqlite3", "-batch", "-noheader", "-cmd", ".timeout 10000", File("velmora.db"), query},
                             std::chrono::seconds(30));
    while (!r.output.empty() && r.output.back() == '\n') r.output.pop_back();
    if (r.status != 0) return "sqlite3 failed: " + r.output;
    return r.output;
}

long MailHome::SqlNumber(const std::string& query) const {
    const std::string text = Sql(query);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stol(text);
}

std::vector<std::string> MailHome::Files(const std::string& directory, const std::string& prefix,
                                         const std::string& suffix) const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(File(directory), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string MailHome::InboxOf(const std::string& user) const {
    const std::string mailbox = Sql("SELECT aMailBox FROM Accounts WHERE aUserName = '" + QuoteSql(user) + "'");
    return "mail/" + mailbox + "/Inbox";
}

std::vector<std::string> MailHome::InboxFiles(const std::string& user) const {
    return Files(InboxOf(user), "", ".mel");
}

std::vector<std::string> MailHome::InboxTexts(const std::string& user) const {
    std::vector<std::string> texts;
    for (const std::string& file : InboxFiles(user)) texts.push_back(Slurp(file));
    return texts;
}

bool SmtpClient::Connect(int port) {
    fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    buffer.clear();
    // A server that stops reading must not block a send forever.
    timeval limit{30, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd && ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool SmtpClient::Send(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd.Get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string SmtpClient::Reply(std::chrono::milliseconds wait) {
    const auto until = Clock::now() + wait;
    std::string reply;
    for (;;) {
        std::size_t end = buffer.find("\r\n");
        while (end == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return "";
            pollfd p{fd.Get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) return "";
            char chunk[4096];
            const ssize_t n = ::recv(fd.Get(), chunk, sizeof chunk, 0);
            if (n <= 0) return "";
            buffer.append(chunk, static_cast<std::size_t>(n));
            end = buffer.find("\r\n");
        }
        const std::string line = buffer.substr(0, end + 2);
        buffer.erase(0, end + 2);
        reply += line;
        if (line.size() < 4 || line[3] != '-') return reply;
    }
}

bool SmtpClient::ClosedByServer(std::chrono::milliseconds wait) {
    if (!buffer.empty()) return false;
    pollfd p{fd.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
    char c;
    const ssize_t n = ::recv(fd.Get(), &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

void SmtpClient::Close(bool reset) {
    if (reset && fd) {
        linger hard{1, 0};
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    fd.Reset();
}

int Code(const std::string& reply) {
    if (reply.size() < 3 || reply.find_first_not_of("0123456789") < 3) return 0;
    return std::stoi(reply.substr(0, 3));
}

std::size_t Occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}
