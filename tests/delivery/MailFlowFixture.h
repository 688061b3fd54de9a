// Shared fixture of the delivery and routing tests: a provisioned home that
// is the working directory (as for the server), the account database, the
// process's mail log, and a real SMTP server (aiosmtpd) on a loopback port
// standing in for the local SMTP server, which records every notice.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DatabaseTest.h"
#include "TestPeers.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "foundation/ProcessSettings.h"
#include "foundation/SettingsCatalogue.h"
#include "maillog/CMailLog.h"

class MailFlowTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        WorkInHome();
        ProcessSettings::Current() = ProcessSettings();
        ASSERT_TRUE(peer.Start(home.File("peer")));
        SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(peer.Port()));
        mailLog = std::make_unique<CMailLog>(db.GetConnectionHandle());
        mailLog->Open();
        CMailLog::Install(mailLog.get());
    }
    void TearDown() override {
        CMailLog::Install(nullptr);
        DatabaseTest::TearDown();
    }

    struct Limits {
        long mailbox = 0;
        long receive = 0;
        long send = 0;
        bool group = false;
        long allowWrite = 1;
    };
    long Create(const std::string& name, Limits limits) {
        EXPECT_TRUE(db.CreateAccount(name, "secret", limits.group, false, name + "@example.org", limits.mailbox, 1,
                                     limits.allowWrite, limits.receive, limits.send))
            << name;
        return AccountId(name);
    }
    long Create(const std::string& name) { return Create(name, Limits{}); }
    // Makes group a group of the members (group id = the group's account id).
    void Members(long group, const std::vector<long>& members) {
        Exec("INSERT INTO Intergroup VALUES (" + std::to_string(group) + "," + std::to_string(group) + ")");
        for (long member : members)
            Exec("INSERT INTO Groups VALUES (" + std::to_string(member) + "," + std::to_string(group) + ")");
    }
    std::unique_ptr<CLocalAccount> Account(const std::string& name) {
        return std::unique_ptr<CLocalAccount>(db.LookupLocalAccount(name));
    }

    long Count(const std::string& sql) { return std::stol(Text(sql)); }
    // The ".mel" files of an account's folder.
    std::vector<std::string> Files(long accountId, const std::string& folder = "Inbox") {
        std::vector<std::string> files;
        const auto dir = home.File("mail/QIRN" + std::to_string(accountId) + "/" + folder);
        for (const auto& e : std::filesystem::directory_iterator(dir)) files.push_back(e.path().string());
        return files;
    }
    // Inbox rows of the account whose ".mel" file exists with the stored size.
    long StoredMessages(long accountId) {
        long n = 0;
        for (const std::string& row : Lines("SELECT mMailId, mMailSize FROM Mails WHERE mFolderId=1 and aAccountId = " +
                                            std::to_string(accountId))) {
            const std::string id = row.substr(0, row.find('|'));
            const auto size = std::stoul(row.substr(row.find('|') + 1));
            const std::string file = home.File("mail/QIRN" + std::to_string(accountId) + "/Inbox/" + id + ".mel");
            EXPECT_TRUE(std::filesystem::exists(file)) << file;
            if (std::filesystem::exists(file)) {
                EXPECT_EQ(std::filesystem::file_size(file), size) << file;
            }
            ++n;
        }
        EXPECT_EQ(n, static_cast<long>(Files(accountId).size())) << "a file without its row";
        return n;
    }

    // A message of exactly size bytes.
    static std::string Message(std::size_t size, const std::string& header =
                                                     "From: Ann <ann@remote.example>\r\n"
                                                     "To: bob@example.org\r\nSubject: Hello\r\n"
                                                     "Date: Sun, 06 Dec 2026 10:00:00 +0000\r\n") {
        std::string text = header + "\r\n" + std::string(size, 'x');
        text.resize(size);
        return text;
    }
    void Deliver(CLocalAccount& account, const std::string& text) {
        account.SetGeneratedMailPolicy(&policy);
        auto content = Content(text);
        account.Deliver(content.get(), static_cast<std::uint32_t>(text.size()));
    }

    // Messages the loopback server has received.
    int Notices() const { return peer.MessageCount(); }
    std::string Notice(int n, std::string* envelope = nullptr) { return peer.Message(n, envelope); }

    // Where mail generated on Deliver may go: by default the message came
    // from a client that may relay (the office's own).
    CGeneratedMailPolicy policy{"ann@remote.example", true, &db};

    SmtpPeer peer;
    std::unique_ptr<CMailLog> mailLog;
};
