// SmtpClient: a scripted SMTP client over loopback for the exchanges no
// ready-made client makes; every read and write is bounded, so a broken
// server fails a test instead of hanging it.
#pragma once

#include <chrono>
#include <string>

#include "platform/UniqueFd.h"

class SmtpClient {
public:
    bool Connect(int port, bool overIPv6 = false);
    // Speaks over a connection made elsewhere (one end of a socket pair).
    void Adopt(UniqueFd connected) { fd = std::move(connected), buffer.clear(); }
    bool Send(const std::string& data);
    // One whole reply (all lines); "" when the connection ended or nothing came in time.
    std::string Reply(std::chrono::milliseconds wait = std::chrono::seconds(30));
    std::string Command(const std::string& line) { return Send(line + "\r\n") ? Reply() : std::string(); }
    // True when the server closed the connection within the wait.
    bool ClosedByServer(std::chrono::milliseconds wait = std::chrono::seconds(30));
    // Ends the connection; with reset, by RST instead of FIN.
    void Close(bool reset = false);

private:
    UniqueFd fd;
    std::string buffer;
};

// The reply code at the start of a reply; 0 when there is none.
int Code(const std::string& reply);
