// A client's TCP connection to a server on loopback, the part the
// benchmark's SMTP, POP3 and IMAP clients share: connect, send the whole of a
// text, and read one line at a time with every read bounded; once StartTls
// has run, all of it goes through the engine's TLS stream.
#pragma once

#include <memory>
#include <string>

class TlsContext;
class TlsStream;

namespace bench {

class LineConnection {
public:
    LineConnection();
    LineConnection(const LineConnection&) = delete;
    LineConnection& operator=(const LineConnection&) = delete;

    // All of data; false once the peer is gone.
    bool Send(const std::string& data);

protected:
    ~LineConnection();

    // Connects to 127.0.0.1:port, Nagle off (commands are small and waited for).
    bool Open(int port);
    // The next line without its CR LF; false on failure, after 120 s or
    // past 64 KB without a line end.
    bool Line(std::string& line);
    // Reads and drops the next count bytes (a literal's), counting them
    // rather than holding them; false on failure or after 120 s.
    bool Skip(std::size_t count);
    // The client side of a TLS handshake on the connection (after the
    // server's go-ahead); false when the server sent more than its go-ahead
    // (it would be plaintext read as if protected) or the handshake fails.
    bool StartTls(const TlsContext& context);

private:
    // Appends what one read brings to the buffer; false on failure.
    bool Fill();

    int fd_ = -1;
    std::unique_ptr<TlsStream> tls_;
    std::string buffer_;
    std::size_t start_ = 0;
};

}  // namespace bench
