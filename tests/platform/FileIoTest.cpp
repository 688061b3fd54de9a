// The no-replace rename and its link fallback never overwrite a file, and
// exclusive creation moves on to the next name only when one is taken.
// The home's lock: the lock, not the file, decides; a second holder learns
// the first one's pid; a clean release empties the file, and a pid left by a
// crash tells the next holder that the previous run was interrupted, which a
// start that ends early keeps on record.
// The UTF-8 cut: never half a character, but bytes that are not UTF-8 are
// cut at the width rather than eaten away.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "TestHome.h"
#include "platform/FileIo.h"
#include "platform/HomeLock.h"
#include "platform/Text.h"

TEST(FileIo, RenameNeverReplacesAndCreateExclusiveTakesTheFirstFreeName) {
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

    // Exclusive creation takes the first free name.
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

TEST(FileIo, ThreadsSyncingOneDirectoryAllLearnTheOutcome) {
    TestHome home;
    for (const std::string& directory : {home.Path(), home.File("missing")}) {
        const bool exists = directory == home.Path();
        std::vector<std::thread> threads;
        std::atomic<int> succeeded{0}, missing{0};
        for (int i = 0; i < 16; ++i)
            threads.emplace_back([&] {
                for (int round = 0; round < 20; ++round) {
                    if (SyncDirectory(directory))
                        ++succeeded;
                    else if (errno == ENOENT)
                        ++missing;
                }
            });
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(exists ? succeeded.load() : missing.load(), 320) << directory;
    }
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

TEST(HomeLock, OneHolderAtATimeAndACrashIsToldToTheNext) {
    TestHome home;
    const std::string file = home.File(HomeLock::kFileName);
    const std::string self = std::to_string(::getpid()) + "\n";
    {
        HomeLock first, second;
        ASSERT_EQ(first.Acquire(home.Path()), HomeLock::Result::Acquired);
        EXPECT_FALSE(first.PreviousInterrupted());
        EXPECT_EQ(TestHome::ReadFile(file), self);
        EXPECT_EQ(second.Acquire(home.Path()), HomeLock::Result::Held);
        EXPECT_EQ(second.HolderPid(), ::getpid());
        first.Release();
        EXPECT_EQ(TestHome::ReadFile(file), "");
        ASSERT_EQ(second.Acquire(home.Path()), HomeLock::Result::Acquired);
        EXPECT_FALSE(second.PreviousInterrupted());
    }
    // A crashed holder's file: its pid, its start time; no lock.
    TestHome::WriteFile(file, "4242\n");
    const timespec started[2] = {{1700000000, 5}, {1700000000, 5}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), started, 0), 0);
    for (bool clean : {false, true}) {
        HomeLock next;
        ASSERT_EQ(next.Acquire(home.Path()), HomeLock::Result::Acquired);
        EXPECT_TRUE(next.PreviousInterrupted());
        EXPECT_EQ(next.PreviousStart().tv_sec, 1700000000);
        EXPECT_EQ(next.PreviousStart().tv_nsec, 5);
        EXPECT_EQ(TestHome::ReadFile(file), self);
        next.Release(clean);
        EXPECT_EQ(TestHome::ReadFile(file), clean ? "" : "4242\n");
    }
}
