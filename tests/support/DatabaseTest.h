// DatabaseTest: a provisioned home with the account database opened as the
// server opens it, and small helpers to query it and to make and read
// message contents. The fixture of every test that needs the database.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TestContent.h"
#include "TestHome.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"
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
    void TearDown() override {
        if (!previous.empty()) std::filesystem::current_path(previous);
    }
    // Makes the home the working directory, as it is for the server, until the test ends.
    void WorkInHome() {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(home.Path());
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
    // Every row of a query as one line, its columns joined by "|".
    std::vector<std::string> Lines(const std::string& sql) {
        std::vector<std::string> lines;
        for (const std::vector<std::string>& row : Rows(sql)) {
            std::string line;
            for (std::size_t c = 0; c < row.size(); ++c) line += (c ? "|" : "") + row[c];
            lines.push_back(line);
        }
        return lines;
    }
    bool Exec(const std::string& sql) {
        OdbcStatement s(db.GetConnectionHandle());
        return s.ExecDirect(sql);
    }
    long AccountId(const std::string& user) {
        return std::stol(Text("SELECT aAccountId FROM Accounts WHERE aUserName = '" + user + "'"));
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
    std::filesystem::path previous;
};
