// AccountCommand: account add, list, passwd and delete.
#include "app/AccountCommand.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <termios.h>
#include <unistd.h>

#include "app/CommandLine.h"
#include "delivery/CUserRecord.h"
#include "foundation/CMailDatabase.h"
#include "foundation/OdbcStatement.h"
#include "foundation/RegistryDirect.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    err << "usage: velmora account add NAME --password P --email ADDR [--admin]\n"
           "                           [--mailbox-limit KB] [--receive-limit KB] [--send-limit KB]\n"
           "       velmora account list\n"
           "       velmora account passwd NAME [--password P]\n"
           "       velmora account delete NAME [--yes]\n";
    return kUsage;
}

// Options are taken by the sub-command; whatever is left that looks like one
// was not understood.
bool HasUnknownOption(const CommandLine& line) {
    return std::any_of(line.args.begin(), line.args.end(),
                       [](const std::string& a) { return a.size() > 1 && a[0] == '-'; });
}

bool TakeFlag(CommandLine& line, const std::string& name) {
    auto it = std::find(line.args.begin(), line.args.end(), name);
    if (it == line.args.end()) return false;
    line.args.erase(it);
    return true;
}

// A size in kilobytes: decimal, 0 .. 2^31-1.
bool ParseLimit(const std::string& text, long& value) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const long long n = std::atoll(text.c_str());
    if (n > 2147483647LL) return false;
    value = static_cast<long>(n);
    return true;
}

// Turns terminal echo off for its lifetime.
class NoEcho {
public:
    NoEcho() {
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
            active = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
        }
    }
    ~NoEcho() {
        if (active) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    termios saved{};
    bool active = false;
};

std::string ReadLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The password and its confirmation from the input.
void ReadPassword(std::istream& in, std::ostream& out, bool interactive, std::string& password,
                  std::string& confirmation) {
    if (!interactive) {
        password = ReadLine(in);
        confirmation = password;
        return;
    }
    NoEcho quiet;
    out << "Password: " << std::flush;
    password = ReadLine(in);
    out << "\nConfirm Password: " << std::flush;
    confirmation = ReadLine(in);
    out << "\n";
}

// The editor's first checks of a password: present, confirmed, equal.
const char* PasswordProblem(const std::string& password, const std::string& confirmation) {
    if (password.empty()) return "Please enter Password";
    if (confirmation.empty()) return "Please confirm Password";
    if (password != confirmation) return "Entered Passwords do not match";
    if (!CMailDatabase::IsValidPassword(password))
        return "Invalid Password: use printable ASCII characters, at most 74 of them";
    return nullptr;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << message << "\n";
    return kRefused;
}

bool Connect(CMailDatabase& db, std::ostream& err) {
    // Connect, not Open: opening would clear the session locks of a running server.
    if (db.Connect()) return true;
    err << "velmora account: cannot connect to the data source \"Velmora\"\n";
    return false;
}

long AccountIdOf(CMailDatabase& db, const std::string& name) {
    OdbcStatement statement(db.GetConnectionHandle());
    std::uint32_t id = 0;
    if (!statement.ExecDirect(
            StringPrintf("SELECT aAccountId FROM Accounts WHERE aUserName = '%s'", SqlEscape(name).c_str())) ||
        !statement.BindULong(1, id) || !statement.Fetch())
        return -1;
    return static_cast<long>(id);
}

int Add(CommandLine& line, std::istream& in, std::ostream& out, std::ostream& err, bool interactive) {
    std::string password, email, mailboxText, receiveText, sendText;
    const bool hasPassword = line.TakeOption("--password", password);
    line.TakeOption("--email", email);
    const bool admin = TakeFlag(line, "--admin");
    DWORD defaultLimit = 0;
    ReadRegistryDword(settings::kPreferencesKeyPath, "MailSizeLimit", defaultLimit);
    long mailboxLimit = static_cast<long>(std::min<DWORD>(defaultLimit, 2147483647u));
    long receiveLimit = 0, sendLimit = 0;
    if ((line.TakeOption("--mailbox-limit", mailboxText) && !ParseLimit(mailboxText, mailboxLimit)) ||
        (line.TakeOption("--receive-limit", receiveText) && !ParseLimit(receiveText, receiveLimit)) ||
        (line.TakeOption("--send-limit", sendText) && !ParseLimit(sendText, sendLimit))) {
        err << "velmora account: a size limit is a number of kilobytes\n";
        return kUsage;
    }
    if (line.args.size() > 1 || HasUnknownOption(line)) return Usage(err);
    const std::string name = line.args.empty() ? "" : line.args[0];

    if (name.empty()) return Refuse(err, "Please enter UserName");
    std::string confirmation = password;
    if (!hasPassword) ReadPassword(in, out, interactive, password, confirmation);
    if (const char* problem = PasswordProblem(password, confirmation)) return Refuse(err, problem);
    if (email.empty()) return Refuse(err, "Please Enter User's Email Address in Identity");
    if (!CMailDatabase::IsValidUserName(name))
        return Refuse(err,
                      "Invalid UserName: use letters, digits, '.', '_' and '-', starting with a letter or "
                      "digit, at most 64 characters");
    if (!CMailDatabase::IsValidEmail(email)) return Refuse(err, "Invalid Email Address: " + email);

    CMailDatabase db;
    if (!Connect(db, err)) return kRefused;
    const int exists = db.AccountExists(name);
    if (exists > 0) return Refuse(err, "User already exists");
    if (exists < 0 ||
        !db.CreateAccount(name, password, false, admin, email, mailboxLimit, 1, 1, receiveLimit, sendLimit))
        return Refuse(err, "User could not be created");
    out << "User created\n";
    return kDone;
}

