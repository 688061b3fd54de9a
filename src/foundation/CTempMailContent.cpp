// CTempMailContent: temporary message files.
//
// Plain POSIX descriptors rather than stdio: a message file is read and
// written alternately through one position, and every Write must reach the
// system before it returns, which unbuffered writes give for free.
#include "foundation/CTempMailContent.h"

#include "foundation/SettingsCatalogue.h"
#include "platform/UserInterface.h"
#include "platform/FileIo.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The platform's temporary-path limit; a longer $TMPDIR is not used.
constexpr std::size_t kMaxTempPath = 260;
// Attempts per directory before giving up on it: only name collisions are
// retried, so this is reached only when a directory is flooded with our names.
constexpr int kNameAttempts = 4096;

void ShowMessageBox(const char* text) {
    UserInterface::Current().MessageBox(text, settings::kMessageBoxTitle);
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates "<dir>/Tes<hex>.tmp" exclusively; returns its path or "".
std::string CreateUniqueFile(const std::string& directory) {
    if (directory.empty() || !IsDirectory(directory)) return {};
    std::string prefix = directory;
    if (prefix.back() != '/') prefix += '/';
    prefix += "Tes";
    std::string path;
    const UniqueFd file = CreateExclusive(
        [&](unsigned) {
            char number[16];
            std::snprintf(number, sizeof number, "%X", NextFileNumber());
            return prefix + number + ".tmp";
        },
        kNameAttempts, O_RDWR, 0600, path);
    return file ? path : std::string();
}

}  // namespace

CTempMailContent::CTempMailContent() {
    // The system directory first; the home's own spool directory when the
    // system one is unusable (missing, too long, full or not writable).
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir && *tmpdir && std::char_traits<char>::length(tmpdir) <= kMaxTempPath)
        fileName = CreateUniqueFile(tmpdir);
    if (fileName.empty()) fileName = CreateUniqueFile("/tmp");
    if (fileName.empty()) fileName = CreateUniqueFile("./TessalSpooler");
}

CTempMailContent::~CTempMailContent() {
    // The file is deleted even when it was never opened: it was created by
    // the constructor and nobody else knows its name.
    file.Reset();
    isOpen = false;
    if (!fileName.empty()) {
        ::unlink(fileName.c_str());
        fileName.clear();
    }
}

bool CTempMailContent::Open() {
    if (fileName.empty()) {
        ShowMessageBox("Blank File Name");
        return false;
    }
    if (isOpen) return true;
    // The file must still be the one we created: no creation, no symlinks.
    int fd = ::open(fileName.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        ShowMessageBox("Error Creating Temporary File");
        return false;
    }
    file.Reset(fd);
    isOpen = true;
    return true;
}

std::uint32_t CTempMailContent::GetLength() {
    struct stat info {};
    int rc = isOpen ? ::fstat(file.Get(), &info) : (fileName.empty() ? -1 : ::stat(fileName.c_str(), &info));
    if (rc != 0 || info.st_size < 0) return 0;
    if (static_cast<std::uint64_t>(info.st_size) > UINT32_MAX) return UINT32_MAX;
    return static_cast<std::uint32_t>(info.st_size);
}

void CTempMailContent::Rewind() {
    if (isOpen) ::lseek(file.Get(), 0, SEEK_SET);
}

int CTempMailContent::Read(void* buffer, std::uint32_t count) {
    if (!isOpen) {
        ShowMessageBox("Error");
        return -1;
    }
    if (count > static_cast<std::uint32_t>(INT_MAX)) count = INT_MAX;
    auto* out = static_cast<char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        ssize_t n = ::read(file.Get(), out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ShowMessageBox("Error");
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::uint32_t>(n);
    }
    return static_cast<int>(done);
}

bool CTempMailContent::Write(const void* buffer, std::uint32_t count) {
    if (!isOpen) return false;
    return WriteAll(file.Get(), buffer, count);
}

bool CTempMailContent::SetLength(std::uint32_t length) {
    if (!isOpen) return false;
    return ::ftruncate(file.Get(), static_cast<off_t>(length)) == 0;
}
