// BusyLoad: forked spinners and a syncing writer (see the header).
#include "BusyLoad.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace bench {

namespace {

// Only system calls after the fork: the parent has threads.
[[noreturn]] void Spin() {
    volatile std::uint64_t x = 1;
    for (;;) x = x * 6364136223846793005ULL + 1442695040888963407ULL;
}

[[noreturn]] void WriteAndSync(const char* path, const char* counter) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int count = ::open(counter, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || count < 0) ::_exit(1);
    static char block[4096];
    std::uint64_t syncs = 0;
    for (off_t at = 0;; at = (at + 4096) % (64 << 20)) {
        if (::pwrite(fd, block, sizeof block, at) < 0 || ::fdatasync(fd) != 0) ::_exit(1);
        ++syncs;
        if (::pwrite(count, &syncs, sizeof syncs, 0) < 0) ::_exit(1);
    }
}

}  // namespace

bool BusyLoad::Start(int cpuProcesses, const std::string& directory) {
    Stop();
    const std::string path = directory + "/busy-writer.dat";
    counterPath = directory + "/busy-writer.count";
    for (int i = 0; i <= cpuProcesses; ++i) {
        const pid_t pid = ::fork();
        if (pid < 0) {
            Stop();
            return false;
        }
        if (pid == 0) {
            if (i == cpuProcesses) WriteAndSync(path.c_str(), counterPath.c_str());
            Spin();
        }
        pids.push_back(pid);
    }
    return true;
}

long BusyLoad::Stop() {
    if (pids.empty()) return 0;
    for (const pid_t pid : pids) ::kill(pid, SIGKILL);
    for (const pid_t pid : pids)
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    pids.clear();
    std::uint64_t syncs = 0;
    const int fd = ::open(counterPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (::pread(fd, &syncs, sizeof syncs, 0) != sizeof syncs) syncs = 0;
        ::close(fd);
    }
    return static_cast<long>(syncs);
}

}  // namespace bench
