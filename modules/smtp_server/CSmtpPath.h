// CSmtpPath: the address argument of MAIL FROM and RCPT TO.
//
// "FROM:" or "TO:", an optional blank (many clients send one), the path in
// angle brackets, then ESMTP parameters. A source route ("@a,@b:") is
// dropped as RFC 5321 allows. Local parts are dot-atoms, domains are host
// names or address literals; anything else, including quoted local parts and
// control characters, is refused, so an address is always safe to store,
// log and look up. The length limits are RFC 5321's.
#pragma once

#include <string>
#include <string_view>

#include "ModuleVisibility.h"

class MODULE_LOCAL CSmtpPath {
public:
    static constexpr std::size_t kMaxLocalPart = 64;
    static constexpr std::size_t kMaxDomain = 255;
    static constexpr std::size_t kMaxPath = 256;

    enum class Status { Ok, BadSyntax, TooLong };

    // Parses argument, which must start with keyword ("FROM:" or "TO:").
    Status Parse(std::string_view argument, std::string_view keyword);

    bool IsNull() const { return localPart.empty() && domain.empty(); }
    const std::string& LocalPart() const { return localPart; }
    const std::string& Domain() const { return domain; }
    // "local@domain", "local" without a domain, "" for the null path.
    std::string Address() const;
    // What followed the path, without leading blanks.
    const std::string& Parameters() const { return parameters; }

    static bool IsLocalPart(std::string_view text);
    static bool IsDomainName(std::string_view text);
    // "[192.0.2.1]" or "[IPv6:...]".
    static bool IsAddressLiteral(std::string_view text);

    // Next "KEYWORD[=value]" of a parameter list; false at the end.
    static bool NextParameter(std::string_view& list, std::string& keyword, std::string& value);

private:
    std::string localPart;
    std::string domain;
    std::string parameters;
};
