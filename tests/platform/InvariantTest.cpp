// A broken invariant stops a debug or test build where it breaks, naming the
// file, the line and what broke; one that holds costs nothing else.
#include <gtest/gtest.h>

#include "platform/Invariant.h"

TEST(Invariant, ABrokenOneAbortsWithItsPlaceAndText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int claims = 2;
    VELMORA_INVARIANT(claims > 0, "never shown");
    EXPECT_DEATH(VELMORA_INVARIANT(claims == 1, "a spool file claimed twice"),
                 "InvariantTest\\.cpp:[0-9]+: invariant broken: a spool file claimed twice \\(claims == 1\\)");
}
