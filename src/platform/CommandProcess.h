// CommandProcess: a program started without a shell, with its own argument
// list, and waited for.
//
// The executable is looked up on PATH when its name has no "/". The child
// gets /dev/null as standard input, the server's output and error, none of
// the server's other descriptors (sockets, locks, the database), an empty
// signal mask and default actions for the signals the server ignores or
// blocks, so it behaves as if started from a terminal.
//
// Run is the bounded form for commands that may hang (a dial-up link's up,
// down and status commands): the child gets a process group of its own, so
// a time-out or an abandon kills whatever it started too.
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
    // environment ("NAME=value") is added to ours, replacing a name we have;
    // ownGroup puts the child in a process group of its own, which a kill
    // then takes whole.
    bool Start(const std::string& executable, const std::vector<std::string>& args,
               const std::vector<std::string>& environment = {}, bool ownGroup = false);
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
    // Kills a child still running (its group, when it has one) and reaps it.
    void Kill();

    struct RunResult {
        bool started = false;  // false: errorNumber says why (ENOENT, EACCES, ...)
        int errorNumber = 0;
        bool exited = false;  // exitStatus is valid
        int exitStatus = 0;
        int signal = 0;          // the signal that ended it, not sent by us
        bool timedOut = false;   // killed by us after the time limit
        bool abandoned = false;  // killed by us because the caller gave up
        bool Succeeded() const { return started && exited && exitStatus == 0; }
    };
    // Runs arguments[0] with the rest as its arguments, in its own process
    // group, waiting at most limit; a set abandon flag ends the wait early.
    // A child not ended by then is killed with its group and reaped.
    static RunResult Run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                         std::chrono::milliseconds limit, const std::atomic<bool>* abandon = nullptr);

private:
    bool Reap(bool block, Outcome& outcome);

    pid_t pid = -1;
    bool group = false;
    int startError = 0;
};
