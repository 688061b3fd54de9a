// FileIo: the write loop, directory sync, the no-replace rename and
// exclusive creation.
#include "platform/FileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <utility>

#include "platform/MutexLock.h"

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

namespace {

// Callers that sync one directory at once share the syncs: a sync that
// starts after a caller's change covers it, so a caller waits for the next
// sync to start and finish rather than issuing one of its own. Sessions that
// spool at once then pay for one directory sync between them, and none is
// spared: every caller's change precedes the sync it is answered by.
struct DirectorySyncs {
    Mutex lock;  // the counts, the running flag and the outcomes
    std::condition_variable_any done;
    std::uint64_t started GUARDED_BY(lock) = 0;
    std::uint64_t finished GUARDED_BY(lock) = 0;
    bool running GUARDED_BY(lock) = false;
    // Outcomes of the latest syncs by number (0 for success, else errno);
    // a waiter is woken by the sync that covers it, long before 64 more.
    std::array<int, 64> outcome GUARDED_BY(lock){};
};

// The directories synced lately; idle ones go when there are many (every
// account's Inbox is one).
std::shared_ptr<DirectorySyncs> SyncsOf(const std::string& directory) {
    static Mutex lock;
    static std::map<std::string, std::shared_ptr<DirectorySyncs>> all GUARDED_BY(lock);
    MutexLock guard(lock);
    if (all.size() >= 256)
        std::erase_if(all, [](const auto& item) { return item.second.use_count() == 1; });
    std::shared_ptr<DirectorySyncs>& syncs = all[directory];
    if (!syncs) syncs = std::make_shared<DirectorySyncs>();
    return syncs;
}

int SyncNow(const std::string& directory) {
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return errno != 0 ? errno : EIO;
    return ::fsync(dir.Get()) == 0 ? 0 : (errno != 0 ? errno : EIO);
}

}  // namespace

bool SyncDirectory(const std::string& directory) {
    const std::shared_ptr<DirectorySyncs> shared = SyncsOf(directory);
    DirectorySyncs& syncs = *shared;
    MutexLock guard(syncs.lock);
    // The first sync to start from now on covers this caller.
    const std::uint64_t mine = syncs.started + 1;
    while (syncs.finished < mine) {
        if (syncs.running) {
            syncs.done.wait(guard);
            continue;
        }
        syncs.running = true;
        const std::uint64_t number = ++syncs.started;
        guard.unlock();
        const int result = SyncNow(directory);
        guard.lock();
        syncs.outcome[number % syncs.outcome.size()] = result;
        syncs.finished = number;
        syncs.running = false;
        syncs.done.notify_all();
    }
    const int result = syncs.outcome[mine % syncs.outcome.size()];
    errno = result;
    return result == 0;
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

std::string ShortHexName(const char* prefix, std::uint32_t number, const char* extension) {
    number &= 0xFFFFu;
    if (number == 0) return {};
    char digits[8];
    std::snprintf(digits, sizeof digits, "%X", static_cast<unsigned>(number));
    return std::string(prefix) + digits + extension;
}

std::string ForwardSlashes(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}
