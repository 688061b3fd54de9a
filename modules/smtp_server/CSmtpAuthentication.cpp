// CSmtpAuthentication: SMTP AUTH parsing and checks.
#include "CSmtpAuthentication.h"

#include <chrono>
#include <random>

#include "message/CBase64Decoder.h"
#include "message/Md5.h"
#include "platform/Text.h"

CSmtpAuthentication::Mechanism CSmtpAuthentication::ParseMechanism(std::string_view name) {
    if (EqualsNoCase(name, "PLAIN")) return Mechanism::Plain;
    if (EqualsNoCase(name, "LOGIN")) return Mechanism::Login;
    if (EqualsNoCase(name, "CRAM-MD5")) return Mechanism::CramMd5;
    return Mechanism::Unknown;
}

void CSmtpAuthentication::SplitArgument(std::string_view argument, std::string& mechanism, std::string& initial) {
    const std::size_t space = argument.find(' ');
    mechanism.assign(argument.substr(0, space));
    initial.clear();
    if (space != std::string_view::npos) initial.assign(argument.substr(space + 1));
}

bool CSmtpAuthentication::IsPlainText(std::string_view text, std::size_t limit) {
    return !text.empty() && text.size() <= limit &&
           text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

bool CSmtpAuthentication::DecodeBase64(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            // Padding only in the last two places of the last group.
            if (i + 2 < text.size()) return false;
            ++padding;
            continue;
        }
        if (padding > 0) return false;
        const bool alphabet =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!alphabet) return false;
    }
    bytes = CBase64Decoder().Decode(text);
    return true;
}

bool CSmtpAuthentication::DecodePlain(std::string_view response, std::string& user, std::string& password) {
    user.clear();
    password.clear();
    std::string bytes;
    if (!DecodeBase64(response, bytes)) return false;
    const std::size_t first = bytes.find('\0');
    if (first == std::string::npos) return false;
    const std::size_t second = bytes.find('\0', first + 1);
    if (second == std::string::npos) return false;
    const std::string_view all(bytes);
    const std::string_view identity = all.substr(0, first);
    const std::string_view name = all.substr(first + 1, second - first - 1);
    const std::string_view secret = all.substr(second + 1);
    if (!IsPlainText(name, kMaxName) || !IsPlainText(secret, kMaxPassword)) return false;
    if (!identity.empty() && identity != name) return false;
    user.assign(name);
    password.assign(secret);
    return true;
}

bool CSmtpAuthentication::DecodeLoginLine(std::string_view response, std::string& text, std::size_t limit) {
    if (!DecodeBase64(response, text) || !IsPlainText(text, limit)) {
        text.clear();
        return false;
    }
    return true;
}

std::string CSmtpAuthentication::Challenge(const std::string& hostName) {
    std::random_device device;
    std::uniform_int_distribution<unsigned long long> pick;
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    return "<" + std::to_string(pick(device)) + "." + std::to_string(now) + "@" + hostName + ">";
}

bool CSmtpAuthentication::DecodeCramResponse(std::string_view response, std::string& user, std::string& digest) {
    user.clear();
    digest.clear();
    std::string bytes;
    if (!DecodeBase64(response, bytes)) return false;
    const std::size_t space = bytes.rfind(' ');
    if (space == std::string::npos || bytes.size() - space - 1 != 2 * kMd5DigestLength) return false;
    const std::string_view all(bytes);
    const std::string_view name = all.substr(0, space);
    const std::string_view hex = all.substr(space + 1);
    if (!IsPlainText(name, kMaxName) || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return false;
    user.assign(name);
    digest = FoldCase(std::string(hex));
    return true;
}

bool CSmtpAuthentication::CramMatches(const std::string& challenge, const std::string& password,
                                      const std::string& digest) {
    unsigned char expected[kMd5DigestLength];
    HmacMd5(challenge.data(), challenge.size(), password.data(), password.size(), expected);
    const std::string hex = DigestToHex(expected);
    if (digest.size() != hex.size()) return false;
    // Every byte is compared, so the time taken tells nothing about the digest.
    unsigned char difference = 0;
    for (std::size_t i = 0; i < hex.size(); ++i) difference |= static_cast<unsigned char>(hex[i] ^ digest[i]);
    return difference == 0;
}
