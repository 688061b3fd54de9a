// CPop3Listener: the POP3 service on the shared listener.
//
// It listens at Ports\POP3 Port on the address of Ports\POP3 Listen Address,
// or when that is empty on every address, and reports as "POP3"; when the
// TLS certificate loads and Ports\POP3S Port is set, also at that port
// (reported as "POP3S"), where every session starts with the handshake. A
// client beyond "POP3 Max Sessions" on either port, or beyond its address's
// share ("POP3 Sessions Per Client", over both ports together; loopback is
// exempt), is told -ERR [SYS/TEMP] and closed. All sessions share one login
// throttle.
#pragma once

#include "CClientCounter.h"
#include "CListenerTls.h"
#include "CLoginThrottle.h"
#include "CPop3Session.h"
#include "CPop3Settings.h"
#include "CTcpListener.h"
#include "ModuleVisibility.h"

class MODULE_LOCAL CPop3Listener : private CTcpListener::Service {
public:
    explicit CPop3Listener(CAccountDatabase* database);
    ~CPop3Listener() override;
    CPop3Listener(const CPop3Listener&) = delete;
    CPop3Listener& operator=(const CPop3Listener&) = delete;

    // Reads the settings and the certificate, opens the sockets and starts
    // accepting; false (reported and logged) when a wanted socket could not listen.
    bool Start();
    // Stops accepting and tells the sessions to end; returns at once.
    void Stop();
    int ActiveSessions() const { return tcp.ActiveSessions() + implicitTcp.ActiveSessions(); }

private:
    // The implicit-TLS port's sessions: the same sessions, handshake first.
    class ImplicitTls : public CTcpListener::Service {
    public:
        explicit ImplicitTls(CPop3Listener& owner) : owner(owner) {}
        std::string Admit(const CClientAddress& peer) override { return owner.Admit(peer); }
        void Serve(UniqueFd client, const CClientAddress& peer) override;
        void Left(const CClientAddress& peer) override { owner.Left(peer); }

    private:
        CPop3Listener& owner;
    };

    std::string Admit(const CClientAddress& peer) override;
    void Serve(UniqueFd client, const CClientAddress& peer) override;
    void Left(const CClientAddress& peer) override { clients.Release(peer); }

    CPop3Session::Environment environment;
    CPop3Settings settings;
    CClientCounter clients;
    CLoginThrottle throttle{"POP3", &g_loginLocks};
    CListenerTls tls;
    ImplicitTls implicitService{*this};
    CTcpListener tcp{*this};
    CTcpListener implicitTcp{implicitService};
};
