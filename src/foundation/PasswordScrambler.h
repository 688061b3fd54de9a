// PasswordScrambler: the reversible form in which account passwords are
// stored in Accounts.aPassword, keyed by the user name and "TORVIKS".
//
// Two characters per position: a carry digit and a character. Scramble
// returns the text as it is stored; a caller placing it in a statement
// quotes it like any other value (SqlText::Quote).
#pragma once

#include <string>
#include <string_view>

class PasswordScrambler {
public:
    static std::string Scramble(std::string_view userName, std::string_view password);
    // stored is the column's value, as Scramble made it.
    static std::string Unscramble(std::string_view userName, std::string_view stored);
};
