// AccountCommand: account add, set, list, passwd and delete; autoresponse
// and forward are handed to their own commands.
#include "app/AccountCommand.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "app/AutoResponseCommand.h"
#include "app/CommandLine.h"
#include "app/ForwardCommand.h"
#include "app/CommandSupport.h"
#include "app/NetwareCommand.h"
#include "store/CUserRecord.h"
#include "foundation/AccountEditorCheck.h"
#include "foundation/CAccountList.h"
#include "foundation/CAccountRows.h"
#include "foundation/CMailDatabase.h"
#include "foundation/DataSource.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "platform/Home.h"
#include "platform/Text.h"

namespace {

using Outcome = AccountEditorCheck::Outcome;

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    AccountCommand::PrintUsage(err);
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

bool ParseLimit(const std::string& text, long& value) {
    return AccountEditorCheck::CheckLimit(text, value) == Outcome::Ok;
}

// The size-limit options add and set share; a limit not given keeps the
// value passed in. False (with the line written) on one that is no size.
bool TakeLimits(CommandLine& line, long& mailboxLimit, long& receiveLimit, long& sendLimit, std::ostream& err) {
    std::string mailboxText, receiveText, sendText;
    if ((line.TakeOption("--mailbox-limit", mailboxText) && !ParseLimit(mailboxText, mailboxLimit)) ||
        (line.TakeOption("--receive-limit", receiveText) && !ParseLimit(receiveText, receiveLimit)) ||
        (line.TakeOption("--send-limit", sendText) && !ParseLimit(sendText, sendLimit))) {
        err << "velmora account: a size limit is a number of kilobytes\n";
        return false;
    }
    return true;
}

// The password and its confirmation from the input.
void ReadPassword(std::istream& in, std::ostream& out, bool interactive, std::string& password,
                  std::string& confirmation) {
    password = CommandSupport::ReadSecret("Password: ", in, out, interactive);
    confirmation = interactive ? CommandSupport::ReadSecret("Confirm Password: ", in, out, true) : password;
}

// The shell's sentence for an editor outcome; the editor's own lines are
// written for its dialog (fields, pages, a list) and do not fit a command.
std::string ShellText(Outcome outcome, const std::string& verb, const std::string& name, const std::string& email) {
    switch (outcome) {
        case Outcome::NoUserName:
        case Outcome::NoUserSelected:
            return "the account's name is missing: velmora account " + verb + " NAME";
        case Outcome::NoPassword:
            return "the password is empty: give one with --password P or on standard input";
        case Outcome::NoConfirmation:
            return "the password was not typed a second time; nothing was changed";
        case Outcome::PasswordsDiffer:
            return "the two passwords typed differ; nothing was changed";
        case Outcome::NoEmail:
            return "an e-mail address is needed: add --email ADDR, the account's own address (such as " +
                   (name.empty() ? std::string("bob") : name) + "@example.org)";
        case Outcome::BadUserName:
            return "\"" + name +
                   "\" cannot be an account name: use letters, digits, '.', '_' and '-', starting with a letter "
                   "or digit, at most 64 characters";
        case Outcome::BadPassword:
            return "the password must be 1 to 74 bytes without control characters (no tabs or line breaks)";
        case Outcome::BadEmail:
            return "\"" + email + "\" is not an e-mail address: write user@domain or \"Name <user@domain>\"";
        case Outcome::UserExists:
            return "an account named " + name + " exists already";
        case Outcome::NoSuchUser:
        case Outcome::UserDoesNotExist:
            return "there is no account named " + name + " (velmora account list shows them)";
        case Outcome::NothingToChange:
            return verb == "set" ? "the account " + name + " has these values already; nothing was changed"
                                 : "the new password is the same as the current one; nothing was changed";
        case Outcome::OnlyAdministratorRevoke:
            return EqualsNoCase(name, "postmaster")
                       ? "the postmaster account stays an administrator: every notice the server sends comes from it"
                       : name +
                             " is the only administrator and keeps its rights; make another account an "
                             "administrator first";
        case Outcome::OnlyAdministrator:
            return EqualsNoCase(name, "postmaster")
                       ? "the postmaster account cannot be deleted: every notice the server sends comes from it"
                       : name +
                             " is the only administrator and cannot be deleted; make another account an "
                             "administrator first";
        default:
            return AccountEditorCheck::EditorMessage(outcome);
    }
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora account: " << message << "\n";
    return kRefused;
}

// Why a change to the accounts cannot go on, or empty: a settings file that
// does not parse, or a mail store that cannot take the account's folders.
std::string StoreProblem() {
    const std::string settings = CommandSupport::SettingsProblem();
    if (!settings.empty()) return "the settings file cannot be read: " + settings;
    const std::string root = CommandSupport::MailDirectory();
    if (root.empty())
        return "the setting Storage\\Mail Directory is not set; `" + CommandSupport::SetupHint(Home::Dir()) +
               "` sets it";
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return "the mail store " + root + " does not exist; `" + CommandSupport::SetupHint(Home::Dir()) + "` makes it";
    if (::access(root.c_str(), W_OK | X_OK) != 0) return "the mail store " + root + " is not writable";
    return "";
}

// The cause of a database change that did not happen, for the end of a sentence.
std::string DatabaseCause() {
    const std::string why = DataSource::Diagnose(Home::Dir());
    return why.empty() ? "the database did not take the change (is its disk full or the file read-only?)" : why;
}

// The account's mail directory, from its Accounts row.
std::string MailboxPath(CMailDatabase& db, const std::string& name) {
    const std::optional<std::string> mailbox = CAccountRows::MailBoxOf(db.GetConnectionHandle(), name);
    if (!mailbox || mailbox->empty()) return "";
    return CommandSupport::MailDirectory() + "/" + *mailbox;
}

int Add(CommandLine& line, std::istream& in, std::ostream& out, std::ostream& err, bool interactive) {
    std::string password, email;
    const bool hasPassword = line.TakeOption("--password", password);
    line.TakeOption("--email", email);
    const bool admin = TakeFlag(line, "--admin");
    const DWORD defaultLimit = settings::Dword{settings::kPreferences, "MailSizeLimit"}.Value();
    long mailboxLimit = static_cast<long>(std::min<DWORD>(defaultLimit, 2147483647u));
    long receiveLimit = 0, sendLimit = 0;
    if (!TakeLimits(line, mailboxLimit, receiveLimit, sendLimit, err)) return kUsage;
    if (line.args.size() > 1 || HasUnknownOption(line)) return Usage(err);
    const std::string name = line.args.empty() ? "" : line.args[0];

    if (name.empty()) return Refuse(err, ShellText(Outcome::NoUserName, "add", name, email));
    std::string confirmation = password;
    if (!hasPassword) ReadPassword(in, out, interactive, password, confirmation);
    const Outcome check = AccountEditorCheck::CheckCreate(name, password, confirmation, email);
    if (check != Outcome::Ok) return Refuse(err, ShellText(check, "add", name, email));
    if (const std::string problem = StoreProblem(); !problem.empty())
        return Refuse(err, "the account " + name + " was not created: " + problem);

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "account", err)) return kRefused;
    const CAccountRows::Presence exists = CAccountRows::AccountExists(db.GetConnectionHandle(), name);
    if (exists == CAccountRows::Presence::Present)
        return Refuse(err, ShellText(Outcome::UserExists, "add", name, email));
    // Mail for an address two accounts claim reaches only the older one.
    const bool claimed = exists == CAccountRows::Presence::Absent && !CAccountRows::AccountsWithAddress(db.GetConnectionHandle(), email).empty();
    if (exists == CAccountRows::Presence::Unknown ||
        !db.CreateAccount(name, password, false, admin, email, mailboxLimit, 1, 1, receiveLimit, sendLimit))
        return Refuse(err, "the account " + name + " was not created: " + DatabaseCause());
    if (claimed)
        err << "velmora account: warning: another account already has the address " << CAccountRows::BareAddress(email)
            << "; mail to it keeps going to that account\n";
    out << "Account " << name << " created" << (admin ? " (administrator)" : "") << "; its mail is kept in "
        << MailboxPath(db, name) << "\n";
    return kDone;
}

