// TcpSocket: blocking TCP client helpers over POSIX sockets.
#include "smtp/TcpSocket.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "platform/StopSignal.h"

namespace tcp {
namespace {

bool WaitFor(int fd, short events, Clock::time_point deadline, const StopWatch& stop) {
    for (;;) {
        if (StopsNow(stop)) return false;
        const Clock::time_point until = Bound(stop, deadline);
        const int watched = WatchedFd(stop);
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left < 0) left = 0;
        // Without an eventfd to wake it, the wait looks at the flag in slices.
        if (stop.signal && watched < 0 && !stop.signal->Raised())
            left = std::min<decltype(left)>(left, kStopSlice.count());
        pollfd p[2] = {{fd, events, 0}, {watched, POLLIN, 0}};
        const int rc = ::poll(p, watched >= 0 ? 2 : 1, static_cast<int>(std::min<decltype(left)>(left, 0x7fffffff)));
        if (rc < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        // Raised: the loop's head decides. Otherwise the event, or an
        // error/hang-up the next call reports.
        if (watched >= 0 && (p[1].revents & POLLIN)) continue;
        if (rc > 0) return true;
        if (Clock::now() >= until) return false;
    }
}

}  // namespace

bool StopsNow(const StopWatch& stop) {
    return stop.signal && stop.onStop == OnStop::Abort && stop.signal->Raised();
}

Clock::time_point Bound(const StopWatch& stop, Clock::time_point deadline) {
    if (!stop.signal || stop.onStop != OnStop::Finish) return deadline;
    return std::min(deadline, stop.signal->GraceEnd());
}

int WatchedFd(const StopWatch& stop) {
    if (!stop.signal || (stop.onStop == OnStop::Finish && stop.signal->Raised())) return -1;
    return stop.signal->Fd();
}

UniqueFd Connect(const std::string& host, int port, const StopWatch& stop, Clock::time_point deadline) {
    if (host.empty() || port <= 0 || port > 65535) return {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0 || !list) return {};
    UniqueFd result;
    for (addrinfo* a = list; a && !result && !StopsNow(stop); a = a->ai_next) {
        // Non-blocking while connecting: an address that never answers costs
        // kConnectTimeout, not the kernel's minutes of SYN retries.
        UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        if (!fd) continue;
        int rc = ::connect(fd.Get(), a->ai_addr, a->ai_addrlen);
        if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
            int err = 0;
            socklen_t len = sizeof err;
            if (WaitFor(fd.Get(), POLLOUT, std::min(deadline, Clock::now() + kConnectTimeout), stop) &&
                ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
                rc = 0;
        }
        if (rc == 0) {
            const int flags = ::fcntl(fd.Get(), F_GETFL);
            if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) rc = -1;
        }
        if (rc == 0) {
            // Every command waits for its reply: a short write held back for
            // the peer's delayed acknowledgement (the end-of-data line after
            // the last block) would cost tens of milliseconds per message.
            const int on = 1;
            ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            result = std::move(fd);
        }
    }
    ::freeaddrinfo(list);
    return result;
}

bool WaitReadable(int fd, Clock::time_point deadline, const StopWatch& stop) {
    return WaitFor(fd, POLLIN, deadline, stop);
}
bool WaitWritable(int fd, Clock::time_point deadline, const StopWatch& stop) {
    return WaitFor(fd, POLLOUT, deadline, stop);
}

bool SendAll(int fd, const void* data, std::size_t length) {
    return SendAll(fd, data, length, Clock::time_point::max());
}

bool SendAll(int fd, const void* data, std::size_t length, Clock::time_point deadline, const StopWatch& stop) {
    const char* p = static_cast<const char*>(data);
    const bool bounded = deadline != Clock::time_point::max() || stop.signal;
    while (length > 0) {
        if (bounded && !WaitWritable(fd, deadline, stop)) return false;
        ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

long Receive(int fd, void* buffer, std::size_t length) {
    for (;;) {
        ssize_t n = ::recv(fd, buffer, length, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return -1;
    }
}

}  // namespace tcp
