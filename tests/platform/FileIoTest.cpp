// The no-replace rename and its link fallback never overwrite a file, and
// exclusive creation moves on to the next name only when one is taken.
// The UTF-8 cut: never half a character, but bytes that are not UTF-8 are
// cut at the width rather than eaten away.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "TestHome.h"
#include "platform/FileIo.h"
#include "platform/Text.h"

TEST(FileIo, RenameNeverReplacesByEitherRoute) {
    TestHome home;
    const std::string from = home.File("from"), to = home.File("to");
    for (auto rename : {&RenameNoReplace, &LinkThenUnlink}) {
        TestHome::WriteFile(from, "new");
        TestHome::WriteFile(to, "old");
        errno = 0;
        EXPECT_FALSE(rename(from, to));
        EXPECT_EQ(errno, EEXIST);
        EXPECT_EQ(TestHome::ReadFile(from), "new");
        EXPECT_EQ(TestHome::ReadFile(to), "old");

        ASSERT_EQ(::unlink(to.c_str()), 0);
        EXPECT_TRUE(rename(from, to));
        EXPECT_EQ(TestHome::ReadFile(to), "new");
        EXPECT_NE(::access(from.c_str(), F_OK), 0);
        ASSERT_EQ(::unlink(to.c_str()), 0);
    }
}

TEST(FileIo, CreateExclusiveTakesTheFirstFreeName) {
    TestHome home;
    TestHome::WriteFile(home.File("n0"), "taken");
    const auto name = [&](unsigned attempt) {
        return attempt == 1 ? std::string() : home.File("n" + std::to_string(attempt));
    };
    std::string path;
    UniqueFd file = CreateExclusive(name, 3, O_WRONLY, 0600, path);
    ASSERT_TRUE(file);
    EXPECT_EQ(path, home.File("n2"));
    EXPECT_EQ(TestHome::ReadFile(home.File("n0")), "taken");

    path.clear();
    errno = 0;
    EXPECT_FALSE(CreateExclusive(name, 3, O_WRONLY, 0600, path));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(path.empty());
}

TEST(Text, CutAtCharacterKeepsWholeCharacters) {
    EXPECT_EQ(CutAtCharacter("short", 255), "short");
    EXPECT_EQ(CutAtCharacter(std::string(300, 'a'), 255), std::string(255, 'a'));
    // A euro sign (three bytes) that would be split goes whole.
    EXPECT_EQ(CutAtCharacter(std::string(254, 'a') + "\xe2\x82\xac", 255), std::string(254, 'a'));
    EXPECT_EQ(CutAtCharacter("\xc3\xa9\xc3\xa9", 3), "\xc3\xa9");
    // Not UTF-8: a run of continuation bytes longer than a character, also
    // one that reaches back to the start, is cut where the width says.
    EXPECT_EQ(CutAtCharacter(std::string(300, '\xa0'), 255), std::string(255, '\xa0'));
    EXPECT_EQ(CutAtCharacter("\xa0\xa0\xa0\xa0", 2), "\xa0\xa0");
}
