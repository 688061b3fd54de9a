// DatabaseTest: a provisioned home with the account database opened as the
// server opens it, and small helpers to query it and to make and read
// message contents. The fixture of every test that needs the database.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TestHome.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcStatement.h"

class DatabaseTest : public ::testing::Test {
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
    // The first column of the first row, or "<none>".
    std::string Text(const std::string& sql) {
        OdbcStatement s(db.GetConnectionHandle());
        std::string v;
        if (!s.ExecDirect(sql) || !s.Fetch() || !s.GetText(1, v)) return "<none>";
        return v;
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

    TestHome home;
    CMailDatabase db;
};
