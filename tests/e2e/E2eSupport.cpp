// End-to-end test support: the server as a child process and the home's
// contents read back.
#include "E2eSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "PostgresTestServer.h"
#include "foundation/OdbcConnection.h"
#include "foundation/OdbcStatement.h"
#include "foundation/StringFormat.h"

std::string VelmoraProgram() {
    const char* build = std::getenv("VELMORA_BUILD_DIR");
    return std::string(build ? build : "..") + "/bin/velmora";
}

bool ServerProcess::Start(const std::string& home, const std::string& output,
                          const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> argv = {VelmoraProgram(), "--home", home, "run"};
    if (!console) argv.push_back("--headless");
    return ChildProcess::Start(argv, output, extraEnvironment);
}

bool ServerProcess::WaitServing(std::chrono::milliseconds wait) {
    // Ending without serving stops the wait too.
    return WaitUntil([this] { return Output().find("velmora: serving") != std::string::npos || Reap(false); }, wait) &&
           pid > 0;
}

MailHome::MailHome() : cluster(PostgresTestServer::FromEnvironment()) {}

MailHome::~MailHome() {
    if (database) PostgresTestServer::DropDatabase(Path(), *cluster);
}

bool MailHome::Setup() {
    std::vector<std::string> argv = {VelmoraProgram(),        "setup",      "--home", Path(),
                                     "--postmaster-password", "postmaster1"};
    std::vector<std::string> environment;
    if (cluster) {
        if (!database) database = PostgresTestServer::CreateDatabase(Path(), *cluster);
        if (!database) return false;
        argv.insert(argv.end(), {"--database", database->Url()});
        environment.push_back("PGPASSWORD=" + database->password);
    }
    const RunResult r = RunProgram(argv, std::chrono::seconds(60), environment);
    if (r.status != 0) std::fprintf(stderr, "velmora setup failed: %s\n", r.output.c_str());
    // The POP3 and IMAP servers setup registers listen on ports of their own, never the well-known one;
    // the submission and implicit-TLS ports are off unless a test asks for them. No cycle starts
    // by itself (a new home's schedule and send-on-count): tests ask for the cycles they want.
    return r.status == 0 && SetDword("Ports", "POP3 Port", static_cast<std::uint32_t>(FreePort())) &&
           SetDword("Ports", "Submission Port", 0) && SetDword("Ports", "SMTPS Port", 0) &&
           SetDword("Ports", "POP3S Port", 0) && SetDword("Ports", "IMAPS Port", 0) &&
           SetDword("Ports", "IMAP Port", static_cast<std::uint32_t>(FreePort())) && SetDword("Preferences", "SendOnMailCount", 0) &&
           Velmora({"schedule", "set", "--manual"}).status == 0;
}

RunResult MailHome::Velmora(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {VelmoraProgram(), "--home", Path()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    RunResult r = RunProgram(argv);
    if (r.status != 0) std::fprintf(stderr, "velmora %s failed: %s\n", arguments.at(0).c_str(), r.output.c_str());
    return r;
}

bool MailHome::SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
    return Velmora({"reg", "set", key, name, "dword", std::to_string(value)}).status == 0;
}

bool MailHome::AddAccount(const std::string& name, const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {"account",          "add", name, "--password", "secret12", "--email",
                                          name + "@localhost"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return Velmora(arguments).status == 0;
}

std::string MailHome::Sql(const std::string& query) const {
    OdbcEnvironment environment;
    OdbcConnection connection;
    // A busy SQLite database (the server writing) is waited for, not failed on.
    const std::string text =
        database ? DataSource::PostgresConnectionString(*database)
                 : "DRIVER=" + DataSource::SqliteDriverPath() + ";Database=" + File("velmora.db") + ";Timeout=10000";
    if (!connection.Allocate(environment) || !connection.DriverConnect(text))
        return "connection failed: " + connection.LastError();
    OdbcStatement statement(connection.Handle());
    if (!statement.ExecDirect(query)) return "statement failed: " + statement.LastError();
    SQLSMALLINT columns = 0;
    SQLNumResultCols(statement.Handle(), &columns);
    std::string rows, value;
    while (columns > 0 && statement.Fetch()) {
        if (!rows.empty()) rows += '\n';
        for (SQLUSMALLINT column = 1; column <= columns; ++column) {
            if (column > 1) rows += '|';
            if (statement.GetText(column, value)) rows += value;
        }
    }
    return rows;
}

long MailHome::SqlNumber(const std::string& query) const {
    const std::string text = Sql(query);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stol(text);
}

std::vector<std::string> MailHome::Files(const std::string& directory, const std::string& prefix,
                                         const std::string& suffix) const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(File(directory), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) && name.ends_with(suffix))
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool MailHome::OutboxBeingWritten() const {
    std::set<std::string> inodes;
    for (const std::string& file : OutboxFiles()) {
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0) continue;  // sent and gone meanwhile
        char id[64];
        std::snprintf(id, sizeof id, "%02x:%02x:%lu", ::major(info.st_dev), ::minor(info.st_dev),
                      static_cast<unsigned long>(info.st_ino));
        inodes.insert(id);
    }
    if (inodes.empty()) return false;
    // "1: FLOCK  ADVISORY  WRITE 4711 08:02:123456 0 EOF": device (hex) and inode.
    std::istringstream locks(TestHome::ReadFile("/proc/locks"));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, device;
        if (!(fields >> number >> kind)) continue;
        if (kind == "->") fields >> kind;  // a waiter, listed under the holder
        if (!(fields >> mode >> access >> pid >> device) || kind != "FLOCK" || access != "WRITE") continue;
        if (inodes.count(device)) return true;
    }
    return false;
}

std::string MailHome::LogText() const {
    std::string text;
    for (const std::string& log : Files("logs", "", ".log")) text += TestHome::ReadFile(log);
    return text;
}

std::string MailHome::InboxOf(const std::string& user) const {
    return "mail/" + Sql("SELECT aMailBox FROM Accounts WHERE aUserName = '" + SqlEscape(user) + "'") + "/Inbox";
}

std::vector<std::string> MailHome::InboxFiles(const std::string& user) const {
    return Files(InboxOf(user), "", ".mel");
}

std::vector<std::string> MailHome::InboxTexts(const std::string& user) const {
    std::vector<std::string> texts;
    for (const std::string& file : InboxFiles(user)) texts.push_back(TestHome::ReadFile(file));
    return texts;
}
