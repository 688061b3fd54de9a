// LogRetention: compression and removal of old diagnostic log files.
#include "foundation/LogRetention.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/FileIo.h"
#include "platform/UniqueFd.h"

namespace logretention {

namespace {

constexpr std::size_t kBlockBytes = 64 * 1024;

std::string UtcDay(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &utc);
    return text;
}

}  // namespace

std::string DayOf(const std::string& name) {
    std::string stem = name;
    if (stem.ends_with(".gz")) stem.resize(stem.size() - 3);
    if (stem.size() != 16 || !stem.ends_with(".log")) return {};
    for (std::size_t i = 0; i < 12; ++i)
        if (!std::isdigit(static_cast<unsigned char>(stem[i]))) return {};
    // DDMMYYYY...: reordered so that text order is time order.
    return stem.substr(4, 4) + stem.substr(2, 2) + stem.substr(0, 2);
}

bool CompressFile(const std::string& path, std::string& error) {
    const UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::string target = path + ".gz";
    const std::string part = target + ".part";
    const int out = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (out < 0) {
        error = "cannot write " + part + ": " + std::strerror(errno);
        return false;
    }
    // gzdopen owns the descriptor from here on; a duplicate is kept for the sync.
    const UniqueFd syncHandle(::dup(out));
    gzFile zipped = ::gzdopen(out, "wb6");
    if (!zipped || !syncHandle) {
        if (zipped)
            ::gzclose(zipped);
        else
            ::close(out);
        ::unlink(part.c_str());
        error = "cannot compress into " + part;
        return false;
    }
    std::vector<char> block(kBlockBytes);
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(in.Get(), block.data(), kBlockBytes);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) break;
        if (::gzwrite(zipped, block.data(), static_cast<unsigned>(got)) != static_cast<int>(got)) {
            ok = false;
            break;
        }
    }
    ok = ::gzclose(zipped) == Z_OK && ok;
    ok = ok && ::fsync(syncHandle.Get()) == 0 && ::rename(part.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(part.c_str());
        error = "cannot compress " + path;
        return false;
    }
    const std::size_t slash = target.rfind('/');
    SyncDirectory(slash == std::string::npos ? "." : target.substr(0, slash));
    ::unlink(path.c_str());
    return true;
}

SweepResult Sweep(const std::string& directory, const std::string& openFile, std::time_t now, std::uint32_t days) {
    SweepResult result;
    std::vector<std::string> names;
    {
        DIR* dir = ::opendir(directory.c_str());
        if (!dir) return result;
        while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    const std::string today = UtcDay(now);
    const std::string oldest = UtcDay(now - static_cast<std::time_t>(days) * 86400);
    for (const std::string& name : names) {
        const std::string day = DayOf(name);
        const std::string path = directory + "/" + name;
        if (day.empty() || path == openFile) continue;
        if (day < oldest) {
            if (::unlink(path.c_str()) == 0) ++result.removed;
        } else if (day < today && !name.ends_with(".gz")) {
            std::string error;
            if (CompressFile(path, error)) ++result.compressed;
        }
    }
    return result;
}

}  // namespace logretention
