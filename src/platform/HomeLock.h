// HomeLock: one running server per home.
//
// `velmora run` holds an exclusive flock on "server.lock" beside the settings
// file for its whole life and writes its pid into it. The lock decides, not
// the file: a crashed server's lock went with its process, so the next start
// takes it at once. A clean stop empties the file; a pid still in it at the
// next start therefore tells that the previous server was interrupted, and
// the file's modification time when it was started.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

#include "platform/UniqueFd.h"

class HomeLock {
public:
    static constexpr const char* kFileName = "server.lock";

    enum class Result {
        Acquired,
        Held,    // another process holds it: HolderPid() tells which
        Failed,  // the file could not be made or locked: Error() tells why
    };

    HomeLock() = default;
    ~HomeLock() { Release(); }
    HomeLock(const HomeLock&) = delete;
    HomeLock& operator=(const HomeLock&) = delete;

    // Locks <home>/server.lock without waiting and records this process in it.
    Result Acquire(const std::string& home);
    // Lets the lock go. With clean, the file is emptied (a clean stop);
    // otherwise a previous holder's interruption stays recorded (its pid and
    // start time put back), for a start that ended before it looked at it.
    void Release(bool clean = true);

    const std::string& Path() const { return path; }
    // The pid written by the holder (Held), or 0 when it wrote none yet.
    pid_t HolderPid() const { return holder; }
    const std::string& Error() const { return error; }
    // After Acquired: the previous server left its pid (it did not stop
    // cleanly), and when it had started.
    bool PreviousInterrupted() const { return interrupted; }
    const timespec& PreviousStart() const { return previousStart; }

private:
    UniqueFd fd;
    std::string path;
    std::string error;
    pid_t holder = 0;
    pid_t previousPid = 0;
    bool interrupted = false;
    timespec previousStart{};
};
