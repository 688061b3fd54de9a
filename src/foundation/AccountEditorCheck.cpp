// AccountEditorCheck: field checks and the editor's lines.
#include "foundation/AccountEditorCheck.h"

#include <algorithm>
#include <cctype>

#include "platform/DecimalDigits.h"

namespace {

AccountEditorCheck::Outcome CheckPassword(const std::string& password, const std::string& confirmation) {
    using Outcome = AccountEditorCheck::Outcome;
    if (password.empty()) return Outcome::NoPassword;
    if (confirmation.empty()) return Outcome::NoConfirmation;
    if (password != confirmation) return Outcome::PasswordsDiffer;
    return Outcome::Ok;
}

}  // namespace

AccountEditorCheck::Outcome AccountEditorCheck::CheckCreate(const std::string& userName, const std::string& password,
                                                            const std::string& confirmation, const std::string& email) {
    if (userName.empty()) return Outcome::NoUserName;
    if (Outcome o = CheckPassword(password, confirmation); o != Outcome::Ok) return o;
    if (email.empty()) return Outcome::NoEmail;
    if (!IsValidUserName(userName)) return Outcome::BadUserName;
    if (!IsValidPassword(password)) return Outcome::BadPassword;
    if (!IsValidEmail(email)) return Outcome::BadEmail;
    return Outcome::Ok;
}

AccountEditorCheck::Outcome AccountEditorCheck::CheckAlter(const std::string& userName, const std::string& password,
                                                           const std::string& confirmation) {
    if (userName.empty()) return Outcome::NoUserSelected;
    if (Outcome o = CheckPassword(password, confirmation); o != Outcome::Ok) return o;
    if (!IsValidPassword(password)) return Outcome::BadPassword;
    return Outcome::Ok;
}

AccountEditorCheck::Outcome AccountEditorCheck::CheckLimit(const std::string& text, long& value) {
    unsigned long long n = 0;
    if (!ParseDecimalDigits(text, 10, n) || n > 2147483647ULL) return Outcome::BadLimit;
    value = static_cast<long>(n);
    return Outcome::Ok;
}

const char* AccountEditorCheck::EditorMessage(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return "";
        case Outcome::NoUserName:
            return "Please enter UserName";
        case Outcome::NoUserSelected:
            return "Please select UserName";
        case Outcome::NoPassword:
            return "Please enter Password";
        case Outcome::NoConfirmation:
            return "Please confirm Password";
        case Outcome::PasswordsDiffer:
            return "Entered Passwords do not match";
        case Outcome::NoEmail:
            return "Please Enter User's Email Address in Identity";
        case Outcome::BadUserName:
            return "Invalid UserName: use letters, digits, '.', '_' and '-', starting with a letter or digit, at "
                   "most 64 characters";
        case Outcome::BadPassword:
            return "Invalid Password: use at most 74 bytes and no control characters";
        case Outcome::BadEmail:
            return "Invalid Email Address";
        case Outcome::BadLimit:
            return "The size limits are numbers of kilobytes, 0 to 2147483647";
        case Outcome::UserExists:
        case Outcome::NothingToChange:
            return "User already exists";
        case Outcome::Created:
            return "User created";
        case Outcome::NotCreated:
            return "User could not be created";
        case Outcome::NoSuchUser:
            return "No such User";
        case Outcome::Altered:
            return "User altered";
        case Outcome::NotAltered:
            return "User could not be altered";
        case Outcome::OnlyAdministrator:
            return "Selected user is the only administrator and so cannot be deleted";
        case Outcome::OnlyAdministratorRevoke:
            return "Selected user is the only administrator and so cannot revoke admin privelege";
        case Outcome::UserDoesNotExist:
            return "User does not exist";
        case Outcome::Deleted:
            return "User deleted";
        case Outcome::NotDeleted:
            return "User could not be deleted";
    }
    return "";
}

bool AccountEditorCheck::IsValidUserName(const std::string& userName) {
    if (userName.empty() || userName.size() > kMaxUserName || !std::isalnum(static_cast<unsigned char>(userName[0])))
        return false;
    for (char c : userName) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || !(std::isalnum(u) || c == '.' || c == '_' || c == '-')) return false;
    }
    return true;
}

bool AccountEditorCheck::IsValidPassword(const std::string& password) {
    if (password.empty() || password.size() > kMaxPassword) return false;
    // Any text but control characters: the stored form keeps every byte.
    for (char c : password)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

bool AccountEditorCheck::IsValidEmail(const std::string& email) {
    if (email.empty() || email.size() > kMaxEmail) return false;
    std::string address = email;
    const std::size_t open = email.find('<');
    if (open != std::string::npos) {
        // "Display Name <address>": the name is plain text, the address one bracketed address.
        if (email.back() != '>' || email.find('>') != email.size() - 1 ||
            email.find('<', open + 1) != std::string::npos)
            return false;
        for (std::size_t i = 0; i < open; ++i) {
            const auto u = static_cast<unsigned char>(email[i]);
            if (u < 0x20 || u == 0x7F) return false;
        }
        address = email.substr(open + 1, email.size() - open - 2);
    }
    const std::size_t at = address.find('@');
    if (at == 0 || at == std::string::npos || at + 1 == address.size()) return false;
    for (char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '<' || c == '>' || c == ',' || c == ';') return false;
    }
    return true;
}
