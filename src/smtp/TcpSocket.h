// TcpSocket: the few blocking TCP client steps the SMTP client and the MX
// resolver share: connect to a host and port, wait for readability or
// writability with a deadline, and send a buffer whole.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "platform/UniqueFd.h"

namespace tcp {

using Clock = std::chrono::steady_clock;

// How long one address may take to accept a connection.
inline constexpr std::chrono::seconds kConnectTimeout{30};

// Resolves host (a name or a dotted/IPv6 address) and connects a blocking
// stream socket to the first address that accepts within kConnectTimeout;
// an empty fd on failure.
UniqueFd Connect(const std::string& host, int port);

// Waits until fd is readable (or writable), at most until deadline; false on
// time-out or error. A hang-up counts as readable, so the next recv sees it.
bool WaitReadable(int fd, Clock::time_point deadline);
bool WaitWritable(int fd, Clock::time_point deadline);

// Sends all length bytes; with a deadline each wait for room is bounded by it.
// Never raises SIGPIPE.
bool SendAll(int fd, const void* data, std::size_t length);
bool SendAll(int fd, const void* data, std::size_t length, Clock::time_point deadline);

// Receives up to length bytes: the count, 0 when the peer closed, -1 on error.
long Receive(int fd, void* buffer, std::size_t length);

}  // namespace tcp
