// CForwardingRows: the statements of an account's forward list (Forwarding)
// and its copy option (ForwardOptions).
#pragma once

#include <sql.h>

#include <cstddef>
#include <string>
#include <vector>

class CForwardingRows {
public:
    struct Row {
        std::string userId;
        std::string serverAddr;
        bool routeLocal = false;
    };
    // The account's enabled rows in the database's order, at most maxRows;
    // false when the statement fails (rows then holds what was read).
    static bool ReadEnabled(SQLHDBC connection, long accountId, std::size_t maxRows, std::vector<Row>& rows);
    static bool Add(SQLHDBC connection, long accountId, const std::string& user, const std::string& server,
                    bool routeLocal);
    static bool Delete(SQLHDBC connection, long accountId, const std::string& user, const std::string& server);

    // False when there is no row or it cannot be read.
    static bool RetainCopy(SQLHDBC connection, long accountId);
    static bool SetRetainCopy(SQLHDBC connection, long accountId, bool retain);
};
