// TreeCopy: file and tree copies that survive a crash.
#include "platform/TreeCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/FileIo.h"
#include "platform/UniqueFd.h"

namespace {

constexpr std::size_t kBlockBytes = 256 * 1024;

bool Fail(std::string& error, const std::string& what, const std::string& path) {
    error = what + " " + path + ": " + std::strerror(errno);
    return false;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool CopyFileDurably(const std::string& from, const std::string& to, std::string& error) {
    const UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in) return Fail(error, "cannot read", from);
    struct stat info {};
    if (::fstat(in.Get(), &info) != 0) return Fail(error, "cannot read", from);
    const std::string part = to + ".copying";
    UniqueFd out(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out) return Fail(error, "cannot write", part);
    std::vector<char> block(kBlockBytes);
    for (;;) {
        const ssize_t got = ::read(in.Get(), block.data(), kBlockBytes);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Fail(error, "cannot read", from);
        if (got == 0) break;
        if (!WriteAll(out.Get(), block.data(), static_cast<std::size_t>(got))) {
            const int cause = errno;
            ::unlink(part.c_str());
            errno = cause;
            return Fail(error, "cannot write", part);
        }
    }
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (::fchmod(out.Get(), info.st_mode & 07777) != 0 || ::futimens(out.Get(), times) != 0 ||
        ::fsync(out.Get()) != 0 || ::rename(part.c_str(), to.c_str()) != 0) {
        const int cause = errno;
        ::unlink(part.c_str());
        errno = cause;
        return Fail(error, "cannot write", to);
    }
    return true;
}

namespace {

bool CopyBelow(const std::string& root, const std::string& relative, const std::string& to, const TreeFilter& keep,
               std::size_t& files, std::string& error) {
    const std::string source = relative.empty() ? root : root + "/" + relative;
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(source.c_str()));
    if (!dir) {
        if (errno == ENOENT && relative.empty()) return true;
        return Fail(error, "cannot list", source);
    }
    const std::string target = relative.empty() ? to : to + "/" + relative;
    if (::mkdir(target.c_str(), 0700) != 0 && errno != EEXIST) return Fail(error, "cannot create", target);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    for (const std::string& name : names) {
        const std::string inner = relative.empty() ? name : relative + "/" + name;
        struct stat info {};
        // Gone since the listing (a message deleted meanwhile): nothing to copy.
        if (::lstat((root + "/" + inner).c_str(), &info) != 0) continue;
        if (!keep(inner, info)) continue;
        if (S_ISDIR(info.st_mode)) {
            if (!CopyBelow(root, inner, to, keep, files, error)) return false;
        } else if (S_ISREG(info.st_mode)) {
            if (!CopyFileDurably(root + "/" + inner, to + "/" + inner, error)) {
                if (errno == ENOENT && ::access((root + "/" + inner).c_str(), F_OK) != 0) continue;
                return false;
            }
            ++files;
        }
    }
    if (!SyncDirectory(target)) return Fail(error, "cannot sync", target);
    return true;
}

}  // namespace

bool CopyTree(const std::string& from, const std::string& to, const TreeFilter& keep, std::size_t& files,
              std::string& error) {
    return CopyBelow(from, "", to, keep, files, error);
}