// The user editor's Alter for the fields a command can name: the address,
// the administrator's right and the limits; the password stays as it is.
int Set(CommandLine& line, std::ostream& out, std::ostream& err) {
    std::string email, adminText;
    const bool hasEmail = line.TakeOption("--email", email);
    const bool hasAdmin = line.TakeOption("--admin", adminText);
    if (hasAdmin && adminText != "on" && adminText != "off") return Usage(err);
    constexpr long kUnset = -1;
    long mailboxLimit = kUnset, receiveLimit = kUnset, sendLimit = kUnset;
    if (!TakeLimits(line, mailboxLimit, receiveLimit, sendLimit, err)) return kUsage;
    const bool hasLimit = mailboxLimit != kUnset || receiveLimit != kUnset || sendLimit != kUnset;
    if (line.args.size() > 1 || HasUnknownOption(line) || (!line.args.empty() && !hasEmail && !hasAdmin && !hasLimit))
        return Usage(err);
    const std::string name = line.args.empty() ? "" : line.args[0];
    if (name.empty()) return Refuse(err, ShellText(Outcome::NoUserSelected, "set", name, email));

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "account", err)) return kRefused;
    const std::optional<long> accountId = CAccountRows::AccountIdByName(db.GetConnectionHandle(), name);
    if (!accountId) return Refuse(err, ShellText(Outcome::NoSuchUser, "set", name, email));
    const CUserRecord record(db.GetConnectionHandle(), *accountId);
    const auto clamp = [](std::uint32_t v) { return static_cast<long>(std::min<std::uint32_t>(v, 2147483647u)); };
    const std::string oldEmail = record.GetEmailId();
    const long oldMailbox = clamp(record.GetMailboxLimit()), oldReceive = clamp(record.GetRecvmailLimit()),
               oldSend = clamp(record.GetSendMailLimit());
    if (!hasEmail) email = oldEmail;
    if (mailboxLimit == kUnset) mailboxLimit = oldMailbox;
    if (receiveLimit == kUnset) receiveLimit = oldReceive;
    if (sendLimit == kUnset) sendLimit = oldSend;
    // The editor's order: the address, then the last administrator's rights.
    if (email.empty()) return Refuse(err, ShellText(Outcome::NoEmail, "set", name, email));
    if (!AccountEditorCheck::IsValidEmail(email)) return Refuse(err, ShellText(Outcome::BadEmail, "set", name, email));
    const bool makeAdmin = hasAdmin ? adminText == "on" : record.IsAdmin();
    if (!makeAdmin && CAccountRows::IsOnlyAdministrator(db.GetConnectionHandle(), name))
        return Refuse(err, ShellText(Outcome::OnlyAdministratorRevoke, "set", name, email));
    if (email == oldEmail && makeAdmin == record.IsAdmin() && mailboxLimit == oldMailbox &&
        receiveLimit == oldReceive && sendLimit == oldSend)
        return Refuse(err, ShellText(Outcome::NothingToChange, "set", name, email));

    long allowRead = 1, allowWrite = 1;
    CAccountRows::ReadAccessRights(db.GetConnectionHandle(), *accountId, allowRead, allowWrite);
    if (!db.AlterAccountWithLimits(name, record.GetPassword(), false, makeAdmin, email, mailboxLimit, allowRead,
                                   allowWrite, receiveLimit, sendLimit))
        return Refuse(err, "the account " + name + " was not changed: " + DatabaseCause());
    out << "Account " << name << " changed: " << email << (makeAdmin ? ", administrator" : "")
        << StringPrintf(", limits %ld/%ld/%ld KB (mailbox/receive/send)\n", mailboxLimit, receiveLimit, sendLimit);
    return kDone;
}

