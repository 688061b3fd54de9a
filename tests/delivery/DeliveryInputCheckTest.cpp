// NetwareSettingsCheck and ForwardingTargetCheck: the order in which their
// faults are told, and what an accepted Netware row holds.
#include <gtest/gtest.h>

#include <string>

#include "delivery/ForwardingTargetCheck.h"
#include "delivery/NetwareSettingsCheck.h"

TEST(DeliveryInputCheck, NetwareSettingsAndForwardingTargets) {
    using N = NetwareSettingsCheck;
    NetwareSettings settings;
    EXPECT_EQ(N::Check("", "bad", settings), N::Outcome::NoDirectory);
    EXPECT_EQ(N::Check(std::string(256, 'd'), "bad", settings), N::Outcome::DirectoryTooLong);
    EXPECT_EQ(N::Check("/srv/nw", "no-at-sign", settings), N::Outcome::BadAddress);
    EXPECT_TRUE(settings.mailPath.empty());
    EXPECT_EQ(N::Check(std::string(255, 'd'), "joe@office.test", settings), N::Outcome::Ok);
    EXPECT_EQ(settings.mailPath.size(), 255u);
    EXPECT_EQ(settings.Address(), "joe@office.test");

    using F = ForwardingTargetCheck;
    EXPECT_EQ(F::Check("", ""), F::Outcome::NoUser);
    EXPECT_EQ(F::Check(std::string(65, 'u'), ""), F::Outcome::NoServer);
    EXPECT_EQ(F::Check(std::string(65, 'u'), "a b"), F::Outcome::UserTooLong);
    EXPECT_EQ(F::Check("joe", std::string(255, 's')), F::Outcome::ServerTooLong);
    EXPECT_EQ(F::Check("jo e", "example.org"), F::Outcome::NotPlain);
    EXPECT_EQ(F::Check("joe", "exa;mple.org"), F::Outcome::NotPlain);
    EXPECT_EQ(F::Check("joe", "example.org"), F::Outcome::Ok);
}
