// The system calls a running server makes over a stretch of work, counted
// by `strace -C -f -y -p PID...` attached to every process of it: the
// summary gives the counts, the trace itself what each sync was made on.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace bench {

class SyscallProfile {
public:
    struct Row {
        std::string name;
        long calls = 0;
        long errors = 0;
        double seconds = 0;
    };

    SyscallProfile() = default;
    SyscallProfile(const SyscallProfile&) = delete;
    SyscallProfile& operator=(const SyscallProfile&) = delete;
    ~SyscallProfile();

    static bool Available();
    // Attaches to every thread of pids and whatever they start (bounded
    // wait until all are traced).
    bool Attach(const std::vector<pid_t>& pids, const std::string& outputPath);
    // Detaches and reads the summary, rows by calls, most first, and the
    // targets of the calls named in targetCalls.
    bool Finish(const std::vector<std::string>& targetCalls);

    const std::vector<Row>& Rows() const { return rows_; }
    long Calls(const std::string& name) const;
    long TotalCalls() const;
    // What the target calls were made on, by kind of path (home prefix as
    // "HOME", generated names as "*"), most first.
    const std::vector<std::pair<std::string, long>>& Targets() const { return targets_; }
    // Replaces this prefix of every path with "HOME".
    void SetHome(const std::string& home) { home_ = home; }

private:
    pid_t strace_ = -1;
    std::string output_;
    std::vector<Row> rows_;
    std::vector<std::pair<std::string, long>> targets_;
    std::string home_;
};

}  // namespace bench