int List(CommandLine& line, std::ostream& out, std::ostream& err) {
    if (!line.args.empty()) return Usage(err);
    CMailDatabase db;
    if (!CommandSupport::Connect(db, "account", err)) return kRefused;
    std::vector<CAccountList::Entry> accounts;
    if (!CAccountList::List(db.GetConnectionHandle(), accounts)) {
        err << "velmora account: the accounts cannot be read\n";
        return kRefused;
    }
    out << StringPrintf("%-6s %-24s %-6s %-6s %-32s %s\n", "ID", "NAME", "ADMIN", "READ", "EMAIL", "MAILBOX");
    for (const CAccountList::Entry& a : accounts) {
        // An account without its rights row may not read (POP3 refuses it).
        const char* read = "?";
        switch (CAccountRows::ReadRightOf(db.GetConnectionHandle(), a.accountId)) {
            case CAccountRows::ReadRight::Allowed: read = "yes"; break;
            case CAccountRows::ReadRight::Denied: read = "no"; break;
            case CAccountRows::ReadRight::NoRow: read = "no-row"; break;
            case CAccountRows::ReadRight::Unreadable: break;
        }
        out << StringPrintf("%-6ld %-24s %-6s %-6s %-32s %s\n", a.accountId, a.userName.c_str(),
                            a.isAdmin ? "yes" : "no", read, a.emailId.c_str(), a.mailBox.c_str());
    }
    return kDone;
}

