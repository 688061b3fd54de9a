// ConnectionCommand: connection show, set, connect and hangup.
#include "app/ConnectionCommand.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "cycle/CConnectionSettings.h"
#include "cycle/CDialConnection.h"
#include "cycle/CPhoneBook.h"
#include "foundation/ConnectionSettingsCheck.h"
#include "platform/CommandProcess.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

using Check = ConnectionSettingsCheck;

int Usage(std::ostream& err) {
    ConnectionCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora connection: " << message << "\n";
    return kRefused;
}

// The phone book, with what it could not read said on err.
CPhoneBook LoadPhoneBook(std::ostream& err, bool& found) {
    CPhoneBook book;
    found = book.Load();
    for (const std::string& problem : book.Problems()) err << CPhoneBook::DefaultPath() << ": " << problem << "\n";
    return book;
}

void Show(const CConnectionSettings& settings, const CPhoneBook& book, bool bookFound, std::ostream& out) {
    out << "I am using: " << (settings.IsDialUp() ? "Dial-up Connection" : "LAN/DSL/Cable (the link is always there)")
        << "\n";
    out << "Connection Name: " << (settings.entryName.empty() ? "(the first phone-book entry)" : settings.entryName)
        << "\n";
    out << "No. Of Retries: " << settings.retries << "\n";
    out << "User Name: " << settings.userName << "\n";
    out << "Password: " << (settings.password.empty() ? "(none)" : "***") << "\n";
    out << "Interval: " << (settings.interval.empty() ? "(none)" : settings.interval + " s") << "\n";
    if (!bookFound) {
        out << "Phone book: " << CPhoneBook::DefaultPath() << " is missing\n";
        return;
    }
    const CPhoneBook::Entry* selected = book.Select(settings.entryName);
    out << "Phone book: " << CPhoneBook::DefaultPath() << "\n";
    for (const CPhoneBook::Entry& entry : book.Entries())
        out << (&entry == selected ? "* " : "  ") << entry.name << (entry.status.empty() ? " (no status command)" : "")
            << "\n";
}

bool Printable(const std::string& text) {
    return Check::CheckText(text) == Check::Outcome::Ok;
}

int Set(CommandLine& line, std::istream& in, std::ostream& out, std::ostream& err, bool interactive) {
    std::string method, entry, user, password, retries, interval;
    const bool hasMethod = line.TakeOption("--method", method);
    const bool hasEntry = line.TakeOption("--entry", entry);
    const bool hasUser = line.TakeOption("--user", user);
    const bool hasPassword = line.TakeOption("--password", password);
    const bool hasRetries = line.TakeOption("--retries", retries);
    const bool hasInterval = line.TakeOption("--interval", interval);
    if (!line.args.empty() || !(hasMethod || hasEntry || hasUser || hasPassword || hasRetries || hasInterval))
        return Usage(err);

    CConnectionSettings settings;
    settings.Load();
    if (hasMethod) {
        if (EqualsNoCase(method, "ras") || EqualsNoCase(method, "dialup"))
            settings.method = CConnectionSettings::kDialUp;
        else if (EqualsNoCase(method, "lan"))
            settings.method = CConnectionSettings::kLan;
        else
            return Refuse(err, "\"" + method + "\" is no connection method: ras (dial-up) or lan");
    }
    if (hasEntry) {
        if (!Printable(entry)) return Refuse(err, "the connection name is too long or holds control characters");
        settings.entryName = entry;
    }
    if (hasUser) {
        if (!Printable(user)) return Refuse(err, "the user name is too long or holds control characters");
        settings.userName = user;
    }
    if (hasPassword) {
        if (password == "-") password = CommandSupport::ReadSecret("Dial-up password: ", in, out, interactive);
        if (!Printable(password)) return Refuse(err, "the password is too long or holds control characters");
        settings.password = password;
    }
    if (hasRetries && Check::CheckRetries(retries, settings.retries) != Check::Outcome::Ok)
        return Refuse(err, "\"" + retries + "\" is no number of retries from 1 to 100");
    if (hasInterval) {
        const std::string seconds(Trim(interval));
        if (Check::CheckInterval(seconds) != Check::Outcome::Ok)
            return Refuse(err, "\"" + interval + "\" is no number of seconds (at most 99999)");
        settings.interval = seconds;
    }
    if (!settings.Save())
        return Refuse(err, CConnectionSettings::DefaultPath() + " cannot be written: " + std::strerror(errno));
    out << "Connection settings updated\n";
    bool found = false;
    const CPhoneBook book = LoadPhoneBook(err, found);
    Show(settings, book, found, out);
    return kDone;
}

