// Shared fixture for the spool tests: a provisioned home as the working
// directory, its own temporary directory for message files, the account
// database, and helpers to build messages and inspect the spool directory.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TestHome.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcStatement.h"
#include "foundation/StringFormat.h"
#include "spool/MailInfo.h"

namespace spooltest {

inline std::vector<std::string> ListDirectory(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

inline std::string ReadAll(CMailContent& content) {
    std::string text;
    content.Rewind();
    char block[4096];
    for (int n; (n = content.Read(block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
    return text;
}

class SpoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.Provision());
        char cwd[PATH_MAX];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        oldCwd = cwd;
        ASSERT_EQ(::chdir(home.Path().c_str()), 0);
        const char* tmp = std::getenv("TMPDIR");
        hadTmp = tmp != nullptr;
        if (hadTmp) oldTmp = tmp;
        tempDir = home.File("tmp");
        ASSERT_EQ(::mkdir(tempDir.c_str(), 0700), 0);
        ::setenv("TMPDIR", tempDir.c_str(), 1);
        CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
        ASSERT_TRUE(db.Open());
    }
    void TearDown() override {
        g_moduleLog.Close();
        EXPECT_EQ(::chdir(oldCwd.c_str()), 0);
        if (hadTmp)
            ::setenv("TMPDIR", oldTmp.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

    void AddAccount(long id, const std::string& name) {
        OdbcStatement statement(db.GetConnectionHandle());
        ASSERT_TRUE(statement.ExecDirect(
            StringPrintf("INSERT INTO Accounts VALUES (%ld, '%s', 'x', 'QIRN%ld', 0, 1, 0, 0,'',0)", id,
                         SqlEscape(name).c_str(), id)));
    }
    void DeleteAccount(const std::string& name) {
        OdbcStatement statement(db.GetConnectionHandle());
        ASSERT_TRUE(statement.ExecDirect("DELETE FROM Accounts WHERE aUserName = '" + SqlEscape(name) + "'"));
    }

    static std::unique_ptr<CMailContent> Content(const std::string& text) {
        auto content = std::make_unique<CTempMailContent>();
        EXPECT_TRUE(content->Open());
        EXPECT_TRUE(content->Write(text.data(), static_cast<std::uint32_t>(text.size())));
        return content;
    }

    std::unique_ptr<MailInfo> Mail(const std::string& sender, const std::string& text) {
        auto info = std::make_unique<MailInfo>();
        info->sender = sender;
        info->content = Content(text);
        return info;
    }
    static void AddRemote(MailInfo& info, const std::string& user, const std::string& domain) {
        info.recipients.push_back(std::make_unique<MailRecipient>(user, domain));
    }
    void AddLocal(MailInfo& info, const std::string& user, const std::string& domain) {
        auto recipient = std::make_unique<MailRecipient>(user, domain);
        recipient->account.reset(db.LookupLocalAccount(user));
        ASSERT_NE(recipient->account, nullptr) << user;
        info.recipients.push_back(std::move(recipient));
    }

    // Entries of the spool directory, hidden ones included.
    static std::vector<std::string> SpoolEntries() { return ListDirectory("SMTPSpooler"); }

    TestHome home;
    CMailDatabase db;
    std::string oldCwd;
    std::string tempDir;
    bool hadTmp = false;
    std::string oldTmp;
};

}  // namespace spooltest
