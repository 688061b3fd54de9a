// SetupCommand: provisioning of a home.
#include "app/SetupCommand.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "foundation/CDomainRows.h"
#include "foundation/AccountEditorCheck.h"
#include "foundation/CAccountRows.h"
#include "app/AccountCommand.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "app/DomainCommand.h"
#include "app/ScheduleCommand.h"
#include "cycle/CScheduleSettings.h"
#include "store/CUserRecord.h"
#include "foundation/CMailDatabase.h"
#include "foundation/COwnNames.h"
#include "foundation/DataSource.h"
#include "foundation/DatabaseSchema.h"
#include "foundation/MovedHome.h"
#include "foundation/OdbcConnection.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/Home.h"
#include "platform/Registry.h"
#include "platform/SelfSignedCertificate.h"
#include "platform/SettingsStore.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace {

// The values setup writes itself, besides the provisioned ones.
constexpr settings::Text kCertificateFile{settings::kTls, "Certificate File"};
constexpr settings::Text kKeyFile{settings::kTls, "Key File"};
constexpr settings::Text kMailDomain{settings::kPreferences, settings::kMailDomainValue};

bool MakeDirectories(const std::string& path, std::string& error) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) {
            error = "cannot create " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// A file or directory made its owner's alone; one that is not there is fine.
bool MakePrivate(const std::string& path, mode_t mode, std::string& error) {
    if (::chmod(path.c_str(), mode) == 0 || errno == ENOENT) return true;
    error = "cannot make " + path + " readable by its owner only: " + std::strerror(errno);
    return false;
}

// The SQLite database file of the data source, or "" for another backend.
std::string SqliteDatabase(const std::string& home) {
    if (DataSource::PostgresTargetOf(home)) return "";
    const std::string path = DataSource::DatabasePath(home + "/" + Home::kOdbcIni);
    return !path.empty() && path[0] == '/' ? path : "";
}

// Everything that holds the passwords or the way to them is its owner's
// alone, whatever a hand-made home or an earlier setup left: the settings
// (the relay password), the data source, the database (every account's
// password) with its companions, and the TLS key kept in the home. SQLite
// gives the companions it makes later the database file's own mode.
bool KeepPrivate(const std::string& home, std::string& error) {
    if (!MakePrivate(home, 0700, error) || !MakePrivate(SettingsStore::Instance().Path(), 0600, error) ||
        !MakePrivate(home + "/" + Home::kOdbcIni, 0600, error) || !MakePrivate(home + "/tls", 0700, error))
        return false;
    const std::string database = SqliteDatabase(home);
    if (!database.empty())
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})
            if (!MakePrivate(database + suffix, 0600, error)) return false;
    // A key an administrator keeps elsewhere may be shared with other
    // services by its group: only the home's own is ours to change.
    const std::string key = kKeyFile.Value(4095);
    return key.rfind(home + "/", 0) != 0 || MakePrivate(key, 0600, error);
}

