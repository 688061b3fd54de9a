// WholeFile: bounded read, write by temporary file and rename.
#include "platform/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>

#include "platform/FileIo.h"
#include "platform/UniqueFd.h"

bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes) {
    bytes.clear();
    UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return false;
    char block[4096];
    while (bytes.size() < maxBytes) {
        const std::size_t want = std::min(sizeof block, maxBytes - bytes.size());
        const ssize_t n = ::read(in.Get(), block, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        bytes.append(block, static_cast<std::size_t>(n));
    }
    return true;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    std::string tmp = path + ".XXXXXX";
    UniqueFd out(::mkstemp(tmp.data()));
    if (!out) return false;
    ::fchmod(out.Get(), mode);
    if (!WriteAll(out.Get(), bytes.data(), bytes.size()) || ::fsync(out.Get()) != 0 ||
        ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return false;
    }
    const std::size_t slash = path.rfind('/');
    SyncDirectory(slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash)));
    return true;
}
