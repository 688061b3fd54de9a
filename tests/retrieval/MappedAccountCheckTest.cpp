// MappedAccountCheck: each field's faults, and the entry dialog's order of
// them across the fields.
#include <gtest/gtest.h>

#include <string>

#include "retrieval/MappedAccountCheck.h"

using M = MappedAccountCheck;

TEST(MappedAccountCheck, FieldsAndTheOrderOfTheirFaults) {
    EXPECT_EQ(M::CheckServer("pop.example.org"), M::Outcome::Ok);
    EXPECT_EQ(M::CheckServer("192.0.2.7"), M::Outcome::Ok);
    EXPECT_EQ(M::CheckServer("pop example"), M::Outcome::BadServer);
    EXPECT_EQ(M::CheckServer(std::string(256, 'a')), M::Outcome::ServerTooLong);
    EXPECT_EQ(M::CheckUser("two words"), M::Outcome::BadUser);
    EXPECT_EQ(M::CheckPassword("with blank"), M::Outcome::Ok);
    EXPECT_EQ(M::CheckPassword("tab\there"), M::Outcome::BadPassword);

    const std::string longUser(65, 'u'), longServer(256, 's'), longPassword(151, 'p');
    EXPECT_EQ(M::CheckEntry("pop.example.org", "office", "secret"), M::Outcome::Ok);
    // Every missing field before any too long one, the user first.
    EXPECT_EQ(M::CheckEntry("", "", ""), M::Outcome::NoUser);
    EXPECT_EQ(M::CheckEntry(longServer, "office", ""), M::Outcome::NoPassword);
    EXPECT_EQ(M::CheckEntry("", longUser, "secret"), M::Outcome::NoServer);
    // Then every field too long before any malformed one.
    EXPECT_EQ(M::CheckEntry("bad server", "office", longPassword), M::Outcome::PasswordTooLong);
    EXPECT_EQ(M::CheckEntry(longServer, longUser, "secret"), M::Outcome::UserTooLong);
    // Then the server before the user before the password.
    EXPECT_EQ(M::CheckEntry("bad server", "bad user", "tab\t"), M::Outcome::BadServer);
    EXPECT_EQ(M::CheckEntry("pop.example.org", "bad user", "tab\t"), M::Outcome::BadUser);
    EXPECT_EQ(M::CheckEntry("pop.example.org", "office", "tab\t"), M::Outcome::BadPassword);
}
