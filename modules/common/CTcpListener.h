// CTcpListener: a server module's listening sockets, its accept thread and
// its session threads.
//
// It listens on one configured address, or when none is configured on
// every IPv4 address (which includes 127.0.0.1) and, where the machine has
// IPv6, on every IPv6 address; what it bound, or why it could not, goes to
// the host through g_listenerReport under the service's name. Each accepted
// connection gets a session on its own thread, up to the configured number
// at once; a client beyond that, or one the service does not admit, is sent
// one refusal line and closed. Stop wakes the accept thread through an
// event descriptor that every session also watches, so all of them notice
// at their next wait; Shutdown (and the destructor) joins every thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <pthread.h>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "CClientAddress.h"
#include "ModuleVisibility.h"
#include "platform/MutexLock.h"
#include "platform/UniqueFd.h"

class MODULE_LOCAL CTcpListener {
public:
    // What a module plugs into the listener.
    class Service {
    public:
        virtual ~Service() = default;
        // On the accept thread: empty admits the client, anything else is
        // the line sent to it before it is closed.
        virtual std::string Admit(const CClientAddress& peer) {
            (void)peer;
            return {};
        }
        // On the session's own thread: serves the client until it leaves.
        virtual void Serve(UniqueFd client, const CClientAddress& peer) = 0;
        // Once an admitted client is gone (or its session could not start).
        virtual void Left(const CClientAddress& peer) { (void)peer; }
    };

    struct Options {
        std::string name;           // "SMTP", "POP3": the report's and the log's name
        std::string listenAddress;  // empty: every address
        std::string addressSetting; // the setting that names it, for the error text
        std::uint16_t port = 0;
        unsigned maxSessions = 1;
        // A session thread's stack in bytes; 0: the system's default. Many
        // mostly idle sessions (IMAP IDLE) want it small.
        std::size_t stackBytes = 0;
        std::string busyReply;      // sent to a client beyond maxSessions, CR LF included
    };

    explicit CTcpListener(Service& service);
    ~CTcpListener();
    CTcpListener(const CTcpListener&) = delete;
    CTcpListener& operator=(const CTcpListener&) = delete;

    // Opens the sockets and starts accepting. False (with the reason
    // reported and logged) when any wanted socket could not listen; then
    // none listens.
    bool Start(const Options& options);
    // Stops accepting and tells the sessions to end; returns at once.
    void Stop();
    // Stop, then wait for every session thread.
    void Shutdown();
    // Readable once Stop was called; valid from construction on.
    int StopFd() const { return stopEvent.Get(); }
    int ActiveSessions() const { return active.load(); }
    // The port actually listened on (0 before Start).
    std::uint16_t Port() const { return port; }

private:
    struct Slot {
        std::thread thread;
        pthread_t sized{};  // a thread made with options.stackBytes
        bool sizedStarted = false;
        std::atomic<bool> finished{false};
    };
    // Starts body on a thread of options.stackBytes; false when it could not.
    bool StartSized(Slot& slot, std::function<void()> body);

    // Binds and listens; 0 with the bound "address:port", or the errno.
    int Listen(const sockaddr_storage& address, socklen_t length, std::string& bound);
    void Fail(const std::string& reason);
    void AcceptLoop();
    void Accept(int listener);
    void ReapFinished(bool all);

    Service& service;
    Options options;
    std::uint16_t port = 0;
    std::vector<UniqueFd> listeners;
    UniqueFd stopEvent;      // readable once Stop was called
    UniqueFd finishedEvent;  // a session has ended and can be joined
    std::thread acceptThread;
    Mutex slotsLock;  // the sessions' slots
    std::list<Slot> slots GUARDED_BY(slotsLock);
    std::atomic<int> active{0};
    std::atomic<bool> stopped{false};
};
