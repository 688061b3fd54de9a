// DataSource: data-source files and their diagnosis.
#include "foundation/DataSource.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/MovedHome.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "platform/FileIo.h"
#include "platform/Home.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

#ifndef VELMORA_ODBC_DRIVER_DIR
#define VELMORA_ODBC_DRIVER_DIR "/usr/lib/x86_64-linux-gnu/odbc"
#endif

namespace {

constexpr const char* kDriverName = "Velmora SQLite3";
constexpr const char* kPostgresDriverName = "Velmora PostgreSQL";
constexpr const char* kClientEncoding = "SET client_encoding TO 'SQL_ASCII'";

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Reads one [section] of an ini file into lower-cased key -> value.
bool ReadIniSection(const std::string& path, const std::string& section, std::map<std::string, std::string>& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    bool inside = false, found = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == ';' || line[b] == '#') continue;
        if (line[b] == '[') {
            std::size_t e = line.find(']', b);
            inside = e != std::string::npos && EqualsNoCase(line.substr(b + 1, e - b - 1), section);
            found = found || inside;
            continue;
        }
        if (!inside) continue;
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        out[FoldCase(std::string(Trim(line.substr(0, eq))))] = Trim(line.substr(eq + 1));
    }
    return found;
}

// The files the driver manager reads: the user's choice through ODBCINI and
// ODBCSYSINI, else the home's own.
std::string OdbcIniPath(const std::string& home) {
    const char* env = std::getenv("ODBCINI");
    return env && *env ? env : home + "/" + Home::kOdbcIni;
}

std::string OdbcInstIniPath(const std::string& home) {
    const char* env = std::getenv("ODBCSYSINI");
    return (env && *env ? env : home) + "/" + Home::kOdbcInstIni;
}