// The database file made empty with the owner's mode before the driver makes
// it (with the process's umask) at the first connection. Where it cannot be
// made, that connection fails and the data source's diagnosis says why.
void CreateDatabaseFile(const std::string& home) {
    const std::string database = SqliteDatabase(home);
    if (!database.empty())
        UniqueFd(::open(database.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

// Writes each provisioned value that the settings file lacks.
long ProvisionSettings(const std::string& home) {
    return SettingsStore::Instance().Modify([&](SettingsFile& file) {
        bool changed = false;
        for (const settings::Setting& s : settings::kCatalogue) {
            const std::string key = std::string(settings::kProductKeyPath) + "\\" + s.key;
            if (s.provision == settings::Provision::None) {
                if (!file.KeyExists(key)) {
                    file.CreateKey(key);
                    changed = true;
                }
                continue;
            }
            if (file.Get(key, s.name)) continue;
            SettingsFile::Value v;
            v.name = s.name;
            if (s.type == settings::Type::Dword) {
                v.type = SettingsFile::kDword;
                std::uint32_t n = s.dwordProvisioned;
                v.data.assign(reinterpret_cast<const char*>(&n), 4);
            } else {
                v.type = SettingsFile::kString;
                v.data = s.provision == settings::Provision::HomePath
                             ? home + (*s.stringProvisioned ? std::string("/") + s.stringProvisioned : "")
                             : s.stringProvisioned;
            }
            file.Set(key, v);
            changed = true;
        }
        const std::string dns = settings::kDnsKeyPath;
        if (!file.KeyExists(dns)) {
            file.CreateKey(dns);
            changed = true;
        }
        const std::string servers = settings::kServersKeyPath;
        if (file.SubKeys(servers).empty()) {
            const std::string first = servers + std::string("\\#1");
            std::uint32_t one = 1;
            file.Set(first, {settings::kServerActive, SettingsFile::kDword,
                             std::string(reinterpret_cast<const char*>(&one), 4)});
            file.Set(first, {settings::kServerLocation, SettingsFile::kString, settings::kSmtpServerModule});
            file.Set(first, {settings::kServerName, SettingsFile::kString, "SMTP_Server"});
            changed = true;
        }
        // The POP3 and IMAP servers join the list once each, as the next
        // number (the loader reads #1 to #count); an entry for one that is
        // there, active or not, is left as the administrator has it.
        for (const auto& [location, name] : {std::pair<const char*, const char*>{settings::kPop3ServerModule, "POP3_Server"},
                                             {settings::kImapServerModule, "IMAP_Server"}}) {
            const std::vector<std::string> entries = file.SubKeys(servers);
            bool present = false;
            for (const std::string& entry : entries) {
                const auto existing = file.Get(servers + "\\" + entry, settings::kServerLocation);
                if (existing && EqualsNoCase(existing->data.c_str(), location)) present = true;
            }
            if (present) continue;
            const std::string next = servers + "\\#" + std::to_string(entries.size() + 1);
            std::uint32_t one = 1;
            file.Set(next, {settings::kServerActive, SettingsFile::kDword,
                            std::string(reinterpret_cast<const char*>(&one), 4)});
            file.Set(next, {settings::kServerLocation, SettingsFile::kString, location});
            file.Set(next, {settings::kServerName, SettingsFile::kString, name});
            changed = true;
        }
        return changed;
    });
}

// When neither TLS file is set: a self-signed certificate for this host in
// tls/ below the home, and the settings pointing at it. A pair an
// administrator set is never touched, and neither is a file already there.
bool ProvisionCertificate(const std::string& home, std::ostream& out, std::string& error) {
    std::string certificate = kCertificateFile.Value(4095);
    std::string key = kKeyFile.Value(4095);
    if (!certificate.empty() || !key.empty()) return true;
    // The name the server greets other servers with; without one, the host name.
    std::string name = SystemFullName();
    char host[256] = {};
    if (name.empty()) name = ::gethostname(host, sizeof host - 1) == 0 ? host : "";
    // Only what a DNS name may hold goes into the certificate.
    if (name.empty() ||
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") != std::string::npos)
        name = "localhost";
    const std::string directory = home + "/tls";
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + directory + ": " + std::strerror(errno);
        return false;
    }
    certificate = home + "/" + settings::kProvisionedCertificate;
    key = home + "/" + settings::kProvisionedKey;
    // A pair left there by an earlier setup is taken again.
    struct stat info;
    const bool both = ::stat(certificate.c_str(), &info) == 0 && ::stat(key.c_str(), &info) == 0;
    if (!both && !MakeSelfSignedCertificate(name, certificate, key, error)) return false;
    const long rc = SettingsStore::Instance().Modify([&](SettingsFile& file) {
        file.Set(kCertificateFile.KeyPath(), {kCertificateFile.Entry().name, SettingsFile::kString, certificate});
        file.Set(kKeyFile.KeyPath(), {kKeyFile.Entry().name, SettingsFile::kString, key});
        return true;
    });
    if (rc != ERROR_SUCCESS) {
        error = "the TLS settings could not be written (code " + std::to_string(rc) + ")";
        return false;
    }
    if (both) {
        out << "  TLS: using the certificate already in " << directory << "\n";
        return true;
    }
    out << "  TLS: a self-signed certificate for " << name << " in " << directory
        << " (replace it with a real one through the TLS settings)\n";
    return true;
}

// The home's own domain, which the postmaster's address and the server's
// greeting follow (COwnNames).
bool RecordHomeDomain(const std::string& domain, std::ostream& out, std::ostream& err) {
    const std::string folded = FoldCase(domain);
    const long rc = SettingsStore::Instance().Modify([&](SettingsFile& file) {
        file.Set(kMailDomain.KeyPath(), {kMailDomain.Entry().name, SettingsFile::kString, folded});
        return true;
    });
    if (rc != ERROR_SUCCESS) {
        err << "velmora setup: the home's domain could not be written (code " << rc << ")\n";
        return false;
    }
    out << "  mail domain: " << folded << " (the postmaster is " << COwnNames::Postmaster() << ")\n";
    return true;
}

// A postmaster made before the home had a domain still has the loopback
// address; it follows the domain. An address the administrator chose stays.
int FollowHomeDomain(CMailDatabase& db, std::ostream& out, std::ostream& err) {
    if (COwnNames::HomeDomain().empty()) return 0;
    const std::optional<long> id = CAccountRows::AccountIdByName(db.GetConnectionHandle(), "postmaster");
    if (!id || !EqualsNoCase(CUserRecord(db.GetConnectionHandle(), *id).GetEmailId(), COwnNames::kLoopbackPostmaster))
        return 0;
    const std::string address = COwnNames::Postmaster();
    std::istringstream none;
    std::ostringstream shown, why;
    if (AccountCommand::Run({"set", "postmaster", "--email", address}, none, shown, why, false) != 0) {
        err << "velmora setup: the postmaster's address could not be changed: " << why.str();
        return 1;
    }
    out << "  postmaster: its address is now " << address << "\n";
    return 0;
}

// A password nobody has to type often: letters and digits only, so it
// survives copying from a terminal.
std::string GeneratePassword() {
    static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
    std::random_device device;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
    std::string password;
    for (int i = 0; i < 16; ++i) password += kAlphabet[pick(device)];
    return password;
}

// The ANSI driver hands texts over as bytes; only an SQL_ASCII database keeps
// every byte (a scrambled password, a subject in a legacy charset) as it came.
void WarnOfEncoding(SQLHDBC connection, const DataSource::PostgresTarget& target, std::ostream& err) {
    const std::string encoding = DataSource::PostgresServerEncoding(connection);
    if (encoding.empty() || encoding == "SQL_ASCII") return;
    err << "velmora setup: warning: the database " << target.database << " has the encoding " << encoding.substr(0, 40)
        << ", so passwords and texts with bytes that are not valid " << encoding.substr(0, 40)
        << " cannot be stored; make it with CREATE DATABASE " << target.database
        << " ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0 and run setup again.\n";
}

}  // namespace

int SetupCommand::Run(const std::string& home, const std::vector<std::string>& args, std::ostream& out,
                      std::ostream& err) {
    CommandLine line;
    line.args = args;
    std::string password, domain, database;
    const bool hasPassword = line.TakeOption("--postmaster-password", password);
    const bool hasDomain = line.TakeOption("--domain", domain);
    const bool hasDatabase = line.TakeOption("--database", database);
    if (!line.args.empty()) {
        PrintUsage(err);
        return 64;
    }
    std::optional<DataSource::PostgresTarget> postgres;
    if (hasDatabase) {
        std::string error;
        postgres = DataSource::ParsePostgresUrl(database, error);
        if (!postgres) {
            err << "velmora setup: " << error << "\n";
            return 64;
        }
        // Never from the command line, where every user of the machine sees it.
        const char* fromEnvironment = std::getenv("PGPASSWORD");
        postgres->password = fromEnvironment ? fromEnvironment
                                             : CommandSupport::ReadSecret("Password of " + postgres->Url() + ": ",
                                                                          std::cin, out, ::isatty(STDIN_FILENO) != 0);
    }
    if (hasDomain && !CDomainRows::IsValidDomainName(FoldCase(domain))) {
        err << "velmora setup: \"" << domain << "\" is not a domain name: use labels of letters, digits and '-' "
            << "separated by dots, such as example.org\n";
        return 64;
    }
    if (hasPassword && !AccountEditorCheck::IsValidPassword(password)) {
        err << "velmora setup: the postmaster password must be 1 to " << AccountEditorCheck::kMaxPassword
            << " bytes without control characters\n";
        return 64;
    }
    int rc = Run(home, out, err, postgres ? &*postgres : nullptr);
    if (rc == 0 && hasDomain && !RecordHomeDomain(domain, out, err)) rc = 1;
    if (rc == 0) rc = EnsurePostmaster(password, out, err);
    if (rc != 0 || !hasDomain) return rc;
    CMailDatabase db;
    if (!CommandSupport::Connect(db, "setup", err)) return 1;
    return DomainCommand::Add(db, domain, "", out, err);
}

void SetupCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora [--home DIR] setup [--postmaster-password P] [--domain NAME]\n"
           "                                   [--database postgresql://USER@HOST:PORT/DB]\n"
           "Provisions the home: settings, data source, database, directories and the postmaster account;\n"
           "--domain NAME makes mail for NAME local and NAME the home's own domain (postmaster@NAME);\n"
           "--database keeps the mail database in that PostgreSQL\n"
           "database (its password from PGPASSWORD or asked for; make it with ENCODING 'SQL_ASCII' TEMPLATE template0\n"
           "so that texts in any character set are kept). Run it again at any time: it only adds what is missing,\n"
           "and after the home was moved or restored elsewhere it points the paths it wrote at the new place.\n";
}

int SetupCommand::EnsurePostmaster(const std::string& password, std::ostream& out, std::ostream& err) {
    CMailDatabase db;
    // Connect, not Open: a running server's session locks stay as they are.
    if (!CommandSupport::Connect(db, "setup", err)) return 1;
    const CAccountRows::Presence exists = CAccountRows::AccountExists(db.GetConnectionHandle(), "postmaster");
    if (exists == CAccountRows::Presence::Present) {
        if (!password.empty()) out << "  postmaster: exists already; its password is unchanged\n";
        return FollowHomeDomain(db, out, err);
    }
    if (exists == CAccountRows::Presence::Unknown) {
        err << "velmora setup: the accounts cannot be read\n";
        return 1;
    }
    const std::string chosen = password.empty() ? GeneratePassword() : password;
    const DWORD limit = settings::Dword{settings::kPreferences, "MailSizeLimit"}.Value();
    if (!db.CreateAccount("postmaster", chosen, false, true, COwnNames::Postmaster(),
                          static_cast<long>(limit > 2147483647u ? 2147483647u : limit), 1, 1, 0, 0)) {
        err << "velmora setup: the postmaster account could not be created\n";
        return 1;
    }
    out << "  postmaster: created (administrator)\n";
    if (password.empty()) out << "  postmaster password: " << chosen << "  (shown only this once)\n";
    return 0;
}

int SetupCommand::Run(const std::string& home, std::ostream& out, std::ostream& err,
                      const DataSource::PostgresTarget* postgres) {
    std::string error;
    if (!MakeDirectories(home, error) || !MakePrivate(home, 0700, error)) {
        err << "velmora setup: " << error << "\n";
        return 1;
    }
    Home::Use(home);

    // A moved or restored home: the paths setup wrote still name the old
    // directory. Repaired before anything connects, so the database used
    // below is the one that came with the home.
    const std::string former = MovedHome::FormerDirectory(home);
    std::vector<std::string> repaired;
    if (!MovedHome::Repair(home, former, repaired, error)) {
        err << "velmora setup: the home moved from " << former << ", but " << error << "\n";
        return 1;
    }
    if (!repaired.empty()) {
        out << "The home moved from " << former << "; now pointing at " << home << ":\n";
        for (const std::string& line : repaired) out << "  " << line << "\n";
    }

    // A home without settings is new: it gets the first-hour schedule below.
    const bool newHome = ::access(Home::PathOf(Home::kSettingsFile).c_str(), F_OK) != 0;
    long rc = ProvisionSettings(home);
    if (rc != ERROR_SUCCESS) {
        std::string why = SettingsStore::Instance().LastError();
        err << "velmora setup: the settings file " << SettingsStore::Instance().Path() << " could not be "
            << (rc == ERROR_BADDB ? "read: " + why : "written (code " + std::to_string(rc) + ")") << "\n";
        return 1;
    }

    if ((postgres ? !DataSource::WritePostgresFiles(home, *postgres, error) : !DataSource::WriteFiles(home, error)) ||
        !KeepPrivate(home, error)) {
        err << "velmora setup: " << error << "\n";
        return 1;
    }
    CreateDatabaseFile(home);
    // The database file is made by the driver at the first connection.
    OdbcEnvironment env;
    OdbcConnection connection;
    if (!connection.Allocate(env) || !connection.Connect()) {
        std::string why = DataSource::Diagnose(home);
        err << "velmora setup: cannot connect to the data source \"Velmora\": "
            << (why.empty() ? connection.LastError() : why) << "\n";
        return 1;
    }
    // Setup's one thread: the schema's derived parts are made in one transaction.
    connection.SetExclusive(true);
    if (!DatabaseSchema::Create(connection.Handle(), error)) {
        err << "velmora setup: cannot create the database tables: " << error << "\n";
        return 1;
    }
    if (postgres) WarnOfEncoding(connection.Handle(), *postgres, err);

    const std::string mailRoot =
        settings::Text{settings::kStorage, "Mail Directory"}.Stored(259).value_or(home + "/mail");
    const std::string logDir = settings::Text{settings::kLogModule, "LogDir"}.Value(259);
    const std::string mailLogDir = settings::Text{settings::kLog, "Log Directory"}.Value(259);
    for (const std::string& dir : {home + "/SMTPSpooler", home + "/Outbox", home + "/MailSpooler", mailRoot,
                                   logDir.empty() ? home : logDir, mailLogDir.empty() ? home : mailLogDir}) {
        if (!MakeDirectories(dir, error)) {
            err << "velmora setup: " << error << "\n";
            return 1;
        }
    }
    if (!ProvisionCertificate(home, out, error)) {
        err << "velmora setup: " << error << "\n";
        return 1;
    }
    // Mail leaves by itself in a new home: a cycle every five minutes, written
    // as the schedule command writes it. An existing home keeps its schedule.
    if (newHome && ::access(CScheduleSettings::DefaultPath().c_str(), F_OK) != 0) {
        std::ostringstream shown, why;
        if (ScheduleCommand::Run({"set", "--mode", "every", "--interval", "5", "--automatic"}, shown, why) != 0) {
            err << "velmora setup: the schedule could not be written: " << why.str();
            return 1;
        }
        out << "  schedule: a send and receive cycle every 5 minutes (velmora schedule set changes it)\n";
    }
    const auto server = DataSource::PostgresTargetOf(home);
    out << "Velmora home ready: " << home << "\n"
        << "  settings:   " << SettingsStore::Instance().Path() << "\n"
        << "  database:   " << (server ? server->Url() : home + "/" + Home::kDatabaseFile)
        << " (data source \"Velmora\")\n"
        << "  mail store: " << mailRoot << "\n";
    return 0;
}
