// CLineReader: buffered, bounded reading from one client socket.
//
// Commands are read a line at a time from a fixed buffer, so pipelined
// commands that arrive together are taken one by one without further reads,
// and the session can tell whether another complete command is already
// waiting (it sends its pending replies only when none is). A line longer
// than the limit is discarded up to its end without being stored. Message
// data is taken as raw buffered bytes. Every wait watches the socket, the
// server's stop signal and a deadline, so nothing blocks forever. The
// deadline is fixed when the wait for a line (or a block) begins: a client
// that trickles one byte at a time does not move it.
//
// Once the session has started TLS on the socket, UseTls makes every read go
// through the TLS stream (which keeps the same deadlines and stop signal).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "ModuleVisibility.h"

class TlsStream;

class MODULE_LOCAL CLineReader {
public:
    enum class Status {
        Ok,
        TooLong,   // the line exceeded the limit; it was discarded to its end
        Closed,    // the client closed the connection (or reset it)
        TimedOut,  // nothing arrived within the time-out
        Stopped,   // the server is stopping
        Failed,    // a socket error, or an over-long line that never ended
    };

    static constexpr std::size_t kBufferSize = 64 * 1024;
    // Longest over-long line that is read through to its end before the
    // connection is given up.
    static constexpr std::size_t kMaxDiscard = 4 * 1024 * 1024;

    using Clock = std::chrono::steady_clock;

    // maxLine counts the line end (CR LF) too; timeoutMs is the time a whole
    // line may take.
    // bufferSize: the buffer's bytes (at least maxLine); many idle sessions want it small.
    CLineReader(int socket, int stopFd, std::size_t maxLine, int timeoutMs, std::size_t bufferSize = kBufferSize);
    CLineReader(const CLineReader&) = delete;
    CLineReader& operator=(const CLineReader&) = delete;

    // One line without its line end (CR LF or a bare LF), complete within
    // the time-out from now.
    Status ReadLine(std::string& line);
    // The same, complete by latest if that comes sooner.
    Status ReadLine(std::string& line, Clock::time_point latest);
    // True when a whole line is already buffered.
    bool HasCompleteLine() const;

    // Makes sure at least one byte is buffered (reading when none is,
    // until the deadline).
    Status Fill(Clock::time_point deadline);
    std::string_view Buffered() const;
    void Consume(std::size_t count);

    // From now on reads come through tls (owned by the session, which keeps
    // it alive as long as this reader); null goes back to the plain socket.
    void UseTls(TlsStream* stream) { tls = stream; }
    // Throws away what is buffered (input a client sent ahead of a switch
    // to TLS must never count as sent inside it); the bytes dropped.
    std::size_t DiscardBuffered();

private:
    Status Receive(Clock::time_point deadline);

    int socket;
    int stopFd;
    std::size_t maxLine;
    int timeoutMs;
    TlsStream* tls = nullptr;
    std::vector<char> buffer;
    std::size_t begin = 0;
    std::size_t end = 0;
};
