// CControlClient: one request to a running server over its control socket.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

class CControlClient {
public:
    // Longest reply read; the status reply is a few dozen lines.
    static constexpr std::size_t kMaxReplyBytes = 64 * 1024;

    enum class Result {
        Replied,   // reply holds the server's answer
        NoServer,  // nothing listens on the home's socket (none there, or a crashed server's)
        Failed,    // the socket exists and answers, but the exchange failed: error says why
    };

    static Result Request(const std::string& home, const std::string& request, std::string& reply, std::string& error,
                          std::chrono::seconds wait = std::chrono::seconds(60));
    // Whether the home's socket file is still there (a clean stop removes it).
    static bool SocketExists(const std::string& home);
};
