// CAutoReplyRows: the statements of the auto-responder's tables:
// AutoResponder (an account's switch: a row means on) and AutoReplies (who
// was answered when, one interval's worth).
#pragma once

#include <sql.h>

#include <ctime>
#include <optional>
#include <string>

class CAutoReplyRows {
public:
    // Whether the account has its row; nullopt when it cannot be read.
    static std::optional<bool> IsOn(SQLHDBC connection, long accountId);
    static bool TurnOn(SQLHDBC connection, long accountId);
    static bool TurnOff(SQLHDBC connection, long accountId);

    // Records a reply to recipient at now unless one was recorded after
    // since; false when one was, or when that cannot be told (better one
    // reply missing than many). Rows from before since go on the way.
    // Delivery workers answer at once: the look and the record are one step.
    static bool Claim(SQLHDBC connection, long accountId, const std::string& recipient, std::time_t since,
                      std::time_t now);
    static void Release(SQLHDBC connection, long accountId, const std::string& recipient);
};
