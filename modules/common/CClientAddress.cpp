// CClientAddress: client address classification.
#include "CClientAddress.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

CClientAddress CClientAddress::FromSockaddr(const sockaddr* address, socklen_t length) {
    CClientAddress result;
    if (!address) return result;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in v4;
        std::memcpy(&v4, address, sizeof v4);
        result.family = AF_INET;
        std::memcpy(result.bytes.data(), &v4.sin_addr, 4);
    } else if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 v6;
        std::memcpy(&v6, address, sizeof v6);
        static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::memcmp(&v6.sin6_addr, kMapped, 12) == 0) {
            result.family = AF_INET;
            std::memcpy(result.bytes.data(), reinterpret_cast<const std::uint8_t*>(&v6.sin6_addr) + 12, 4);
        } else {
            result.family = AF_INET6;
            std::memcpy(result.bytes.data(), &v6.sin6_addr, 16);
        }
    }
    return result;
}

CClientAddress CClientAddress::FromText(const std::string& text) {
    sockaddr_in v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        return FromSockaddr(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
    }
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        return FromSockaddr(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
    }
    return {};
}

CClientAddress::Network CClientAddress::Classify() const {
    const auto& b = bytes;
    if (family == AF_INET) {
        if (b[0] == 127) return Network::Loopback;
        if (b[0] == 10 || (b[0] == 172 && (b[1] & 0xF0) == 16) || (b[0] == 192 && b[1] == 168) ||
            (b[0] == 169 && b[1] == 254))
            return Network::Private;
        return Network::Public;
    }
    if (family == AF_INET6) {
        static const std::uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        if (std::memcmp(b.data(), kLoopback, 16) == 0) return Network::Loopback;
        if ((b[0] & 0xFE) == 0xFC || (b[0] == 0xFE && (b[1] & 0xC0) == 0x80))
            return Network::Private;  // unique local fc00::/7, link-local fe80::/10
    }
    return Network::Public;
}

std::string CClientAddress::Text() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (family == 0 || !::inet_ntop(family, bytes.data(), text, sizeof text)) return {};
    return text;
}

std::string CClientAddress::ClientKey() const {
    if (family == 0) return {};
    const std::size_t length = family == AF_INET ? 4 : 8;
    std::string key(1, family == AF_INET ? '4' : '6');
    key.append(reinterpret_cast<const char*>(bytes.data()), length);
    return key;
}
