// The no-replace rename and its link fallback never overwrite a file, and
// exclusive creation moves on to the next name only when one is taken.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "TestHome.h"
#include "platform/FileIo.h"

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