int Passwd(CommandLine& line, std::istream& in, std::ostream& out, std::ostream& err, bool interactive) {
    std::string password;
    const bool hasPassword = line.TakeOption("--password", password);
    if (line.args.size() > 1 || HasUnknownOption(line)) return Usage(err);
    const std::string name = line.args.empty() ? "" : line.args[0];

    std::string confirmation = password;
    if (!name.empty() && !hasPassword) ReadPassword(in, out, interactive, password, confirmation);
    const Outcome check = AccountEditorCheck::CheckAlter(name, password, confirmation);
    if (check != Outcome::Ok) return Refuse(err, ShellText(check, "passwd", name, ""));

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "account", err)) return kRefused;
    const std::optional<long> accountId = CAccountRows::AccountIdByName(db.GetConnectionHandle(), name);
    if (!accountId) return Refuse(err, ShellText(Outcome::NoSuchUser, "passwd", name, ""));
    const long id = *accountId;
    const CUserRecord record(db.GetConnectionHandle(), id);
    // The same password and the same rights: there is nothing to change.
    if (record.GetPassword() == password) return Refuse(err, ShellText(Outcome::NothingToChange, "passwd", name, ""));

    long allowRead = 1, allowWrite = 1;
    CAccountRows::ReadAccessRights(db.GetConnectionHandle(), id, allowRead, allowWrite);
    if (!db.AlterAccount(name, password, false, record.IsAdmin(), record.GetEmailId(),
                         static_cast<long>(record.GetMailboxLimit()), allowRead, allowWrite))
        return Refuse(err, "the password of " + name + " was not changed: " + DatabaseCause());
    out << "Password of " << name << " changed\n";
    return kDone;
}

int Delete(CommandLine& line, std::istream& in, std::ostream& out, std::ostream& err, bool interactive) {
    const bool confirmed = TakeFlag(line, "--yes");
    if (line.args.size() > 1 || HasUnknownOption(line)) return Usage(err);
    const std::string name = line.args.empty() ? "" : line.args[0];

    if (name.empty()) return Refuse(err, ShellText(Outcome::NoUserSelected, "delete", name, ""));
    CMailDatabase db;
    if (!CommandSupport::Connect(db, "account", err)) return kRefused;
    if (CAccountRows::IsOnlyAdministrator(db.GetConnectionHandle(), name)) return Refuse(err, ShellText(Outcome::OnlyAdministrator, "delete", name, ""));
    const CAccountRows::Presence exists = CAccountRows::AccountExists(db.GetConnectionHandle(), name);
    if (exists == CAccountRows::Presence::Absent)
        return Refuse(err, ShellText(Outcome::UserDoesNotExist, "delete", name, ""));
    if (exists == CAccountRows::Presence::Unknown)
        return Refuse(err, "the account " + name + " was not deleted: " + DatabaseCause());
    const std::string mailbox = MailboxPath(db, name);
    const std::string kept = mailbox.empty() ? "" : "; its mail stays in " + mailbox;
    if (!confirmed) {
        const CommandSupport::Answer answer = CommandSupport::Confirm(
            "Delete the account " + name + "?" + (mailbox.empty() ? "" : " Its mail stays in " + mailbox + "."), in,
            out, interactive);
        if (answer == CommandSupport::Answer::NotATerminal)
            return Refuse(err, "the account " + name +
                                   " was not deleted: standard input is not a terminal, so nothing can be "
                                   "confirmed; repeat with --yes to delete it");
        if (answer == CommandSupport::Answer::No) return Refuse(err, "nothing was deleted");
    }
    if (!db.DeleteAccount(name)) return Refuse(err, "the account " + name + " was not deleted: " + DatabaseCause());
    out << "Account " << name << " deleted" << kept << (kept.empty() ? "" : " (remove it to free the space)") << "\n";
    return kDone;
}

}  // namespace

void AccountCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora account add NAME --email ADDR [--password P] [--admin]\n"
           "                           [--mailbox-limit KB] [--receive-limit KB] [--send-limit KB]\n"
           "       velmora account set NAME [--email ADDR] [--admin on|off]\n"
           "                           [--mailbox-limit KB] [--receive-limit KB] [--send-limit KB]\n"
           "       velmora account list\n"
           "       velmora account passwd NAME [--password P]\n"
           "       velmora account delete NAME [--yes]\n"
           "       velmora account netware NAME [--dir DIR --address ADDR [--leave-copy] | --off]\n"
           "Without --password the password is read from standard input (twice, unechoed, on a terminal).\n"
           "ADDR is the account's own address: user@domain or \"Name <user@domain>\".\n"
           "A delete asks first on a terminal and needs --yes anywhere else; the account's mail stays on disk.\n";
    AutoResponseCommand::PrintUsage(out);
    ForwardCommand::PrintUsage(out);
}

int AccountCommand::Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                        bool interactive) {
    if (args.empty()) return Usage(err);
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    const std::string& verb = args[0];

    if (verb == "add") return Add(line, in, out, err, interactive);
    if (verb == "set") return Set(line, out, err);
    if (verb == "list") return List(line, out, err);
    if (verb == "passwd") return Passwd(line, in, out, err, interactive);
    if (verb == "delete") return Delete(line, in, out, err, interactive);
    if (verb == "autoresponse") return AutoResponseCommand::Run(line.args, out, err);
    if (verb == "forward") return ForwardCommand::Run(line.args, out, err);
    if (verb == "netware") return NetwareCommand::Run(line.args, out, err);
    return Usage(err);
}
