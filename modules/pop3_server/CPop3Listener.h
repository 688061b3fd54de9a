// CPop3Listener: the POP3 server's listening sockets, its accept thread and
// the session threads.
//
// It listens on every IPv4 address and, where the machine has IPv6, on every
// IPv6 address, at Ports\POP3 Port; what it bound, or why it could not, goes
// to the host through g_listenerReport as "POP3". Each accepted connection
// gets a session on its own thread, up to "POP3 Max Sessions" at once; a
// client beyond that is told -ERR [SYS/TEMP] and closed. Stop wakes the
// accept thread through an event descriptor that every session watches
// too; the destructor joins every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "CLoginThrottle.h"
#include "CPop3Session.h"
#include "CPop3Settings.h"
#include "Pop3Visibility.h"
#include "platform/UniqueFd.h"

class POP3D_LOCAL CPop3Listener {
public:
    explicit CPop3Listener(CAccountDatabase* database);
    ~CPop3Listener();
    CPop3Listener(const CPop3Listener&) = delete;
    CPop3Listener& operator=(const CPop3Listener&) = delete;

    // Reads the settings, opens the sockets and starts accepting; false
    // (reported and logged) when a wanted socket could not listen.
    bool Start();
    // Stops accepting and tells the sessions to end; returns at once.
    void Stop();
    int ActiveSessions() const { return active.load(); }

private:
    struct Slot {
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    static constexpr const char* kReportName = "POP3";

    int Listen(const sockaddr_storage& address, socklen_t length, std::string& bound);
    void Fail(const std::string& reason);
    void AcceptLoop();
    void Accept(int listener);
    void ReapFinished(bool all);

    CPop3Session::Environment environment;
    CPop3Settings settings;
    CLoginThrottle throttle;
    std::mutex storeLock;
    std::vector<UniqueFd> listeners;
    UniqueFd stopEvent;
    UniqueFd finishedEvent;
    std::thread acceptThread;
    std::mutex slotsLock;
    std::list<Slot> slots;
    std::atomic<int> active{0};
    std::atomic<bool> stopped{false};
};
