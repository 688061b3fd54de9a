// CSocketWriter: buffered, time-limited sending.
#include "CSocketWriter.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>

#include "platform/TlsStream.h"

CSocketWriter::CSocketWriter(int socket, int stopFd, int timeoutMs, std::size_t flushThreshold)
    : socket(socket), stopFd(stopFd), timeoutMs(timeoutMs), threshold(flushThreshold) {}

bool CSocketWriter::Flush(bool all) {
    if (failed) {
        pending.clear();
        return false;
    }
    if (!all && pending.size() < threshold) return true;
    // One deadline for the whole flush: a client reading a byte at a time does not stretch it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (tls) {
        failed = tls->Write(pending.data(), pending.size(), deadline) != TlsStream::Status::Ok;
        pending.clear();
        return !failed;
    }
    std::size_t sent = 0;
    bool stopping = false;
    while (sent < pending.size()) {
        const ssize_t n = ::send(socket, pending.data() + sent, pending.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || stopping) {
            failed = true;
            break;
        }
        pollfd fds[2] = {{socket, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const int ready = ::poll(fds, stopFd >= 0 ? 2 : 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            failed = true;
            break;
        }
        if (stopFd >= 0 && (fds[1].revents & POLLIN)) stopping = true;
    }
    pending.clear();
    return !failed;
}
