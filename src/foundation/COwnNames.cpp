// COwnNames: the machine's name, the home's domain, and the address literal
// that stands in when neither is known.
#include "foundation/COwnNames.h"

#include <sys/socket.h>

#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/IpLiteral.h"
#include "platform/Registry.h"
#include "platform/Text.h"

namespace {

constexpr const char* kLoopbackLiteral = "[127.0.0.1]";

// A name as it stands in a greeting: lower case, no trailing dot; "" when it
// is not a full domain name.
std::string FullDomainOrNothing(std::string name) {
    while (!name.empty() && name.back() == '.') name.pop_back();
    name = FoldCase(name);
    return IsFullDomainName(name) ? name : std::string();
}

}  // namespace

std::string COwnNames::HomeDomain() {
    return FullDomainOrNothing(settings::Text{settings::kPreferences, settings::kMailDomainValue}.Value(255));
}

std::string COwnNames::Domain() {
    std::string name = FullDomainOrNothing(SystemFullName());
    return name.empty() ? HomeDomain() : name;
}

std::string COwnNames::Postmaster() {
    const std::string domain = HomeDomain();
    return domain.empty() ? std::string(kLoopbackPostmaster) : "postmaster@" + domain;
}

std::string COwnNames::Choose(const std::string& fullName, const std::string& homeDomain,
                              const std::string& localAddress) {
    for (const std::string* name : {&fullName, &homeDomain}) {
        std::string chosen = FullDomainOrNothing(*name);
        if (!chosen.empty()) return chosen;
    }
    const std::string literal = AddressLiteral(localAddress);
    return literal.empty() ? kLoopbackLiteral : literal;
}

std::string COwnNames::AddressLiteral(const std::string& address) {
    sockaddr_storage parsed{};
    socklen_t length = 0;
    std::string text = address;
    if (!text.empty() && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (!ParseIpLiteral(text, parsed, length)) return "";
    text = IpLiteralText(reinterpret_cast<const sockaddr*>(&parsed), length);
    text = text.substr(0, text.find('%'));  // a zone means nothing to the peer
    if (text.empty()) return "";
    if (parsed.ss_family == AF_INET) return "[" + text + "]";
    const std::string mapped = "::ffff:";
    if (text.size() > mapped.size() && EqualsNoCase(text.substr(0, mapped.size()), mapped) &&
        text.find('.') != std::string::npos)
        return "[" + text.substr(mapped.size()) + "]";
    return "[IPv6:" + text + "]";
}

std::string COwnNames::LocalAddress(int socket) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (socket < 0 || ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return "";
    return IpLiteralText(reinterpret_cast<const sockaddr*>(&local), length);
}
