// CSmtpListener: the SMTP service on the shared listener.
//
// It listens on the address of Ports\SMTP Listen Address, or when that is
// empty on every address, at the SMTP port, and when they are set at the
// submission port (AUTH required before MAIL) and the SMTPS port (the same
// behind implicit TLS). A client the session gate does not take (the cap,
// which follows from the descriptor limit, the reserve for new addresses,
// or its address's share, over all ports together) is told 421 and closed. Each session reads the limits and the relay switch as they are
// when it starts, so an administrator's change applies from the next
// connection on. The certificate is loaded once at start; without a usable
// one the ports serve in plain text (no STARTTLS) and the SMTPS port stays
// closed, with one line saying why.
#pragma once

#include <cstdint>
#include <string>

#include "CSessionGate.h"
#include "CListenerTls.h"
#include "CLoginThrottle.h"
#include "CSmtpSession.h"
#include "CSmtpSettings.h"
#include "CTcpListener.h"
#include "ModuleVisibility.h"

class MODULE_LOCAL CSmtpListener {
public:
    CSmtpListener(CAccountDatabase* database, CMailSpooler* spooler);
    ~CSmtpListener();
    CSmtpListener(const CSmtpListener&) = delete;
    CSmtpListener& operator=(const CSmtpListener&) = delete;

    // Reads the settings, opens the sockets and starts accepting. False
    // (with the reason reported and logged) when any wanted socket could
    // not listen; then none listens.
    bool Start();
    // Stops accepting and tells the sessions to end; returns at once.
    void Stop();
    int ActiveSessions() const;
    // The ports actually listened on (0 before Start, or when not offered).
    std::uint16_t Port() const { return relay.tcp.Port(); }
    std::uint16_t SubmissionPort() const { return submission.tcp.Port(); }
    std::uint16_t SmtpsPort() const { return smtps.tcp.Port(); }

private:
    // One listening port and the kind of session it starts.
    class PortService : private CTcpListener::Service {
    public:
        PortService(CSmtpListener& owner, CSmtpSession::Mode mode) : owner(owner), mode(mode) {}
        ~PortService() override { tcp.Shutdown(); }
        CTcpListener tcp{*this};

    private:
        std::string Admit(const CClientAddress& peer) override;
        void Serve(UniqueFd client, const CClientAddress& peer) override;
        void Left(const CClientAddress& peer) override { owner.gate.Release(peer); }

        CSmtpListener& owner;
        CSmtpSession::Mode mode;
    };

    bool StartPort(PortService& port, const char* name, std::uint16_t number);

    CSmtpSession::Environment environment;
    CSmtpSettings settings;
    CSessionGate gate;
    CListenerTls tls;
    CLoginThrottle throttle;
    // Last: their sessions use everything above, and end before it goes.
    PortService relay{*this, CSmtpSession::Mode::Relay};
    PortService submission{*this, CSmtpSession::Mode::Submission};
    PortService smtps{*this, CSmtpSession::Mode::ImplicitTls};
};
