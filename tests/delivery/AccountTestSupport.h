// Shared fixture of the account tests: a provisioned home, the account
// database opened as the server opens it, and helpers to query and to make
// message contents.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "TestHome.h"
#include "app/RegistryCommand.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcStatement.h"

class AccountTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.Provision());
        CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
        ASSERT_TRUE(db.Open());
    }
    bool Exec(const std::string& sql) {
        OdbcStatement s(db.GetConnectionHandle());
        return s.ExecDirect(sql);
    }
    std::string Text(const std::string& sql) {
        OdbcStatement s(db.GetConnectionHandle());
        std::string v;
        if (!s.ExecDirect(sql) || !s.Fetch() || !s.GetText(1, v)) return "<none>";
        return v;
    }
    // Creates an account the way the user editor does; returns its id.
    long Create(const std::string& name, const std::string& password = "secret", bool admin = false) {
        EXPECT_TRUE(db.CreateAccount(name, password, false, admin, name + "@example.org", 0, 1, 1, 0, 0)) << name;
        return std::stol(Text("SELECT aAccountId FROM Accounts WHERE aUserName = '" + name + "'"));
    }
    std::unique_ptr<CLocalAccount> Account(const std::string& name) {
        return std::unique_ptr<CLocalAccount>(db.LookupLocalAccount(name));
    }
    static std::unique_ptr<CTempMailContent> Content(const std::string& text) {
        auto content = std::make_unique<CTempMailContent>();
        EXPECT_TRUE(content->Open());
        EXPECT_TRUE(content->Write(text.data(), static_cast<std::uint32_t>(text.size())));
        return content;
    }
    static std::string ReadAll(CMailContent& content) {
        std::string text;
        char block[4096];
        content.Rewind();
        for (int n; (n = content.Read(block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
        return text;
    }
    static void SetCleanUp(bool on) {
        std::ostringstream out, err;
        ASSERT_EQ(RegistryCommand::Run({"set", "Preferences", "CleanUpAfterDelete", "dword", on ? "1" : "0"}, out, err),
                  0);
    }

    TestHome home;
    CMailDatabase db;
};
