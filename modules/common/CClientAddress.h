// CClientAddress: the address a client connected from, and which kind of
// network it belongs to.
//
// The relay rule depends on it: loopback clients are the machine itself,
// private and link-local clients are the office's own network. IPv4 mapped
// into IPv6 (a dual-stack socket) counts as the IPv4 address it carries.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <sys/socket.h>

#include "ModuleVisibility.h"

class MODULE_LOCAL CClientAddress {
public:
    enum class Network { Loopback, Private, Public };

    CClientAddress() = default;
    static CClientAddress FromSockaddr(const sockaddr* address, socklen_t length);
    // Dotted IPv4 or textual IPv6; an unparsable text gives an empty address.
    static CClientAddress FromText(const std::string& text);

    bool IsValid() const { return family != 0; }
    bool IsIPv4() const { return family == AF_INET; }
    Network Classify() const;
    // "192.0.2.1" or "2001:db8::1"; empty for an invalid address.
    std::string Text() const;
    // What one client holds: the whole IPv4 address, or the /64 of an IPv6
    // one (a single site is given a whole /64 and may use any of it).
    std::string ClientKey() const;

private:
    int family = 0;
    std::array<std::uint8_t, 16> bytes{};  // IPv4 in the first four
};
