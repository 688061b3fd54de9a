// TreeCopy: durable copies of files and directory trees, for backups and
// restores of a home.
//
// A copy that is to stand in for the original after a crash must be on the
// disk, names included: each file is written through a temporary name,
// synced, given the original's mode and modification time, and renamed into
// place; each directory is synced once its entries are in. Symbolic links,
// devices and sockets are passed over: a home holds none that matter.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>

// Copies the regular file from to to (replacing one there); false with
// error naming the file and the cause.
bool CopyFileDurably(const std::string& from, const std::string& to, std::string& error);

// Decides per entry, by its path relative to the tree's root ("a/b.mel")
// and its status, whether it is copied (a directory: entered).
using TreeFilter = std::function<bool(const std::string& relative, const struct stat& info)>;

// Copies the tree below from into to (created, mode 0700, when missing),
// adding to what to holds. files counts the files copied. A missing from is
// an empty tree.
bool CopyTree(const std::string& from, const std::string& to, const TreeFilter& keep, std::size_t& files,
              std::string& error);
