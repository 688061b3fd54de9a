// CSmtpListener: sockets, accept thread and session threads (see the header).
#include "CSmtpListener.h"

#include "foundation/CListenerReport.h"
#include "foundation/CModuleLog.h"
#include "platform/IpLiteral.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace {

void Signal(int eventFd) {
    const std::uint64_t one = 1;
    ssize_t written = ::write(eventFd, &one, sizeof one);
    (void)written;  // the counter cannot overflow with one write per event
}

}  // namespace

CSmtpListener::CSmtpListener(CAccountDatabase* database, CMailSpooler* spooler) {
    environment.database = database;
    environment.spooler = spooler;
}

CSmtpListener::~CSmtpListener() {
    Stop();
    ReapFinished(true);
}

int CSmtpListener::Listen(const sockaddr_storage& address, socklen_t length, std::string& bound) {
    const int family = address.ss_family;
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return errno;
    const int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // IPv4 has its own socket; an IPv6 one takes IPv6 only.
    if (family == AF_INET6) ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd.Get(), SOMAXCONN) != 0)
        return errno;
    // What the system really bound, which is what the host is told.
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return errno;
    const auto* asIp = reinterpret_cast<const sockaddr_in*>(&local);  // the port sits alike in both families
    bound = CListenerReport::Endpoint(IpLiteralText(reinterpret_cast<sockaddr*>(&local), localLength),
                                      ntohs(asIp->sin_port));
    listeners.push_back(std::move(fd));
    return 0;
}

bool CSmtpListener::Start() {
    if (acceptThread.joinable() || stopped) return false;
    settings = CSmtpSettings::Read();
    stopEvent.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    finishedEvent.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopEvent || !finishedEvent) {
        Fail("cannot create its events: " + std::string(std::strerror(errno)));
        return false;
    }
    environment.stopFd = stopEvent.Get();
    environment.machineNames = CRecipientResolver::MachineNames();
    environment.hostName = environment.machineNames.empty() ? "localhost" : environment.machineNames.back();

    // The addresses to bind: the one configured, or every IPv4 and every
    // IPv6 address, where IPv6 may be missing from the machine.
    struct Wanted {
        sockaddr_storage address{};
        socklen_t length = 0;
        bool optional = false;
    };
    std::vector<Wanted> wanted;
    if (settings.listenAddress.empty()) {
        Wanted v4, v6;
        auto* in4 = reinterpret_cast<sockaddr_in*>(&v4.address);
        in4->sin_family = AF_INET;
        in4->sin_addr.s_addr = htonl(INADDR_ANY);
        v4.length = sizeof(sockaddr_in);
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&v6.address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_any;
        v6.length = sizeof(sockaddr_in6);
        v6.optional = true;
        wanted = {v4, v6};
    } else {
        Wanted one;
        if (!ParseIpLiteral(settings.listenAddress, one.address, one.length)) {
            Fail("the setting Ports\\SMTP Listen Address \"" + settings.listenAddress +
                 "\" is not an IPv4 or IPv6 address");
            return false;
        }
        wanted = {one};
    }
    std::vector<std::string> endpoints;
    for (Wanted& want : wanted) {
        // Both families keep the port at the same place.
        reinterpret_cast<sockaddr_in*>(&want.address)->sin_port = htons(settings.port);
        std::string bound;
        const int error = Listen(want.address, want.length, bound);
        if (error == 0) {
            endpoints.push_back(bound);
            continue;
        }
        const bool noIpv6 = error == EAFNOSUPPORT || error == EADDRNOTAVAIL || error == EPROTONOSUPPORT;
        if (want.optional && noIpv6) continue;
        const std::string where = CListenerReport::Endpoint(
            IpLiteralText(reinterpret_cast<sockaddr*>(&want.address), want.length), settings.port);
        std::string reason = "cannot listen on " + where + ": " + std::strerror(error);
        if (error == EACCES && settings.port < 1024)
            reason += " (ports below 1024 need root or the CAP_NET_BIND_SERVICE capability)";
        Fail(reason);
        listeners.clear();
        return false;
    }
    port = settings.port;
    try {
        acceptThread = std::thread(&CSmtpListener::AcceptLoop, this);
    } catch (const std::system_error& error) {
        Fail(std::string("cannot start its thread: ") + error.what());
        listeners.clear();
        return false;
    }
    for (const std::string& endpoint : endpoints) {
        g_listenerReport.Listening(kReportName, endpoint);
        g_moduleLog.Write("SMTP server listening on " + endpoint + " (at most " + std::to_string(settings.maxSessions) +
                          " sessions)");
    }
    return true;
}

void CSmtpListener::Fail(const std::string& reason) {
    g_listenerReport.Failed(kReportName, reason);
    g_moduleLog.Write("SMTP server: " + reason);
}

void CSmtpListener::Stop() {
    if (stopped.exchange(true)) return;
    if (stopEvent) Signal(stopEvent.Get());
    if (acceptThread.joinable()) acceptThread.join();
    listeners.clear();
}

void CSmtpListener::AcceptLoop() {
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
            g_moduleLog.Write(std::string("SMTP server: poll failed: ") + std::strerror(errno));
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

void CSmtpListener::Refuse(int client, const char* reply) {
    // One attempt without waiting: a refused client gets no more of our time.
    ::send(client, reply, std::strlen(reply), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(client);
}

void CSmtpListener::Accept(int listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    // The session's socket blocks; every wait on it goes through poll.
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            g_moduleLog.Write(std::string("SMTP server: accept failed: ") + std::strerror(errno));
        if (errno == EMFILE || errno == ENFILE) ::usleep(100000);  // let sessions end before trying again
        return;
    }
    UniqueFd client(fd);
    const std::string busy = "421 " + environment.hostName + " Too many connections, try again later\r\n";
    if (active.load() >= static_cast<int>(settings.maxSessions)) {
        Refuse(client.Release(), busy.c_str());
        return;
    }
    const CClientAddress peer = CClientAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&address), length);
    if (!clients.Admit(peer, settings.sessionsPerClient)) {
        const std::string crowded =
            "421 " + environment.hostName + " Too many connections from your address, try again later\r\n";
        Refuse(client.Release(), crowded.c_str());
        return;
    }
    // Limits and the relay switch as they are now: an administrator's
    // change applies from the next connection on.
    CSmtpSettings current = CSmtpSettings::Read();
    current.port = settings.port;
    current.maxSessions = settings.maxSessions;
    std::lock_guard<std::mutex> guard(slotsLock);
    Slot& slot = slots.emplace_back();
    ++active;
    try {
        auto session = std::make_unique<CSmtpSession>(std::move(client), peer, environment, current);
        slot.thread = std::thread([this, &slot, peer, session = std::move(session)]() mutable {
            session->Run();
            session.reset();  // the connection closes before the slot counts as free
            clients.Release(peer);
            --active;
            slot.finished = true;
            Signal(finishedEvent.Get());
        });
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("SMTP server: cannot start a session: ") + error.what());
        clients.Release(peer);
        --active;
        slots.pop_back();
        if (client) Refuse(client.Release(), busy.c_str());
    }
}

void CSmtpListener::ReapFinished(bool all) {
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
