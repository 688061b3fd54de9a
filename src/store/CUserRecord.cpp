// CUserRecord: loading an account record from its tables.
#include "store/CUserRecord.h"

#include "foundation/OdbcStatement.h"
#include "foundation/PasswordScrambler.h"
#include "foundation/RecordVersion.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "foundation/VersionedCache.h"

CUserRecord::CUserRecord(SQLHDBC conn, long id) : connection(conn), accountId(id) {
    Load();
}

std::unique_ptr<CUserRecord> CUserRecord::Fetch(SQLHDBC connection, long accountId) {
    static VersionedCache<long, std::shared_ptr<const CUserRecord>> kept(1024);
    // Read before the record, so a change made while it is read makes the
    // next look-up read it again.
    const std::optional<std::int64_t> version = RecordVersion::Read(connection);
    if (version)
        if (std::optional<std::shared_ptr<const CUserRecord>> hit = kept.Find(*version, accountId)) {
            auto copy = std::make_unique<CUserRecord>(**hit);
            copy->connection = connection;
            return copy;
        }
    auto record = std::make_unique<CUserRecord>(connection, accountId);
    if (version && record->loaded && record->complete)
        kept.Store(*version, accountId, std::make_shared<const CUserRecord>(*record));
    return record;
}

const char* CUserRecord::GetFolderName(int number) const {
    if (number < 1 || number > folderCount) return nullptr;
    return folderNames[static_cast<std::size_t>(number) - 1].c_str();
}

const char* CUserRecord::GetFolderKey(int number) const {
    if (number < 1 || number > folderCount) return nullptr;
    return folderKeys[static_cast<std::size_t>(number) - 1].c_str();
}

void CUserRecord::SetFolder(int number, const std::string& name) {
    if (number < 1 || number > kMaxFolders) return;
    if (number > folderCount) {
        folderCount = number;
        folderNames.resize(static_cast<std::size_t>(number), kNoFolder);
        folderKeys.resize(static_cast<std::size_t>(number), kNoFolder);
    }
    folderNames[static_cast<std::size_t>(number) - 1] = name;
    folderKeys[static_cast<std::size_t>(number) - 1] = StringPrintf("%s%ld", name.c_str(), accountId);
}

void CUserRecord::ClearFolder(int number) {
    if (number < 1 || number > folderCount) return;
    folderNames[static_cast<std::size_t>(number) - 1] = kNoFolder;
    folderKeys[static_cast<std::size_t>(number) - 1] = kNoFolder;
}

void CUserRecord::Load() {
    // A statement that did not run leaves a default in place of a value:
    // such a record is used once but never kept.
    auto run = [this](OdbcStatement& statement, const std::string& sql) {
        const bool ran = statement.ExecDirect(sql);
        if (!ran) complete = false;
        return ran;
    };
    {
        OdbcStatement statement(connection);
        char name[66] = {}, stored[PasswordScrambler::kMaxStoredSize] = {}, box[256] = {}, email[321] = {};
        unsigned char group = 0, admin = 0, alive = 0;
        std::uint32_t limit = 0;
        if (run(statement, FormatSql("SELECT aUserName, aPassword, aMailBox, aIsGroup, aIsAdmin, aIsAlive, "
                                           "EmailId,RecvMailSizeLimit FROM Accounts WHERE aAccountId = %ld",
                                           accountId)) &&
            statement.BindChar(1, name, sizeof name) && statement.BindChar(2, stored, sizeof stored) &&
            statement.BindChar(3, box, sizeof box) && statement.BindBit(4, group) && statement.BindBit(5, admin) &&
            statement.BindBit(6, alive) && statement.BindChar(7, email, sizeof email) &&
            statement.BindULong(8, limit) && statement.Fetch()) {
            userName = name;
            password = PasswordScrambler::Unscramble(userName, stored);
            mailBox = box;
            emailId = email;
            isGroup = group ? 1 : 0;
            isAdmin = admin ? 1 : 0;
            isAlive = alive ? 1 : 0;
            recvMailSizeLimit = limit;
            loaded = true;
        }
    }
    {
        OdbcStatement statement(connection);
        std::uint32_t maxId = 0;
        SQLLEN indicator = 0;
        if (run(statement, 
                FormatSql("SELECT max(FolderId) from FolderMapping WHERE aAccountId = %ld", accountId)) &&
            statement.BindULong(1, maxId, &indicator) && statement.Fetch() && indicator != SQL_NULL_DATA)
            folderCount = maxId > static_cast<std::uint32_t>(kMaxFolders) ? kMaxFolders : static_cast<int>(maxId);
    }
    if (folderCount != 0) {
        folderNames.assign(static_cast<std::size_t>(folderCount), kNoFolder);
        folderKeys.assign(static_cast<std::size_t>(folderCount), kNoFolder);
        OdbcStatement statement(connection);
        std::uint32_t folderId = 0;
        char folderName[32] = {};
        SQLLEN nameIndicator = 0;
        if (run(statement, FormatSql(
                "SELECT FolderId,FolderName from FolderMapping WHERE aAccountId = %ld Order by FolderId", accountId)) &&
            statement.BindULong(1, folderId) && statement.BindChar(2, folderName, sizeof folderName, &nameIndicator)) {
            while (statement.Fetch()) {
                // Numbers outside 1..count (a zero or damaged row) have no slot.
                if (folderId >= 1 && folderId <= static_cast<std::uint32_t>(folderCount)) {
                    const std::string text = nameIndicator == SQL_NULL_DATA ? "" : folderName;
                    folderNames[folderId - 1] = text;
                    folderKeys[folderId - 1] = StringPrintf("%s%ld", text.c_str(), accountId);
                }
                folderName[0] = '\0';
            }
        }
    }
    {
        OdbcStatement statement(connection);
        std::uint32_t box = 0, receive = 0, send = 0;
        if (run(statement, 
                FormatSql("SELECT MailboxLimit,RecvmailLimit,SendMailLimit from MailSizeControl WHERE aAccountId = %ld",
                          accountId)) &&
            statement.BindULong(1, box) && statement.BindULong(2, receive) && statement.BindULong(3, send) &&
            statement.Fetch()) {
            mailboxLimit = box;
            recvmailLimit = receive;
            sendMailLimit = send;
        }
    }
    {
        OdbcStatement statement(connection);
        char fontText[100] = {}, stationery[100] = {};
        std::int32_t size = 0;
        SQLLEN sizeIndicator = 0;
        unsigned char flags[5] = {};
        if (run(statement, FormatSql("Select Font,Size,Stationary,SaveCopy,DeliveryRcpt,ReadRcpt,Signature,"
                                           "Version from UserPrefrences where AccountId = %d",
                                           static_cast<int>(accountId))) &&
            statement.BindChar(1, fontText, sizeof fontText) && statement.BindLong(2, size, &sizeIndicator) &&
            statement.BindChar(3, stationery, sizeof stationery) && statement.BindBit(4, flags[0]) &&
            statement.BindBit(5, flags[1]) && statement.BindBit(6, flags[2]) && statement.BindBit(7, flags[3]) &&
            statement.BindBit(8, flags[4]) && statement.Fetch()) {
            font = fontText;
            fontSize = size;
            stationary = stationery;
            saveCopy = flags[0];
            deliveryRcpt = flags[1];
            readRcpt = flags[2];
            signature = flags[3];
            version = flags[4];
        }
    }
}
