// The settings layer's reading rules (SettingValue), CheckRegistryResult's
// messages; and MovedHome: one provisioned path elsewhere is an
// administrator's choice, not a move (the repair of a real move is proven
// end to end).
#include <gtest/gtest.h>

#include "CapturingInterface.h"
#include "TestHome.h"
#include "foundation/CheckRegistryResult.h"
#include "foundation/MovedHome.h"
#include "foundation/SettingValue.h"
#include "platform/RegistryValues.h"

namespace {

// Reads ChangeFromAddress the way the start-up switches are read.
DWORD ReadChangeFromAddress() {
    return settings::Dword{settings::kPreferences, "ChangeFromAddress"}.ValueOrZero();
}

void WriteHome(const TestHome& home, const std::string& database, const std::string& mail) {
    TestHome::WriteFile(home.File("odbc.ini"), "[Velmora]\nDriver=Velmora SQLite3\nDatabase=" + database + "\n");
    TestHome::WriteFile(home.File("settings.reg"),
                        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Storage]\n"
                        "\"Mail Directory\"=\"" +
                            mail + "\"\n");
}

}  // namespace

TEST(SettingValue, ReadingRulesListingAndDelete) {
    TestHome home;
    EXPECT_EQ(ReadChangeFromAddress(), 1u);  // no settings at all

    TestHome::WriteFile(home.File("settings.reg"),
                        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Preferences]\n"
                        "\"StoreMailLog\"=dword:00000001\n");
    EXPECT_EQ(ReadChangeFromAddress(), 0u);
    // Names in any case; a missing key and a missing value told apart.
    const std::string preferences = settings::Dword(settings::kPreferences, "StoreMailLog").KeyPath();
    DWORD stored = 0;
    EXPECT_EQ(registry::ReadDword(preferences, "storemaillog", stored), registry::Found::Value);
    EXPECT_EQ(registry::ReadDword(preferences, "Nothing", stored), registry::Found::NoValue);
    EXPECT_EQ(registry::ReadDword(preferences + "\\None", "Nothing", stored), registry::Found::NoKey);

    constexpr settings::Text kMailBox{settings::kPreferences, "AllMailLogMailBox"};
    EXPECT_TRUE(kMailBox.Write("abc"));
    EXPECT_EQ(kMailBox.Value(), "abc");
    EXPECT_FALSE(kMailBox.Stored(2).has_value());  // longer than the reader takes
    EXPECT_FALSE(settings::Text(settings::kPreferences, "MailDomain").Stored().has_value());
    EXPECT_TRUE(settings::Dword(settings::kPreferences, "ChangeFromAddress").Write(7));
    EXPECT_EQ(ReadChangeFromAddress(), 7u);
    EXPECT_NE(TestHome::ReadFile(home.File("settings.reg")).find("\"AllMailLogMailBox\"=\"abc\""), std::string::npos);

    // Out of range or stored with another type: the catalogue's default; above: clamped.
    constexpr settings::Dword kTimeout{settings::kPorts, "POP3 Timeout"};
    ASSERT_TRUE(kTimeout.Write(0, true));
    EXPECT_EQ(kTimeout.Value(), 600u);
    EXPECT_EQ(kTimeout.Clamped(), 600u);
    ASSERT_TRUE(kTimeout.Write(99999));
    EXPECT_EQ(kTimeout.Value(), 600u);
    EXPECT_EQ(kTimeout.Clamped(), 3600u);
    ASSERT_EQ(registry::WriteText(kTimeout.KeyPath(), "POP3 Timeout", "30", false), ERROR_SUCCESS);
    EXPECT_FALSE(kTimeout.Stored().has_value());
    EXPECT_EQ(kTimeout.Value(), 600u);

    // Listing skips nothing named; a delete reports absence; a broken file ends the listing.
    TestHome dns;
    TestHome::WriteFile(dns.File("settings.reg"),
                        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\DNS]\n"
                        "\"#1\"=\"127.0.0.1:5353\"\n\"#2\"=\"10.0.0.1\"\n");
    std::vector<registry::StoredValue> values;
    EXPECT_EQ(registry::ListValues(settings::kDnsKeyPath, values, 99, 399), ERROR_SUCCESS);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, "#1");
    EXPECT_EQ(values[1].data, "10.0.0.1");
    EXPECT_EQ(registry::DeleteValue(settings::kDnsKeyPath, "#1"), ERROR_SUCCESS);
    EXPECT_NE(registry::DeleteValue(settings::kDnsKeyPath, "#9"), ERROR_SUCCESS);
    values.clear();
    registry::ListValues(settings::kDnsKeyPath, values, 99, 399);
    EXPECT_EQ(values.size(), 1u);
    TestHome::WriteFile(dns.File("settings.reg"), "garbage\n");
    values.clear();
    EXPECT_NE(registry::ListValues(settings::kDnsKeyPath, values, 99, 399), ERROR_SUCCESS);
    EXPECT_TRUE(values.empty());
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
