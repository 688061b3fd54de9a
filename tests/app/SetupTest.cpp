// `velmora setup` provisions a whole home (a self-signed certificate among
// it) and a second run changes nothing, but mends modes that let others read;
// a missing piece of the data source is named with the command that mends it.
// `velmora reg`: values set, read with their type, listed and deleted; a
// change the catalogue refuses, or a name the file cannot hold, leaves the
// settings file byte for byte as it was; a broken file is named by its line
// and never rewritten. A new home gets a schedule and send-on-count that a
// second setup keeps as they were changed; the postmaster follows --domain.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <sys/stat.h>

#include "PostgresTestServer.h"
#include "TestHome.h"
#include "app/AccountCommand.h"
#include "app/RegistryCommand.h"
#include "app/ScheduleCommand.h"
#include "app/SetupCommand.h"
#include "foundation/COwnNames.h"
#include "foundation/DataSource.h"
#include "foundation/DatabaseSchema.h"
#include "foundation/OdbcConnection.h"
#include "foundation/OdbcStatement.h"
#include "platform/Text.h"

namespace {

int Reg(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr) {
    std::ostringstream o, e;
    int rc = RegistryCommand::Run(args, o, e);
    if (out) *out = o.str();
    if (err) *err = e.str();
    return rc;
}

std::string Query(const std::string& sql) {
    OdbcEnvironment env;
    OdbcConnection c;
    if (!c.Allocate(env) || !c.Connect()) return "<no connection>";
    OdbcStatement s(c.Handle());
    std::string v;
    if (!s.ExecDirect(sql)) return "<failed>";
    if (!s.Fetch() || !s.GetText(1, v)) return "<no row>";
    return v;
}

}  // namespace

TEST(Setup, ProvisionsEverythingAndIsIdempotent) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    for (const char* dir : {"SMTPSpooler", "Outbox", "MailSpooler", "mail"})
        EXPECT_TRUE(std::filesystem::is_directory(home.File(dir))) << dir;
    EXPECT_EQ(DataSource::Diagnose(home.Path()), "");
    // A self-signed certificate, its key readable by the owner only.
    std::string keyFile;
    ASSERT_EQ(Reg({"get", "TLS", "Key File"}, &keyFile), 0);
    EXPECT_EQ(keyFile, "Key File = " + home.File("tls/private-key.pem") + " (string)\n");
    EXPECT_EQ(std::filesystem::status(home.File("tls/private-key.pem")).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    // Every table, each column at its position (PostgreSQL folds the names).
    const bool postgres = DataSource::PostgresTargetOf(home.Path()).has_value();
    for (const auto& table : DatabaseSchema::Tables()) {
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            std::string sql = postgres ? "SELECT column_name FROM information_schema.columns WHERE table_name = "
                                         "lower('" + std::string(table.name) +
                                             "') AND ordinal_position = " + std::to_string(i + 1)
                                       : "SELECT name FROM pragma_table_info('" + std::string(table.name) +
                                             "') WHERE cid = " + std::to_string(i);
            EXPECT_TRUE(EqualsNoCase(Query(sql), table.columns[i].name)) << table.name << " " << Query(sql);
        }
    }

    std::string out;
    ASSERT_EQ(Reg({"set", "Preferences", "StoreMailLog", "dword", "0"}), 0);
    ASSERT_EQ(Query("INSERT INTO Accounts VALUES (1,'keep','x','QIRN1',0,1,0,1,'k@x',0)"), "<no row>");
    const std::string settingsBefore = TestHome::ReadFile(home.File("settings.reg"));
    ASSERT_TRUE(home.Provision());
    EXPECT_EQ(TestHome::ReadFile(home.File("settings.reg")), settingsBefore);
    EXPECT_EQ(Query("SELECT aUserName FROM Accounts WHERE aAccountId = 1"), "keep");
    ASSERT_EQ(Reg({"get", "Preferences", "StoreMailLog"}, &out), 0);
    EXPECT_EQ(out, "StoreMailLog = 0 (dword)\n");
    ASSERT_EQ(Reg({"get", "Servers\\#1", "DLLLocation"}, &out), 0);
    EXPECT_EQ(out, "DLLLocation = SMTP_Server.so (string)\n");
    ASSERT_EQ(Reg({"get", "Servers\\#2", "DLLLocation"}, &out), 0);
    EXPECT_EQ(out, "DLLLocation = POP3_Server.so (string)\n");

    // An entry the administrator switched off stays off and is not added again.
    ASSERT_EQ(Reg({"set", "Servers\\#2", "Active", "dword", "0"}), 0);
    ASSERT_TRUE(home.Provision());
    ASSERT_EQ(Reg({"get", "Servers\\#2", "Active"}, &out), 0);
    EXPECT_EQ(out, "Active = 0 (dword)\n");
    ASSERT_EQ(Reg({"get", "Servers\\#3", "DLLLocation"}, &out), 0);
    EXPECT_EQ(out, "DLLLocation = IMAP_Server.so (string)\n");
    EXPECT_NE(Reg({"get", "Servers\\#4", "DLLLocation"}), 0);
}

