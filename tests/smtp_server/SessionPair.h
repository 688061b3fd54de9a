// SessionPair: one SMTP session on its own thread, spoken to through the
// other end of a socket pair, with the client address it is given; the
// tests of the session's limits and of the filter phase share it.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "CSessionGate.h"
#include "CSmtpSession.h"
#include "SmtpClient.h"

class SessionPair : public SmtpClient {
public:
    SessionPair(CAccountDatabase* database, CMailSpooler* spooler, const CSmtpSettings& settings,
                const char* clientAddress = "203.0.113.9", const CSessionGate* gate = nullptr)
        : SessionPair(SocketPair(), database, spooler, settings, clientAddress, gate) {}
    // Over the given connection's two ends (a TCP one, say).
    SessionPair(std::pair<UniqueFd, UniqueFd> ends, CAccountDatabase* database, CMailSpooler* spooler,
                const CSmtpSettings& settings, const char* clientAddress, const CSessionGate* gate = nullptr) {
        Adopt(std::move(ends.second));
        environment = {database, spooler, -1, "mx.test", {}};
        environment.gate = gate;
        session = std::make_unique<CSmtpSession>(std::move(ends.first), CClientAddress::FromText(clientAddress),
                                                 environment, settings);
        thread = std::thread([this] {
            session->Run();
            session.reset();  // closes the connection, as the listener does
        });
    }
    ~SessionPair() { Close(), thread.join(); }

private:
    static std::pair<UniqueFd, UniqueFd> SocketPair() {
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        return {UniqueFd(pair[0]), UniqueFd(pair[1])};
    }

    CSmtpSession::Environment environment;
    std::unique_ptr<CSmtpSession> session;
    std::thread thread;
};
