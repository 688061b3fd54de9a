// TlsStream: bounded TLS over a connected socket.
#include "platform/TlsStream.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "platform/IpLiteral.h"
#include "platform/TlsContext.h"

void TlsStream::Free::operator()(void* handle) const {
    SSL_free(static_cast<SSL*>(handle));
}

namespace {

template <typename Handle>
SSL* Ssl(const Handle& handle) {
    return static_cast<SSL*>(handle.get());
}

// The library writes to the socket with write(), which raises SIGPIPE on a
// connection the peer has closed. The signal is held back on this thread
// for the call and a SIGPIPE it raised is taken away again, so a caller
// never has to ignore it process-wide.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    }
    ~SigpipeGuard() {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending && sigismember(&pending, SIGPIPE) == 1) {
            const timespec none{0, 0};
            sigtimedwait(&pipe, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe;
    sigset_t previous;
    bool wasPending = false;
};

std::chrono::steady_clock::time_point After(int timeoutMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

}  // namespace

TlsStream::TlsStream() = default;

TlsStream::~TlsStream() = default;

bool TlsStream::Begin(const TlsContext& context, int fd, int stop) {
    reason.clear();
    if (ssl || !context.Ready() || fd < 0) {
        reason = ssl ? "TLS is already on" : "no TLS context";
        return false;
    }
    ERR_clear_error();
    ssl.reset(SSL_new(static_cast<SSL_CTX*>(context.Handle())));
    const int flags = ::fcntl(fd, F_GETFL);
    if (!ssl || flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 || SSL_set_fd(Ssl(ssl), fd) != 1) {
        reason = "TLS cannot start: " + TlsContext::LibraryError();
        ssl.reset();
        return false;
    }
    socket = fd;
    stopFd = stop;
    return true;
}

TlsStream::Status TlsStream::Accept(const TlsContext& context, int fd, int stop, int timeoutMs) {
    if (!context.IsServer() || !Begin(context, fd, stop)) return Status::Failed;
    int result = 0;
    const Status status = Drive([this] { return SSL_accept(Ssl(ssl)); }, After(timeoutMs), result);
    established = status == Status::Ok;
    return status;
}

TlsStream::Status TlsStream::Connect(const TlsContext& context, int fd, const std::string& hostName, int stop,
                                     int timeoutMs) {
    if (context.IsServer() || !Begin(context, fd, stop)) return Status::Failed;
    SSL* s = Ssl(ssl);
    sockaddr_storage address{};
    socklen_t length = 0;
    const bool literal = ParseIpLiteral(hostName, address, length);
    // Server names never carry a trailing dot or an address (RFC 6066 3).
    std::string name = hostName;
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (!literal && !name.empty()) SSL_set_tlsext_host_name(s, name.c_str());
    if (context.Verifies()) {
        const int named = literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s), hostName.c_str())
                                  : SSL_set1_host(s, name.c_str());
        if (named != 1 || name.empty()) {
            reason = "no name to verify the certificate against";
            return Status::Failed;
        }
    }
    int result = 0;
    Status status = Drive([s] { return SSL_connect(s); }, After(timeoutMs), result);
    if (status == Status::Failed && context.Verifies()) {
        const long verified = SSL_get_verify_result(s);
        if (verified != X509_V_OK)
            reason = std::string("certificate refused: ") + X509_verify_cert_error_string(verified);
    }
    established = status == Status::Ok;
    return status;
}

TlsStream::Status TlsStream::Wait(int error, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Status::TimedOut;
        pollfd fds[2] = {{socket, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0},
                         {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR) continue;
            reason = std::string("poll: ") + std::strerror(errno);
            return Status::Failed;
        }
        if (ready == 0) return Status::TimedOut;
        if (stopFd >= 0 && (fds[1].revents & POLLIN)) return Status::Stopped;
        return Status::Ok;  // readable, writable, or an error the next call reports
    }
}

template <typename Call>
TlsStream::Status TlsStream::Drive(Call call, Clock::time_point deadline, int& result) {
    if (!ssl || broken) {
        if (reason.empty()) reason = "the TLS connection is closed";
        return broken ? Status::Closed : Status::Failed;
    }
    reason.clear();
    const SigpipeGuard guard;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        result = call();
        if (result > 0) return Status::Ok;
        const int error = SSL_get_error(Ssl(ssl), result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            const Status waited = Wait(error, deadline);
            if (waited != Status::Ok) return waited;
            continue;
        }
        broken = true;
        if (error == SSL_ERROR_ZERO_RETURN) return Status::Closed;
        if (error == SSL_ERROR_SYSCALL) {
            const int cause = errno;
            if (cause == 0 || cause == ECONNRESET || cause == EPIPE) return Status::Closed;
            reason = std::strerror(cause);
            return Status::Failed;
        }
        reason = TlsContext::LibraryError();
        if (reason.empty()) reason = "TLS error " + std::to_string(error);
        return Status::Failed;
    }
}

TlsStream::Status TlsStream::Read(char* buffer, std::size_t capacity, std::size_t& received,
                                  Clock::time_point deadline) {
    received = 0;
    if (capacity == 0) return Status::Ok;
    SSL* s = Ssl(ssl);
    int result = 0;
    return Drive([&] { return SSL_read_ex(s, buffer, capacity, &received); }, deadline, result);
}

TlsStream::Status TlsStream::Write(const char* data, std::size_t length, Clock::time_point deadline) {
    SSL* s = Ssl(ssl);
    std::size_t sent = 0;
    while (sent < length) {
        std::size_t written = 0;
        int result = 0;
        const Status status =
            Drive([&] { return SSL_write_ex(s, data + sent, length - sent, &written); }, deadline, result);
        if (status != Status::Ok) return status;
        sent += written;
    }
    return Status::Ok;
}

bool TlsStream::HasPending() const {
    return ssl && SSL_pending(Ssl(ssl)) > 0;
}

void TlsStream::Shutdown() {
    if (!ssl || !established || broken) return;
    ERR_clear_error();
    const SigpipeGuard guard;
    SSL_shutdown(Ssl(ssl));  // one attempt: the alert goes out if the socket takes it
    ERR_clear_error();
    broken = true;
}

std::string TlsStream::Description() const {
    if (!ssl || !established) return {};
    return std::string(SSL_get_version(Ssl(ssl))) + " " + SSL_get_cipher_name(Ssl(ssl));
}
