// PasswordScrambler: the reversible form in which account passwords are
// stored in Accounts.aPassword, keyed by the user name and "TORVIKS".
//
// Two characters per position: a carry digit and a character. Scramble
// doubles an apostrophe in its output, so the result goes between single
// quotes in SQL text as it is (it has passed the same doubling as every
// other quoted value) and is stored with a single apostrophe.
#pragma once

#include <string>
#include <string_view>

class PasswordScrambler {
public:
    static std::string Scramble(std::string_view userName, std::string_view password);
    // stored is the column's value (single apostrophes).
    static std::string Unscramble(std::string_view userName, std::string_view stored);
};
