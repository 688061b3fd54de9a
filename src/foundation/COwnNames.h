// COwnNames: the names this server gives itself.
//
// Whatever goes on the wire or into a certificate as this machine's name
// must be a real domain or an address literal (RFC 5321 4.1.3): the
// machine's full name when the system knows one, else the home's own mail
// domain (Preferences\MailDomain, written by `setup --domain`), else the
// address literal of the connection's local end. The postmaster's address
// follows the home's domain too, else the loopback form
// "postmaster@127.0.0.1".
#pragma once

#include <string>

class COwnNames {
public:
    // The postmaster's address while the home has no domain.
    static constexpr const char* kLoopbackPostmaster = "postmaster@127.0.0.1";

    // Preferences\MailDomain folded to lower case without a trailing dot;
    // "" when it is missing or no full domain name.
    static std::string HomeDomain();
    // The name known before connecting: the machine's full name, else the
    // home's domain, else "" (then the address literal once connected).
    static std::string Domain();
    // "postmaster@<home domain>", else "postmaster@127.0.0.1".
    static std::string Postmaster();

    // The choice itself, from given inputs: fullName when it is a full domain
    // name, else homeDomain when it is one, else the literal of localAddress,
    // else "[127.0.0.1]": never an invalid greeting.
    static std::string Choose(const std::string& fullName, const std::string& homeDomain,
                              const std::string& localAddress);
    // "[192.0.2.1]" or "[IPv6:2001:db8::1]" of a literal address (an
    // IPv4-mapped one in its IPv4 form, a zone dropped); "" when it is none.
    static std::string AddressLiteral(const std::string& address);
    // The address of the local end of a connected socket ("192.0.2.1");
    // "" when unknown.
    static std::string LocalAddress(int socket);
};
