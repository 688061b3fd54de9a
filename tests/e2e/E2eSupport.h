// End-to-end test support: the real `velmora` program on a throw-away home,
// started and stopped as a child process, and looks into the home (mailboxes,
// spool, outbound queue, and rows through a connection of the test's own,
// made from a driver connection string rather than the data source, as the
// driver manager reads data-source files once per process).
//
// With a test cluster named (PostgresTestServer) the home keeps its mail
// database in a database of its own there, dropped with the home.
//
// Every wait here has a limit: a hung server or client fails a test, it
// never hangs it, and every child process is killed and reaped on the way
// out.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <optional>

#include "SmtpClient.h"
#include "TestHome.h"
#include "TestPeers.h"

// $VELMORA_BUILD_DIR/bin/velmora.
std::string VelmoraProgram();

// `velmora run` as a child in its own process group; headless unless
// console is set (then the program decides from the display it is given).
class ServerProcess : public ChildProcess {
public:
    bool console = false;
    bool Start(const std::string& home, const std::string& outputPath,
               const std::vector<std::string>& extraEnvironment = {});
    // True once the program said it serves; false when it ended first or
    // the wait ran out.
    bool WaitServing(std::chrono::milliseconds wait = std::chrono::seconds(30));
    void Kill() { Stop(); }
};

// A provisioned home for one test, driven through the program's own
// commands, and read back without touching the server's database
// connection.
class MailHome {
public:
    MailHome();
    ~MailHome();
    MailHome(const MailHome&) = delete;
    MailHome& operator=(const MailHome&) = delete;

    // Keeps the mail database on this server instead (its maintenance
    // database named); before Setup.
    void UsePostgres(const DataSource::PostgresTarget& server) { cluster = server; }
    // The database made for the home on PostgreSQL, if any.
    const std::optional<DataSource::PostgresTarget>& Postgres() const { return database; }
    const std::string& Path() const { return home.Path(); }
    std::string File(const std::string& name) const { return home.File(name); }

    // velmora setup; the postmaster's password is fixed.
    bool Setup();
    RunResult Velmora(const std::vector<std::string>& arguments);
    bool SetDword(const std::string& key, const std::string& name, std::uint32_t value);
    // Account NAME with address NAME@localhost; extra are further `account add` options.
    bool AddAccount(const std::string& name, const std::vector<std::string>& extra = {});

    // One statement in the engine's SQL (translated for the backend), rows
    // as "a|b|c" lines without the final line end, NULL as nothing; "" when
    // there is no row. Failures show in the text.
    std::string Sql(const std::string& query) const;
    // Number from a one-value query; -1 when it is not one.
    long SqlNumber(const std::string& query) const;

    // Full paths of the files in a directory of the home whose names start
    // with prefix and end with suffix, sorted.
    std::vector<std::string> Files(const std::string& directory, const std::string& prefix = "",
                                   const std::string& suffix = "") const;
    // The account's Inbox directory (its mailbox from the Accounts row).
    std::string InboxOf(const std::string& user) const;
    std::vector<std::string> InboxFiles(const std::string& user) const;
    std::vector<std::string> InboxTexts(const std::string& user) const;
    std::vector<std::string> SpoolFiles() const { return Files("SMTPSpooler", "", ".tmp"); }
    std::vector<std::string> OutboxFiles() const { return Files("Outbox", "Tes", ".tmp"); }
    // True while a queue writer still holds an Outbox file (its flock, read
    // from /proc/locks so the look takes no lock a writer could run into): a
    // pass starting now would leave that message for the next one.
    bool OutboxBeingWritten() const;
    // The diagnostic logs' text.
    std::string LogText() const;

private:
    TestHome home;
    std::optional<DataSource::PostgresTarget> cluster, database;
};
