// IpLiteral: a literal IPv4 or IPv6 address as text, turned into a socket
// address without any name look-up ("192.0.2.1", "::1", "[::1]",
// "fe80::1%eth0").
#pragma once

#include <sys/socket.h>

#include <string>

// False when the text is not one literal address.
bool ParseIpLiteral(const std::string& text, sockaddr_storage& address, socklen_t& length);
// The address's text without brackets ("0.0.0.0", "::"); "" for other families.
std::string IpLiteralText(const sockaddr* address, socklen_t length);
