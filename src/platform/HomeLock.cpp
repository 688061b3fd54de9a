// HomeLock: the server's lock on its home.
#include "platform/HomeLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/FileIo.h"

namespace {

// The pid at the start of the file; 0 when there is none. A pid is at most
// a few digits, so a short bounded read is enough.
pid_t ReadPid(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

HomeLock::Result HomeLock::Acquire(const std::string& home) {
    Release();
    path = home + "/" + kFileName;
    error.clear();
    holder = 0;
    previousPid = 0;
    interrupted = false;
    previousStart = {};
    UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return Result::Failed;
    }
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            error = path + ": " + std::strerror(errno);
            return Result::Failed;
        }
        holder = ReadPid(file.Get());
        return Result::Held;
    }
    struct stat info {};
    previousPid = ReadPid(file.Get());
    if (previousPid != 0 && ::fstat(file.Get(), &info) == 0) {
        interrupted = true;
        previousStart = info.st_mtim;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(file.Get(), 0) != 0 || !WriteAll(file.Get(), pid.data(), pid.size())) {
        error = path + ": " + std::strerror(errno);
        return Result::Failed;
    }
    fd = std::move(file);
    return Result::Acquired;
}

void HomeLock::Release(bool clean) {
    if (!fd) return;
    // Empty means stopped cleanly. Should emptying fail, the pid stays and
    // the next start only looks over the mail store once more. The lock
    // itself goes with the descriptor.
    bool done = ::ftruncate(fd.Get(), 0) == 0;
    if (done && !clean && interrupted) {
        const std::string pid = std::to_string(previousPid) + "\n";
        const timespec times[2] = {previousStart, previousStart};
        done = ::lseek(fd.Get(), 0, SEEK_SET) == 0 && WriteAll(fd.Get(), pid.data(), pid.size()) &&
               ::futimens(fd.Get(), times) == 0;
    }
    if (!done) error = path + ": " + std::strerror(errno);
    fd.Reset();
}
