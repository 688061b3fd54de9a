// CSocketWriter: a session's buffered, time-limited output.
//
// Output is collected and sent in one write when the session flushes (or,
// for a partial flush, once it reaches the threshold). A send waits for the
// socket at most the time-out in all; once the server is stopping it makes
// one last attempt without waiting, so a client that does not read can
// never hold a session (or the server's shutdown) up. After UseTls the
// output goes through the session's TLS stream, under the same deadline
// (a stopping server ends a TLS send at once).
#pragma once

#include <cstddef>
#include <string>

#include "ModuleVisibility.h"

class TlsStream;

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
    // From now on output goes through tls (owned by the session, alive as
    // long as this writer); null goes back to the plain socket.
    void UseTls(TlsStream* stream) { tls = stream; }

private:
    int socket;
    int stopFd;
    int timeoutMs;
    std::size_t threshold;
    TlsStream* tls = nullptr;
    std::string pending;
    bool failed = false;
};
