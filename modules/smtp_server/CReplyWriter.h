// CReplyWriter: collects a session's replies and sends them in one write.
//
// Replies to pipelined commands are held until the session has no further
// complete command waiting, then sent together (RFC 2920). A send waits for
// the socket at most the time-out in all; once the server is stopping it makes one
// last attempt without waiting, so a client that does not read can never
// hold a session (and the server's shutdown) up.
#pragma once

#include <string>
#include <string_view>

#include "ModuleVisibility.h"

class SMTPD_LOCAL CReplyWriter {
public:
    // Held replies are sent anyway once they reach this size.
    static constexpr std::size_t kFlushThreshold = 8192;

    CReplyWriter(int socket, int stopFd, int timeoutMs);
    CReplyWriter(const CReplyWriter&) = delete;
    CReplyWriter& operator=(const CReplyWriter&) = delete;

    // One reply line: code, blank or '-' (more lines follow), text, CR LF.
    void Reply(int code, std::string_view text, bool more = false);
    // Sends everything held; false when the client cannot be written to.
    bool Flush();
    bool Failed() const { return failed; }

private:
    int socket;
    int stopFd;
    int timeoutMs;
    std::string pending;
    bool failed = false;
};
