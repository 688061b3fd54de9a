// CommandProcess: a program started without a shell, with its own argument
// list, and waited for.
//
// The executable is looked up on PATH when its name has no "/". The child
// gets /dev/null as standard input, the server's output and error, none of
// the server's other descriptors (sockets, locks, the database), an empty
// signal mask and default actions for the signals the server ignores or
// blocks, so it behaves as if started from a terminal.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

class CommandProcess {
public:
    CommandProcess() = default;
    // A child still running is left running (and is reaped when it has ended).
    ~CommandProcess();
    CommandProcess(const CommandProcess&) = delete;
    CommandProcess& operator=(const CommandProcess&) = delete;

    // Starts executable with args (argv[1..]); false with the system's error
    // number in StartError() when it cannot be started (not found, not
    // executable, no process left).
    bool Start(const std::string& executable, const std::vector<std::string>& args);
    int StartError() const { return startError; }

    enum class End { Exited, Signalled, TimedOut, Abandoned };
    struct Outcome {
        End end = End::Abandoned;
        int status = 0;  // the exit status, or the signal's number
    };
    // Waits until the child ends. With a limit, a child still running then is
    // killed (SIGKILL) and reaped: TimedOut. When *stop becomes true the wait
    // ends and the child is left running: Abandoned.
    Outcome Wait(std::optional<std::chrono::milliseconds> limit = std::nullopt,
                 const std::atomic<bool>* stop = nullptr);

    bool Running() const { return pid > 0; }

private:
    bool Reap(bool block, Outcome& outcome);

    pid_t pid = -1;
    int startError = 0;
};
