// CModifiedUtf7: folder names as IMAP carries them (modified UTF-7,
// RFC 3501 5.1.3) and as the store keeps them (UTF-8).
//
// Decode refuses what a client must not send: a shifted run that is empty,
// ends in the middle of a character, carries printable ASCII or a lone
// surrogate, or is not closed; a raw byte above 0x7e or a control
// character. Encode refuses invalid UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ModuleVisibility.h"

class MODULE_LOCAL CModifiedUtf7 {
public:
    static std::optional<std::string> Encode(std::string_view utf8);
    static std::optional<std::string> Decode(std::string_view mutf7);
};
