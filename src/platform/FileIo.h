// FileIo: the file operations every writer of spool files, mailbox files,
// queue files and logs needs in the same form.
//
// write() may take fewer bytes than asked or be interrupted, and a short
// write that is not retried is a cut message. A file that must survive a
// crash needs its directory synced too. A new file takes a name nobody
// holds (exclusive creation, the next number on a clash), and it is
// published under a name that never replaces another file's.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/UniqueFd.h"

// A path written with the stored settings' "\\" separators, with "/".
std::string ForwardSlashes(std::string path);

// Writes all count bytes; false on an error (errno tells which) or when the
// file takes no more.
bool WriteAll(int fd, const void* data, std::size_t count);

// fsync of the directory, so the names created or renamed in it last.
// Threads syncing one directory at once share a sync that starts after
// each one's call; errno holds the reason of a failure.
bool SyncDirectory(const std::string& directory);

// Renames from to to unless to exists: false with errno EEXIST then, false
// with the system's errno on any other failure. Either the file moved or
// nothing changed.
bool RenameNoReplace(const std::string& from, const std::string& to);
// The stand-in where the file system lacks the no-replace rename: a hard
// link (which fails on an existing name), then the unlink of from; an unlink
// that fails takes the link back.
bool LinkThenUnlink(const std::string& from, const std::string& to);

// Creates a file under the first free name of nameFor(0), nameFor(1), ...
// (O_CREAT | O_EXCL, never through a symbolic link), trying at most attempts
// names; an empty name is passed over. access is O_WRONLY or O_RDWR. Returns
// the open file and sets path; an invalid descriptor when every name was
// taken (errno EEXIST) or the directory refused (the system's errno).
UniqueFd CreateExclusive(const std::function<std::string(unsigned attempt)>& nameFor, unsigned attempts, int access,
                         mode_t mode, std::string& path);

// The next number of a process-wide sequence for file names, started at a
// random point so that two processes sharing a directory rarely probe the
// same names.
std::uint32_t NextFileNumber();

// prefix, the low 16 bits of number as 1 to 4 upper-case hex digits, and
// extension ("Tes1A2F.tmp"): the short names of the Outbox and the remote
// spool. "" when those bits are 0, a number such names never use.
std::string ShortHexName(const char* prefix, std::uint32_t number, const char* extension);
