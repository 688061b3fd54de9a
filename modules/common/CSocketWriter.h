// CSocketWriter: a session's buffered, time-limited output.
//
// Output is collected and sent in one write when the session flushes (or,
// for a partial flush, once it reaches the threshold). A send waits for the
// socket at most the time-out in all; once the server is stopping it makes
// one last attempt without waiting, so a client that does not read can
// never hold a session (or the server's shutdown) up.
#pragma once

#include <cstddef>
#include <string>

#include "ModuleVisibility.h"

class MODULE_LOCAL CSocketWriter {
public:
    CSocketWriter(int socket, int stopFd, int timeoutMs, std::size_t flushThreshold);
    CSocketWriter(const CSocketWriter&) = delete;
    CSocketWriter& operator=(const CSocketWriter&) = delete;

    // The buffer that output is appended to.
    std::string& Pending() { return pending; }
    // Sends what is held (only past the threshold unless all); false when
    // the client cannot be written to.
    bool Flush(bool all = true);
    bool Failed() const { return failed; }

private:
    int socket;
    int stopFd;
    int timeoutMs;
    std::size_t threshold;
    std::string pending;
    bool failed = false;
};
