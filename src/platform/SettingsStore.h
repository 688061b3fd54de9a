// SettingsStore: the process's view of the settings file.
//
// Reads see the file as it is now: the parsed form is cached and re-read
// whenever the file's identity (inode, size, modification time) changes, so
// a value changed by the console or `velmora reg set` is seen at the next
// operation. Writes re-read the file under an exclusive lock on a companion
// lock file, apply one change, write a temporary file, flush it and rename it
// over the old one: readers never see a half-written file, and the server,
// the console and the command line never lose each other's changes. The
// file is written with mode 0600 whatever the old one had: it holds the relay
// password.
#pragma once

#include <functional>

#include <sys/stat.h>
#include <string>
#include <sys/types.h>

#include "platform/MutexLock.h"
#include "platform/SettingsFile.h"

class SettingsStore {
public:
    static SettingsStore& Instance();

    void SetPath(const std::string& path);
    std::string Path() const;

    // Runs fn on the current contents. Returns 0, 2 when the file is missing
    // (fn then sees an empty file), or ERROR_BADDB when it is malformed.
    long Read(const std::function<void(const SettingsFile&)>& fn);
    // Applies fn and stores the result atomically; fn returns false to
    // abandon the change. Returns a Windows result code.
    long Modify(const std::function<bool(SettingsFile&)>& fn);

    // "file: line N: why" of the last malformed read, or empty.
    std::string LastError() const;

private:
    // The settings file's identity as seen by stat, for LoadLocked.
    struct Probe {
        std::string path;
        bool found = false;
        int error = 0;
        struct stat info {};
    };
    long LoadLocked(const Probe* probe = nullptr) REQUIRES(mutex);

    mutable Mutex mutex;  // the file's path, the cached copy and what was last seen of the file
    std::string path GUARDED_BY(mutex);
    SettingsFile cache GUARDED_BY(mutex);
    bool cacheValid GUARDED_BY(mutex) = false;
    bool fileMissing GUARDED_BY(mutex) = true;
    ino_t inode GUARDED_BY(mutex) = 0;
    off_t size GUARDED_BY(mutex) = -1;
    long long mtimeNs GUARDED_BY(mutex) = -1;
    std::string lastError GUARDED_BY(mutex);
};
