// CPop3Writer: a POP3 session's output: status lines and message blocks.
//
// Output is collected and sent when it reaches a block's size or when the
// session flushes before reading the next command. A send waits for the
// socket at most the time-out in all; once the server is stopping it makes
// one last attempt without waiting, so a client that does not read can
// never hold the session (or the server's shutdown) up.
#pragma once

#include <string>
#include <string_view>

#include "Pop3Visibility.h"

class POP3D_LOCAL CPop3Writer {
public:
    static constexpr std::size_t kFlushThreshold = 64 * 1024;

    CPop3Writer(int socket, int stopFd, int timeoutMs);
    CPop3Writer(const CPop3Writer&) = delete;
    CPop3Writer& operator=(const CPop3Writer&) = delete;

    // "+OK text" or "-ERR text", CR LF.
    void Ok(std::string_view text);
    void Err(std::string_view text);
    // One line of a multi-line answer (already dot-safe), CR LF added.
    void Line(std::string_view text);
    // The buffer that message data is appended to; sent past the threshold by Flush(false).
    std::string& Pending() { return pending; }
    // Sends what is held (only past the threshold unless all); false when the client cannot be written to.
    bool Flush(bool all = true);
    bool Failed() const { return failed; }

private:
    int socket;
    int stopFd;
    int timeoutMs;
    std::string pending;
    bool failed = false;
};
