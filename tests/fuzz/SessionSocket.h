// SessionSocket: a server session under fuzz on a thread of its own, spoken
// to through the other end of a socket pair: the fuzzer's input sent whole,
// then the writing half shut, and the replies read to the end. libFuzzer's
// timer signal interrupts blocking calls: they are resumed.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "FuzzRequire.h"
#include "platform/UniqueFd.h"

class SessionSocket {
public:
    // Starts run on its own thread with the server's end.
    explicit SessionSocket(const std::function<void(UniqueFd)>& run) {
        int pair[2];
        Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
        client_.Reset(pair[1]);
        session_ = std::thread([run, server = UniqueFd(pair[0])]() mutable { run(std::move(server)); });
    }
    SessionSocket(const SessionSocket&) = delete;
    SessionSocket& operator=(const SessionSocket&) = delete;
    ~SessionSocket() { Join(); }

    // Writes all of input to fd, or as much as the peer takes before it
    // hangs up, then shuts fd's writing half.
    static void SendWhole(int fd, std::string_view input) {
        std::size_t sent = 0;
        while (sent < input.size()) {
            const ssize_t w = ::send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            sent += static_cast<std::size_t>(w);
        }
        ::shutdown(fd, SHUT_WR);
    }
    void Send(std::string_view input) { SendWhole(client_.Get(), input); }

    // One read, appended to replies: its result (0 at the end, below 0 on
    // an error such as a reset).
    ssize_t Receive(std::string& replies) {
        char block[4096];
        ssize_t got;
        do got = ::recv(client_.Get(), block, sizeof block, 0);
        while (got < 0 && errno == EINTR);
        if (got > 0) replies.append(block, static_cast<std::size_t>(got));
        return got;
    }
    // Reads until the end or an error: the last read's result.
    ssize_t ReceiveAll(std::string& replies) {
        ssize_t got;
        while ((got = Receive(replies)) > 0) {
        }
        return got;
    }

    // Waits for the session to end.
    void Join() {
        if (session_.joinable()) session_.join();
    }

private:
    UniqueFd client_;
    std::thread session_;
};
