// CReplyWriter: buffered, time-limited reply sending (see the header).
#include "CReplyWriter.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>

CReplyWriter::CReplyWriter(int socket, int stopFd, int timeoutMs)
    : socket(socket), stopFd(stopFd), timeoutMs(timeoutMs) {}

void CReplyWriter::Reply(int code, std::string_view text, bool more) {
    pending += std::to_string(code);
    pending += more ? '-' : ' ';
    pending += text;
    pending += "\r\n";
    if (pending.size() >= kFlushThreshold) Flush();
}

bool CReplyWriter::Flush() {
    // One deadline for the whole flush: a client that reads a byte at a
    // time does not stretch it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t sent = 0;
    bool stopping = false;
    while (!failed && sent < pending.size()) {
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
