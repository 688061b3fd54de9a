// A server under test as a child process, measured over its process tree.
#include "ServerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "BenchSupport.h"

namespace bench {

using namespace std::chrono_literals;

namespace {

// The first subordinate range of user (name or uid) in /etc/subuid or /etc/subgid.
bool SubordinateRange(const char* file, const std::string& name, const std::string& id, unsigned long& start,
                      unsigned long& count) {
    std::istringstream in(ReadAll(file));
    for (std::string line; std::getline(in, line);) {
        const std::size_t a = line.find(':'), b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const std::string who = line.substr(0, a);
        if (who != name && who != id) continue;
        start = std::strtoul(line.c_str() + a + 1, nullptr, 10);
        count = std::strtoul(line.c_str() + b + 1, nullptr, 10);
        return count > 1;
    }
    return false;
}

bool WriteFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

double RusageSeconds(const rusage& ru) {
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct ProcStat {
    pid_t ppid = 0;
    double ticks = 0;  // utime + stime + cutime + cstime
};

// Every process's parent and CPU ticks, from /proc.
std::map<pid_t, ProcStat> ReadProcesses() {
    std::map<pid_t, ProcStat> all;
    DIR* dir = ::opendir("/proc");
    if (!dir) return all;
    while (const dirent* e = ::readdir(dir)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0) continue;
        const std::string stat = ReadAll("/proc/" + std::string(e->d_name) + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size()) continue;
        std::istringstream in(stat.substr(close + 2));
        std::string field;
        ProcStat s;
        for (int i = 3; i <= 17 && in >> field; ++i) {
            if (i == 4) s.ppid = static_cast<pid_t>(std::atoi(field.c_str()));
            if (i >= 14 && i <= 17) s.ticks += std::atof(field.c_str());
        }
        all[pid] = s;
    }
    ::closedir(dir);
    return all;
}

std::vector<pid_t> Descendants(const std::map<pid_t, ProcStat>& all, pid_t root) {
    std::vector<pid_t> tree;
    if (root <= 0 || !all.count(root)) return tree;
    tree.push_back(root);
    for (std::size_t i = 0; i < tree.size(); ++i)
        for (const auto& [pid, s] : all)
            if (s.ppid == tree[i]) tree.push_back(pid);
    return tree;
}

}  // namespace

std::string UserNamespace::Configure(unsigned long rootBase) {
    asRoot = ::geteuid() == 0;
    if (asRoot) {
        base = rootBase;
        return "";
    }
    if (::access("/usr/bin/newuidmap", X_OK) != 0 || ::access("/usr/bin/newgidmap", X_OK) != 0)
        return "newuidmap/newgidmap are missing (Debian package uidmap)";
    const char* user = std::getenv("USER");
    const std::string id = std::to_string(::getuid());
    unsigned long gidCount = 0;
    if (!SubordinateRange("/etc/subuid", user ? user : id, id, subUid, subCount) ||
        !SubordinateRange("/etc/subgid", user ? user : id, id, subGid, gidCount))
        return "this user has no range in /etc/subuid and /etc/subgid";
    subCount = std::min(subCount, gidCount);
    count = subCount + 1;
    return "";
}

bool ServerProcess::Start(const std::vector<std::string>& argv, const std::string& outputPath,
                          const UserNamespace* ns) {
    output_ = outputPath;
    // Everything the child needs is made before fork: it only makes system calls.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int toParent[2], toChild[2];
    if (::pipe2(toParent, O_CLOEXEC) != 0) return false;
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        ::close(toParent[0]);
        ::close(toParent[1]);
        return false;
    }
    const uid_t base = static_cast<uid_t>(ns ? ns->base : 0);
    // Emptied before the child runs, so that no earlier run's text is read as this one's.
    const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        for (const int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
        return false;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        const int in = ::open("/dev/null", O_RDONLY);
        if (in < 0) ::_exit(125);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (ns) {
            if (ns->asRoot && (::setgroups(0, nullptr) != 0 || ::setresgid(base, base, base) != 0 ||
                               ::setresuid(base, base, base) != 0))
                ::_exit(122);
            ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
            char go = 0;
            if (::unshare(CLONE_NEWUSER) != 0 || ::write(toParent[1], "u", 1) != 1 || ::read(toChild[0], &go, 1) != 1 ||
                go != 'g')
                ::_exit(123);
            if (::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0) ::_exit(124);
            ::setgroups(0, nullptr);
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                ::_exit(126);
            for (const auto& [source, target] : ns->binds)
                if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) ::_exit(126);
            if (::chdir("/") != 0) ::_exit(126);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(toParent[1]);
    ::close(toChild[0]);
    bool ok = pid_ > 0;
    if (ok && ns) {
        char ready = 0;
        ok = ::read(toParent[0], &ready, 1) == 1 && ready == 'u';
        const std::string pid = std::to_string(pid_);
        if (ok && ns->asRoot) {
            const std::string map = "0 " + std::to_string(ns->base) + " " + std::to_string(ns->count) + "\n";
            ok = WriteFile("/proc/" + pid + "/uid_map", map) && WriteFile("/proc/" + pid + "/gid_map", map);
        } else if (ok) {
            const std::string log = outputPath + ".idmap";
            const std::string count = std::to_string(ns->subCount);
            ok = Run({"newuidmap", pid, "0", std::to_string(::getuid()), "1", "1", std::to_string(ns->subUid), count},
                     log) &&
                 Run({"newgidmap", pid, "0", std::to_string(::getgid()), "1", "1", std::to_string(ns->subGid), count},
                     log);
        }
        if (ok) ok = ::write(toChild[1], "g", 1) == 1;
    }
    ::close(toParent[0]);
    ::close(toChild[1]);
    if (!ok && pid_ > 0) Stop();
    return ok;
}

bool ServerProcess::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    return false;
}

