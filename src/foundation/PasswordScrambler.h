// PasswordScrambler: the reversible form in which account passwords are
// stored in Accounts.aPassword, keyed by the user name and "TORVIKS".
//
// Two characters per position: a carry digit and a character. Scramble
// returns that form as files keep it (Connect.stg).
//
// The character of a position can be any byte, a 0 byte included, which a
// statement text cannot carry and a PostgreSQL text column (UTF-8) refuses.
// ScrambleForColumn, the form the Accounts column holds, is therefore "x:"
// and the bytes in hex for such a form; printable forms stay as they are.
// Unscramble reads both (a plain form starts with its carry digit, never
// with "x:"). A caller placing either in a statement quotes it like any
// other value (SqlText::Quote).
#pragma once

#include <string>
#include <string_view>

class PasswordScrambler {
public:
    // A buffer this size holds any stored form of a name of up to 64 and a
    // password of up to 74 bytes, with its terminating 0.
    static constexpr std::size_t kMaxStoredSize = 320;

    static std::string Scramble(std::string_view userName, std::string_view password);
    static std::string ScrambleForColumn(std::string_view userName, std::string_view password);
    // stored is the column's value, as Scramble made it.
    static std::string Unscramble(std::string_view userName, std::string_view stored);
};
