// MessageRows: questions about the store's message rows as a whole (how
// much mail a home holds), for the commands that move homes.
#pragma once

#include <sql.h>

#include <cstddef>
#include <optional>

namespace mailstore {

// Every Mails row of every account; nullopt when they cannot be counted.
std::optional<std::size_t> CountAllMessages(SQLHDBC connection);

}  // namespace mailstore
