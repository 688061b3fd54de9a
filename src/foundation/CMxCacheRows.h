// CMxCacheRows: the statements of MXCache, the exchangers found for a
// domain, kept as one host list per domain with the time of the answer.
#pragma once

#include <sql.h>

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>

class CMxCacheRows {
public:
    // The host list as read is at most this long (the column's reader).
    static constexpr std::size_t kMaxHostList = 1024;

    // The domain's list when it was fetched after oldest; nullopt otherwise.
    static std::optional<std::string> Read(SQLHDBC connection, const std::string& domain, std::time_t oldest);
    // Replaces the domain's row with this answer.
    static void Store(SQLHDBC connection, const std::string& domain, const std::string& hostList, std::time_t now);
};
