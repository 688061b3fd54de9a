// NetwareCommand: account netware: show, set and turn off.
#include "app/NetwareCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "foundation/CAccountRows.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "delivery/CNetwareExport.h"
#include "delivery/NetwareSettingsCheck.h"
#include "foundation/CMailDatabase.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    NetwareCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora account netware: " << message << "\n";
    return kRefused;
}

bool TakeFlag(CommandLine& line, const std::string& name) {
    auto it = std::find(line.args.begin(), line.args.end(), name);
    if (it == line.args.end()) return false;
    line.args.erase(it);
    return true;
}

void Show(const std::string& user, const std::optional<NetwareSettings>& settings, std::ostream& out) {
    if (!settings) {
        out << user << " has no Netware exchange\n";
        return;
    }
    out << user << " on Netware: directory " << settings->mailPath << ", address " << settings->Address() << ", "
        << (settings->leaveCopy ? "a copy stays in the mailbox" : "no copy in the mailbox") << "\n";
}

}  // namespace

void NetwareCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora account netware USER\n"
           "       velmora account netware USER --dir DIR --address ADDR [--leave-copy]\n"
           "       velmora account netware USER --off\n"
           "Mail delivered to USER is written into DIR as a \".cnm\" file for a Netware mail client;\n"
           "with --leave-copy the mailbox keeps its copy as well. ADDR is the client user's Internet\n"
           "address (user@domain); its user part is the Netware login name that the gateway reads\n"
           "in the client's outgoing files. Without options the settings are shown.\n";
}

int NetwareCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return Usage(err);
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    const std::string user = args[0];
    if (user.empty() || user[0] == '-') return Usage(err);
    std::string directory, address;
    const bool hasDirectory = line.TakeOption("--dir", directory);
    const bool hasAddress = line.TakeOption("--address", address);
    const bool leaveCopy = TakeFlag(line, "--leave-copy");
    const bool off = TakeFlag(line, "--off");
    if (!line.args.empty()) return Usage(err);
    const bool show = !hasDirectory && !hasAddress && !leaveCopy && !off;
    if (off && (hasDirectory || hasAddress || leaveCopy)) return Usage(err);
    if (!show && !off && (!hasDirectory || !hasAddress)) return Usage(err);

    std::optional<NetwareSettings> wanted;
    if (!show && !off) {
        NetwareSettings settings;
        settings.leaveCopy = leaveCopy;
        switch (NetwareSettingsCheck::Check(std::string(Trim(directory)), std::string(Trim(address)), settings)) {
            case NetwareSettingsCheck::Outcome::Ok:
                break;
            case NetwareSettingsCheck::Outcome::NoDirectory:
                return Refuse(err, "the directory is empty; --off turns the exchange off");
            case NetwareSettingsCheck::Outcome::DirectoryTooLong:
                return Refuse(err, "the directory is longer than 255 characters");
            case NetwareSettingsCheck::Outcome::BadAddress:
                return Refuse(
                    err, std::string(CNetwareExport::kInvalidAddress) + ": \"" + address + "\" is not user@domain");
        }
        wanted = settings;
    }

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "account netware", err)) return kRefused;
    bool failed = false;
    const std::optional<long> id = CAccountRows::AccountIdByName(db.GetConnectionHandle(), user, &failed);
    if (failed) return Refuse(err, "the accounts cannot be read");
    if (!id) return Refuse(err, "there is no account " + user + " (velmora account list shows them)");
    if (show) {
        Show(user, CNetwareExport::LoadNetwareSettings(db.GetConnectionHandle(), *id), out);
        return kDone;
    }
    if (!CNetwareExport::SaveNetwareSettings(db.GetConnectionHandle(), *id, wanted))
        return Refuse(err, "the change was not saved: the database did not take it");
    if (!wanted) {
        out << "Netware exchange of " << user << " is off; its mail stays in its mailbox\n";
        return kDone;
    }
    Show(user, wanted, out);
    // Not refused: the directory may be a share that is mounted later. Until
    // it can be written, mail goes into the mailbox.
    struct stat info {};
    if (::stat(wanted->mailPath.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        ::access(wanted->mailPath.c_str(), W_OK | X_OK) != 0)
        out << "Note: " << wanted->mailPath << " is not a writable directory now; until it is, mail for " << user
            << " stays in its mailbox\n";
    return kDone;
}
