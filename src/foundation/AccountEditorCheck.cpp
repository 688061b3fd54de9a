// AccountEditorCheck: field checks and the editor's lines.
#include "foundation/AccountEditorCheck.h"

#include "foundation/CMailDatabase.h"
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
    if (!CMailDatabase::IsValidUserName(userName)) return Outcome::BadUserName;
    if (!CMailDatabase::IsValidPassword(password)) return Outcome::BadPassword;
    if (!CMailDatabase::IsValidEmail(email)) return Outcome::BadEmail;
    return Outcome::Ok;
}

AccountEditorCheck::Outcome AccountEditorCheck::CheckAlter(const std::string& userName, const std::string& password,
                                                           const std::string& confirmation) {
    if (userName.empty()) return Outcome::NoUserSelected;
    if (Outcome o = CheckPassword(password, confirmation); o != Outcome::Ok) return o;
    if (!CMailDatabase::IsValidPassword(password)) return Outcome::BadPassword;
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
