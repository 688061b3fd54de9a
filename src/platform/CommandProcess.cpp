// CommandProcess: posix_spawn of a program and a wait that can give up.
#include "platform/CommandProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

// Owns the spawn attributes and file actions for one start.
class SpawnSetup {
public:
    SpawnSetup() {
        okAttr = ::posix_spawnattr_init(&attr) == 0;
        okActions = ::posix_spawn_file_actions_init(&actions) == 0;
    }
    ~SpawnSetup() {
        if (okAttr) ::posix_spawnattr_destroy(&attr);
        if (okActions) ::posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool Prepare(bool ownGroup) {
        if (!okAttr || !okActions) return false;
        if (ownGroup && ::posix_spawnattr_setpgroup(&attr, 0) != 0) return false;
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        // The server blocks SIGTERM/SIGINT in every thread and ignores SIGPIPE;
        // a child would keep both across exec.
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
            sigaddset(&defaults, sig);
        return ::posix_spawnattr_setsigmask(&attr, &none) == 0 &&
               ::posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
               ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                     (ownGroup ? POSIX_SPAWN_SETPGROUP : 0)) == 0 &&
               ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
               // Listening sockets or the home lock held by a long command
               // would outlive the server.
               ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
    }

    posix_spawnattr_t attr{};
    posix_spawn_file_actions_t actions{};

private:
    bool okAttr = false;
    bool okActions = false;
};

}  // namespace

CommandProcess::~CommandProcess() {
    Outcome ignored;
    if (pid > 0) Reap(false, ignored);
}

namespace {

// Ours, with each added "NAME=value" replacing an inherited NAME.
std::vector<char*> Environment(const std::vector<std::string>& added) {
    std::vector<char*> envp;
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        const std::size_t nameLength = eq ? static_cast<std::size_t>(eq - *e) : std::strlen(*e);
        const bool replaced = std::any_of(added.begin(), added.end(), [&](const std::string& a) {
            return a.size() > nameLength && a[nameLength] == '=' && a.compare(0, nameLength, *e, nameLength) == 0;
        });
        if (!replaced) envp.push_back(*e);
    }
    for (const std::string& a : added) envp.push_back(const_cast<char*>(a.c_str()));
    envp.push_back(nullptr);
    return envp;
}

}  // namespace

bool CommandProcess::Start(const std::string& executable, const std::vector<std::string>& args,
                           const std::vector<std::string>& environment, bool ownGroup) {
    startError = 0;
    if (pid > 0 || executable.empty()) {
        startError = pid > 0 ? EBUSY : ENOENT;
        return false;
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    SpawnSetup setup;
    if (!setup.Prepare(ownGroup)) {
        startError = ENOMEM;
        return false;
    }
    pid_t child = -1;
    // posix_spawnp reports a failed exec (missing file, no permission) as its result.
    std::vector<char*> envp = Environment(environment);
    const int rc = ::posix_spawnp(&child, executable.c_str(), &setup.actions, &setup.attr, argv.data(), envp.data());
    if (rc != 0) {
        startError = rc;
        return false;
    }
    pid = child;
    group = ownGroup;
    return true;
}

void CommandProcess::Kill() {
    if (pid <= 0) return;
    ::kill(group ? -pid : pid, SIGKILL);
    Outcome ignored;
    Reap(true, ignored);
}

CommandProcess::RunResult CommandProcess::Run(const std::vector<std::string>& arguments,
                                              const std::vector<std::string>& environment,
                                              std::chrono::milliseconds limit, const std::atomic<bool>* abandon) {
    RunResult result;
    if (arguments.empty()) {
        result.errorNumber = ENOENT;
        return result;
    }
    CommandProcess process;
    if (!process.Start(arguments[0], std::vector<std::string>(arguments.begin() + 1, arguments.end()), environment,
                       true)) {
        result.errorNumber = process.StartError();
        return result;
    }
    result.started = true;
    const Outcome outcome = process.Wait(limit, abandon);
    switch (outcome.end) {
        case End::Exited:
            result.exited = true;
            result.exitStatus = outcome.status;
            break;
        case End::Signalled:
            result.signal = outcome.status;
            break;
        case End::TimedOut:
            result.timedOut = true;
            break;
        case End::Abandoned:
            process.Kill();
            result.abandoned = true;
            break;
    }
    return result;
}

bool CommandProcess::Reap(bool block, Outcome& outcome) {
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return false;
    pid = -1;
    if (got < 0) {
        // Reaped elsewhere (a SIGCHLD set to be ignored): nothing to tell.
        outcome = {End::Exited, 0};
    } else if (WIFSIGNALED(status)) {
        outcome = {End::Signalled, WTERMSIG(status)};
    } else {
        outcome = {End::Exited, WEXITSTATUS(status)};
    }
    return true;
}

CommandProcess::Outcome CommandProcess::Wait(std::optional<std::chrono::milliseconds> limit,
                                             const std::atomic<bool>* stop) {
    Outcome outcome;
    if (pid <= 0) return outcome;
    const auto deadline = std::chrono::steady_clock::now() + limit.value_or(std::chrono::milliseconds(0));
    // Polled, so that a stop or the limit is seen within a tenth of a second
    // without a signal handler; short commands are seen ending at once.
    std::chrono::milliseconds pause(1);
    for (;;) {
        if (Reap(false, outcome)) return outcome;
        if (stop && stop->load()) return {End::Abandoned, 0};
        if (limit && std::chrono::steady_clock::now() >= deadline) {
            Kill();
            return {End::TimedOut, 0};
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(100));
    }
}
