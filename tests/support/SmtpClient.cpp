// SmtpClient: the scripted SMTP client of the tests.
#include "SmtpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

bool SmtpClient::Connect(int port, bool overIPv6) {
    fd.Reset(::socket(overIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    buffer.clear();
    // A server that stops reading must not block a send forever.
    timeval limit{30, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (overIPv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        return fd && ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd && ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool SmtpClient::Send(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd.Get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string SmtpClient::Reply(std::chrono::milliseconds wait) {
    const auto until = Clock::now() + wait;
    std::string reply;
    for (;;) {
        std::size_t end = buffer.find("\r\n");
        while (end == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return "";
            pollfd p{fd.Get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) return "";
            char chunk[4096];
            const ssize_t n = ::recv(fd.Get(), chunk, sizeof chunk, 0);
            if (n <= 0) return "";
            buffer.append(chunk, static_cast<std::size_t>(n));
            end = buffer.find("\r\n");
        }
        const std::string line = buffer.substr(0, end + 2);
        buffer.erase(0, end + 2);
        reply += line;
        if (line.size() < 4 || line[3] != '-') return reply;
    }
}

bool SmtpClient::ClosedByServer(std::chrono::milliseconds wait) {
    if (!buffer.empty()) return false;
    pollfd p{fd.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
    char c;
    const ssize_t n = ::recv(fd.Get(), &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

void SmtpClient::Close(bool reset) {
    if (reset && fd) {
        linger hard{1, 0};
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    fd.Reset();
}

int Code(const std::string& reply) {
    if (reply.size() < 3 || reply.find_first_not_of("0123456789") < 3) return 0;
    return std::stoi(reply.substr(0, 3));
}
