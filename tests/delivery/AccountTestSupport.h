// Shared fixture of the account tests: a provisioned home, the account
// database opened as the server opens it, and helpers to query and to make
// message contents.
#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "DatabaseTest.h"
#include "app/RegistryCommand.h"

class AccountTest : public DatabaseTest {
protected:
    // Creates an account the way the user editor does; returns its id.
    long Create(const std::string& name, const std::string& password = "secret", bool admin = false) {
        EXPECT_TRUE(db.CreateAccount(name, password, false, admin, name + "@example.org", 0, 1, 1, 0, 0)) << name;
        return AccountId(name);
    }
    std::unique_ptr<CLocalAccount> Account(const std::string& name) {
        return std::unique_ptr<CLocalAccount>(db.LookupLocalAccount(name));
    }
    static void SetCleanUp(bool on) {
        std::ostringstream out, err;
        ASSERT_EQ(RegistryCommand::Run({"set", "Preferences", "CleanUpAfterDelete", "dword", on ? "1" : "0"}, out, err),
                  0);
    }
};
