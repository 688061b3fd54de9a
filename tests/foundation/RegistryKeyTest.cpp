// CRegistryKey's reading rules and CheckRegistryResult's messages; and
// MovedHome: one provisioned path elsewhere is an administrator's choice,
// not a move (the repair of a real move is proven end to end).
#include <gtest/gtest.h>

#include "CapturingInterface.h"
#include "TestHome.h"
#include "foundation/CRegistryKey.h"
#include "foundation/MovedHome.h"
#include "foundation/SettingsCatalogue.h"

namespace {

// Reads ChangeFromAddress the way the main window does: default 1 unless read.
DWORD ReadChangeFromAddress() {
    DWORD value = 1;
    CRegistryKey key(settings::kCompany, settings::kProduct, HKEY_LOCAL_MACHINE);
    if (key.OpenProductKey()) {
        if (key.OpenSubKey(settings::kPreferences)) {
            value = key.GetDWord("ChangeFromAddress");
            key.CloseSubKey();
        }
        key.CloseProductKey();
    }
    return value;
}

void WriteHome(const TestHome& home, const std::string& database, const std::string& mail) {
    TestHome::WriteFile(home.File("odbc.ini"), "[Velmora]\nDriver=Velmora SQLite3\nDatabase=" + database + "\n");
    TestHome::WriteFile(home.File("settings.reg"),
                        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Storage]\n"
                        "\"Mail Directory\"=\"" +
                            mail + "\"\n");
}

}  // namespace

TEST(CRegistryKey, ReadingRulesEnumValuesAndDnsDelete) {
    TestHome home;
    EXPECT_EQ(ReadChangeFromAddress(), 1u);  // no settings at all

    CRegistryKey writer(settings::kCompany, settings::kProduct, HKEY_LOCAL_MACHINE);
    TestHome::WriteFile(home.File("settings.reg"),
                        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Preferences]\n"
                        "\"StoreMailLog\"=dword:00000001\n");
    EXPECT_EQ(ReadChangeFromAddress(), 0u);

    ASSERT_TRUE(writer.OpenProductKey());
    ASSERT_TRUE(writer.OpenSubKey("Preferences"));
    writer.SetString("Abc", "abc");
    EXPECT_EQ(writer.LastError(), 0);
    EXPECT_EQ(writer.GetString("Abc"), "abc");
    EXPECT_EQ(writer.GetString("Missing"), "");
    EXPECT_EQ(writer.LastError(), ERROR_FILE_NOT_FOUND);
    writer.SetDWord("ChangeFromAddress", 7);
    EXPECT_EQ(writer.GetDWord("ChangeFromAddress"), 7u);
    writer.CloseSubKey();
    writer.CloseProductKey();
    EXPECT_NE(TestHome::ReadFile(home.File("settings.reg")).find("\"Abc\"=\"abc\""), std::string::npos);

    // EnumValues skips the unnamed value and ends on a broken file; a DNS delete reports absence.
    TestHome dns;
    TestHome::WriteFile(dns.File("settings.reg"),
                        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\DNS]\n"
                        "\"#1\"=\"127.0.0.1:5353\"\n@=\"unnamed\"\n\"#2\"=\"10.0.0.1\"\n");
    CRegistryKey key(settings::kCompany, settings::kProduct, HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(key.OpenProductKey());
    ASSERT_TRUE(key.OpenSubKey("DNS"));
    auto values = key.EnumValues();
    EXPECT_EQ(*values, (std::map<std::string, std::string>{{"#1", "127.0.0.1:5353"}, {"#2", "10.0.0.1"}}));
    EXPECT_TRUE(key.DeleteDnsValue("#1"));
    EXPECT_FALSE(key.DeleteDnsValue("#9"));
    EXPECT_EQ(key.EnumValues()->size(), 1u);
    // A file that can no longer be read ends the enumeration.
    TestHome::WriteFile(dns.File("settings.reg"), "garbage\n");
    EXPECT_TRUE(key.EnumValues()->empty());  // and returns at all
}

TEST(CheckRegistryResult, ShowsTheTwoMessages) {
    CapturingInterface ui;
    EXPECT_TRUE(CheckRegistryResult(0));
    EXPECT_FALSE(CheckRegistryResult(5));
    EXPECT_FALSE(CheckRegistryResult(2));
    EXPECT_EQ(ui.shown, (std::vector<std::string>{"Marlowin: Access Denied in Reading Registry Key",
                                                  "Marlowin: Error in Reading Registry Key"}));
}

TEST(MovedHome, TwoPathsAtAnotherHomeAreAMoveOneIsAChoice) {
    TestHome home;
    WriteHome(home, "/srv/old/velmora.db", "/srv/old/mail");
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), "/srv/old");
    WriteHome(home, "/data/velmora.db", "/data/mail-store");
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), "");
    WriteHome(home, home.File("velmora.db"), "/srv/old/mail");
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), "");
}
