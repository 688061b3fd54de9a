// The system calls of a running server, counted by strace.
#include "SyscallProfile.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "BenchSupport.h"

extern char** environ;

namespace bench {

using namespace std::chrono_literals;

SyscallProfile::~SyscallProfile() {
    if (strace_ > 0) {
        ::kill(strace_, SIGKILL);
        ::waitpid(strace_, nullptr, 0);
    }
}

bool SyscallProfile::Available() {
    return std::system("command -v strace >/dev/null 2>&1") == 0;
}

bool SyscallProfile::Attach(const std::vector<pid_t>& pids, const std::string& outputPath) {
    output_ = outputPath;
    std::vector<std::string> argv = {"strace", "-C", "-f", "-y", "-qq", "-o", outputPath};
    for (const pid_t pid : pids) argv.insert(argv.end(), {"-p", std::to_string(pid)});
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (outputPath + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawnp(&strace_, "strace", &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        strace_ = -1;
        return false;
    }
    // Traced once every thread shows a tracer.
    const auto until = Clock::now() + 10s;
    while (Clock::now() < until) {
        bool all = !pids.empty();
        for (const pid_t pid : pids) {
            std::error_code ec;
            for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
                const std::string status = ReadAll(task.path().string() + "/status");
                const std::size_t at = status.find("TracerPid:");
                if (at == std::string::npos || std::atoi(status.c_str() + at + 10) == 0) all = false;
            }
        }
        if (all) return true;
        int status = 0;
        if (::waitpid(strace_, &status, WNOHANG) == strace_) {
            strace_ = -1;
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

namespace {

// The kind of path a call was made on: the home as "HOME", the mailbox
// directories as "*", a file's generated name as "*.ext" or "*".
std::string PathKind(std::string path, const std::string& home) {
    if (!home.empty() && path.rfind(home, 0) == 0) path = "HOME" + path.substr(home.size());
    std::vector<std::string> parts;
    std::istringstream in(path);
    for (std::string part; std::getline(in, part, '/');) parts.push_back(part);
    std::string kind;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::string part = parts[i];
        if (i > 0 && parts[i - 1] == "mail") part = "*";
        // A file name made per message: with an extension, or with digits (a queue id).
        const std::size_t dot = part.rfind('.');
        if (i + 1 == parts.size() && dot != std::string::npos && dot > 0)
            part = "*" + part.substr(dot);
        else if (i + 1 == parts.size() && part.find_first_of("0123456789") != std::string::npos)
            part = "*";
        kind += (i ? "/" : "") + part;
    }
    return kind;
}

}  // namespace

bool SyscallProfile::Finish(const std::vector<std::string>& targetCalls) {
    if (strace_ <= 0) return false;
    ::kill(strace_, SIGINT);
    int status = 0;
    ::waitpid(strace_, &status, 0);
    strace_ = -1;
    rows_.clear();
    targets_.clear();
    std::map<std::string, long> targets;
    std::ifstream in(output_);
    bool summary = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("% time", 0) == 0) {
            summary = true;
            continue;
        }
        if (!summary) {
            // "PID call(FD</path>..." or "call(FD</path>..." with one process.
            std::size_t at = line.find_first_not_of("0123456789 ");
            if (at == std::string::npos) continue;
            for (const std::string& call : targetCalls) {
                if (line.compare(at, call.size() + 1, call + "(") != 0) continue;
                const std::size_t open = line.find('<', at), close = line.find('>', open);
                if (open != std::string::npos && close != std::string::npos)
                    targets[call + " " + PathKind(line.substr(open + 1, close - open - 1), home_)] += 1;
            }
            continue;
        }
        // "% time  seconds  usecs/call  calls  errors syscall", errors may be blank.
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        if (f.size() < 5 || f.back() == "total" || f[0].find_first_not_of("0123456789.") != std::string::npos) continue;
        Row row;
        row.name = f.back();
        row.seconds = std::atof(f[1].c_str());
        row.calls = std::atol(f[3].c_str());
        row.errors = f.size() >= 6 ? std::atol(f[4].c_str()) : 0;
        rows_.push_back(row);
    }
    std::sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) { return a.calls > b.calls; });
    targets_.assign(targets.begin(), targets.end());
    std::sort(targets_.begin(), targets_.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return !rows_.empty();
}

long SyscallProfile::Calls(const std::string& name) const {
    for (const Row& row : rows_)
        if (row.name == name) return row.calls;
    return 0;
}

long SyscallProfile::TotalCalls() const {
    long total = 0;
    for (const Row& row : rows_) total += row.calls;
    return total;
}

}  // namespace bench