TEST(Setup, TheHomeAndWhatHoldsPasswordsAreTheOwnersAlone) {
    TestHome home;
    std::vector<std::string> files = {"", "tls", "settings.reg", "odbc.ini", "tls/private-key.pem"};
    if (!PostgresTestServer::FromEnvironment()) {
        files.insert(files.end(), {"velmora.db", "velmora.db-wal", "velmora.db-shm"});
        TestHome::WriteFile(home.File("velmora.db"), "");  // 0644, as an earlier setup left it
    }
    ASSERT_EQ(::chmod(home.Path().c_str(), 0755), 0);
    auto mode = [&](const std::string& name) {
        struct stat info {};
        return ::stat(home.File(name).c_str(), &info) == 0 ? info.st_mode & 0777 : 0u;
    };
    auto expectPrivateThenLoosen = [&](const char* when) {
        for (const std::string& name : files) {
            const bool directory = name.empty() || name == "tls";
            EXPECT_EQ(mode(name), directory ? 0700u : 0600u) << name << " " << when;
            ::chmod(home.File(name).c_str(), directory ? 0755 : 0644);
        }
    };
    ASSERT_TRUE(home.Provision());
    // While a connection stays open, SQLite's companions stay, with the database's mode.
    OdbcEnvironment env;
    OdbcConnection open;
    ASSERT_TRUE(open.Allocate(env) && open.Connect());
    ASSERT_EQ(Query("INSERT INTO Accounts VALUES (7,'wal','x','QIRN1',0,1,0,1,'w@x',0)"), "<no row>");
    expectPrivateThenLoosen("after setup");
    ASSERT_EQ(Reg({"set", "Preferences", "StoreMailLog", "dword", "0"}), 0);
    EXPECT_EQ(mode("settings.reg"), 0600u) << "rewritten";
    ASSERT_TRUE(home.Provision());
    expectPrivateThenLoosen("after setup on a loosened home");
}

TEST(Setup, APostgresDatabaseThatCannotKeepEveryByteIsWarnedOf) {
    const auto server = PostgresTestServer::FromEnvironment();
    if (!server) GTEST_SKIP() << "needs the PostgreSQL test cluster";
    TestHome home;
    const auto target = PostgresTestServer::CreateDatabase(home.Path(), *server, "UTF8");
    ASSERT_TRUE(target);
    std::ostringstream out, err;
    EXPECT_EQ(SetupCommand::Run(home.Path(), out, err, &*target), 0) << err.str();
    EXPECT_NE(err.str().find("warning: the database " + target->database + " has the encoding UTF8"),
              std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find("ENCODING 'SQL_ASCII'"), std::string::npos);
    PostgresTestServer::DropDatabase(home.Path(), *server);
}

TEST(Setup, MissingPiecesAreNamed) {
    if (PostgresTestServer::FromEnvironment()) GTEST_SKIP() << "the SQLite data source's pieces";
    TestHome home;
    EXPECT_NE(
        DataSource::Diagnose(home.Path()).find("odbc.ini is missing. Run `velmora --home " + home.Path() + " setup`"),
        std::string::npos);
    ASSERT_TRUE(home.Provision());
    EXPECT_EQ(DataSource::ThreadingWarning(home.Path()), "");
    std::filesystem::remove(home.File("velmora.db"));
    EXPECT_NE(DataSource::Diagnose(home.Path()).find("velmora.db does not exist"), std::string::npos);
    TestHome::WriteFile(home.File("odbcinst.ini"), "[Velmora SQLite3]\nDriver=/nonexistent/libsqlite3odbc.so\n");
    EXPECT_NE(DataSource::Diagnose(home.Path()).find("install the Debian package libsqliteodbc"), std::string::npos);
    // Without a serialising level the threads' shared connection is unsafe.
    EXPECT_NE(DataSource::ThreadingWarning(home.Path()).find("has no Threading line"), std::string::npos);
    TestHome::WriteFile(home.File("odbcinst.ini"), "[Velmora SQLite3]\nDriver=/x.so\nThreading=1\n");
    EXPECT_NE(DataSource::ThreadingWarning(home.Path()).find("has Threading=1"), std::string::npos);
}

