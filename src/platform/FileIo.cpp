// FileIo: the write loop, directory sync, the no-replace rename and
// exclusive creation.
#include "platform/FileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <utility>

bool WriteAll(int fd, const void* data, std::size_t count) {
    const auto* bytes = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = ::write(fd, bytes, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool SyncDirectory(const std::string& directory) {
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir && ::fsync(dir.Get()) == 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    return LinkThenUnlink(from, to);
}

bool LinkThenUnlink(const std::string& from, const std::string& to) {
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    if (::unlink(from.c_str()) != 0) {
        const int error = errno;
        ::unlink(to.c_str());
        errno = error;
        return false;
    }
    return true;
}

UniqueFd CreateExclusive(const std::function<std::string(unsigned attempt)>& nameFor, unsigned attempts, int access,
                         mode_t mode, std::string& path) {
    for (unsigned attempt = 0; attempt < attempts; ++attempt) {
        std::string name = nameFor(attempt);
        if (name.empty()) continue;
        UniqueFd file(::open(name.c_str(), access | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
        if (file) {
            path = std::move(name);
            return file;
        }
        if (errno != EEXIST && errno != EINTR) return file;
    }
    errno = EEXIST;
    return UniqueFd();
}

std::uint32_t NextFileNumber() {
    static std::atomic<std::uint32_t> sequence{[] {
        std::random_device device;
        auto seed = static_cast<std::uint32_t>(device());
        seed ^= static_cast<std::uint32_t>(::getpid()) << 16;
        seed ^= static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        return seed;
    }()};
    return sequence.fetch_add(1);
}

std::string ForwardSlashes(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}
