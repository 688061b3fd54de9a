// MovedHome: one provisioned path elsewhere is an administrator's choice,
// not a move (the repair of a real move is proven end to end).
#include <gtest/gtest.h>

#include "TestHome.h"
#include "foundation/MovedHome.h"

namespace {

void WriteHome(const TestHome& home, const std::string& database, const std::string& mail) {
    TestHome::WriteFile(home.File("odbc.ini"), "[Velmora]\nDriver=Velmora SQLite3\nDatabase=" + database + "\n");
    TestHome::WriteFile(home.File("settings.reg"),
                        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Storage]\n"
                        "\"Mail Directory\"=\"" +
                            mail + "\"\n");
}

}  // namespace

TEST(MovedHome, TwoPathsAtAnotherHomeAreAMoveOneIsAChoice) {
    TestHome home;
    WriteHome(home, "/srv/old/velmora.db", "/srv/old/mail");
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), "/srv/old");
    WriteHome(home, "/data/velmora.db", "/data/mail-store");
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), "");
    WriteHome(home, home.File("velmora.db"), "/srv/old/mail");
    EXPECT_EQ(MovedHome::FormerDirectory(home.Path()), "");
}
