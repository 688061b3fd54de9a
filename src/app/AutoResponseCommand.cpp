// AutoResponseCommand: showing, setting and clearing an account's automatic reply.
#include "app/AutoResponseCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "foundation/CAccountRows.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "delivery/CAutoResponder.h"
#include "store/CUserRecord.h"
#include "foundation/CMailDatabase.h"
#include "platform/UniqueFd.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    AutoResponseCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora account: " << message << "\n";
    return kRefused;
}

// The whole of a regular file of at most the reply's size, or why not.
std::optional<std::string> ReadTextFile(const std::string& path, std::string& problem) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file || ::fstat(file.Get(), &info) != 0) {
        problem = path + " cannot be read: " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        problem = path + " is not a file";
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(info.st_size) > CAutoResponder::kMaxTextBytes) {
        problem = path + " is larger than " + std::to_string(CAutoResponder::kMaxTextBytes / 1024) +
                  " KB, the longest reply sent";
        return std::nullopt;
    }
    std::string text;
    char block[CAutoResponder::kCopyBlock];
    for (;;) {
        const ssize_t n = ::read(file.Get(), block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem = path + " cannot be read: " + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(block, static_cast<std::size_t>(n));
        if (text.size() > CAutoResponder::kMaxTextBytes) {
            problem = path + " grew beyond the longest reply sent while it was read";
            return std::nullopt;
        }
    }
    return text;
}

}  // namespace

void AutoResponseCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora account autoresponse USER [--text-file FILE | --off]\n"
           "Without an option the reply's state and text are shown. FILE is the reply's body as it is sent\n"
           "(plain text, CR LF lines); setting it turns the reply on, --off turns it off and removes it.\n";
}

int AutoResponseCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CommandLine line;
    line.args = args;
    std::string textFile;
    const bool setText = line.TakeOption("--text-file", textFile);
    bool off = false;
    for (auto it = line.args.begin(); it != line.args.end(); ++it)
        if (*it == "--off") {
            line.args.erase(it);
            off = true;
            break;
        }
    if (line.args.size() != 1 || (setText && off) || line.args[0].starts_with("-")) return Usage(err);
    const std::string name = line.args[0];

    std::string text;
    if (setText) {
        std::string problem;
        const std::optional<std::string> read = ReadTextFile(textFile, problem);
        if (!read) return Refuse(err, "the reply of " + name + " was not changed: " + problem);
        if (read->empty())
            return Refuse(err, textFile + " is empty; an empty reply is no reply: use --off to turn it off");
        text = *read;
    }

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "account", err)) return kRefused;
    bool failed = false;
    const std::optional<long> id = CAccountRows::AccountIdByName(db.GetConnectionHandle(), name, &failed);
    if (!id)
        return Refuse(err, failed ? "the accounts cannot be read"
                                  : "there is no account named " + name + " (velmora account list shows them)");
    const SQLHDBC connection = db.GetConnectionHandle();
    const CUserRecord record(connection, *id);
    const std::string path = CAutoResponder::TextFilePath(CommandSupport::MailDirectory(), record.GetMailBox());
    const bool wasOn = CAutoResponder::IsOn(connection, *id);

    if (!setText && !off) {
        out << "Automatic reply of " << name << ": " << (wasOn ? "on" : "off") << "\n";
        if (wasOn) out << CAutoResponder::Load(path);
        return kDone;
    }
    if (path.empty())
        return Refuse(err, "the reply of " + name +
                               " has no place: the setting Storage\\Mail Directory or the account's mailbox name "
                               "is not usable");
    switch (CAutoResponder::Save(connection, *id, path, text, wasOn)) {
        case CAutoResponder::SaveResult::TurnedOn:
            out << "Automatic reply of " << name << " turned on (" << path << ")\n";
            return kDone;
        case CAutoResponder::SaveResult::Updated:
            out << "Automatic reply of " << name << " changed (" << path << ")\n";
            return kDone;
        case CAutoResponder::SaveResult::TurnedOff:
            out << "Automatic reply of " << name << " turned off\n";
            return kDone;
        case CAutoResponder::SaveResult::Unchanged:
            out << "Automatic reply of " << name << " is off already\n";
            return kDone;
        case CAutoResponder::SaveResult::FileFailed:
            return Refuse(err, "the reply of " + name + " was not changed: " + path + " cannot be written (" +
                                   std::strerror(errno) + ")");
        case CAutoResponder::SaveResult::DatabaseFailed:
            break;
    }
    return Refuse(err, "the reply of " + name + " was not changed: the database did not take the change");
}
