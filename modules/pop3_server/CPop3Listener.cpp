// CPop3Listener: sockets, accept thread and session threads (see the header).
#include "CPop3Listener.h"

#include "foundation/CListenerReport.h"
#include "foundation/CModuleLog.h"
#include "platform/IpLiteral.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace {

void Signal(int eventFd) {
    const std::uint64_t one = 1;
    ssize_t written = ::write(eventFd, &one, sizeof one);
    (void)written;  // the counter cannot overflow with one write per event
}

}  // namespace

CPop3Listener::CPop3Listener(CAccountDatabase* database) {
    environment.database = database;
    environment.throttle = &throttle;
    environment.storeLock = &storeLock;
}

CPop3Listener::~CPop3Listener() {
    Stop();
    ReapFinished(true);
}

int CPop3Listener::Listen(const sockaddr_storage& address, socklen_t length, std::string& bound) {
    const int family = address.ss_family;
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return errno;
    const int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6) ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd.Get(), SOMAXCONN) != 0)
        return errno;
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return errno;
    const auto* asIp = reinterpret_cast<const sockaddr_in*>(&local);  // the port sits alike in both families
    bound = CListenerReport::Endpoint(IpLiteralText(reinterpret_cast<sockaddr*>(&local), localLength),
                                      ntohs(asIp->sin_port));
    listeners.push_back(std::move(fd));
    return 0;
}

bool CPop3Listener::Start() {
    if (acceptThread.joinable() || stopped) return false;
    settings = CPop3Settings::Read();
    stopEvent.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    finishedEvent.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopEvent || !finishedEvent) {
        Fail("cannot create its events: " + std::string(std::strerror(errno)));
        return false;
    }
    environment.stopFd = stopEvent.Get();

    sockaddr_storage v4{}, v6{};
    auto* in4 = reinterpret_cast<sockaddr_in*>(&v4);
    in4->sin_family = AF_INET;
    in4->sin_addr.s_addr = htonl(INADDR_ANY);
    in4->sin_port = htons(settings.port);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&v6);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_any;
    in6->sin6_port = htons(settings.port);
    std::vector<std::string> endpoints;
    for (int i = 0; i < 2; ++i) {
        const bool ipv6 = i == 1;
        std::string bound;
        const int error = Listen(ipv6 ? v6 : v4, ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in), bound);
        if (error == 0) {
            endpoints.push_back(bound);
            continue;
        }
        // IPv6 may be missing from the machine.
        if (ipv6 && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL || error == EPROTONOSUPPORT)) continue;
        std::string reason = "cannot listen on " + CListenerReport::Endpoint(ipv6 ? "::" : "0.0.0.0", settings.port) +
                             ": " + std::strerror(error);
        if (error == EACCES && settings.port < 1024)
            reason += " (ports below 1024 need root or the CAP_NET_BIND_SERVICE capability)";
        Fail(reason);
        listeners.clear();
        return false;
    }
    try {
        acceptThread = std::thread(&CPop3Listener::AcceptLoop, this);
    } catch (const std::system_error& error) {
        Fail(std::string("cannot start its thread: ") + error.what());
        listeners.clear();
        return false;
    }
    for (const std::string& endpoint : endpoints) {
        g_listenerReport.Listening(kReportName, endpoint);
        g_moduleLog.Write("POP3 server listening on " + endpoint + " (at most " + std::to_string(settings.maxSessions) +
                          " sessions)");
    }
    return true;
}

void CPop3Listener::Fail(const std::string& reason) {
    g_listenerReport.Failed(kReportName, reason);
    g_moduleLog.Write("POP3 server: " + reason);
}

void CPop3Listener::Stop() {
    if (stopped.exchange(true)) return;
    if (stopEvent) Signal(stopEvent.Get());
    if (acceptThread.joinable()) acceptThread.join();
    listeners.clear();
}

void CPop3Listener::AcceptLoop() {
    std::vector<pollfd> fds;
    for (const UniqueFd& listener : listeners) fds.push_back({listener.Get(), POLLIN, 0});
    fds.push_back({stopEvent.Get(), POLLIN, 0});
    fds.push_back({finishedEvent.Get(), POLLIN, 0});
    const std::size_t stopIndex = fds.size() - 2;
    const std::size_t finishedIndex = fds.size() - 1;
    for (;;) {
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            g_moduleLog.Write(std::string("POP3 server: poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[stopIndex].revents & POLLIN) return;
        if (fds[finishedIndex].revents & POLLIN) {
            std::uint64_t count = 0;
            ssize_t n = ::read(finishedEvent.Get(), &count, sizeof count);
            (void)n;
            ReapFinished(false);
        }
        for (std::size_t i = 0; i < stopIndex; ++i)
            if (fds[i].revents & POLLIN) Accept(fds[i].fd);
    }
}

void CPop3Listener::Accept(int listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) ::usleep(100000);  // let sessions end before trying again
        return;
    }
    UniqueFd client(fd);
    static constexpr char kBusy[] = "-ERR [SYS/TEMP] Too many sessions, try again later\r\n";
    if (active.load() >= static_cast<int>(settings.maxSessions)) {
        ::send(client.Get(), kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        return;
    }
    const CClientAddress peer = CClientAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&address), length);
    std::lock_guard<std::mutex> guard(slotsLock);
    Slot& slot = slots.emplace_back();
    ++active;
    try {
        auto session = std::make_unique<CPop3Session>(std::move(client), peer, environment, settings);
        slot.thread = std::thread([this, &slot, session = std::move(session)]() mutable {
            session->Run();
            session.reset();  // the connection closes before the slot counts as free
            --active;
            slot.finished = true;
            Signal(finishedEvent.Get());
        });
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("POP3 server: cannot start a session: ") + error.what());
        --active;
        slots.pop_back();
        if (client) ::send(client.Get(), kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

void CPop3Listener::ReapFinished(bool all) {
    std::lock_guard<std::mutex> guard(slotsLock);
    for (auto it = slots.begin(); it != slots.end();) {
        if (all || it->finished.load()) {
            if (it->thread.joinable()) it->thread.join();
            it = slots.erase(it);
        } else {
            ++it;
        }
    }
}
