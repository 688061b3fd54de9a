// CSmtpListener: the SMTP service on the shared listener.
//
// It listens on the address of Ports\SMTP Listen Address, or when that is
// empty on every address, at the SMTP port. A client beyond the configured
// number of sessions, or beyond its address's share, is told 421 and
// closed. Each session reads the limits and the relay switch as they are
// when it starts, so an administrator's change applies from the next
// connection on.
#pragma once

#include <cstdint>
#include <string>

#include "CClientCounter.h"
#include "CSmtpSession.h"
#include "CSmtpSettings.h"
#include "CTcpListener.h"
#include "ModuleVisibility.h"

class MODULE_LOCAL CSmtpListener : private CTcpListener::Service {
public:
    CSmtpListener(CAccountDatabase* database, CMailSpooler* spooler);
    ~CSmtpListener() override;
    CSmtpListener(const CSmtpListener&) = delete;
    CSmtpListener& operator=(const CSmtpListener&) = delete;

    // Reads the settings, opens the sockets and starts accepting. False
    // (with the reason reported and logged) when any wanted socket could
    // not listen; then none listens.
    bool Start();
    // Stops accepting and tells the sessions to end; returns at once.
    void Stop() { tcp.Stop(); }
    int ActiveSessions() const { return tcp.ActiveSessions(); }
    // The port actually listened on (0 before Start).
    std::uint16_t Port() const { return tcp.Port(); }

private:
    std::string Admit(const CClientAddress& peer) override;
    void Serve(UniqueFd client, const CClientAddress& peer) override;
    void Left(const CClientAddress& peer) override { clients.Release(peer); }

    CSmtpSession::Environment environment;
    CSmtpSettings settings;
    CClientCounter clients;
    CTcpListener tcp{*this};
};
