// CSpoolFilePool: routed spool files kept, emptied, for the next messages.
//
// Every message used to cost the file system a new inode for its spool file
// and the release of one when it was routed. On ext4 without a journal the
// allocator then searches past every recently freed inode, which grows to
// a large share of the server's time under a steady stream of mail. A routed
// file is therefore renamed to a hidden ".SMFfree<hex>" name, emptied and
// kept (up to kMaxKept); the next spool file is made by renaming a kept one
// to its ".part" name. The file's life otherwise stays as before: written,
// synced, renamed into place, synced with its directory. Kept files hold no
// message (they are emptied before they are offered again), are never
// picked up by a scan (hidden names), and those of an earlier run are
// removed when the spool processor starts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/MutexLock.h"

class CSpoolFilePool {
public:
    static constexpr std::size_t kMaxKept = 256;

    static CSpoolFilePool& Instance();
    // True for the name of a kept file (empty, hidden, no message).
    static bool IsKeptName(const std::string& name);

    // Takes a routed spool file out of the spool: kept for reuse, or deleted
    // when enough are kept or it cannot be emptied.
    void Recycle(const std::string& path);
    // Gives a kept file of directory the name partPath (which must be free);
    // false when none is kept.
    bool Take(const std::string& directory, const std::string& partPath);
    // Removes the kept files of directory, from this run or an earlier one,
    // and the ".part" files an earlier run left half-written (a message cut
    // off in its data, never answered 250): those older than this process.
    void Sweep(const std::string& directory);

private:
    Mutex lock;  // the kept paths
    std::vector<std::string> kept GUARDED_BY(lock);  // paths, newest last
};
