// MessageRows: counting the Mails rows.
#include "store/MessageRows.h"

#include <cstdlib>
#include <string>

#include "foundation/OdbcStatement.h"

namespace mailstore {

std::optional<std::size_t> CountAllMessages(SQLHDBC connection) {
    OdbcStatement count(connection);
    std::string messages;
    if (!count.ExecDirect("SELECT Count(*) FROM Mails") || !count.Fetch() || !count.GetText(1, messages))
        return std::nullopt;
    return static_cast<std::size_t>(std::strtoull(messages.c_str(), nullptr, 10));
}

}  // namespace mailstore
