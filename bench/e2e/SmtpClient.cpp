// A minimal SMTP client for the benchmarks.
#include "SmtpClient.h"

#include <cstdlib>

namespace bench {

bool SmtpClient::Connect(int port, const TlsContext* tls) {
    if (!Open(port) || Code() != 220 || !Send("EHLO bench.test\r\n") || Code() != 250) return false;
    // What the server said before the handshake is forgotten (RFC 3207 4.2).
    return !tls ||
           (Send("STARTTLS\r\n") && Code() == 220 && StartTls(*tls) && Send("EHLO bench.test\r\n") && Code() == 250);
}

int SmtpClient::Code() {
    for (std::string line; Line(line);) {
        // "250-..." continues the reply.
        if (line.size() >= 4 && line[3] == '-') continue;
        return line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
    }
    return 0;
}

bool SmtpClient::SendMail(const std::string& from, const std::string& to, const std::string& text) {
    return Send("MAIL FROM:<" + from + ">\r\nRCPT TO:<" + to + ">\r\nDATA\r\n") && Code() == 250 && Code() == 250 &&
           Code() == 354 && Send(text) && Code() == 250;
}

}  // namespace bench
