// A server under test as a child process: started (optionally inside a user
// and mount namespace of its own), its CPU time and memory read over its
// whole process tree, and stopped and reaped on every way out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// How a child is made to see itself as root while every id it runs under is
// an unprivileged one outside. When the benchmark runs as root it writes the
// maps itself (the namespace's 0..count-1 are outside base..base+count-1);
// otherwise newuidmap/newgidmap map its 0 to the caller and 1.. to the
// caller's subordinate range from /etc/subuid and /etc/subgid.
struct UserNamespace {
    bool asRoot = true;
    unsigned long base = 0;
    unsigned long count = 65536;
    unsigned long subUid = 0, subGid = 0, subCount = 0;
    // Files mounted over others inside (source, target), e.g. a passwd file.
    std::vector<std::pair<std::string, std::string>> binds;

    // Fills the mapping for this caller: base for root, or the caller's
    // subordinate ranges. Empty on success, else why it cannot be done.
    std::string Configure(unsigned long rootBase);
};

class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() { Stop(); }

    // Starts argv[0] (a path) with output to outputPath, in a process group
    // of its own; inside ns when it is given.
    bool Start(const std::vector<std::string>& argv, const std::string& outputPath, const UserNamespace* ns = nullptr);
    // False once the child has exited (and been reaped).
    bool Running();
    // Waits (bounded) until 127.0.0.1:port accepts connections while the
    // child runs.
    bool WaitAccepting(int port, std::chrono::seconds wait);
    // SIGTERM, a bounded wait, then SIGKILL for whatever of its tree is
    // left; true on exit code 0. lifetimeCpu gets the user+system seconds
    // wait4 reports for it and every descendant it reaped.
    bool Stop(double* lifetimeCpu = nullptr);

    pid_t Pid() const { return pid_; }
    std::string Output() const;
    // User+system CPU seconds of the process and all its descendants, live
    // and reaped, so far.
    double TreeCpuSeconds() const;
    // Summed proportional set size of the tree, in kB.
    long TreePssKb() const;
    // A "Name:   N kB" line of the main process's /proc status, in kB.
    long StatusKb(const char* name) const;
    // The process and its live descendants.
    std::vector<pid_t> TreePids() const;

private:
    pid_t pid_ = -1;
    std::string output_;
};

}  // namespace bench
