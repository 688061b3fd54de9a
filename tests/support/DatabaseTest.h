// DatabaseTest: a provisioned home with the account database opened as the
// server opens it, and small helpers to query it and to make and read
// message contents. The fixture of every test that needs the database.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestContent.h"
#include "TestHome.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcStatement.h"
#include "store/MailStorePaths.h"

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.Provision());
        CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
        CMailDatabase::SetMailStoreMaker(&mailstore::MakeAccountDirectories);
        ASSERT_TRUE(db.Open());
    }
    SQLHDBC Connection() { return db.GetConnectionHandle(); }
    // Every row of a query, each column as text ("<null>" for NULL).
    std::vector<std::vector<std::string>> Rows(const std::string& sql) {
        std::vector<std::vector<std::string>> rows;
        OdbcStatement s(Connection());
        EXPECT_TRUE(s.ExecDirect(sql)) << s.LastError();
        SQLSMALLINT columns = 0;
        SQLNumResultCols(s.Handle(), &columns);
        while (s.Fetch()) {
            std::vector<std::string> row;
            for (SQLSMALLINT c = 1; c <= columns; ++c) {
                std::string v;
                if (!s.GetText(static_cast<SQLUSMALLINT>(c), v)) v = "<null>";
                row.push_back(v);
            }
            rows.push_back(row);
        }
        return rows;
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
