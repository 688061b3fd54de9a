// SettingsStore: cached reads and atomic, locked writes of the settings file.
#include "platform/SettingsStore.h"
#include "platform/FileIo.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Registry.h"
#include "platform/UniqueFd.h"

namespace {

bool ReadWholeFile(int fd, std::string& out) {
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
        // A settings file is small; refuse to swallow something absurd.
        if (out.size() > 64u * 1024 * 1024) return false;
    }
}

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

SettingsStore& SettingsStore::Instance() {
    static SettingsStore store;
    return store;
}

void SettingsStore::SetPath(const std::string& newPath) {
    MutexLock guard(mutex);
    path = newPath;
    cacheValid = false;
    lastError.clear();
}

std::string SettingsStore::Path() const {
    MutexLock guard(mutex);
    return path;
}

std::string SettingsStore::LastError() const {
    MutexLock guard(mutex);
    return lastError;
}

long SettingsStore::LoadLocked(const Probe* probe) {
    struct stat st {};
    // A probe made outside the lock for the same path saves the stat here.
    const bool usable = probe && probe->path == path;
    const bool found = usable ? probe->found : !path.empty() && ::stat(path.c_str(), &st) == 0;
    if (usable) {
        st = probe->info;
        errno = probe->error;
    }
    if (path.empty() || !found) {
        if (!path.empty() && errno == EACCES) return ERROR_ACCESS_DENIED;
        cache = SettingsFile();
        cacheValid = true;
        fileMissing = true;
        lastError.clear();
        return ERROR_SUCCESS;
    }
    long long mt = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    if (cacheValid && !fileMissing && st.st_ino == inode && st.st_size == size && mt == mtimeNs)
        return lastError.empty() ? ERROR_SUCCESS : ERROR_BADDB;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    std::string text;
    if (!ReadWholeFile(fd.Get(), text)) return ERROR_BADDB;
    SettingsFile parsed;
    inode = st.st_ino;
    size = st.st_size;
    mtimeNs = mt;
    cacheValid = true;
    fileMissing = false;
    if (!parsed.Parse(text)) {
        lastError = path + ": " + parsed.Error();
        cache = SettingsFile();
        return ERROR_BADDB;
    }
    lastError.clear();
    cache = std::move(parsed);
    return ERROR_SUCCESS;
}

long SettingsStore::Read(const std::function<void(const SettingsFile&)>& fn) {
    // Every thread reads settings, most of them for each message: the file's
    // identity is looked at before the lock is taken, so no thread waits
    // behind another's system call.
    Probe probe;
    probe.path = Path();
    probe.found = !probe.path.empty() && ::stat(probe.path.c_str(), &probe.info) == 0;
    probe.error = errno;
    MutexLock guard(mutex);
    long rc = LoadLocked(&probe);
    if (rc != ERROR_SUCCESS) return rc;
    fn(cache);
    return ERROR_SUCCESS;
}

long SettingsStore::Modify(const std::function<bool(SettingsFile&)>& fn) {
    MutexLock guard(mutex);
    if (path.empty()) return ERROR_FILE_NOT_FOUND;
    // The lock lives on a companion file: the settings file itself is
    // replaced by rename, so a lock on it would not outlive a write.
    const std::string lockPath = path + ".lock";
    UniqueFd lockFd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lockFd) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
    while (::flock(lockFd.Get(), LOCK_EX) != 0)
        if (errno != EINTR) return ERROR_WRITE_FAULT;

    cacheValid = false;  // another process may have written: read afresh
    long rc = LoadLocked();
    if (rc != ERROR_SUCCESS) return rc;  // never rewrite a file we could not parse
    SettingsFile next = cache;
    if (!fn(next)) return ERROR_SUCCESS;
    const std::string text = next.Serialize();
    // The writer refuses names it cannot keep; a text that would not read
    // back is still never stored, since it would stop every later start.
    if (SettingsFile check; !check.Parse(text)) return ERROR_INVALID_PARAMETER;

    // mkstemp makes the file 0600, and so it stays: the settings hold the
    // relay password, so a rewrite never keeps a wider mode of the old file.
    std::string tmp = path + ".XXXXXX";
    UniqueFd out(::mkstemp(tmp.data()));
    if (!out) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
    if (!WriteAll(out.Get(), text.data(), text.size()) || ::fsync(out.Get()) != 0 ||
        ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return ERROR_WRITE_FAULT;
    }
    out.Reset();
    SyncDirectory(DirectoryOf(path));
    cache = std::move(next);
    cacheValid = false;  // identity changed; next read re-stats
    return ERROR_SUCCESS;
}
