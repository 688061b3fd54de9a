// CStoredMail: one index entry of the mail store, loaded for one message of
// one folder.
//
// The numeric fields come from the message's Mails row, the summary texts
// from its MailInfo row. The entry reads, marks, moves and removes its
// message: the file "<account directory>/<folder>/<mail id>.mel" together
// with its two rows. A file and its rows change together or not at all.
#pragma once

#include <sql.h>

#include <cstdint>
#include <string>
#include <vector>

class CMailContent;

class CStoredMail {
public:
    explicit CStoredMail(SQLHDBC connection);
    CStoredMail(const CStoredMail&) = delete;
    CStoredMail& operator=(const CStoredMail&) = delete;

    // Reads the entry's rows; false when its Mails row is not there.
    bool Load(const std::string& mailId, int folderId, long accountId);

    // A new temporary content holding the whole message file, rewound; the
    // caller owns it. Null when the file is missing or the copy fails.
    CMailContent* ReadMessage(const std::string& folderDirectory) const;
    bool SetDeleted(bool flag);
    bool MarkRead();
    // Marks every entry read with one statement per folder, so one commit:
    // a reader fetching many messages pays one write for them.
    static bool MarkReadTogether(SQLHDBC connection, const std::vector<CStoredMail*>& entries);
    bool DeleteRows();
    // Removes the message file of the named folder; a file that is already
    // gone counts as removed.
    bool DeleteFile(const std::string& folderName);
    // Moves the file into the target directory, never over an existing
    // file, then re-files both rows under the target folder number.
    bool Move(const std::string& sourceDirectory, const std::string& targetDirectory, int targetFolder);

    void SetAccountDirectory(std::string directory) { accountDirectory = std::move(directory); }
    // "<folderDirectory>/<mail id>.mel", or "" when the id is not a file name.
    std::string FilePath(const std::string& folderDirectory) const;

    bool IsDeleted() const { return deleted != 0; }
    bool IsRead() const { return read != 0; }
    const char* GetSender() const { return sender; }
    const char* GetSubject() const { return subject; }
    const char* GetReceivedDate() const { return receivedDate; }
    std::int32_t GetType() const { return type; }
    const std::string& GetMailId() const { return mailId; }
    std::uint32_t GetSize() const { return size; }
    std::uint32_t GetOffset() const { return offset; }
    std::uint32_t GetDotsSize() const { return dotsSize; }
    int GetFolderId() const { return folderId; }

private:
    SQLHDBC connection;
    unsigned char deleted = 0;
    std::uint32_t size = 0;
    std::uint32_t offset = 0;
    std::uint32_t dotsSize = 0;
    std::int32_t type = 0;
    unsigned char read = 0;
    std::string accountDirectory;
    char sender[256] = {};
    char subject[256] = {};
    char receivedDate[21] = {};
    int folderId = 0;
    std::string mailId;
};
