// CSmtpAuthentication: the SASL pieces of SMTP AUTH (RFC 4954) that the
// session needs, apart from the exchange itself: the mechanism names, the
// strict base64 of every client response, PLAIN's three fields (RFC 4616),
// LOGIN's user name and password lines, and CRAM-MD5's challenge and
// response (RFC 2195), whose digest is compared in constant time.
//
// A response that is not exactly base64, or decodes to something a user
// name or password cannot hold (a NUL, a line break, too long), is refused
// here, so what reaches the account look-up is always one plain name and
// one password. Nothing here logs or keeps a password.
#pragma once

#include <string>
#include <string_view>

#include "ModuleVisibility.h"

class MODULE_LOCAL CSmtpAuthentication {
public:
    enum class Mechanism { Plain, Login, CramMd5, Unknown };

    // Longest user name and password taken from a client.
    static constexpr std::size_t kMaxName = 256;
    static constexpr std::size_t kMaxPassword = 256;

    static Mechanism ParseMechanism(std::string_view name);
    // Splits an AUTH argument: the mechanism and the initial response (may be empty).
    static void SplitArgument(std::string_view argument, std::string& mechanism, std::string& initial);
    // "*": the client cancels the exchange (RFC 4954 4).
    static bool IsCancel(std::string_view response) { return response == "*"; }

    // The decoded bytes of strict base64 (RFC 4648 alphabet, padded, no
    // blanks); false when the text is not that.
    static bool DecodeBase64(std::string_view text, std::string& bytes);
    // PLAIN: "authzid NUL authcid NUL password"; an authorisation identity
    // other than the user's own is refused.
    static bool DecodePlain(std::string_view response, std::string& user, std::string& password);
    // LOGIN: one base64 line holding a name or a password.
    static bool DecodeLoginLine(std::string_view response, std::string& text, std::size_t limit);

    // A fresh CRAM-MD5 challenge "<random.time@host>" (not base64 yet).
    static std::string Challenge(const std::string& hostName);
    // CRAM-MD5 response "user SP 32 lower-case hex digits".
    static bool DecodeCramResponse(std::string_view response, std::string& user, std::string& digest);
    // Whether digest is HMAC-MD5(challenge) keyed with password.
    static bool CramMatches(const std::string& challenge, const std::string& password, const std::string& digest);

private:
    // No NUL, CR or LF, at most limit bytes, not empty.
    static bool IsPlainText(std::string_view text, std::size_t limit);
};
