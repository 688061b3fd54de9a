// CTcpListener: sockets, accept thread and session threads.
#include "CTcpListener.h"

#include "foundation/CListenerReport.h"
#include "foundation/CListenerSessions.h"
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

// One attempt without waiting: a refused client gets no more of our time.
void Refuse(UniqueFd client, const std::string& reply) {
    ::send(client.Get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

CTcpListener::CTcpListener(Service& service)
    : service(service),
      stopEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      finishedEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CTcpListener::~CTcpListener() { Shutdown(); }

int CTcpListener::Listen(const sockaddr_storage& address, socklen_t length, std::string& bound) {
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

bool CTcpListener::Start(const Options& wantedOptions) {
    options = wantedOptions;
    if (acceptThread.joinable() || stopped) return false;
    if (!stopEvent || !finishedEvent) {
        Fail("cannot create its events: " + std::string(std::strerror(errno)));
        return false;
    }

    // The addresses to bind: the one configured, or every IPv4 and every
    // IPv6 address, where IPv6 may be missing from the machine.
    struct Wanted {
        sockaddr_storage address{};
        socklen_t length = 0;
        bool optional = false;
    };
    std::vector<Wanted> wanted;
    if (options.listenAddress.empty()) {
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
        if (!ParseIpLiteral(options.listenAddress, one.address, one.length)) {
            Fail("the setting " + options.addressSetting + " \"" + options.listenAddress +
                 "\" is not an IPv4 or IPv6 address");
            return false;
        }
        wanted = {one};
    }
    std::vector<std::string> endpoints;
    for (Wanted& want : wanted) {
        // Both families keep the port at the same place.
        reinterpret_cast<sockaddr_in*>(&want.address)->sin_port = htons(options.port);
        std::string bound;
        const int error = Listen(want.address, want.length, bound);
        if (error == 0) {
            endpoints.push_back(bound);
            continue;
        }
        const bool noIpv6 = error == EAFNOSUPPORT || error == EADDRNOTAVAIL || error == EPROTONOSUPPORT;
        if (want.optional && noIpv6) continue;
        const std::string where = CListenerReport::Endpoint(
            IpLiteralText(reinterpret_cast<sockaddr*>(&want.address), want.length), options.port);
        std::string reason = "cannot listen on " + where + ": " + std::strerror(error);
        if (error == EACCES && options.port < 1024)
            reason += " (ports below 1024 need root or the CAP_NET_BIND_SERVICE capability)";
        Fail(reason);
        listeners.clear();
        return false;
    }
    port = options.port;
    try {
        acceptThread = std::thread(&CTcpListener::AcceptLoop, this);
    } catch (const std::system_error& error) {
        Fail(std::string("cannot start its thread: ") + error.what());
        listeners.clear();
        return false;
    }
    for (const std::string& endpoint : endpoints) {
        g_listenerReport.Listening(options.name, endpoint);
        g_moduleLog.Write(options.name + " server listening on " + endpoint + " (at most " +
                          std::to_string(options.maxSessions) + " sessions)");
    }
    return true;
}

void CTcpListener::Fail(const std::string& reason) {
    g_listenerReport.Failed(options.name, reason);
    g_moduleLog.Write(options.name + " server: " + reason);
}

void CTcpListener::Stop() {
    if (stopped.exchange(true)) return;
    if (stopEvent) Signal(stopEvent.Get());
    if (acceptThread.joinable()) acceptThread.join();
    listeners.clear();
}

void CTcpListener::Shutdown() {
    Stop();
    ReapFinished(true);
}

void CTcpListener::AcceptLoop() {
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
            g_moduleLog.Write(options.name + " server: poll failed: " + std::strerror(errno));
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

void CTcpListener::Accept(int listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    // The session's socket blocks; every wait on it goes through poll.
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            g_moduleLog.Write(options.name + " server: accept failed: " + std::strerror(errno));
        if (errno == EMFILE || errno == ENFILE) ::usleep(100000);  // let sessions end before trying again
        return;
    }
    UniqueFd client(fd);
    if (active.load() >= static_cast<int>(options.maxSessions)) {
        Refuse(std::move(client), options.busyReply);
        return;
    }
    const CClientAddress peer = CClientAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&address), length);
    const std::string refusal = service.Admit(peer);
    if (!refusal.empty()) {
        Refuse(std::move(client), refusal);
        return;
    }
    MutexLock guard(slotsLock);
    Slot& slot = slots.emplace_back();
    ++active;
    g_listenerSessions.Opened(options.name);
    std::shared_ptr<UniqueFd> owned;  // the thread's copy of the connection
    try {
        owned = std::make_shared<UniqueFd>(std::move(client));
        auto body = [this, &slot, peer, owned] {
            try {
                service.Serve(std::move(*owned), peer);  // the connection closes before the slot counts as free
            } catch (const std::exception& error) {
                g_moduleLog.Write(options.name + " server: a session failed: " + error.what());
            }
            service.Left(peer);
            --active;
            g_listenerSessions.Closed(options.name);
            slot.finished = true;
            Signal(finishedEvent.Get());
        };
        if (options.stackBytes == 0)
            slot.thread = std::thread(std::move(body));
        else if (!StartSized(slot, std::move(body)))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    } catch (const std::exception& error) {
        g_moduleLog.Write(options.name + " server: cannot start a session: " + error.what());
        service.Left(peer);
        --active;
        g_listenerSessions.Closed(options.name);
        slots.pop_back();
        if (owned) client = std::move(*owned);
        if (client) Refuse(std::move(client), options.busyReply);
    }
}

void CTcpListener::ReapFinished(bool all) {
    MutexLock guard(slotsLock);
    for (auto it = slots.begin(); it != slots.end();) {
        if (all || it->finished.load()) {
            if (it->thread.joinable()) it->thread.join();
            if (it->sizedStarted) ::pthread_join(it->sized, nullptr);
            it = slots.erase(it);
        } else {
            ++it;
        }
    }
}

bool CTcpListener::StartSized(Slot& slot, std::function<void()> body) {
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) return false;
    ::pthread_attr_setstacksize(&attributes, options.stackBytes);
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    const int started = ::pthread_create(
        &slot.sized, &attributes,
        [](void* argument) -> void* {
            // The thread owns its body from here on.
            std::unique_ptr<std::function<void()>> run(static_cast<std::function<void()>*>(argument));
            (*run)();
            return nullptr;
        },
        owned.get());
    ::pthread_attr_destroy(&attributes);
    if (started != 0) return false;
    owned.release();  // now the thread's
    slot.sizedStarted = true;
    return true;
}
