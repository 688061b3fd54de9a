// FreshFileSystem: a new ext4 file system, loop-mounted for one benchmark
// run, so that every run meets the same disk.
//
// A file system remembers what was done to it: ext4 without a journal
// skips every inode freed in the last seconds to minutes when it allocates
// one, so a run made just after another deleted its homes (or the test
// suite its thousands of files) paid up to half again as much CPU per
// message as one made on a quiet disk. Both servers of a run share the
// image, which lives as a sparse file under the directory given, on the
// same disk as before; its journal is ext4's default or left out, as the
// machine's own root file system is made. Needs root (mount).
#pragma once

#include <string>

namespace bench {

class FreshFileSystem {
public:
    FreshFileSystem() = default;
    ~FreshFileSystem();
    FreshFileSystem(const FreshFileSystem&) = delete;
    FreshFileSystem& operator=(const FreshFileSystem&) = delete;

    // mode "journal" (mkfs.ext4's defaults) or "nojournal"; the image and
    // its mount point are made under parent. Empty on success, else why.
    std::string Make(const std::string& parent, const std::string& mode);
    // Where it is mounted.
    const std::string& Dir() const { return mount_; }

private:
    std::string image_;
    std::string mount_;
    bool mounted_ = false;
};

}  // namespace bench
