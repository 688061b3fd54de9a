// Small helpers shared by the benchmarks.
#include "BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace bench {

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

bool Run(const std::vector<std::string>& argv, const std::string& outputPath, int timeoutSeconds) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    const auto until = Clock::now() + std::chrono::seconds(timeoutSeconds);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

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

bool Listening(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::istringstream in(ReadAll("/proc/net/tcp"));
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state;
        if (fields >> slot >> address >> remote >> state && address == local && state == "0A") return true;
    }
    return false;
}

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
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

std::size_t CountFiles(const std::vector<std::string>& dirs, const std::string& suffix) {
    std::size_t n = 0;
    std::error_code ec;
    for (const std::string& dir : dirs)
        for (const auto& e : fs::directory_iterator(dir, ec))
            if (suffix.empty() || e.path().filename().string().ends_with(suffix)) ++n;
    return n;
}

std::string MakeMessage(std::size_t size, const std::string& to, const std::string& subject) {
    std::string text = "From: bench@localhost\r\nTo: " + to + "\r\nSubject: " + subject +
                       "\r\nDate: Mon, 07 Dec 2026 09:00:00 +0000\r\nMessage-Id: <" + subject + "@bench>\r\n\r\n";
    const std::string line = std::string(76, 'b') + "\r\n";
    while (text.size() + line.size() <= size) text += line;
    text += std::string(size > text.size() + 2 ? size - text.size() - 2 : 0, 'c') + "\r\n";
    return text + ".\r\n";
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

std::string ProgramNextToBenchmark() {
    std::error_code ec;
    return (fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path() / "bin" / "velmora").string();
}

std::string DefaultTempDir() {
    const char* dir = std::getenv("TMPDIR");
    return dir ? dir : "/tmp";
}

}  // namespace bench
