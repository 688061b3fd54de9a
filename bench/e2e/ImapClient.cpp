// A minimal IMAP client for the benchmarks.
#include "ImapClient.h"

#include <cstdlib>

namespace bench {

namespace {

// The n of a line ending in "{n}" (a literal follows), else -1.
long LiteralSize(const std::string& line) {
    if (line.empty() || line.back() != '}') return -1;
    const std::size_t open = line.rfind('{');
    if (open == std::string::npos) return -1;
    return std::atol(line.c_str() + open + 1);
}

}  // namespace

bool ImapClient::Login(int port, const std::string& user, const std::string& password) {
    std::string greeting;
    return Open(port) && Line(greeting) && greeting.rfind("* OK", 0) == 0 &&
           Command("LOGIN " + user + " " + password).ok;
}

ImapClient::Reply ImapClient::Command(const std::string& command) {
    Reply reply;
    const std::string tag = "a" + std::to_string(++tag_);
    if (!Send(tag + " " + command + "\r\n")) return reply;
    for (std::string line; Line(line);) {
        if (line.rfind(tag + " ", 0) == 0) {
            reply.ok = line.compare(tag.size() + 1, 2, "OK") == 0;
            return reply;
        }
        if (line.rfind("* ", 0) == 0) {
            const std::size_t space = line.find(' ', 2);
            if (space != std::string::npos) {
                if (line.compare(space, 7, " FETCH ") == 0) reply.fetches += 1;
                if (line.compare(space, 7, " EXISTS") == 0) reply.exists = std::atol(line.c_str() + 2);
            }
        }
        // A literal and the rest of its response's line.
        for (long size = LiteralSize(line); size >= 0; size = LiteralSize(line)) {
            if (!Skip(static_cast<std::size_t>(size)) || !Line(line)) return reply;
            reply.literalBytes += size;
        }
    }
    return reply;
}

long ImapClient::Select(const std::string& folder) {
    const Reply reply = Command("SELECT " + folder);
    return reply.ok ? reply.exists : -1;
}

bool ImapClient::Idle() {
    std::string line;
    return Send("a" + std::to_string(++tag_) + " IDLE\r\n") && Line(line) && line.rfind("+", 0) == 0;
}

}  // namespace bench
