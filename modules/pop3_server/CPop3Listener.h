// CPop3Listener: the POP3 service on the shared listener.
//
// It listens on every address at Ports\POP3 Port and reports as "POP3". A
// client beyond "POP3 Max Sessions" is told -ERR [SYS/TEMP] and closed.
// All sessions share one login throttle.
#pragma once

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

    // Reads the settings, opens the sockets and starts accepting; false
    // (reported and logged) when a wanted socket could not listen.
    bool Start();
    // Stops accepting and tells the sessions to end; returns at once.
    void Stop() { tcp.Stop(); }
    int ActiveSessions() const { return tcp.ActiveSessions(); }

private:
    void Serve(UniqueFd client, const CClientAddress& peer) override;

    CPop3Session::Environment environment;
    CPop3Settings settings;
    CLoginThrottle throttle;
    CTcpListener tcp{*this};
};
