// CNetwareRows: the statements of the Netware table, one row per account
// whose mail is also written for a Netware mail client.
#pragma once

#include <sql.h>

#include <optional>
#include <string>

// One Netware row: where the account's client keeps its mail and the
// client user's Internet address (UserName "@" Domain).
struct NetwareSettings {
    std::string mailPath;
    std::string userName;
    std::string domain;
    bool leaveCopy = false;

    std::string Address() const { return domain.empty() ? userName : userName + "@" + domain; }
    bool operator==(const NetwareSettings&) const = default;
};

class CNetwareRows {
public:
    struct Row {
        bool isNetware = false;
        NetwareSettings settings;
    };
    // The account's row, or nullopt in row when it has none; false when it
    // cannot be read.
    static bool Read(SQLHDBC connection, long accountId, std::optional<Row>& row);
    // Makes the row say wanted (none: no row), touching it only when it
    // differs from held, the row as read.
    static bool Write(SQLHDBC connection, long accountId, const std::optional<NetwareSettings>& held,
                      const std::optional<NetwareSettings>& wanted);
    // The account whose row has this client login name; failed is set when
    // the rows cannot be read.
    static std::optional<long> AccountOfLogin(SQLHDBC connection, const std::string& loginName, bool& failed);
};
