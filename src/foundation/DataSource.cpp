// DataSource: data-source files and their diagnosis.
#include "foundation/DataSource.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/MovedHome.h"
#include "platform/Home.h"
#include "platform/Text.h"

#ifndef VELMORA_ODBC_DRIVER_DIR
#define VELMORA_ODBC_DRIVER_DIR "/usr/lib/x86_64-linux-gnu/odbc"
#endif

namespace {

constexpr const char* kDriverName = "Velmora SQLite3";

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

bool WriteFile(const std::string& path, const std::string& text, std::string& error) {
    const std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            error = "cannot write " + path;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool WriteNew(const std::string& path, const std::string& text, std::string& error) {
    return Exists(path) || WriteFile(path, text, error);
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
    return WriteNew(home + "/" + Home::kOdbcInstIni, inst.str(), error) &&
           WriteNew(home + "/" + Home::kOdbcIni, dsn.str(), error);
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
