// BoundedProcess: posix_spawn in a new process group, a bounded wait on the
// child, and a kill of the whole group when the wait ends early.
#include "platform/BoundedProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/UniqueFd.h"

extern char** environ;

namespace {

// How often an abandon flag is looked at while the child runs.
constexpr std::chrono::milliseconds kPollStep{50};

UniqueFd OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
    return UniqueFd();
#endif
}

// Waits up to step for the child to end; true when it has (status filled).
bool WaitStep(pid_t pid, const UniqueFd& pidFd, std::chrono::milliseconds step, int& status) {
    if (pidFd) {
        pollfd entry{pidFd.Get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(step.count()));
        if (ready < 0 && errno != EINTR) std::this_thread::sleep_for(step);
    } else {
        // Without a process descriptor: look again in small steps.
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        std::this_thread::sleep_for(std::min(step, std::chrono::milliseconds(10)));
        return false;
    }
    pid_t done;
    do {
        done = ::waitpid(pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    return done == pid;
}

}  // namespace

BoundedProcess::Result BoundedProcess::Run(const std::vector<std::string>& arguments,
                                           const std::vector<std::string>& environment, std::chrono::milliseconds limit,
                                           const std::atomic<bool>* abandon) {
    Result result;
    if (arguments.empty() || arguments[0].empty()) {
        result.errorNumber = ENOENT;
        return result;
    }
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; e && *e; ++e) {
        // A name we set replaces the inherited one.
        const char* eq = std::strchr(*e, '=');
        const std::size_t nameLength = eq ? static_cast<std::size_t>(eq - *e) : std::strlen(*e);
        bool replaced = false;
        for (const std::string& added : environment)
            if (added.size() > nameLength && added[nameLength] == '=' &&
                added.compare(0, nameLength, *e, nameLength) == 0)
                replaced = true;
        if (!replaced) envp.push_back(*e);
    }
    for (const std::string& added : environment) envp.push_back(const_cast<char*>(added.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    // The server blocks its stop signals in every thread; the child starts
    // with none blocked and the default dispositions.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        result.errorNumber = spawned;
        return result;
    }
    result.started = true;

    const UniqueFd pidFd = OpenPidFd(pid);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    bool ended = false;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            result.timedOut = true;
            break;
        }
        if (abandon && abandon->load()) {
            result.abandoned = true;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (WaitStep(pid, pidFd, std::min(left + std::chrono::milliseconds(1), kPollStep), status)) {
            ended = true;
            break;
        }
    }
    if (!ended) {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return result;
    }
    // What a command that ended started in the background (a daemon bringing
    // the link up) is its own business and stays.
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}
