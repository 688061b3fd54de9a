// A minimal SMTP client for the benchmarks: one pipelined transaction at a
// time over loopback, in the clear or after STARTTLS; every read is bounded.
#pragma once

#include <string>

#include "LineConnection.h"

namespace bench {

class SmtpClient : public LineConnection {
public:
    // Connects to 127.0.0.1:port and greets; true after the EHLO's 250.
    // With a (client) TLS context the session then goes through STARTTLS
    // and greets again inside it.
    bool Connect(int port, const TlsContext* tls = nullptr);
    // The code of the next whole reply; 0 on failure or after 120 s.
    int Code();
    // One pipelined transaction; true on the final 250.
    bool SendMail(const std::string& from, const std::string& to, const std::string& text);
};

}  // namespace bench
