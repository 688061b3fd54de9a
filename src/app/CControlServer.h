// CControlServer: the running server's control channel, a Unix domain
// socket "control.sock" in the home through which the shell reaches it (the
// stand-in for the private window messages other programs sent the main
// window).
//
// One request per connection: one line (at most kMaxRequestBytes), one
// reply, then the connection closes. Connections are served one at a time
// on the channel's own thread, each within fixed time limits, so a client
// that stalls delays the next by seconds at most. Only a peer running as
// the server's own user is answered (the socket is also mode 0600).
#pragma once

#include <sys/un.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

#include "platform/UniqueFd.h"

class CControlServer {
public:
    static constexpr const char* kSocketName = "control.sock";
    static constexpr std::size_t kMaxRequestBytes = 256;
    static constexpr int kIoTimeoutSeconds = 2;

    // The reply to one request line (without its line end).
    using Handler = std::function<std::string(const std::string& request)>;

    CControlServer() = default;
    ~CControlServer();
    CControlServer(const CControlServer&) = delete;
    CControlServer& operator=(const CControlServer&) = delete;

    // Listens on <home>/control.sock, replacing one a crashed server left
    // (the home lock keeps a second server away); false with the reason.
    bool Start(const std::string& home, Handler handler, std::string& error);
    // No more requests: the thread ends and the listener closes.
    void Close();
    // Removes the socket file: the last step of a clean stop.
    void RemoveSocket();

    // The socket's address for home. A path longer than an address holds is
    // reached through the directory held open in dirHold.
    static bool MakeAddress(const std::string& home, sockaddr_un& address, UniqueFd& dirHold);

private:
    void Serve();
    void Answer(int client);

    Handler handler;
    std::string home;
    std::string socketPath;
    UniqueFd listener;
    UniqueFd wake[2];
    std::thread thread;
    bool listening = false;
};
