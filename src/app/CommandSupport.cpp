// CommandSupport: the shell commands' shared checks.
#include "app/CommandSupport.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "foundation/CMailDatabase.h"
#include "foundation/DataSource.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/Home.h"
#include "platform/Registry.h"
#include "platform/SettingsStore.h"
#include "store/MailStorePaths.h"

std::string CommandSupport::SetupHint(const std::string& home) {
    return "velmora --home " + home + " setup";
}

bool CommandSupport::RequireHome(const std::string& home, std::ostream& err) {
    struct stat info {};
    if (::stat(home.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
    err << "velmora: the home " << home << " does not exist; make one with `" << SetupHint(home)
        << "` (or choose another with --home DIR or $VELMORA_HOME)\n";
    return false;
}

bool CommandSupport::Connect(CMailDatabase& db, const std::string& command, std::ostream& err) {
    // A command that makes an account makes its mail-store directories too.
    CMailDatabase::SetMailStoreMaker(&mailstore::MakeAccountDirectories);
    // Asked first: the driver would make an empty database where the file
    // is missing, and a copied home would reach the old one.
    std::string why = DataSource::Diagnose(Home::Dir());
    // Connect, not Open: opening would clear the session locks of a running server.
    if (why.empty() && db.Connect()) return true;
    if (why.empty()) why = "the database did not answer; `" + SetupHint(Home::Dir()) + "` checks the home";
    err << "velmora " << command << ": cannot use the data source \"Velmora\": " << why << "\n";
    return false;
}

std::string CommandSupport::SettingsProblem() {
    const long rc = SettingsStore::Instance().Read([](const SettingsFile&) {});
    return rc == ERROR_BADDB ? SettingsStore::Instance().LastError() : std::string();
}

std::string CommandSupport::MailDirectory() {
    std::string root = settings::Text{settings::kStorage, "Mail Directory"}.Value(259);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

CommandSupport::Answer CommandSupport::Confirm(const std::string& question, std::istream& in, std::ostream& out,
                                               bool interactive) {
    if (!interactive) return Answer::NotATerminal;
    out << question << " [y/N] " << std::flush;
    std::string answer;
    std::getline(in, answer);
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" ? Answer::Yes : Answer::No;
}

namespace {

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

}  // namespace

std::string CommandSupport::ReadSecret(const std::string& prompt, std::istream& in, std::ostream& out,
                                       bool interactive) {
    std::string line;
    if (interactive) {
        NoEcho quiet;
        out << prompt << std::flush;
        std::getline(in, line);
        out << "\n";
    } else {
        std::getline(in, line);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}
