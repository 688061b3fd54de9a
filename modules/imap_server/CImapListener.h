// CImapListener: the IMAP service on the shared listener.
//
// It listens at Ports\IMAP Port on the address of Ports\IMAP Listen Address
// (or every address) as "IMAP" and, when the TLS certificate loads and
// Ports\IMAPS Port is set, at that port as "IMAPS", where every session
// starts with the handshake. A client beyond "IMAP Max Sessions", or beyond
// its address's share ("IMAP Sessions Per Client" over both ports; loopback
// is exempt), is told BYE and closed. Failed logins go to the process's one
// login table, shared with SMTP AUTH and POP3. Each session opens its own
// view of the account's mailbox through the shared mailbox layer.
#pragma once

#include "CClientCounter.h"
#include "CImapSession.h"
#include "CImapSettings.h"
#include "CListenerTls.h"
#include "CLoginThrottle.h"
#include "CTcpListener.h"
#include "ModuleVisibility.h"

class CAccountDatabase;

class MODULE_LOCAL CImapListener : private CTcpListener::Service {
public:
    explicit CImapListener(CAccountDatabase* database);
    ~CImapListener() override;
    CImapListener(const CImapListener&) = delete;
    CImapListener& operator=(const CImapListener&) = delete;

    // Reads the settings and the certificate, opens the sockets and starts
    // accepting; false (reported and logged) when a wanted socket could not listen.
    bool Start();
    void Stop();
    int ActiveSessions() const { return tcp.ActiveSessions() + implicitTcp.ActiveSessions(); }

private:
    class ImplicitTls : public CTcpListener::Service {
    public:
        explicit ImplicitTls(CImapListener& owner) : owner(owner) {}
        std::string Admit(const CClientAddress& peer) override { return owner.Admit(peer); }
        void Serve(UniqueFd client, const CClientAddress& peer) override;
        void Left(const CClientAddress& peer) override { owner.Left(peer); }

    private:
        CImapListener& owner;
    };

    std::string Admit(const CClientAddress& peer) override;
    void Serve(UniqueFd client, const CClientAddress& peer) override;
    void Left(const CClientAddress& peer) override { clients.Release(peer); }

    CImapSession::Environment environment;
    CImapSettings settings;
    CClientCounter clients;
    CLoginThrottle throttle{"IMAP", &g_loginLocks};
    CListenerTls tls;
    ImplicitTls implicitService{*this};
    CTcpListener tcp{*this};
    CTcpListener implicitTcp{implicitService};
};
