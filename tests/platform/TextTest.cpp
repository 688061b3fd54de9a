// The UTF-8 cut: never half a character, but bytes that are not UTF-8 are
// cut at the width rather than eaten away.
#include <gtest/gtest.h>

#include <string>

#include "platform/Text.h"

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
