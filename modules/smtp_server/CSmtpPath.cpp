// CSmtpPath: MAIL and RCPT address parsing.
#include "CSmtpPath.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstring>

#include "platform/Text.h"

namespace {

bool IsAtext(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || (u < 0x80 && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr && c != '\0');
}

}  // namespace

bool CSmtpPath::IsLocalPart(std::string_view text) {
    if (text.empty() || text.size() > kMaxLocalPart || text.front() == '.' || text.back() == '.') return false;
    char previous = '\0';
    for (char c : text) {
        if (c == '.') {
            if (previous == '.') return false;
        } else if (!IsAtext(c)) {
            return false;
        }
        previous = c;
    }
    return true;
}

bool CSmtpPath::IsDomainName(std::string_view text) {
    if (text.empty() || text.size() > kMaxDomain) return false;
    std::size_t labelStart = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            const std::size_t length = i - labelStart;
            if (length == 0 || length > 63 || text[labelStart] == '-' || text[i - 1] == '-') return false;
            labelStart = i + 1;
            continue;
        }
        const auto u = static_cast<unsigned char>(text[i]);
        if (u >= 0x80 || !(std::isalnum(u) || text[i] == '-')) return false;
    }
    return true;
}

bool CSmtpPath::IsAddressLiteral(std::string_view text) {
    if (text.size() < 3 || text.size() > 64 || text.front() != '[' || text.back() != ']') return false;
    const std::string inner(text.substr(1, text.size() - 2));
    unsigned char address[16];
    if (inner.compare(0, 5, "IPv6:") == 0 || inner.compare(0, 5, "ipv6:") == 0)
        return ::inet_pton(AF_INET6, inner.c_str() + 5, address) == 1;
    return ::inet_pton(AF_INET, inner.c_str(), address) == 1;
}

std::string CSmtpPath::Address() const {
    return domain.empty() ? localPart : localPart + "@" + domain;
}

CSmtpPath::Status CSmtpPath::Parse(std::string_view argument, std::string_view keyword) {
    localPart.clear();
    domain.clear();
    parameters.clear();
    if (!StartsWithNoCase(argument, keyword)) return Status::BadSyntax;
    argument.remove_prefix(keyword.size());
    while (!argument.empty() && argument.front() == ' ') argument.remove_prefix(1);
    if (argument.empty() || argument.front() != '<') return Status::BadSyntax;
    const std::size_t close = argument.find('>');
    if (close == std::string_view::npos) return Status::BadSyntax;
    std::string_view path = argument.substr(1, close - 1);
    std::string_view rest = argument.substr(close + 1);
    if (!rest.empty() && rest.front() != ' ') return Status::BadSyntax;
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    parameters.assign(rest);
    if (path.size() > kMaxPath) return Status::TooLong;
    if (path.empty()) return Status::Ok;  // the null path "<>"
    if (path.front() == '@') {
        const std::size_t colon = path.find(':');
        if (colon == std::string_view::npos) return Status::BadSyntax;
        path.remove_prefix(colon + 1);
    }
    const std::size_t at = path.rfind('@');
    const std::string_view local = at == std::string_view::npos ? path : path.substr(0, at);
    const std::string_view host = at == std::string_view::npos ? std::string_view{} : path.substr(at + 1);
    if (local.size() > kMaxLocalPart || host.size() > kMaxDomain) return Status::TooLong;
    if (!IsLocalPart(local)) return Status::BadSyntax;
    if (at != std::string_view::npos && !IsDomainName(host) && !IsAddressLiteral(host)) return Status::BadSyntax;
    localPart.assign(local);
    domain.assign(host);
    return Status::Ok;
}

bool CSmtpPath::NextParameter(std::string_view& list, std::string& keyword, std::string& value) {
    while (!list.empty() && list.front() == ' ') list.remove_prefix(1);
    if (list.empty()) return false;
    std::size_t space = list.find(' ');
    std::string_view item = list.substr(0, space);
    list.remove_prefix(space == std::string_view::npos ? list.size() : space);
    const std::size_t equals = item.find('=');
    keyword = UpperCase(std::string(item.substr(0, equals)));
    value.assign(equals == std::string_view::npos ? std::string_view{} : item.substr(equals + 1));
    return true;
}