// A PostgreSQL address names user, server and database but never a
// password; its data source keeps the password readable by its owner only.
TEST(Setup, PostgresAddressesAndTheirDataSource) {
    std::string error;
    const auto target = DataSource::ParsePostgresUrl("postgresql://mail@[::1]:6543/velmora", error);
    ASSERT_TRUE(target) << error;
    EXPECT_EQ(target->host, "::1");
    EXPECT_EQ(target->Url(), "postgresql://mail@[::1]:6543/velmora");
    EXPECT_EQ(DataSource::ParsePostgresUrl("postgresql://mail@db.example/v", error)->port, "5432");
    for (const char* bad : {"postgresql://mail:secret@h/v", "postgresql://h/v", "postgresql://m@h:0/v",
                            "postgresql://m@h:99999/v", "postgresql://m@h/", "mysql://m@h/v", "postgresql://m@h/v;x=1",
                            "postgresql://m@[::1]x/v"})
        EXPECT_FALSE(DataSource::ParsePostgresUrl(bad, error)) << bad;
    EXPECT_FALSE(DataSource::ParsePostgresUrl("postgresql://m:pw@h/v", error));
    EXPECT_NE(error.find("PGPASSWORD"), std::string::npos);

    TestHome home;
    auto withPassword = *target;
    withPassword.password = "it's; {odd}";
    ASSERT_TRUE(DataSource::WritePostgresFiles(home.Path(), withPassword, error)) << error;
    EXPECT_EQ(std::filesystem::status(home.File("odbc.ini")).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const auto read = DataSource::PostgresTargetOf(home.Path());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->Url(), target->Url());
    const std::string before = TestHome::ReadFile(home.File("odbc.ini"));
    ASSERT_TRUE(DataSource::WritePostgresFiles(home.Path(), withPassword, error));
    EXPECT_EQ(TestHome::ReadFile(home.File("odbc.ini")), before);
    withPassword.password = " padded";
    EXPECT_FALSE(DataSource::WritePostgresFiles(home.Path(), withPassword, error));
}

