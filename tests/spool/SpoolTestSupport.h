// Shared fixture for the spool tests: the database fixture with the home as
// the working directory and its own temporary directory for message files,
// and helpers to build messages and inspect the spool directory.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DatabaseTest.h"
#include "foundation/CModuleLog.h"
#include "foundation/StringFormat.h"
#include "spool/CSpoolFilePool.h"
#include "spool/MailInfo.h"

namespace spooltest {

inline std::vector<std::string> ListDirectory(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class SpoolTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        WorkInHome();
        const char* tmp = std::getenv("TMPDIR");
        hadTmp = tmp != nullptr;
        if (hadTmp) oldTmp = tmp;
        tempDir = home.File("tmp");
        ASSERT_TRUE(std::filesystem::create_directory(tempDir));
        ::setenv("TMPDIR", tempDir.c_str(), 1);
    }
    void TearDown() override {
        g_moduleLog.Close();
        DatabaseTest::TearDown();
        if (hadTmp)
            ::setenv("TMPDIR", oldTmp.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

    void AddAccount(long id, const std::string& name) {
        ASSERT_TRUE(Exec(StringPrintf("INSERT INTO Accounts VALUES (%ld, '%s', 'x', 'QIRN%ld', 0, 1, 0, 0,'',0)", id,
                                      SqlEscape(name).c_str(), id)));
    }
    void DeleteAccount(const std::string& name) {
        ASSERT_TRUE(Exec("DELETE FROM Accounts WHERE aUserName = '" + SqlEscape(name) + "'"));
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
    // Kept empty files of routed messages are not entries.
    static std::vector<std::string> SpoolEntries() {
        std::vector<std::string> names = ListDirectory("SMTPSpooler");
        std::erase_if(names, [](const std::string& name) { return CSpoolFilePool::IsKeptName(name); });
        return names;
    }

    std::string tempDir;
    bool hadTmp = false;
    std::string oldTmp;
};

}  // namespace spooltest
