// CUserRecord: what delivery and the mailbox need to know about one
// account, read once from Accounts, FolderMapping, MailSizeControl and
// UserPrefrences when the account object is built.
//
// Fetch keeps whole records between messages while the database's record
// version stays (RecordVersion), so a busy account is not read again for
// every message; a record is kept only when all its statements ran.
//
// Loading never fails as a whole: a field whose statement fails keeps its
// default. The password is held in clear after loading. Folder lists are
// indexed by folder number - 1; a number without a FolderMapping row holds
// the placeholder " ".
#pragma once

#include <sql.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CUserRecord {
public:
    // The placeholder name of a folder number that has no folder.
    static constexpr const char* kNoFolder = " ";
    // Folder numbers above this are not loaded: a damaged row must not make
    // the record allocate without bound.
    static constexpr int kMaxFolders = 4096;

    CUserRecord(SQLHDBC connection, long accountId);
    // The record of the id, kept or read now.
    static std::unique_ptr<CUserRecord> Fetch(SQLHDBC connection, long accountId);

    long GetAccountId() const { return accountId; }
    const std::string& GetUserName() const { return userName; }
    const std::string& GetPassword() const { return password; }
    const std::string& GetMailBox() const { return mailBox; }
    const std::string& GetEmailId() const { return emailId; }
    std::uint32_t GetRecvMailSizeLimit() const { return recvMailSizeLimit; }
    std::uint32_t GetMailboxLimit() const { return mailboxLimit; }
    std::uint32_t GetRecvmailLimit() const { return recvmailLimit; }
    std::uint32_t GetSendMailLimit() const { return sendMailLimit; }
    int GetFolderCount() const { return folderCount; }
    // Name of the folder with the number, or null above the count.
    const char* GetFolderName(int number) const;
    const char* GetFolderKey(int number) const;
    bool IsGroup() const { return isGroup != 0; }
    bool IsAlive() const { return isAlive != 0; }
    bool IsAdmin() const { return isAdmin != 0; }
    // True when the Accounts row was read.
    bool IsLoaded() const { return loaded; }

    const std::string& GetFont() const { return font; }
    std::int32_t GetFontSize() const { return fontSize; }
    const std::string& GetStationary() const { return stationary; }
    bool GetSaveCopy() const { return saveCopy != 0; }
    bool GetDeliveryRcpt() const { return deliveryRcpt != 0; }
    bool GetReadRcpt() const { return readRcpt != 0; }
    bool GetSignature() const { return signature != 0; }
    bool GetVersion() const { return version != 0; }

    // Folder list upkeep for folders made and removed while the account is
    // in use: setting a number above the count grows the lists with
    // placeholders; clearing leaves the placeholder so other numbers stay.
    void SetFolder(int number, const std::string& name);
    void ClearFolder(int number);

private:
    void Load();

    SQLHDBC connection;
    long accountId;
    std::string userName;
    std::string password;
    std::vector<std::string> folderNames;
    std::vector<std::string> folderKeys;
    std::string mailBox;
    std::string emailId;
    std::uint32_t recvMailSizeLimit = 0;
    std::uint32_t mailboxLimit = 0;
    std::uint32_t recvmailLimit = 0;
    std::uint32_t sendMailLimit = 0;
    int folderCount = 0;
    unsigned char isGroup = 0;
    unsigned char isAlive = 0;
    unsigned char isAdmin = 0;
    std::string font = "arial";
    std::int32_t fontSize = 0;
    std::string stationary;
    unsigned char saveCopy = 0;
    unsigned char deliveryRcpt = 0;
    unsigned char readRcpt = 0;
    unsigned char signature = 0;
    unsigned char version = 0;
    bool loaded = false;
    bool complete = true;  // every statement ran
};
