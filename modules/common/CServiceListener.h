// CServiceListener: a mail-reading service (POP3, IMAP) on its two ports.
//
// It listens at the service's port on its listen address (or every
// address) and, when the TLS certificate loads and the service's implicit-TLS
// port is set, at that port too, where every session starts with the
// handshake. A client beyond the service's session cap on either port, or
// beyond its address's share over both ports together (loopback is exempt),
// gets the service's refusal line and is closed. Failed logins go to the
// process's one login table, shared by every service.
//
// A service describes itself to the template (its Protocol):
//   Session, Settings        its session and settings classes; the session's
//                            Environment has throttle, stopFd, tls and
//                            implicitTls; Settings has Read()
//   kName, kTlsName          the names the listeners report as
//   kAddressSetting          the listen address's setting, for messages
//   kBusyReply, kClientBusyReply   the refusal lines (the client's share)
//   kStackBytes              a session thread's stack, 0 for the default
// The derived listener fills in the rest of the environment.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstddef>
#include <string>

#include "CClientCounter.h"
#include "CListenerTls.h"
#include "CLoginThrottle.h"
#include "CTcpListener.h"
#include "ModuleVisibility.h"
#include "foundation/CLoginLockTable.h"

// A session thread's stack for a service whose sessions are mostly idle
// (more under the sanitizers, whose frames are larger).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kSmallSessionStack = 2 * 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr std::size_t kSmallSessionStack = 2 * 1024 * 1024;
#else
inline constexpr std::size_t kSmallSessionStack = 256 * 1024;
#endif
#else
inline constexpr std::size_t kSmallSessionStack = 256 * 1024;
#endif

template <class Protocol>
class MODULE_LOCAL CServiceListener : private CTcpListener::Service {
public:
    using Session = typename Protocol::Session;
    using Settings = typename Protocol::Settings;
    using Environment = typename Session::Environment;

    CServiceListener() {
        environment.throttle = &throttle;
        environment.stopFd = tcp.StopFd();
        environment.tls = &tls;
    }
    // The sessions use this object's members: they end before any of them goes.
    ~CServiceListener() override {
        implicitTcp.Stop();
        tcp.Shutdown();
        implicitTcp.Shutdown();
    }
    CServiceListener(const CServiceListener&) = delete;
    CServiceListener& operator=(const CServiceListener&) = delete;

    // Reads the settings and the certificate, opens the sockets and starts
    // accepting; false (reported and logged) when a wanted socket could not listen.
    bool Start() {
        settings = Settings::Read();
        tls.Load(Protocol::kName);
        CTcpListener::Options options;
        options.name = Protocol::kName;
        options.listenAddress = settings.listenAddress;
        options.addressSetting = Protocol::kAddressSetting;
        options.port = settings.port;
        options.maxSessions = settings.maxSessions;
        options.busyReply = Protocol::kBusyReply;
        options.stackBytes = Protocol::kStackBytes;
        if (!tcp.Start(options)) return false;
        if (settings.tlsPort == 0 || !tls.Available()) return true;
        options.name = Protocol::kTlsName;
        options.port = settings.tlsPort;
        // A client that expects TLS would take a plain refusal for a broken handshake.
        options.busyReply.clear();
        if (implicitTcp.Start(options)) return true;
        tcp.Stop();
        return false;
    }
    // Stops accepting and tells the sessions to end; returns at once.
    void Stop() {
        tcp.Stop();
        implicitTcp.Stop();
    }
    int ActiveSessions() const { return tcp.ActiveSessions() + implicitTcp.ActiveSessions(); }

protected:
    // What every session is handed; the derived listener adds its own parts.
    Environment environment;

private:
    // The implicit-TLS port's sessions: the same sessions, handshake first.
    class ImplicitTls : public CTcpListener::Service {
    public:
        explicit ImplicitTls(CServiceListener& owner) : owner(owner) {}
        std::string Admit(const CClientAddress& peer) override { return owner.Admit(peer); }
        void Serve(UniqueFd client, const CClientAddress& peer) override {
            Environment environment = owner.environment;
            environment.implicitTls = true;
            environment.stopFd = owner.implicitTcp.StopFd();
            owner.Run(std::move(client), peer, environment);
        }
        void Left(const CClientAddress& peer) override { owner.Left(peer); }

    private:
        CServiceListener& owner;
    };

    // Sent on the implicit-TLS port too: the client's handshake fails either way.
    std::string Admit(const CClientAddress& peer) override {
        if (clients.Admit(peer, settings.sessionsPerClient)) return {};
        return Protocol::kClientBusyReply;
    }
    void Serve(UniqueFd client, const CClientAddress& peer) override { Run(std::move(client), peer, environment); }
    void Left(const CClientAddress& peer) override { clients.Release(peer); }

    void Run(UniqueFd client, const CClientAddress& peer, const Environment& sessionEnvironment) {
        // Sessions send whole buffers (their writers collect the output), so
        // a buffer's short tail need not wait for the client's acknowledgement
        // of the one before.
        const int on = 1;
        (void)::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Session(std::move(client), peer, sessionEnvironment, settings).Run();
    }

    Settings settings;
    CClientCounter clients;
    CLoginThrottle throttle{Protocol::kName, &g_loginLocks};
    CListenerTls tls;
    ImplicitTls implicitService{*this};
    CTcpListener tcp{*this};
    CTcpListener implicitTcp{implicitService};
};
