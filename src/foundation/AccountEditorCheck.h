// AccountEditorCheck: the user editor's checks of its fields, in the
// editor's order, and the editor's own line for every outcome of creating,
// altering and deleting an account ("Please enter UserName", "User created").
// The console shows these lines as they stand; the shell tells the same
// outcomes in its own words, so both decide alike.
#pragma once

#include <cstddef>
#include <string>

class AccountEditorCheck {
public:
    enum class Outcome {
        Ok,
        NoUserName,      // Create with an empty name
        NoUserSelected,  // Alter or Delete with an empty name
        NoPassword,
        NoConfirmation,
        PasswordsDiffer,
        NoEmail,
        BadUserName,  // not usable as a mailbox name
        BadPassword,  // would not fit the stored form
        BadEmail,
        BadLimit,  // a size limit that is no number of kilobytes
        UserExists,
        Created,
        NotCreated,
        NoSuchUser,       // Alter of an unknown name
        NothingToChange,  // Alter with the same password and rights
        Altered,
        NotAltered,
        OnlyAdministrator,        // Delete of the last administrator
        OnlyAdministratorRevoke,  // Alter that would take the last one's rights
        UserDoesNotExist,         // Delete of an unknown name
        Deleted,
        NotDeleted,
    };

    // Create's checks 1 to 5 and this system's checks of the name, password
    // and address; Ok when all pass.
    static Outcome CheckCreate(const std::string& userName, const std::string& password,
                               const std::string& confirmation, const std::string& email);
    // Alter's first checks: a name, then the password and its confirmation.
    static Outcome CheckAlter(const std::string& userName, const std::string& password,
                              const std::string& confirmation);
    // A size limit in kilobytes: decimal digits only, 0 to 2^31-1; value
    // set when Ok.
    static Outcome CheckLimit(const std::string& text, long& value);
    // The editor's line for an outcome.
    static const char* EditorMessage(Outcome outcome);

    // Names that work as a mailbox name and as the local part of an address:
    // ASCII letters, digits, '.', '_' and '-', starting with a letter or
    // digit, at most kMaxUserName characters.
    static constexpr std::size_t kMaxUserName = 64;
    static bool IsValidUserName(const std::string& userName);
    // No control characters, at most kMaxPassword bytes: longer ones would
    // not fit the stored scrambled form (two characters per position).
    static constexpr std::size_t kMaxPassword = 74;
    static bool IsValidPassword(const std::string& password);
    // One address: "local@domain" without blanks or control characters,
    // alone or after a display name in angle brackets ("Bob <bob@example.net>"),
    // the form the outbound queue and the auto-responder reduce to its address.
    static constexpr std::size_t kMaxEmail = 320;
    static bool IsValidEmail(const std::string& email);
};
