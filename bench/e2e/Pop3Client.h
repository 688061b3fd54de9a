// A minimal POP3 client for the benchmark: USER/PASS, LIST and RETR over
// loopback, one command at a time; every read is bounded and a retrieved
// message is counted as it streams in, never held whole.
#pragma once

#include <string>
#include <vector>

namespace bench {

class Pop3Client {
public:
    Pop3Client() = default;
    Pop3Client(const Pop3Client&) = delete;
    Pop3Client& operator=(const Pop3Client&) = delete;
    ~Pop3Client();

    // Connects to 127.0.0.1:port and logs in; true after PASS's +OK.
    bool Login(int port, const std::string& user, const std::string& password);
    // The sizes LIST gives, in message-number order; false on any failure.
    bool List(std::vector<long>& sizes);
    // RETR n: the message's bytes after undoing the dot-stuffing, or -1.
    long Retrieve(int number);
    bool Quit();

private:
    bool Send(const std::string& data);
    // The next line without its CR LF; false on failure, after 120 s or
    // past 64 KB without a line end.
    bool Line(std::string& line);
    bool Ok(const std::string& command);

    int fd_ = -1;
    std::string buffer_;
    std::size_t start_ = 0;
};

}  // namespace bench
