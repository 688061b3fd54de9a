// A Velmora home made for one benchmark run: a temporary directory under the
// caller's --dir (removed on every way out unless E2E_BENCH_KEEP is set),
// the home inside it with its own data source and TMPDIR, the
// `velmora --home` commands run on it and logged, its accounts, and the
// server started on it and waited for until it says it serves.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ServerProcess.h"

namespace bench {

class BenchHome {
public:
    // Every account's password.
    static constexpr const char* kPassword = "secret12";

    BenchHome() = default;
    BenchHome(const BenchHome&) = delete;
    BenchHome& operator=(const BenchHome&) = delete;
    ~BenchHome();

    // Makes dir/velmora-NAME-bench-XXXXXX with the (not yet set up) home
    // in it, and points this process's TMPDIR, which every command inherits,
    // at the home (the program finds each home's data source itself).
    // Empty on success, else why not.
    std::string Create(const std::string& program, const std::string& dir, const std::string& name);
    // `velmora setup` of the home; on that PostgreSQL database when one is
    // named (its password in PGPASSWORD).
    bool Setup(const std::string& databaseUrl = "");
    // `velmora --home HOME args...`; true on exit code 0.
    bool Velmora(std::vector<std::string> args);
    // The same, for what the command prints (empty when it failed).
    std::string VelmoraOutput(std::vector<std::string> args) const;
    bool SetDword(const std::string& key, const std::string& value, long number);
    // The account NAME@localhost with kPassword; its mailbox limit in kB
    // when given, else the office's default.
    bool AddAccount(const std::string& name, std::optional<long> limitKb = std::nullopt);
    // Starts `velmora run` in server and waits (bounded) until it serves.
    bool Start(ServerProcess& server) const;

    // The Inbox directories of the named accounts, in that order, from
    // their Accounts rows; empty when any is missing.
    std::vector<std::string> Inboxes(const std::vector<std::string>& users) const;
    // Every account's Inbox found on disk, sorted.
    std::vector<std::string> AllInboxes() const;
    // True when the spooler holds no message.
    bool SpoolEmpty() const;
    // What the commands printed, for a failure's report.
    std::string CommandOutput() const;

    const std::string& Program() const { return program_; }
    // The run's directory (the home and whatever else the run keeps).
    const std::string& Dir() const { return dir_; }
    const std::string& Home() const { return home_; }

private:
    std::string program_;
    std::string dir_;
    std::string home_;
    std::string log_;
};

}  // namespace bench
