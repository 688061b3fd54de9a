// A minimal SMTP client for the benchmark.
#include "SmtpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace bench {

SmtpClient::~SmtpClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool SmtpClient::Connect(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && Code() == 220 &&
           Send("EHLO bench.test\r\n") && Code() == 250;
}

bool SmtpClient::Send(const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int SmtpClient::Code() {
    for (;;) {
        const std::size_t end = buffer_.find("\r\n");
        if (end != std::string::npos) {
            const std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 2);
            if (line.size() >= 4 && line[3] == '-') continue;
            return line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
        }
        if (buffer_.size() > 65536) return 0;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 120000) <= 0) return 0;
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return 0;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool SmtpClient::SendMail(const std::string& from, const std::string& to, const std::string& text) {
    return Send("MAIL FROM:<" + from + ">\r\nRCPT TO:<" + to + ">\r\nDATA\r\n") && Code() == 250 && Code() == 250 &&
           Code() == 354 && Send(text) && Code() == 250;
}

}  // namespace bench
