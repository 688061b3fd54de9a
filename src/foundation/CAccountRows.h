// CAccountRows: the statements about accounts and their rights that are not
// the account database's module interface: look-ups by name, id and
// address, the login check, the sending quota, the read and write rights,
// and the administration's listings. Every operation runs on the
// connection it is given (the caller's own). Names and addresses read back
// are cut to the bounds their readers keep.
#pragma once

#include <sql.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/OdbcFailure.h"

class CAccountRows {
public:
    // The answer of a look-up that may fail: the database may not be able
    // to tell.
    enum class Presence { Present, Absent, Unknown };

    // The id of the account with this name (compared as the database
    // compares text). Empty when no account has the name or the database
    // cannot answer; failed, when given, is set to tell the second apart.
    // Answers are kept while the record version stays (RecordVersion).
    static std::optional<long> AccountIdByName(SQLHDBC connection, const std::string& userName, bool* failed = nullptr);
    static Presence AccountExists(SQLHDBC connection, const std::string& userName);

    // The ids of the accounts whose e-mail address is this bare address,
    // oldest first; empty when none is or the database cannot answer.
    static std::vector<long> AccountsWithAddress(SQLHDBC connection, const std::string& address);
    // The bare address of a stored e-mail ("Name <addr>" gives addr), lower case.
    static std::string BareAddress(const std::string& email);

    // The account's SendMailLimit in kilobytes; 0 (no limit) when there is no
    // account, no row, or a statement fails.
    static std::uint32_t SendingLimit(SQLHDBC connection, const std::string& userName);
    // Whether the account may send mail out: true for an unknown name or a
    // missing AccessControl row; none when no statement could be allocated.
    static std::optional<bool> MaySendOut(SQLHDBC connection, const std::string& userName);

    // The account's AccessControl rights as 1/0; false (both left as they
    // were) when there is no row or the statement fails.
    static bool ReadAccessRights(SQLHDBC connection, long accountId, long& allowRead, long& allowWrite);
    // Whether the account may read its mail (POP3, IMAP, distribution of
    // fetched mail): the one answer every reader of the right gives. An
    // account without its AccessControl row may not: the row is made with
    // the account, so a missing one is damage, not a grant.
    enum class ReadRight { Allowed, Denied, NoRow, Unreadable };
    static ReadRight ReadRightOf(SQLHDBC connection, long accountId);

    // The login check of the console, SMTP AUTH, POP3 and IMAP: name and
    // password against Accounts.
    enum class LoginResult { Failed, UnknownName, WrongPassword, Administrator, User };
    static LoginResult CheckLogin(SQLHDBC connection, const std::string& userName, const std::string& password);
    // The account's password as typed (unscrambled), for a check that needs
    // it rather than a comparison (CRAM-MD5): Administrator or User with the
    // password set, else why not.
    static LoginResult StoredPassword(SQLHDBC connection, const std::string& userName, std::string& password);
    // The panel's line for a result ("Invalid Password", ...).
    static const char* LoginMessage(LoginResult result);

    // "postmaster" always is; another user is when it is the one
    // administrator left. Such a user can neither go nor lose its rights.
    static bool IsOnlyAdministrator(SQLHDBC connection, const std::string& userName);
    // The user editor's list: every account's name, its password as typed
    // (unscrambled) and whether it administers. False when it cannot be read.
    struct AccountEntry {
        std::string userName;
        std::string password;
        bool isAdmin = false;
    };
    static bool ListAccounts(SQLHDBC connection, std::vector<AccountEntry>& accounts);

    // nullopt when there is no such account or it cannot be read.
    static std::optional<std::string> UserNameOf(SQLHDBC connection, long accountId);
    // The name as stored, found without regard to case where the backend
    // compares so; nullopt when there is none.
    static std::optional<std::string> StoredUserName(SQLHDBC connection, const std::string& userName,
                                                     OdbcFailure* failure = nullptr);
    static std::optional<std::string> MailBoxOf(SQLHDBC connection, const std::string& userName);
    static std::optional<std::string> EmailIdOf(SQLHDBC connection, const std::string& userName);

    struct NameAndLimit {
        std::string userName;
        long receiveLimitKb = 0;  // RecvMailSizeLimit: 0 for none
    };
    static std::optional<NameAndLimit> NameAndReceiveLimit(SQLHDBC connection, long accountId);

    // Every account's address that is not empty, in the database's order.
    static bool AllEmailIds(SQLHDBC connection, std::vector<std::string>& addresses);

    // The account's in-use flag (aLogged): taken only when it was clear;
    // the read and the write are one step for the callers of this process,
    // which hold their own lock around them.
    static bool TakeSessionFlag(SQLHDBC connection, long accountId);
    static bool ReleaseSessionFlag(SQLHDBC connection, long accountId);

    // The members of the group the account is (Intergroup, Groups); false
    // when they cannot be read.
    static bool GroupMembers(SQLHDBC connection, long accountId, std::vector<long>& members);

private:
    static std::optional<long> ReadAccountId(SQLHDBC connection, const std::string& userName, bool* failed);
};
