// `velmora setup` provisions a whole home and a second run changes nothing;
// `velmora reg` edits settings and names a broken file's line.
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
    EXPECT_EQ(out, "0\n");
    ASSERT_EQ(Reg({"get", "Servers\\#1", "DLLLocation"}, &out), 0);
    EXPECT_EQ(out, "SMTP_Server.so\n");
}

TEST(Setup, MissingPiecesAreNamed) {
    TestHome home;
    EXPECT_NE(DataSource::Diagnose(home.Path()).find("odbc.ini is missing"), std::string::npos);
    ASSERT_TRUE(home.Provision());
    std::filesystem::remove(home.File("velmora.db"));
    EXPECT_NE(DataSource::Diagnose(home.Path()).find("velmora.db does not exist"), std::string::npos);
    TestHome::WriteFile(home.File("odbcinst.ini"), "[Velmora SQLite3]\nDriver=/nonexistent/libsqlite3odbc.so\n");
    EXPECT_NE(DataSource::Diagnose(home.Path()).find("install the Debian package libsqliteodbc"), std::string::npos);
}

TEST(RegCommand, SetGetDeleteAndABrokenFile) {
    TestHome home;
    std::string out, err;
    EXPECT_EQ(Reg({"get", "Ports", "SMTP Port"}, &out, &err), 1);
    ASSERT_EQ(Reg({"set", "Ports", "SMTP Port", "dword", "2525"}), 0);
    ASSERT_EQ(Reg({"set", "DNS", "#1", "string", "127.0.0.1:5353"}), 0);
    ASSERT_EQ(Reg({"get", "Ports", "SMTP Port"}, &out), 0);
    EXPECT_EQ(out, "2525\n");
    EXPECT_EQ(Reg({"set", "Ports", "SMTP Port", "dword", "-1"}), 64);
    EXPECT_EQ(Reg({"set", "Ports", "SMTP Port", "dword", "4294967296"}), 64);
    ASSERT_EQ(Reg({"list"}, &out), 0);
    EXPECT_NE(out.find("  SMTP Port = 2525"), std::string::npos);
    EXPECT_NE(out.find("  #1 = 127.0.0.1:5353"), std::string::npos);
    ASSERT_EQ(Reg({"delete", "DNS", "#1"}), 0);
    EXPECT_EQ(Reg({"delete", "DNS", "#1"}), 1);

    std::string text = TestHome::ReadFile(home.File("settings.reg"));
    text += "this line is not a setting\n";
    TestHome::WriteFile(home.File("settings.reg"), text);
    EXPECT_EQ(Reg({"set", "Ports", "SMTP Port", "dword", "25"}, &out, &err), 2);
    EXPECT_NE(err.find(home.File("settings.reg") + ": line "), std::string::npos) << err;
    EXPECT_EQ(TestHome::ReadFile(home.File("settings.reg")), text);
}
