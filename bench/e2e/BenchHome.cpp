// A Velmora home made for one benchmark run, and its server.
#include "BenchHome.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "BenchSupport.h"

namespace bench {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

BenchHome::~BenchHome() {
    std::error_code ec;
    if (!dir_.empty() && !std::getenv("E2E_BENCH_KEEP")) fs::remove_all(dir_, ec);
}

std::string BenchHome::Create(const std::string& program, const std::string& dir, const std::string& name) {
    if (::access(program.c_str(), X_OK) != 0) return "no program at " + program + " (give --program)";
    program_ = program;
    std::string made = dir + "/velmora-" + name + "-bench-XXXXXX";
    if (!::mkdtemp(made.data())) return "cannot make a directory under " + dir;
    dir_ = made;
    // Peers running under a user namespace's ids must reach their own roots in it.
    ::chmod(dir_.c_str(), 0711);
    home_ = dir_ + "/velmora";
    log_ = home_ + "/commands.out";
    std::error_code ec;
    fs::create_directories(home_ + "/tmp", ec);
    if (ec) return "cannot make " + home_ + "/tmp: " + ec.message();
    // Each home's own data source, whatever the caller's environment says:
    // without these the program reads the files of the home it is given,
    // so two homes of one run keep apart.
    ::unsetenv("ODBCSYSINI");
    ::unsetenv("ODBCINI");
    ::setenv("TMPDIR", (home_ + "/tmp").c_str(), 1);
    return "";
}

bool BenchHome::Setup(const std::string& databaseUrl) {
    std::vector<std::string> args = {program_, "setup", "--home", home_, "--postmaster-password", "postmaster1"};
    if (!databaseUrl.empty()) args.insert(args.end(), {"--database", databaseUrl});
    // A new home starts cycles by itself (its schedule and send-on-count);
    // the benchmarks time the passes they start themselves.
    return Run(args, log_) && SetDword("Preferences", "SendOnMailCount", 0) &&
           Velmora({"schedule", "set", "--manual"});
}

bool BenchHome::Velmora(std::vector<std::string> args) {
    args.insert(args.begin(), {program_, "--home", home_});
    return Run(args, log_);
}

std::string BenchHome::VelmoraOutput(std::vector<std::string> args) const {
    const std::string output = home_ + "/command.out";
    std::error_code ec;
    fs::remove(output, ec);
    args.insert(args.begin(), {program_, "--home", home_});
    return Run(args, output) ? ReadAll(output) : "";
}

bool BenchHome::SetDword(const std::string& key, const std::string& value, long number) {
    return Velmora({"reg", "set", key, value, "dword", std::to_string(number)});
}

bool BenchHome::AddAccount(const std::string& name, std::optional<long> limitKb) {
    std::vector<std::string> add = {"account", "add", name, "--password", kPassword, "--email", name + "@localhost"};
    if (limitKb) add.insert(add.end(), {"--mailbox-limit", std::to_string(*limitKb)});
    return Velmora(add);
}

bool BenchHome::Start(ServerProcess& server) const {
    if (!server.Start({program_, "--home", home_, "run"}, home_ + "/server.out")) return false;
    const auto until = Clock::now() + 30s;
    while (Clock::now() < until && server.Running()) {
        if (server.Output().find("velmora: serving") != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::vector<std::string> BenchHome::Inboxes(const std::vector<std::string>& users) const {
    const std::string rows = home_ + "/mailboxes.out";
    std::error_code ec;
    fs::remove(rows, ec);
    Run({"sqlite3", "-batch", "-noheader", "-separator", " ", home_ + "/velmora.db",
         "SELECT aUserName, aMailBox FROM Accounts"},
        rows);
    std::map<std::string, std::string> boxes;
    std::istringstream in(ReadAll(rows));
    for (std::string line; std::getline(in, line);)
        if (const std::size_t space = line.find(' '); space != std::string::npos && space + 1 < line.size())
            boxes[line.substr(0, space)] = line.substr(space + 1);
    std::vector<std::string> inboxes;
    for (const std::string& user : users) {
        const auto box = boxes.find(user);
        if (box == boxes.end()) return {};
        inboxes.push_back(home_ + "/mail/" + box->second + "/Inbox");
    }
    return inboxes;
}

std::vector<std::string> BenchHome::AllInboxes() const {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(home_ + "/mail", ec))
        if (fs::is_directory(e.path() / "Inbox")) found.push_back((e.path() / "Inbox").string());
    std::sort(found.begin(), found.end());
    return found;
}

bool BenchHome::SpoolEmpty() const {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(home_ + "/SMTPSpooler", ec))
        if (e.path().extension() == ".tmp" && e.path().filename().string()[0] != '.') return false;
    return true;
}

std::string BenchHome::CommandOutput() const {
    return ReadAll(log_);
}

}  // namespace bench
