// DatabaseTest: a provisioned home with the account database opened as the
// server opens it, and small helpers to query it and to make and read
// message contents. The fixture of every test that needs the database.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TestContent.h"
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
    TestHome home;
    CMailDatabase db;
};
