// CPop3Listener: the POP3 service on the shared listener.
//
// It listens on every address at Ports\POP3 Port and reports as "POP3"; when
// the TLS certificate loads and Ports\POP3S Port is set, also at that port
// (reported as "POP3S"), where every session starts with the handshake. A
// client beyond "POP3 Max Sessions" on either port is told -ERR [SYS/TEMP]
// and closed. All sessions share one login throttle.
#pragma once

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
        void Serve(UniqueFd client, const CClientAddress& peer) override;

    private:
        CPop3Listener& owner;
    };

    void Serve(UniqueFd client, const CClientAddress& peer) override;

    CPop3Session::Environment environment;
    CPop3Settings settings;
    CLoginThrottle throttle;
    CListenerTls tls;
    ImplicitTls implicitService{*this};
    CTcpListener tcp{*this};
    CTcpListener implicitTcp{implicitService};
};
