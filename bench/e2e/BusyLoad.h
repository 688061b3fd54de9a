// The same competition for every server of a busy round: a fixed number of
// CPU-bound processes and one writer that syncs continuously, as a machine
// shared with compiles and other services gives.
//
// Started before a server's round and stopped (killed and reaped) after it,
// outside the span whose children's CPU is counted as the server's, so the
// load's own CPU never lands in a server's figures. The writer's syncs are
// counted so that their rate can be printed beside the round.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

class BusyLoad {
public:
    BusyLoad() = default;
    ~BusyLoad() { Stop(); }
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

    // cpuProcesses spinning processes and one writer syncing 4 KB writes
    // into a file of directory; false when a process could not be made.
    bool Start(int cpuProcesses, const std::string& directory);
    // Kills and reaps them all; the writer's syncs since Start.
    long Stop();
    bool Running() const { return !pids.empty(); }

private:
    std::vector<pid_t> pids;
    std::string counterPath;  // the writer's count of syncs, a 8-byte number
};

}  // namespace bench
