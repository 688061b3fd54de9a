// A client's line-by-line TCP connection to a server on loopback, plain or
// over TLS.
#include "LineConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "platform/TlsContext.h"
#include "platform/TlsStream.h"

namespace bench {

namespace {

constexpr int kWaitMs = 120000;

TlsStream::Clock::time_point Deadline() {
    return TlsStream::Clock::now() + std::chrono::milliseconds(kWaitMs);
}

}  // namespace

LineConnection::LineConnection() = default;

LineConnection::~LineConnection() {
    if (tls_) tls_->Shutdown();
    tls_.reset();
    if (fd_ >= 0) ::close(fd_);
}

bool LineConnection::StartTls(const TlsContext& context) {
    if (tls_ || start_ < buffer_.size()) return false;
    tls_ = std::make_unique<TlsStream>();
    return tls_->Connect(context, fd_, "localhost", -1, kWaitMs) == TlsStream::Status::Ok;
}

bool LineConnection::Open(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return false;
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool LineConnection::Send(const std::string& data) {
    if (tls_) return tls_->Write(data.data(), data.size(), Deadline()) == TlsStream::Status::Ok;
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool LineConnection::Skip(std::size_t count) {
    while (count > 0) {
        const std::size_t buffered = std::min(count, buffer_.size() - start_);
        start_ += buffered;
        count -= buffered;
        if (count == 0) break;
        buffer_.clear();
        start_ = 0;
        if (!Fill()) return false;
    }
    return true;
}

bool LineConnection::Fill() {
    char chunk[16384];
    if (tls_) {
        std::size_t received = 0;
        if (tls_->Read(chunk, sizeof chunk, received, Deadline()) != TlsStream::Status::Ok || received == 0)
            return false;
        buffer_.append(chunk, received);
        return true;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) <= 0) return false;
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

bool LineConnection::Line(std::string& line) {
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
        if (buffer_.size() > 65536 || !Fill()) return false;
    }
}

}  // namespace bench
