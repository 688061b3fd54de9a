// CListenerTls: the server certificate of one listening service, and the
// server side of a session's handshake.
//
// Load reads TLS\Certificate File and TLS\Key File and makes the TLS context
// every session of the listener shares. When they are not set, or cannot be
// read, or do not belong together, the service runs without TLS: one line
// names the reason in the diagnostic log and in the host's start-up report,
// and nothing else fails. Secure runs the server side of the handshake on
// a session's socket under the session's deadline and stop signal; a
// failure is logged with the client's address and leaves the connection to
// be closed.
#pragma once

#include <memory>
#include <string>

#include "CClientAddress.h"
#include "ModuleVisibility.h"

class CLineReader;
class CSocketWriter;
class TlsContext;
class TlsStream;

class MODULE_LOCAL CListenerTls {
public:
    CListenerTls();
    ~CListenerTls();
    CListenerTls(const CListenerTls&) = delete;
    CListenerTls& operator=(const CListenerTls&) = delete;

    // service: "SMTP", "POP3" (the log's and the report's name). True when
    // TLS is available.
    bool Load(const std::string& service);
    // The same from the given files (tests, and Load itself).
    bool LoadFiles(const std::string& service, const std::string& certificateFile, const std::string& keyFile);
    bool Available() const { return context != nullptr; }
    const TlsContext* Context() const { return context.get(); }

    // The handshake on a session's socket; once established, the session's
    // reader and writer run over the stream returned (null on failure).
    std::unique_ptr<TlsStream> Secure(int socket, int stopFd, int timeoutMs, const CClientAddress& client,
                                      CLineReader& reader, CSocketWriter& writer) const;

private:
    std::string service;
    std::unique_ptr<TlsContext> context;
};
