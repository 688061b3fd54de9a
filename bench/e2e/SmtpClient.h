// A minimal SMTP client for the benchmark: one pipelined transaction at a
// time over loopback; every read is bounded.
#pragma once

#include <string>

namespace bench {

class SmtpClient {
public:
    SmtpClient() = default;
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;
    ~SmtpClient();

    // Connects to 127.0.0.1:port and greets; true after the EHLO's 250.
    bool Connect(int port);
    bool Send(const std::string& data);
    // The code of the next whole reply; 0 on failure or after 120 s.
    int Code();
    // One pipelined transaction; true on the final 250.
    bool SendMail(const std::string& from, const std::string& to, const std::string& text);

private:
    int fd_ = -1;
    std::string buffer_;
};

}  // namespace bench
