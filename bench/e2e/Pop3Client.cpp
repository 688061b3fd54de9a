// A minimal POP3 client for the benchmarks.
#include "Pop3Client.h"

#include <cstdlib>

namespace bench {

bool Pop3Client::Login(int port, const std::string& user, const std::string& password) {
    std::string greeting;
    return Open(port) && Line(greeting) && greeting.rfind("+OK", 0) == 0 && Ok("USER " + user) &&
           Ok("PASS " + password);
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

bool Pop3Client::Ok(const std::string& command) {
    std::string reply;
    return Send(command + "\r\n") && Line(reply) && reply.rfind("+OK", 0) == 0;
}

}  // namespace bench
