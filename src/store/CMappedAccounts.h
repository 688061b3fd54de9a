// CMappedAccounts: the owner of POPACCOUNTS, a user's mapped accounts: the
// administration (add, list, delete, enable and disable) and what the
// download reads and writes back. A mapped account is
// named by its local account, remote server and remote user name, the same
// three values the download keeps its place by. Listings carry no password.
#pragma once

#include <string>
#include <vector>

#include "foundation/OdbcEnvironment.h"

class CMappedAccounts {
public:
    static constexpr int kDefaultPort = 110;
    // Column bounds: longer values would be cut by the readers.
    static constexpr std::size_t kMaxServer = 255;
    static constexpr std::size_t kMaxRemoteUser = 64;
    static constexpr std::size_t kMaxPassword = 150;

    struct Entry {
        std::string server;
        std::string remoteUser;
        int port = kDefaultPort;
        bool leaveOnServer = false;
        bool enabled = true;
        std::string lastMailId;
    };
    enum class Change { Made, NothingToDo, Failed };

    // NothingToDo: the account has this mapping already.
    static Change Add(SQLHDBC connection, long accountId, const Entry& entry, const std::string& password);
    static bool List(SQLHDBC connection, long accountId, std::vector<Entry>& entries);
    // NothingToDo: no such mapping.
    static Change Delete(SQLHDBC connection, long accountId, const std::string& server, const std::string& remoteUser);
    static Change SetEnabled(SQLHDBC connection, long accountId, const std::string& server,
                             const std::string& remoteUser, bool enabled);
    // A value that can stand in a POP3 command and a row: printable ASCII
    // without blanks, 1 to maxBytes bytes (passwords may hold blanks).
    static bool IsValidValue(const std::string& value, std::size_t maxBytes, bool blanksAllowed = false);

    // What the download of one mapped account needs, password included.
    struct FetchRow {
        std::string remoteUser;
        std::string password;
        std::string server;
        std::string lastMailId;
        bool leaveOnServer = false;
        int port = kDefaultPort;
    };
    // The accounts with a mapping to a server other than the excluded ones;
    // false when they cannot be read.
    static bool AccountsWithMappings(SQLHDBC connection, const std::vector<std::string>& excludedServers,
                                     std::vector<long>& accountIds);
    // The account's enabled mappings to servers other than the excluded ones.
    static bool EnabledFetchRows(SQLHDBC connection, long accountId, const std::vector<std::string>& excludedServers,
                                 std::vector<FetchRow>& rows);
    static bool StoreLastMailId(SQLHDBC connection, long accountId, const std::string& remoteUser,
                                const std::string& server, const std::string& lastMailId);

private:
    static long Count(SQLHDBC connection, long accountId, const std::string& server, const std::string& remoteUser);
};
