// CControlClient: connecting to the control socket, one line out, the reply in.
#include "app/CControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/CControlServer.h"
#include "platform/UniqueFd.h"

CControlClient::Result CControlClient::Request(const std::string& home, const std::string& request, std::string& reply,
                                               std::string& error, std::chrono::seconds wait) {
    reply.clear();
    sockaddr_un address{};
    UniqueFd dirHold;
    if (!CControlServer::MakeAddress(home, address, dirHold)) return Result::NoServer;
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = std::string("no socket can be made: ") + std::strerror(errno);
        return Result::Failed;
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) return Result::NoServer;
        error = "the control socket cannot be reached: " + std::string(std::strerror(errno));
        return Result::Failed;
    }
    const std::string line = request + "\n";
    if (::send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        error = "the request could not be sent: " + std::string(std::strerror(errno));
        return Result::Failed;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = "the server did not answer in time";
            return Result::Failed;
        }
        pollfd p{fd.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "the reply could not be read: " + std::string(std::strerror(errno));
            return Result::Failed;
        }
        if (n == 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
        if (reply.size() > kMaxReplyBytes) {
            error = "the reply is longer than any the server gives";
            return Result::Failed;
        }
    }
    if (reply.empty()) {
        error = "the server closed the connection without a reply";
        return Result::Failed;
    }
    return Result::Replied;
}

bool CControlClient::SocketExists(const std::string& home) {
    struct stat info {};
    return ::lstat((home + "/" + CControlServer::kSocketName).c_str(), &info) == 0;
}
