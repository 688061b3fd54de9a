// A minimal IMAP client for the benchmarks: LOGIN, SELECT, any command
// whose untagged FETCH responses are counted (literals counted as they
// stream in, never held), and IDLE held open; one command at a time over
// loopback, every read bounded.
#pragma once

#include <string>

#include "LineConnection.h"

namespace bench {

class ImapClient : public LineConnection {
public:
    // What one command brought back.
    struct Reply {
        bool ok = false;  // tagged OK
        long fetches = 0;  // untagged "* n FETCH" responses
        long literalBytes = 0;
        long exists = -1;  // the last "* n EXISTS", if any
    };

    // Connects to 127.0.0.1:port, reads the greeting and logs in.
    bool Login(int port, const std::string& user, const std::string& password);
    // One tagged command (without tag and line end) to its tagged answer.
    Reply Command(const std::string& command);
    // SELECT folder; the number of messages, or -1.
    long Select(const std::string& folder);
    // IDLE until the server's continuation; the session then stays idle.
    bool Idle();
    bool Logout() { return Command("LOGOUT").ok; }

private:
    long tag_ = 0;
};

}  // namespace bench
