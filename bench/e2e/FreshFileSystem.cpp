// FreshFileSystem: make, mount, unmount and remove.
#include "FreshFileSystem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "BenchSupport.h"

namespace bench {

namespace {
// Room for every round's homes, the PostgreSQL cluster and Postfix's mail;
// sparse, so only what is written takes space.
constexpr const char* kImageSize = "16G";
}  // namespace

FreshFileSystem::~FreshFileSystem() {
    if (mounted_ && !Run({"umount", mount_}, "/dev/null")) Run({"umount", "-l", mount_}, "/dev/null");
    std::error_code ec;
    if (!mount_.empty()) std::filesystem::remove(mount_, ec);
    if (!image_.empty()) std::filesystem::remove(image_, ec);
}

std::string FreshFileSystem::Make(const std::string& parent, const std::string& mode) {
    if (mode != "journal" && mode != "nojournal") return "--fresh-fs takes journal or nojournal";
    if (::geteuid() != 0) return "--fresh-fs needs root (it mounts the file system)";
    std::string made = parent + "/velmora-bench-fs-XXXXXX";
    if (!::mkdtemp(made.data())) return "cannot make a directory under " + parent;
    mount_ = made;
    image_ = made + ".img";
    const std::string log = made + ".log";
    std::vector<std::string> mkfs = {"mkfs.ext4", "-q", "-F"};
    if (mode == "nojournal") mkfs.insert(mkfs.end(), {"-O", "^has_journal"});
    mkfs.push_back(image_);
    const bool ok = Run({"truncate", "-s", kImageSize, image_}, log) && Run(mkfs, log, 120) &&
                    Run({"mount", "-o", "loop", image_, mount_}, log);
    const std::string output = ReadAll(log);
    std::error_code ec;
    std::filesystem::remove(log, ec);
    if (!ok) return "cannot make a fresh file system at " + mount_ + ": " + output;
    mounted_ = true;
    // Peers running under a user namespace's ids must reach their own roots in it.
    ::chmod(mount_.c_str(), 0711);
    return "";
}

}  // namespace bench
