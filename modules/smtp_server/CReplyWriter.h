// CReplyWriter: collects a session's replies and sends them in one write.
//
// Replies to pipelined commands are held until the session has no further
// complete command waiting, then sent together (RFC 2920); the sending
// itself, with its time-out, is the shared socket writer's.
#pragma once

#include <string_view>

#include "CSocketWriter.h"
#include "ModuleVisibility.h"

class MODULE_LOCAL CReplyWriter : public CSocketWriter {
public:
    // Held replies are sent anyway once they reach this size.
    static constexpr std::size_t kFlushThreshold = 8192;

    CReplyWriter(int socket, int stopFd, int timeoutMs) : CSocketWriter(socket, stopFd, timeoutMs, kFlushThreshold) {}

    // One reply line: code, blank or '-' (more lines follow), text, CR LF.
    void Reply(int code, std::string_view text, bool more = false);
};