// The data source names the database (and may hold a password), so it is
// its owner's alone unless a wider mode is asked for; the mode is there from
// the file's creation on, never set after its text is in.
bool WriteFile(const std::string& path, const std::string& text, std::string& error, mode_t mode = 0600) {
    const std::string tmp = path + ".new";
    {
        UniqueFd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!out || ::fchmod(out.Get(), mode) != 0 || !WriteAll(out.Get(), text.data(), text.size())) {
            error = "cannot write " + path;
            if (out) ::unlink(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool WriteNew(const std::string& path, const std::string& text, std::string& error, mode_t mode) {
    return Exists(path) || WriteFile(path, text, error, mode);
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Rewrites a file only when it says something else, so a repeated setup
// leaves it alone.
bool WriteChanged(const std::string& path, const std::string& text, std::string& error, mode_t mode) {
    return (Exists(path) && ReadWhole(path) == text && ::chmod(path.c_str(), mode) == 0) ||
           WriteFile(path, text, error, mode);
}

// A value the driver manager reads back as written: one line, no blanks at its ends.
bool IsIniValue(std::string_view value) {
    for (char c : value)
        if (c == '\n' || c == '\r' || c == '\0') return false;
    return Trim(value) == value;
}

}  // namespace

std::string DataSource::SqliteDriverPath() {
    return std::string(VELMORA_ODBC_DRIVER_DIR) + "/libsqlite3odbc.so";
}

bool DataSource::WriteFiles(const std::string& home, std::string& error) {
    std::ostringstream inst;
    inst << "[" << kDriverName << "]\n"
         << "Description=SQLite3 ODBC driver\n"
         << "Driver=" << SqliteDriverPath()
         << "\n"
         // The server's threads share one connection: one at a time in it.
         << "Threading=2\n";
    std::ostringstream dsn;
    dsn << "[Velmora]\n"
        << "Description=Velmora mail database\n"
        << "Driver=" << kDriverName << "\n"
        << "Database=" << home << "/" << Home::kDatabaseFile
        << "\n"
        // Several components write at once; wait for each other instead of failing.
        << "Timeout=30000\n"
        << "JournalMode=WAL\n"
        << "Sync=NORMAL\n";
    return WriteNew(home + "/" + Home::kOdbcInstIni, inst.str(), error, 0644) &&
           WriteNew(home + "/" + Home::kOdbcIni, dsn.str(), error, 0600);
}

std::string DataSource::PostgresDriverPath() {
    return std::string(VELMORA_ODBC_DRIVER_DIR) + "/psqlodbca.so";
}

std::string DataSource::PostgresTarget::Url() const {
    const bool bracket = host.find(':') != std::string::npos;
    return "postgresql://" + user + "@" + (bracket ? "[" + host + "]" : host) + ":" + port + "/" + database;
}

std::optional<DataSource::PostgresTarget> DataSource::ParsePostgresUrl(std::string_view url, std::string& error) {
    constexpr std::string_view kScheme = "postgresql://";
    const std::string_view usage = "use postgresql://USER@HOST:PORT/DB";
    PostgresTarget target;
    if (url.size() > 512 || !StartsWithNoCase(url, kScheme)) {
        error = "\"" + std::string(url.substr(0, 80)) + "\" is not a PostgreSQL address: " + std::string(usage);
        return std::nullopt;
    }
    std::string_view rest = url.substr(kScheme.size());
    const std::size_t at = rest.find('@');
    const std::size_t slash = rest.find('/', at == std::string_view::npos ? 0 : at);
    if (at == std::string_view::npos || slash == std::string_view::npos) {
        error = "the PostgreSQL address names no user or no database: " + std::string(usage);
        return std::nullopt;
    }
    target.user = std::string(rest.substr(0, at));
    if (target.user.find(':') != std::string::npos) {
        error = "the PostgreSQL address carries a password: give it in PGPASSWORD or at the prompt instead";
        return std::nullopt;
    }
    std::string_view hostPort = rest.substr(at + 1, slash - at - 1);
    if (!hostPort.empty() && hostPort[0] == '[') {
        const std::size_t close = hostPort.find(']');
        if (close == std::string_view::npos) {
            error = "the PostgreSQL address has an unclosed [ in its host";
            return std::nullopt;
        }
        target.host = std::string(hostPort.substr(1, close - 1));
        hostPort.remove_prefix(close + 1);
        // Anything but ":PORT" after the bracket leaves no valid port.
        if (!hostPort.empty()) target.port = hostPort[0] == ':' ? std::string(hostPort.substr(1)) : "";
    } else {
        const std::size_t colon = hostPort.rfind(':');
        target.host = std::string(hostPort.substr(0, colon));
        if (colon != std::string_view::npos) target.port = std::string(hostPort.substr(colon + 1));
    }
    target.database = std::string(rest.substr(slash + 1));
    const bool portOk = !target.port.empty() && target.port.size() <= 5 &&
                        target.port.find_first_not_of("0123456789") == std::string::npos &&
                        std::stol(target.port) >= 1 && std::stol(target.port) <= 65535;
    auto plain = [](const std::string& s) {
        return !s.empty() && s.find_first_of(" \t;{}[]/?#@'\"\\") == std::string::npos && IsIniValue(s);
    };
    if (!portOk || !plain(target.user) || !plain(target.host) || !plain(target.database)) {
        error = "\"" + std::string(url.substr(0, 80)) + "\" is not a PostgreSQL address: " + std::string(usage);
        return std::nullopt;
    }
    return target;
}

bool DataSource::WritePostgresFiles(const std::string& home, const PostgresTarget& target, std::string& error) {
    if (!IsIniValue(target.password)) {
        error = "the PostgreSQL password cannot be kept in the data source (a line break or blanks at its ends)";
        return false;
    }
    std::ostringstream inst;
    inst << "[" << kPostgresDriverName << "]\n"
         << "Description=PostgreSQL ODBC driver\n"
         << "Driver=" << PostgresDriverPath()
         << "\n"
         // The server's threads share one connection: one at a time in it.
         << "Threading=2\n";
    std::ostringstream dsn;
    dsn << "[Velmora]\n"
        << "Description=Velmora mail database\n"
        << "Driver=" << kPostgresDriverName << "\n"
        << "Servername=" << target.host << "\n"
        << "Port=" << target.port << "\n"
        << "Database=" << target.database << "\n"
        << "Username=" << target.user << "\n"
        << "Password=" << target.password
        << "\n"
        // Yes/no columns read back as 1/0, as the readers bind them.
        << "BoolsAsChar=1\n"
        // Every row of a result at once: the readers keep few rows.
        << "UseDeclareFetch=0\n"
        // A failed statement inside a transaction undoes itself alone, as
        // on SQLite, instead of dooming the rest of the transaction.
        << "Protocol=7.4-2\n"
        // Texts go over as the bytes they are: a database made with
        // ENCODING 'SQL_ASCII' keeps any of them, as SQLite does.
        << "ConnSettings=" << kClientEncoding << "\n";
    // The data source holds the password: its owner alone reads it.
    return WriteChanged(home + "/" + Home::kOdbcInstIni, inst.str(), error, 0644) &&
           WriteChanged(home + "/" + Home::kOdbcIni, dsn.str(), error, 0600);
}

std::string DataSource::PostgresConnectionString(const PostgresTarget& target) {
    // Braces let a password carry ';' (a '}' inside is doubled).
    std::string password;
    for (char c : target.password) password += c == '}' ? std::string("}}") : std::string(1, c);
    return "Driver=" + PostgresDriverPath() + ";Servername=" + target.host + ";Port=" + target.port +
           ";Database=" + target.database + ";Username=" + target.user + ";Password={" + password + "}" +
           ";ConnSettings=" + kClientEncoding;
}

bool DataSource::HasOwnLogin() {
    const char* ini = std::getenv("ODBCINI");
    std::map<std::string, std::string> dsn;
    return ini && *ini && ReadIniSection(ini, "Velmora", dsn) && !dsn["username"].empty();
}

std::optional<DataSource::PostgresTarget> DataSource::PostgresTargetOf(const std::string& home) {
    std::map<std::string, std::string> dsn, entry;
    if (!ReadIniSection(OdbcIniPath(home), "Velmora", dsn)) return std::nullopt;
    std::string driver = dsn["driver"];
    if (!driver.empty() && driver[0] != '/' && ReadIniSection(OdbcInstIniPath(home), driver, entry))
        driver = entry["driver"];
    if (FoldCase(driver).find("psqlodbc") == std::string::npos) return std::nullopt;
    PostgresTarget target;
    target.user = dsn["username"];
    target.host = dsn["servername"];
    if (!dsn["port"].empty()) target.port = dsn["port"];
    target.database = dsn["database"];
    return target;
}

std::string DataSource::Diagnose(const std::string& home) {
    const std::string ini = OdbcIniPath(home);
    const std::string inst = OdbcInstIniPath(home);
    const std::string fix = " Run `velmora --home " + home + " setup` to provision it.";

    const std::string former = MovedHome::FormerDirectory(home);
    if (!former.empty())
        return "The home was moved or restored from " + former + ": its data source and settings still point there." +
               " Run `velmora --home " + home + " setup` to point them at " + home + ".";
    std::map<std::string, std::string> dsn;
    if (!Exists(ini)) return "The data-source file " + ini + " is missing." + fix;
    if (!ReadIniSection(ini, "Velmora", dsn)) return "The data source \"Velmora\" is not defined in " + ini + "." + fix;
    std::string driver = dsn["driver"];
    if (driver.empty()) return "The data source \"Velmora\" in " + ini + " names no driver." + fix;
    if (driver[0] != '/') {
        std::map<std::string, std::string> entry;
        if (!ReadIniSection(inst, driver, entry) || entry["driver"].empty())
            return "The ODBC driver \"" + driver + "\" is not defined in " + inst + "." + fix;
        driver = entry["driver"];
    }
    if (!Exists(driver)) {
        std::string package = FoldCase(driver).find("sqlite") != std::string::npos ? "libsqliteodbc"
                              : FoldCase(driver).find("psql") != std::string::npos ? "odbc-postgresql"
                                                                                   : "its ODBC driver package";
        return "The ODBC driver " + driver + " is missing: install the Debian package " + package +
               " (scripts/run installs it).";
    }
    if (FoldCase(driver).find("sqlite") != std::string::npos) {
        const std::string db = dsn["database"];
        if (db.empty()) return "The data source \"Velmora\" in " + ini + " names no database file." + fix;
        if (!Exists(db)) return "The database file " + db + " does not exist." + fix;
        if (::access(db.c_str(), R_OK | W_OK) != 0)
            return "The database file " + db + " cannot be opened for reading and writing.";
    }
    return "";
}

std::string DataSource::ThreadingWarning(const std::string& home) {
    const std::string inst = OdbcInstIniPath(home);
    std::map<std::string, std::string> dsn, entry;
    ReadIniSection(OdbcIniPath(home), "Velmora", dsn);
    const std::string driver = dsn["driver"];
    // A driver named by its path has no section that could set the level.
    if (driver.empty() || driver[0] == '/' || !ReadIniSection(inst, driver, entry))
        return "The data source \"Velmora\" names no driver section of " + inst +
               " that sets Threading=2: the server's threads share one connection, which the driver manager then "
               "does not serialise.";
    const std::string level = entry["threading"];
    if (level == "2" || level == "3") return "";
    return "The ODBC driver \"" + driver + "\" in " + inst + " has " +
           (level.empty() ? std::string("no Threading line") : "Threading=" + level) +
           ": the server's threads share one connection, which the driver manager serialises only with "
           "Threading=2 (or 3) there.";
}

std::string DataSource::DatabasePath(const std::string& odbcIni) {
    std::map<std::string, std::string> dsn;
    if (!ReadIniSection(odbcIni, "Velmora", dsn)) return "";
    return dsn["database"];
}

bool DataSource::ReplaceDatabasePath(const std::string& odbcIni, const std::string& from, const std::string& to,
                                     std::string& error) {
    std::ifstream in(odbcIni);
    if (!in) {
        error = "cannot read " + odbcIni;
        return false;
    }
    std::string text, line;
    bool inside = false, replaced = false;
    while (std::getline(in, line)) {
        const std::string trimmed(Trim(line));
        if (!trimmed.empty() && trimmed[0] == '[') {
            const std::size_t e = trimmed.find(']');
            inside = e != std::string::npos && EqualsNoCase(trimmed.substr(1, e - 1), "velmora");
        } else if (inside && !replaced && !trimmed.empty() && trimmed[0] != ';' && trimmed[0] != '#') {
            const std::size_t eq = line.find('=');
            if (eq != std::string::npos && EqualsNoCase(Trim(line.substr(0, eq)), "database") &&
                Trim(line.substr(eq + 1)) == from) {
                line = line.substr(0, eq + 1) + to;
                replaced = true;
            }
        }
        text += line + "\n";
    }
    return !replaced || WriteFile(odbcIni, text, error);
}

bool DataSource::CopySqliteDatabase(SQLHDBC connection, const std::string& path, std::string& error) {
    OdbcStatement copy(connection);
    if (copy.ExecDirect(FormatSql("VACUUM INTO '%s'", SqlText::Quote(path)))) return true;
    error = copy.LastError();
    return false;
}

std::string DataSource::PostgresServerEncoding(SQLHDBC connection) {
    OdbcStatement statement(connection);
    std::string encoding;
    if (!statement.ExecDirect("SELECT current_setting('server_encoding')") || !statement.Fetch() ||
        !statement.GetText(1, encoding))
        return "";
    return encoding;
}
