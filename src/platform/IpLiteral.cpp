// IpLiteral: numeric address parsing and printing through getaddrinfo and
// getnameinfo with look-ups switched off.
#include "platform/IpLiteral.h"

#include <netdb.h>

#include <cstring>

bool ParseIpLiteral(const std::string& text, sockaddr_storage& address, socklen_t& length) {
    std::string host = text;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || host.size() > 255) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), "0", &hints, &found) != 0 || !found) return false;
    const bool usable =
        (found->ai_family == AF_INET || found->ai_family == AF_INET6) && found->ai_addrlen <= sizeof address;
    if (usable) {
        std::memset(&address, 0, sizeof address);
        std::memcpy(&address, found->ai_addr, found->ai_addrlen);
        length = found->ai_addrlen;
    }
    ::freeaddrinfo(found);
    return usable;
}

std::string IpLiteralText(const sockaddr* address, socklen_t length) {
    if (address->sa_family != AF_INET && address->sa_family != AF_INET6) return {};
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return {};
    return host;
}
