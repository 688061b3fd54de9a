// CSpoolFilePool: keeping and reusing routed spool files.
#include "spool/CSpoolFilePool.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "platform/FileIo.h"

namespace {

constexpr const char* kKeptPrefix = ".SMFfree";
// Set as the program loads: a part file older than this is no session's.
const std::time_t g_processStart = std::time(nullptr);

bool IsLeftPartFile(const std::string& directory, const std::string& name) {
    if (name.size() < 10 || name.rfind(".SMF", 0) != 0 || !name.ends_with(".part")) return false;
    struct stat info {};
    return ::lstat((directory + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_mtime < g_processStart;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

CSpoolFilePool& CSpoolFilePool::Instance() {
    static CSpoolFilePool pool;
    return pool;
}

bool CSpoolFilePool::IsKeptName(const std::string& name) {
    return name.rfind(kKeptPrefix, 0) == 0;
}

void CSpoolFilePool::Recycle(const std::string& path) {
    {
        MutexLock guard(lock);
        if (kept.size() >= kMaxKept) {
            ::unlink(path.c_str());
            return;
        }
    }
    char name[32];
    std::snprintf(name, sizeof name, "%s%X", kKeptPrefix, NextFileNumber());
    const std::string hidden = DirectoryOf(path) + "/" + name;
    // Out of the spool's names first, then emptied: a crash in between
    // leaves a hidden file that the next start removes, never a routed
    // message under a name a scan would route again.
    if (!RenameNoReplace(path, hidden)) {
        ::unlink(path.c_str());
        return;
    }
    if (::truncate(hidden.c_str(), 0) != 0) {
        ::unlink(hidden.c_str());
        return;
    }
    MutexLock guard(lock);
    kept.push_back(hidden);
}

bool CSpoolFilePool::Take(const std::string& directory, const std::string& partPath) {
    for (;;) {
        std::string candidate;
        {
            MutexLock guard(lock);
            for (std::size_t i = kept.size(); i-- > 0;) {
                if (DirectoryOf(kept[i]) != directory) continue;
                candidate = std::move(kept[i]);
                kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        if (candidate.empty()) return false;
        if (RenameNoReplace(candidate, partPath)) return true;
        // Gone, or the name was taken meanwhile: this one is of no use.
        ::unlink(candidate.c_str());
    }
}

void CSpoolFilePool::Sweep(const std::string& directory) {
    {
        MutexLock guard(lock);
        std::erase_if(kept, [&](const std::string& path) { return DirectoryOf(path) == directory; });
    }
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (IsKeptName(entry->d_name) || IsLeftPartFile(directory, entry->d_name))
                ::unlink((directory + "/" + entry->d_name).c_str());
        ::closedir(dir);
    }
}
