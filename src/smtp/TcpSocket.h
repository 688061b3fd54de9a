// TcpSocket: the few blocking TCP client steps the SMTP and POP3 clients and
// the MX resolver share: connect to a host and port, wait for readability or
// writability with a deadline, and send a buffer whole. Every wait may also
// watch a stop signal, so that a stop never waits for a silent peer.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "platform/UniqueFd.h"

class StopSignal;

namespace tcp {

using Clock = std::chrono::steady_clock;

// How long one address may take to accept a connection.
inline constexpr std::chrono::seconds kConnectTimeout{30};
// Without the signal's eventfd, waits look at its flag this often.
inline constexpr std::chrono::milliseconds kStopSlice{100};

// What a raised stop signal does to a wait: Abort ends it at once (as a
// failure); Finish lets the step in hand go on, but not past the signal's
// grace end.
enum class OnStop { Abort, Finish };

// The stop a wait watches; none while signal is null. Not owned.
struct StopWatch {
    const StopSignal* signal = nullptr;
    OnStop onStop = OnStop::Abort;
};

// True when a wait under this watch must end now.
bool StopsNow(const StopWatch& stop);
// The deadline a wait keeps: deadline, or earlier when finishing after a stop.
Clock::time_point Bound(const StopWatch& stop, Clock::time_point deadline);
// The descriptor to poll beside the socket (-1: none): the signal's, until
// a finishing wait has seen it raised.
int WatchedFd(const StopWatch& stop);

// Resolves host (a name or a dotted/IPv6 address) and connects a blocking
// stream socket to the first address that accepts within kConnectTimeout
// (and before deadline); an empty fd on failure or when the watch stops it.
UniqueFd Connect(const std::string& host, int port, const StopWatch& stop = {},
                 Clock::time_point deadline = Clock::time_point::max());

// Waits until fd is readable (or writable), at most until deadline; false on
// time-out, error or stop. A hang-up counts as readable, so the next recv sees it.
bool WaitReadable(int fd, Clock::time_point deadline, const StopWatch& stop = {});
bool WaitWritable(int fd, Clock::time_point deadline, const StopWatch& stop = {});

// Sends all length bytes; with a deadline or a stop signal each wait for
// room is bounded by them. Never raises SIGPIPE.
bool SendAll(int fd, const void* data, std::size_t length);
bool SendAll(int fd, const void* data, std::size_t length, Clock::time_point deadline, const StopWatch& stop = {});

// Receives up to length bytes: the count, 0 when the peer closed, -1 on error.
long Receive(int fd, void* buffer, std::size_t length);

}  // namespace tcp
