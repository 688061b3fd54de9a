// MovedHome: a home whose provisioned paths still name another directory is
// recognised, and the repair rewrites exactly the paths setup wrote there.
#include <gtest/gtest.h>

#include "TestHome.h"
#include "foundation/DataSource.h"
#include "foundation/MovedHome.h"

namespace {

const std::string kOld = "/srv/old-velmora";

void WriteHome(const TestHome& home, const std::string& database, const std::string& mail, const std::string& mailLog) {
    TestHome::WriteFile(home.File("odbc.ini"),
                        "; the office's data source\n[Velmora]\nDriver=Velmora SQLite3\n"
                        "Database=" +
                            database + "\nTimeout=30000\n");
    TestHome::WriteFile(home.File("settings.reg"),
                        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Storage]\n"
                        "\"Mail Directory\"=\"" +
                            mail +
                            "\"\n\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Log]\n"
                            "\"Log Directory\"=\"" +
                            mailLog + "\"\n");
}

}  // namespace

TEST(MovedHome, RepairsOnlyThePathsSetupWroteAtTheOldPlace) {
    TestHome home;
    // The mail logs were put elsewhere by an administrator: they stay there.
    WriteHome(home, kOld + "/velmora.db", kOld + "/mail", "/var/log/velmora-mail");
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), kOld);
    EXPECT_NE(DataSource::Diagnose(home.Path()).find("Run `velmora --home " + home.Path() + " setup`"),
              std::string::npos);

    std::vector<std::string> repaired;
    std::string error;
    ASSERT_TRUE(MovedHome::Repair(home.Path(), kOld, repaired, error)) << error;
    EXPECT_EQ(repaired.size(), 2u);
    EXPECT_EQ(TestHome::ReadFile(home.File("odbc.ini")),
              "; the office's data source\n[Velmora]\nDriver=Velmora SQLite3\nDatabase=" + home.File("velmora.db") +
                  "\nTimeout=30000\n");
    const std::string settings = TestHome::ReadFile(home.File("settings.reg"));
    EXPECT_NE(settings.find("\"Mail Directory\"=\"" + home.File("mail") + "\""), std::string::npos) << settings;
    EXPECT_NE(settings.find("\"Log Directory\"=\"/var/log/velmora-mail\""), std::string::npos) << settings;
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), "");
}

TEST(MovedHome, OnePathElsewhereIsAnAdministratorsChoiceNotAMove) {
    TestHome home;
    WriteHome(home, "/data/velmora.db", "/data/mail-store", home.File("maillog"));
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), "");
    WriteHome(home, home.File("velmora.db"), kOld + "/mail", home.File("maillog"));
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), "");
}
