// CControlServer: the control socket's listener and its one-line requests.
#include "app/CControlServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "foundation/CModuleLog.h"

namespace {

void SetTimeouts(int fd, int seconds) {
    timeval limit{};
    limit.tv_sec = seconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

CControlServer::~CControlServer() {
    Close();
    RemoveSocket();
}

bool CControlServer::MakeAddress(const std::string& home, sockaddr_un& address, UniqueFd& dirHold) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    std::string path = home + "/" + kSocketName;
    if (path.size() >= sizeof address.sun_path) {
        dirHold.Reset(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dirHold) return false;
        path = "/proc/self/fd/" + std::to_string(dirHold.Get()) + "/" + kSocketName;
        if (path.size() >= sizeof address.sun_path) return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool CControlServer::Start(const std::string& homeDir, Handler requestHandler, std::string& error) {
    Close();
    const std::string& home = homeDir;
    handler = std::move(requestHandler);
    sockaddr_un address{};
    UniqueFd dirHold;
    if (!MakeAddress(home, address, dirHold)) {
        error = "the control socket's path in " + home + " cannot be used";
        return false;
    }
    socketPath = home + "/" + kSocketName;
    this->home = home;
    // Only a crashed server leaves one: the home lock is ours.
    ::unlink(address.sun_path);
    listener.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int pipeFds[2];
    if (!listener || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("the control socket cannot be made: ") + std::strerror(errno);
        listener.Reset();
        return false;
    }
    wake[0].Reset(pipeFds[0]);
    wake[1].Reset(pipeFds[1]);
    // Nobody can connect before listen: the mode is set in between.
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(address.sun_path, 0600) != 0 || ::listen(listener.Get(), 8) != 0) {
        error = "the control socket " + socketPath + " cannot listen: " + std::strerror(errno);
        ::unlink(address.sun_path);
        listener.Reset();
        return false;
    }
    try {
        thread = std::thread(&CControlServer::Serve, this);
    } catch (const std::system_error&) {
        error = "the control socket's thread cannot start";
        ::unlink(address.sun_path);
        listener.Reset();
        return false;
    }
    listening = true;
    return true;
}

void CControlServer::Close() {
    if (!listening) return;
    listening = false;
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(wake[1].Get(), &byte, 1);
    if (thread.joinable()) thread.join();
    listener.Reset();
    wake[0].Reset();
    wake[1].Reset();
}

void CControlServer::RemoveSocket() {
    if (socketPath.empty()) return;
    sockaddr_un address{};
    UniqueFd dirHold;
    if (MakeAddress(home, address, dirHold)) ::unlink(address.sun_path);
    socketPath.clear();
}

void CControlServer::Serve() {
    for (;;) {
        pollfd fds[2] = {{listener.Get(), POLLIN, 0}, {wake[0].Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            g_moduleLog.Write(std::string("*** The control socket stopped: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        UniqueFd client(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client) Answer(client.Get());
    }
}

void CControlServer::Answer(int client) {
    SetTimeouts(client, kIoTimeoutSeconds);
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
        g_moduleLog.Write("Control socket: a request from user " + std::to_string(peer.uid) + " was refused");
        WriteAll(client, "ERR only the server's own user may control it\n");
        return;
    }
    // One line, bounded; a client that sends more or stalls gets no answer.
    std::string line;
    char buffer[kMaxRequestBytes + 1];
    for (;;) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
        if (line.find('\n') != std::string::npos || line.size() > kMaxRequestBytes) break;
    }
    const std::size_t end = line.find('\n');
    if (end == std::string::npos) {
        WriteAll(client, line.size() > kMaxRequestBytes ? "ERR the request is too long\n"
                                                        : "ERR a request is one line ending in a line feed\n");
        return;
    }
    line.resize(end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string reply = handler ? handler(line) : std::string("ERR nothing answers requests\n");
    if (reply.empty() || reply.back() != '\n') reply += '\n';
    WriteAll(client, reply);
}
