// CSmtpListener: the SMTP server's listening sockets, its accept thread and
// the session threads.
//
// It listens on the address of Ports\SMTP Listen Address, or when that is
// empty on every IPv4 address (which includes 127.0.0.1) and, where the
// machine has IPv6, on every IPv6 address; what it bound, or why it could
// not, goes to the host through g_listenerReport. Each accepted connection gets
// a session on its own thread, up to the configured number at once; a
// client beyond that, or beyond its address's share, is told 421 and
// closed. Stop wakes the accept thread
// through an event descriptor that every session also watches, so all of
// them notice at their next wait; the destructor joins every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "CClientCounter.h"
#include "CSmtpSession.h"
#include "CSmtpSettings.h"
#include "ModuleVisibility.h"
#include "platform/UniqueFd.h"

class SMTPD_LOCAL CSmtpListener {
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
    int ActiveSessions() const { return active.load(); }
    // The port actually listened on (0 before Start).
    std::uint16_t Port() const { return port; }

private:
    struct Slot {
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    static constexpr const char* kReportName = "SMTP";

    // Binds and listens; 0 with the bound "address:port", or the errno.
    int Listen(const sockaddr_storage& address, socklen_t length, std::string& bound);
    void Fail(const std::string& reason);
    void AcceptLoop();
    void Accept(int listener);
    void Refuse(int client, const char* reply);
    void ReapFinished(bool all);

    CSmtpSession::Environment environment;
    CSmtpSettings settings;
    std::uint16_t port = 0;
    std::vector<UniqueFd> listeners;
    UniqueFd stopEvent;      // readable once Stop was called
    UniqueFd finishedEvent;  // a session has ended and can be joined
    std::thread acceptThread;
    std::mutex slotsLock;
    std::list<Slot> slots;
    std::atomic<int> active{0};
    CClientCounter clients;
    std::atomic<bool> stopped{false};
};
