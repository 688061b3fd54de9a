// CRemoteServerAccounts: the rows of RemoteServerAccounts, whole remote
// POP3 mailboxes whose mail is shared out among local users, and the
// statements that maintain them. The database object keeps one (its
// companion, GetRemoteServerAccounts) and reloads it on each call.
#pragma once

#include <sql.h>
#include <string>
#include <vector>

#include "foundation/OdbcFailure.h"

class CRemoteServerAccounts {
public:
    // Widths of the text columns as the readers take them.
    static constexpr std::size_t kMaxUserName = 64;  // aUserName, UserId, Pass
    static constexpr std::size_t kMaxServer = 255;   // ServerAddr, LastMailId
    static constexpr std::size_t kMaxAliasAddress = 254;

    struct Account {
        std::string serverName;  // the row's own name, by which it is changed
        std::string userName;    // aUserName: the local owner
        std::string userId;      // remote user name
        std::string pass;        // remote password, as stored
        bool leaveMailOnServer = false;
        std::string serverAddr;
        bool alias = false;  // distribute by recipients and aliases
        std::string lastMailId;
        std::string aliasAddress;  // the domain or shared address of the mailbox
        long port = 110;
    };

    // The text columns UPDATE ... SET %s = '%s' may change.
    enum class TextColumn { UserName, UserId, Pass, ServerAddr, AliasAddress };
    // The yes/no columns UPDATE ... SET %s = %s may change.
    enum class FlagColumn { Alias, LeaveMailOnServer };

    // Printable ASCII without blanks, 1 to width characters: what a name,
    // server or remote user may be.
    static bool IsPlainValue(const std::string& value, std::size_t width);

    explicit CRemoteServerAccounts(SQLHDBC connection) : connection(connection) {}
    virtual ~CRemoteServerAccounts() = default;

    // The database object reconnects with a new handle.
    void SetConnection(SQLHDBC handle) { connection = handle; }
    // Reads every row; false (list emptied) when the statement fails.
    bool Load();
    const std::vector<Account>& Accounts() const { return accounts; }
    std::size_t Count() const { return accounts.size(); }
    // The loaded row named serverName, or null.
    const Account* Find(const std::string& serverName) const;

    // LastMailId is written empty, whatever the account holds.
    bool Add(const Account& account);
    // removed (when given) counts the rows that went.
    bool Delete(const std::string& serverName, long* removed = nullptr);
    bool SetFlag(const std::string& serverName, FlagColumn column, bool on);
    bool SetText(const std::string& serverName, TextColumn column, const std::string& value);
    bool SetPort(const std::string& serverName, long port);

    // What a download pass reads of every row, in the order it goes through
    // them, and the place it writes back; failure fills *failure when given.
    static bool LoadForDownload(SQLHDBC connection, std::vector<Account>& accounts,
                                OdbcFailure* failure = nullptr);
    static bool StoreLastMailId(SQLHDBC connection, const std::string& userName, const std::string& userId,
                                const std::string& lastMailId, OdbcFailure* failure = nullptr);

private:
    SQLHDBC connection;
    std::vector<Account> accounts;
};
