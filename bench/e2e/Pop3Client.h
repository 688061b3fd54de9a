// A minimal POP3 client for the benchmarks: USER/PASS, LIST and RETR over
// loopback, one command at a time; every read is bounded and a retrieved
// message is counted as it streams in, never held whole.
#pragma once

#include <string>
#include <vector>

#include "LineConnection.h"

namespace bench {

class Pop3Client : public LineConnection {
public:
    // Connects to 127.0.0.1:port and logs in; true after PASS's +OK.
    bool Login(int port, const std::string& user, const std::string& password);
    // The sizes LIST gives, in message-number order; false on any failure.
    bool List(std::vector<long>& sizes);
    // RETR n: the message's bytes after undoing the dot-stuffing, or -1.
    long Retrieve(int number);
    bool Quit();

private:
    bool Ok(const std::string& command);
};

}  // namespace bench
