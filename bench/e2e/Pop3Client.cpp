// A minimal POP3 client for the benchmark.
#include "Pop3Client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace bench {

Pop3Client::~Pop3Client() {
    if (fd_ >= 0) ::close(fd_);
}

bool Pop3Client::Login(int port, const std::string& user, const std::string& password) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return false;
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string greeting;
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && Line(greeting) &&
           greeting.rfind("+OK", 0) == 0 && Ok("USER " + user) && Ok("PASS " + password);
}

bool Pop3Client::List(std::vector<long>& sizes) {
    if (!Ok("LIST")) return false;
    for (std::string line; Line(line);) {
        if (line == ".") return true;
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) return false;
        sizes.push_back(std::atol(line.c_str() + space + 1));
    }
    return false;
}

long Pop3Client::Retrieve(int number) {
    if (!Ok("RETR " + std::to_string(number))) return -1;
    long bytes = 0;
    for (std::string line; Line(line);) {
        if (line == ".") return bytes;
        // A leading dot was doubled on the wire.
        bytes += static_cast<long>(line.size() + 2 - (line[0] == '.' ? 1 : 0));
    }
    return -1;
}

bool Pop3Client::Quit() {
    return Ok("QUIT");
}

bool Pop3Client::Send(const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Pop3Client::Line(std::string& line) {
    for (;;) {
        const std::size_t end = buffer_.find("\r\n", start_);
        if (end != std::string::npos) {
            line.assign(buffer_, start_, end - start_);
            start_ = end + 2;
            return true;
        }
        // What was read is dropped as soon as its lines are, so the buffer
        // stays about one read long.
        buffer_.erase(0, start_);
        start_ = 0;
        if (buffer_.size() > 65536) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 120000) <= 0) return false;
        char chunk[16384];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool Pop3Client::Ok(const std::string& command) {
    std::string reply;
    return Send(command + "\r\n") && Line(reply) && reply.rfind("+OK", 0) == 0;
}

}  // namespace bench