bool ServerProcess::WaitAccepting(int port, std::chrono::seconds wait) {
    const auto until = Clock::now() + wait;
    while (Clock::now() < until && Running()) {
        if (Accepts(port)) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

bool ServerProcess::Stop(double* lifetimeCpu) {
    if (lifetimeCpu) *lifetimeCpu = 0;
    if (pid_ <= 0) return true;
    const std::vector<pid_t> tree = TreePids();
    ::kill(pid_, SIGTERM);
    int status = 0;
    rusage ru{};
    bool exited = false;
    const auto until = Clock::now() + 30s;
    while (Clock::now() < until) {
        if (::wait4(pid_, &status, WNOHANG, &ru) == pid_) {
            exited = true;
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    ::kill(-pid_, SIGKILL);
    if (!exited) ::wait4(pid_, &status, 0, &ru);
    // Whatever of the tree outlived it comes back to the benchmark (its
    // subreaper) and is reaped here, so its CPU time is counted too.
    for (const pid_t p : tree)
        if (p != pid_) ::kill(p, SIGKILL);
    for (const pid_t p : tree)
        if (p != pid_) ::waitpid(p, nullptr, 0);
    while (::waitpid(-pid_, nullptr, WNOHANG) > 0) {
    }
    if (lifetimeCpu) *lifetimeCpu = RusageSeconds(ru);
    pid_ = -1;
    return exited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ServerProcess::Output() const {
    return ReadAll(output_);
}

std::vector<pid_t> ServerProcess::TreePids() const {
    return Descendants(ReadProcesses(), pid_);
}

double ServerProcess::TreeCpuSeconds() const {
    const std::map<pid_t, ProcStat> all = ReadProcesses();
    double ticks = 0;
    for (const pid_t p : Descendants(all, pid_)) ticks += all.at(p).ticks;
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long ServerProcess::TreePssKb() const {
    long kb = 0;
    for (const pid_t p : TreePids()) {
        std::istringstream in(ReadAll("/proc/" + std::to_string(p) + "/smaps_rollup"));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("Pss:", 0) == 0) kb += std::atol(line.c_str() + 4);
    }
    return kb;
}

long ServerProcess::StatusKb(const char* name) const {
    std::istringstream in(ReadAll("/proc/" + std::to_string(pid_) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name, 0) == 0) return std::atol(line.c_str() + std::strlen(name));
    return -1;
}

}  // namespace bench
