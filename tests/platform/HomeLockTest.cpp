// The home's lock: the lock, not the file, decides; a second holder learns
// the first one's pid; a clean release empties the file, and a pid left by a
// crash tells the next holder that the previous run was interrupted, which a
// start that ends early keeps on record.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestHome.h"
#include "platform/HomeLock.h"

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
