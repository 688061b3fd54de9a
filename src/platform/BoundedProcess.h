// BoundedProcess: runs a program without a shell and waits for it, but not
// for ever.
//
// A link command (bringing a dial-up or on-demand link up or down, asking
// whether it is up) may hang on a dead modem or a stuck network manager; the
// caller's thread must come back. The child runs in a process group of its
// own, so a time-out or an abandon kills whatever it started too (a script's
// own children). Standard input is /dev/null; output goes where ours goes.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

class BoundedProcess {
public:
    struct Result {
        bool started = false;  // false: errorNumber says why (ENOENT, EACCES, ...)
        int errorNumber = 0;
        bool exited = false;  // exitStatus is valid
        int exitStatus = 0;
        int signal = 0;          // the signal that ended it, not sent by us
        bool timedOut = false;   // killed by us after the time limit
        bool abandoned = false;  // killed by us because the caller gave up
        bool Succeeded() const { return started && exited && exitStatus == 0; }
    };

    // Runs arguments[0] (looked up in PATH when it has no "/") with the rest
    // as its arguments and `environment` ("NAME=value") added to ours. Waits
    // at most `limit`; a set `abandon` flag stops the wait early. Either way
    // the child's process group is killed and reaped before this returns.
    static Result Run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                      std::chrono::milliseconds limit, const std::atomic<bool>* abandon = nullptr);
};