int Connect(std::ostream& out, std::ostream& err) {
    CConnectionSettings settings;
    settings.Load();
    bool found = false;
    CPhoneBook book = LoadPhoneBook(err, found);
    if (!found) return Refuse(err, "there is no phone book: write " + CPhoneBook::DefaultPath());
    if (CDialConnection::CallInProgress()) {
        out << "Call in Progress. Please try after some time\n";
        return kRefused;
    }
    CDialConnection::Hooks hooks;
    hooks.show = [&out](const std::string& text) { out << text << std::endl; };
    CDialConnection dial(std::move(book), std::move(hooks));
    dial.Configure(settings.entryName, settings.userName, settings.password, settings.retries, settings.interval);
    dial.Dial();
    for (;;) {
        const int state = dial.GetState();
        if (state == CDialConnection::kConnected) return kDone;
        if (state == CDialConnection::kCancelled) return kRefused;
        if (dial.RedialDue()) dial.Dial();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

int HangUp(std::ostream& out, std::ostream& err) {
    CConnectionSettings settings;
    settings.Load();
    bool found = false;
    const CPhoneBook book = LoadPhoneBook(err, found);
    const CPhoneBook::Entry* entry = book.Select(settings.entryName);
    if (!entry)
        return Refuse(err,
                      "the phone book " + CPhoneBook::DefaultPath() + " has no entry \"" + settings.entryName + "\"");
    if (entry->down.empty()) return Refuse(err, "the entry \"" + entry->name + "\" has no down command");
    const CommandProcess::RunResult down =
        CommandProcess::Run(entry->down, {"VELMORA_DIAL_ENTRY=" + entry->name}, entry->timeout);
    if (!down.started)
        return Refuse(err, "the down command cannot be started: " + std::string(std::strerror(down.errorNumber)));
    if (down.timedOut) return Refuse(err, "the down command took longer than its time limit and was stopped");
    if (!down.Succeeded())
        return Refuse(err, "the down command failed (exit status " + std::to_string(down.exitStatus) + ")");
    out << "Disconnected\n";
    return kDone;
}

}  // namespace

void ConnectionCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora connection show\n"
           "       velmora connection set [--method ras|lan] [--entry NAME] [--user NAME]\n"
           "                              [--password P|-] [--retries N] [--interval SECONDS]\n"
           "       velmora connection connect | hangup\n"
           "With the method ras a send and receive pass that has remote server accounts to fetch\n"
           "first brings up the phone-book entry NAME (the first entry that begins with it) unless a\n"
           "link of the phone book is up, tries N times (1-100), and hangs up at its end. The phone\n"
           "book is phonebook.conf in the home: [NAME] then up = COMMAND, down = COMMAND, and\n"
           "optionally status = COMMAND (exit 0: up) and timeout = SECONDS (60). The up command gets\n"
           "VELMORA_DIAL_USER and VELMORA_DIAL_PASSWORD in its environment. --password - reads it\n"
           "from standard input. connect and hangup run the entry's commands now.\n";
}

int ConnectionCommand::Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                           bool interactive) {
    if (args.empty()) return Usage(err);
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    const std::string& verb = args[0];
    if (verb == "set") return Set(line, in, out, err, interactive);
    if (!line.args.empty()) return Usage(err);
    if (verb == "show") {
        CConnectionSettings settings;
        settings.Load();
        bool found = false;
        const CPhoneBook book = LoadPhoneBook(err, found);
        Show(settings, book, found, out);
        return kDone;
    }
    if (verb == "connect") return Connect(out, err);
    if (verb == "hangup") return HangUp(out, err);
    return Usage(err);
}
