// `velmora setup` provisions a whole home and a second run changes nothing;
// a missing piece of the data source is named with the command that mends it.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "TestHome.h"
#include "app/RegistryCommand.h"
#include "app/SetupCommand.h"
#include "foundation/DataSource.h"
#include "foundation/DatabaseSchema.h"
#include "foundation/OdbcConnection.h"
#include "foundation/OdbcStatement.h"

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
    if (!s.ExecDirect(sql) || !s.Fetch() || !s.GetText(1, v)) return "<none>";
    return v;
}

}  // namespace

TEST(Setup, ProvisionsEverythingAndIsIdempotent) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    for (const char* dir : {"SMTPSpooler", "Outbox", "MailSpooler", "mail"})
        EXPECT_TRUE(std::filesystem::is_directory(home.File(dir))) << dir;
    EXPECT_EQ(DataSource::Diagnose(home.Path()), "");

    // Every table, each column at its position.
    for (const auto& table : DatabaseSchema::Tables()) {
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            std::string sql = "SELECT name FROM pragma_table_info('" + std::string(table.name) +
                              "') WHERE cid = " + std::to_string(i);
            EXPECT_EQ(Query(sql), table.columns[i].name) << table.name;
        }
    }

    std::string out;
    ASSERT_EQ(Reg({"set", "Preferences", "StoreMailLog", "dword", "0"}), 0);
    {
        OdbcEnvironment env;
        OdbcConnection c;
        ASSERT_TRUE(c.Allocate(env) && c.Connect());
        OdbcStatement s(c.Handle());
        ASSERT_TRUE(s.ExecDirect("INSERT INTO Accounts VALUES (1,'keep','x','QIRN1',0,1,0,1,'k@x',0)"));
    }
    const std::string settingsBefore = TestHome::ReadFile(home.File("settings.reg"));
    ASSERT_TRUE(home.Provision());
    EXPECT_EQ(TestHome::ReadFile(home.File("settings.reg")), settingsBefore);
    EXPECT_EQ(Query("SELECT aUserName FROM Accounts WHERE aAccountId = 1"), "keep");
    ASSERT_EQ(Reg({"get", "Preferences", "StoreMailLog"}, &out), 0);
    EXPECT_EQ(out, "StoreMailLog = 0 (dword)\n");
    ASSERT_EQ(Reg({"get", "Servers\\#1", "DLLLocation"}, &out), 0);
    EXPECT_EQ(out, "DLLLocation = SMTP_Server.so (string)\n");
}

TEST(Setup, MissingPiecesAreNamed) {
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
