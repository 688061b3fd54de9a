// FileIo: whole-buffer writes on a file descriptor.
//
// write() may take fewer bytes than asked or be interrupted; every writer of
// spool files, mailbox files, queue files and logs needs the same loop, and
// a short write that is not retried is a cut message.
#pragma once

#include <cstddef>

// Writes all count bytes; false on an error (errno tells which) or when the
// file takes no more.
bool WriteAll(int fd, const void* data, std::size_t count);
