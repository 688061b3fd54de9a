// Greeting names: full name, else the home's domain, else an address literal.
#include <gtest/gtest.h>

#include "foundation/COwnNames.h"

TEST(GreetingName, FullNameElseHomeDomainElseAddressLiteral) {
    const char* cases[][4] = {
        {"Mail.Example.ORG.", "example.net", "192.0.2.7", "mail.example.org"},
        {"vm.", "Example.NET", "192.0.2.7", "example.net"},
        {"vm", "corp", "192.0.2.7", "[192.0.2.7]"},
        {"", "", "2001:db8::1", "[IPv6:2001:db8::1]"},
        {"-bad-.example", "ex ample.org", "not an address", "[127.0.0.1]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(COwnNames::Choose(c[0], c[1], c[2]), c[3]) << c[0] << "|" << c[1] << "|" << c[2];
}
