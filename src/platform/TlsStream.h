// TlsStream: TLS over one connected socket that the caller owns, with every
// wait bounded.
//
// The handshake, each read and each write wait for the socket at most until
// a deadline (or a time-out from now) and end as soon as the stop
// descriptor (an event the server signals when it stops; -1 for none)
// becomes readable, so a peer that stalls or abandons a handshake costs a
// bounded time and never blocks anybody else. The socket is switched to
// non-blocking mode when the handshake starts and stays so; from then on all
// traffic on it must go through this object. The SSL object is freed with
// the stream; the socket is left open. Nothing here throws.
//
// Use: Accept (server) or Connect (client) once, then Read/Write; Shutdown
// sends the closing alert without waiting for the peer's.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

class TlsContext;

class TlsStream {
public:
    enum class Status {
        Ok,
        Closed,    // the peer closed the connection (with or without the closing alert)
        TimedOut,  // the deadline passed first
        Stopped,   // the stop descriptor became readable
        Failed,    // a protocol, certificate or socket error (Reason() says which)
    };
    using Clock = std::chrono::steady_clock;

    TlsStream();
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // The server side of the handshake on socket, within timeoutMs.
    Status Accept(const TlsContext& context, int socket, int stopFd, int timeoutMs);
    // The client side: hostName goes out as SNI (unless it is an address
    // literal) and, when the context verifies, must be named by the
    // certificate.
    Status Connect(const TlsContext& context, int socket, const std::string& hostName, int stopFd, int timeoutMs);

    // Up to capacity decrypted bytes into buffer (received set), waiting
    // until deadline when none is ready.
    Status Read(char* buffer, std::size_t capacity, std::size_t& received, Clock::time_point deadline);
    // All length bytes, or a failure; Failed at once after an earlier failure.
    Status Write(const char* data, std::size_t length, Clock::time_point deadline);
    // True when decrypted bytes wait inside the library (a read returns them
    // without touching the socket).
    bool HasPending() const;
    // Sends the closing alert when the connection is still sound; never waits.
    void Shutdown();
    // Changes the stop descriptor later waits watch (-1: none), for a caller
    // that lets a step finish after the stop was seen.
    void SetStopFd(int fd) { stopFd = fd; }

    bool Established() const { return established; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" once established, else "".
    std::string Description() const;
    // Why the last operation failed ("" after success).
    const std::string& Reason() const { return reason; }

private:
    struct Free {
        void operator()(void* handle) const;
    };
    bool Begin(const TlsContext& context, int socket, int stopFd);
    // Runs one library call until it completes or the wait ends; the call
    // returns the library's result, which is > 0 on success.
    template <typename Call>
    Status Drive(Call call, Clock::time_point deadline, int& result);
    // Waits for the socket as the library asked; Ok when it is ready.
    Status Wait(int error, Clock::time_point deadline);

    std::unique_ptr<void, Free> ssl;
    int socket = -1;
    int stopFd = -1;
    bool established = false;
    bool broken = false;  // a fatal error or the peer's close: no further alert
    std::string reason;
};
