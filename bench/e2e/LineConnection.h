// A client's TCP connection to a server on loopback, the part the
// benchmark's SMTP and POP3 clients share: connect, send the whole of a
// text, and read one line at a time with every read bounded.
#pragma once

#include <string>

namespace bench {

class LineConnection {
public:
    LineConnection() = default;
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

private:
    int fd_ = -1;
    std::string buffer_;
    std::size_t start_ = 0;
};

}  // namespace bench