TEST(RegCommand, SetGetDeleteABrokenFileAndARefusedChangeLeavesTheFileByteIdentical) {
    TestHome home;
    std::string out, err;
    EXPECT_EQ(Reg({"get", "Ports", "SMTP Port"}, &out, &err), 1);
    ASSERT_EQ(Reg({"set", "Ports", "SMTP Port", "dword", "2525"}, &out), 0);
    EXPECT_NE(out.find("restart a running `velmora run`"), std::string::npos) << out;
    ASSERT_EQ(Reg({"set", "Ports", "SMTP Timeout", "dword", "60"}, &out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(Reg({"set", "DNS", "#1", "string", "127.0.0.1:5353"}), 0);
    ASSERT_EQ(Reg({"get", "Ports", "SMTP Port"}, &out), 0);
    EXPECT_EQ(out, "SMTP Port = 2525 (dword)\n");
    ASSERT_EQ(Reg({"list"}, &out), 0);
    EXPECT_NE(out.find("  SMTP Port = 2525 (dword)"), std::string::npos);
    EXPECT_NE(out.find("  #1 = 127.0.0.1:5353 (string)"), std::string::npos);
    ASSERT_EQ(Reg({"delete", "DNS", "#1"}), 0);
    EXPECT_EQ(Reg({"delete", "DNS", "#1"}), 1);

    std::string text = TestHome::ReadFile(home.File("settings.reg"));
    text += "this line is not a setting\n";
    TestHome::WriteFile(home.File("settings.reg"), text);
    EXPECT_EQ(Reg({"set", "Ports", "SMTP Port", "dword", "25"}, &out, &err), 2);
    EXPECT_NE(err.find(home.File("settings.reg") + ": line "), std::string::npos) << err;
    EXPECT_EQ(TestHome::ReadFile(home.File("settings.reg")), text);

    // A refused change leaves the file byte-identical.
    TestHome fresh;
    ASSERT_EQ(Reg({"set", "Ports", "SMTP Port", "dword", "2525"}), 0);
    const std::string before = TestHome::ReadFile(fresh.File("settings.reg"));
    struct Case {
        std::vector<std::string> args;
        int rc;
        const char* says;
    };
    const Case cases[] = {
        {{"set", "Ports", "SMTP Port", "string", "2525"}, 1, "is a dword setting (a number)"},
        {{"set", "Ports", "SMTP Port", "dword", "70000"}, 1, "takes a number from 1 to 65535"},
        {{"set", "Ports", "SMTP Port", "dword", "0"}, 1, "takes a number from 1 to 65535"},
        {{"set", "Ports", "SMTP Port", "dword", "-1"}, 64, "is not a number"},
        {{"set", "Ports", "SMTP Port", "qword", "1"}, 64, "is not a type"},
        {{"set", "Storage", "Mail Directory", "dword", "1"}, 1, "is a string setting"},
        {{"set", "Ports", "SMTP Prot", "dword", "25"}, 1, "--force"},
        {{"set", "NewKey", "Anything", "string", "x"}, 1, "--force"},
        {{"set", "Servers\\#1", "Active", "string", "1"}, 1, "is a dword setting"},
        {{"set", "Ports", "SMTP Port", "dword"}, 64, "usage:"},
        // Names that would break the file's lines or headers, however forced.
        {{"set", "P\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ports", "x", "dword", "0", "--force"}, 64, "\"P\\n[HKEY"},
        {{"set", "Ports]", "x", "string", "y", "--force"}, 64, "holds \"]\""},
        {{"set", "Ports", "x\n\"SMTP Port\"=dword:00000000", "string", "y", "--force"}, 64, "holds a line break"},
    };
    for (const Case& c : cases) {
        std::string err;
        EXPECT_EQ(Reg(c.args, nullptr, &err), c.rc) << c.args[2];
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(TestHome::ReadFile(fresh.File("settings.reg")), before) << c.args[2];
    }
    // Asked for explicitly, an unknown name is stored; its text reads back as given.
    std::string got, odd = "C:\\x \"q\"\\\n[HKEY_LOCAL_MACHINE\\Ports]\r\\";
    ASSERT_EQ(Reg({"set", "NewKey", "Any\\\"]thing", "string", odd, "--force"}), 0);
    ASSERT_EQ(Reg({"get", "NewKey", "Any\\\"]thing"}, &got), 0);
    EXPECT_EQ(got, "Any\\\"]thing = " + odd + " (string)\n");
}

// A new home sends by itself: a cycle every five minutes and one as soon as
// a remote recipient is queued; a second setup keeps what was changed since.
TEST(Setup, ANewHomeSendsByItselfAndKeepsWhatWasChanged) {
    TestHome home;
    std::ostringstream out, err;
    ASSERT_EQ(SetupCommand::Run(home.Path(), out, err), 0) << err.str();
    std::string value;
    ASSERT_EQ(Reg({"get", "Preferences", "SendOnMailCount"}, &value), 0);
    EXPECT_EQ(value, "SendOnMailCount = 1 (dword)\n");
    std::ostringstream shown, ignored;
    ASSERT_EQ(ScheduleCommand::Run({"show"}, shown, ignored), 0);
    EXPECT_NE(shown.str().find("Scheduler: automatic\nMode: every 5 minutes\n"), std::string::npos) << shown.str();

    ASSERT_EQ(Reg({"set", "Preferences", "SendOnMailCount", "dword", "7"}), 0);
    ASSERT_EQ(ScheduleCommand::Run({"set", "--interval", "30", "--manual"}, ignored, ignored), 0);
    const std::string schedule = TestHome::ReadFile(home.File("Schedule.stg"));
    ASSERT_EQ(SetupCommand::Run(home.Path(), out, err), 0) << err.str();
    ASSERT_EQ(Reg({"get", "Preferences", "SendOnMailCount"}, &value), 0);
    EXPECT_EQ(value, "SendOnMailCount = 7 (dword)\n");
    EXPECT_EQ(TestHome::ReadFile(home.File("Schedule.stg")), schedule);

    // A home whose schedule file went away stays without one.
    std::filesystem::remove(home.File("Schedule.stg"));
    ASSERT_EQ(SetupCommand::Run(home.Path(), out, err), 0) << err.str();
    EXPECT_FALSE(std::filesystem::exists(home.File("Schedule.stg")));
}

TEST(Setup, TheDomainBecomesTheHomesOwnAndThePostmasterFollowsIt) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    std::ostringstream out, err;
    std::istringstream none;
    for (const char* domain : {"", "Example.ORG", "example.net"}) {
        if (std::string(domain) == "example.net")  // an address the administrator chose stays
            ASSERT_EQ(AccountCommand::Run({"set", "postmaster", "--email", "boss@x.org"}, none, out, err, false), 0);
        std::vector<std::string> args = {"--postmaster-password", "pm"};
        if (*domain) args.insert(args.end(), {"--domain", domain});
        ASSERT_EQ(SetupCommand::Run(home.Path(), args, out, err), 0) << err.str();
        EXPECT_EQ(COwnNames::Postmaster(), "postmaster@" + (*domain ? FoldCase(domain) : "127.0.0.1"));
    }
    EXPECT_EQ(Query("SELECT EmailId FROM Accounts WHERE aUserName = 'postmaster'"), "boss@x.org");
    EXPECT_NE(out.str().find("its address is now postmaster@example.org"), std::string::npos) << out.str();
    EXPECT_EQ(Reg({"set", "Preferences", "MailDomain", "string", "vm."}), 1);
}