int List(CommandLine& line, std::ostream& out, std::ostream& err) {
    if (!line.args.empty()) return Usage(err);
    CMailDatabase db;
    if (!Connect(db, err)) return kRefused;
    OdbcStatement statement(db.GetConnectionHandle());
    if (!statement.ExecDirect("SELECT aAccountId, aUserName, aIsAdmin, EmailId, aMailBox FROM Accounts "
                              "ORDER BY aAccountId")) {
        err << "velmora account: the accounts cannot be read\n";
        return kRefused;
    }
    out << StringPrintf("%-6s %-24s %-6s %-32s %s\n", "ID", "NAME", "ADMIN", "EMAIL", "MAILBOX");
    while (statement.Fetch()) {
        std::string id, name, admin, email, mailbox;
        statement.GetText(1, id);
        statement.GetText(2, name);
        statement.GetText(3, admin);
        statement.GetText(4, email);
        statement.GetText(5, mailbox);
        const bool isAdmin = !admin.empty() && admin != "0";
        out << StringPrintf("%-6s %-24s %-6s %-32s %s\n", id.c_str(), name.c_str(), isAdmin ? "yes" : "no",
                            email.c_str(), mailbox.c_str());
    }
    return kDone;
}

int Passwd(CommandLine& line, std::istream& in, std::ostream& out, std::ostream& err, bool interactive) {
    std::string password;
    const bool hasPassword = line.TakeOption("--password", password);
    if (line.args.size() > 1 || HasUnknownOption(line)) return Usage(err);
    const std::string name = line.args.empty() ? "" : line.args[0];

    if (name.empty()) return Refuse(err, "Please select UserName");
    std::string confirmation = password;
    if (!hasPassword) ReadPassword(in, out, interactive, password, confirmation);
    if (const char* problem = PasswordProblem(password, confirmation)) return Refuse(err, problem);

    CMailDatabase db;
    if (!Connect(db, err)) return kRefused;
    const long id = AccountIdOf(db, name);
    if (id < 0) return Refuse(err, "No such User");
    const CUserRecord record(db.GetConnectionHandle(), id);
    // The same password and the same rights: there is nothing to change.
    if (record.GetPassword() == password) return Refuse(err, "User already exists");

    long allowRead = 1, allowWrite = 1;
    {
        OdbcStatement statement(db.GetConnectionHandle());
        std::uint32_t read = 1, write = 1;
        if (statement.ExecDirect(
                StringPrintf("SELECT aAllowRead,aAllowWrite FROM AccessControl where aAccountId = %ld", id)) &&
            statement.BindULong(1, read) && statement.BindULong(2, write) && statement.Fetch()) {
            allowRead = read ? 1 : 0;
            allowWrite = write ? 1 : 0;
        }
    }
    if (!db.AlterAccount(name, password, false, record.IsAdmin(), record.GetEmailId(),
                         static_cast<long>(record.GetMailboxLimit()), allowRead, allowWrite))
        return Refuse(err, "User could not be altered");
    out << "User altered\n";
    return kDone;
}

int Delete(CommandLine& line, std::istream& in, std::ostream& out, std::ostream& err, bool interactive) {
    const bool confirmed = TakeFlag(line, "--yes");
    if (line.args.size() > 1 || HasUnknownOption(line)) return Usage(err);
    const std::string name = line.args.empty() ? "" : line.args[0];

    if (name.empty()) return Refuse(err, "Please select UserName");
    CMailDatabase db;
    if (!Connect(db, err)) return kRefused;
    if (db.IsOnlyAdministrator(name))
        return Refuse(err, "Selected user is the only administrator and so cannot be deleted");
    if (interactive && !confirmed) {
        out << "Are you sure you want to delete the selected user? [y/N] " << std::flush;
        const std::string answer = ReadLine(in);
        if (answer != "y" && answer != "Y" && answer != "yes" && answer != "Yes") return kRefused;
    }
    const int exists = db.AccountExists(name);
    if (exists == 0) return Refuse(err, "User does not exist");
    if (exists < 0 || !db.DeleteAccount(name)) return Refuse(err, "User could not be deleted");
    out << "User deleted\n";
    return kDone;
}

}  // namespace

int AccountCommand::Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                        bool interactive) {
    if (args.empty()) return Usage(err);
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    const std::string& verb = args[0];

    if (verb == "add") return Add(line, in, out, err, interactive);
    if (verb == "list") return List(line, out, err);
    if (verb == "passwd") return Passwd(line, in, out, err, interactive);
    if (verb == "delete") return Delete(line, in, out, err, interactive);
    return Usage(err);
}
