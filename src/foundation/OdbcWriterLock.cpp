// OdbcWriterLock: the process-wide writer mutex and the write test.
#include "foundation/OdbcWriterLock.h"

#include <cctype>

#include "foundation/OdbcStatement.h"
#include "platform/Text.h"

namespace {

std::recursive_mutex g_writer;

}  // namespace

OdbcWriterLock::OdbcWriterLock(bool needed) : held(needed) {
    if (held) g_writer.lock();
}

OdbcWriterLock::~OdbcWriterLock() {
    if (held) g_writer.unlock();
}

bool OdbcWriterLock::LocksWholeDatabase(SQLHDBC connection) {
    return OdbcStatement::DialectOf(connection).GetBackend() == SqlDialect::Backend::SQLite;
}

bool OdbcWriterLock::Needed(SQLHDBC connection, std::string_view sql) {
    return IsWrite(sql) && LocksWholeDatabase(connection);
}

bool OdbcWriterLock::IsWrite(std::string_view sql) {
    std::size_t i = 0;
    while (i < sql.size() && (std::isspace(static_cast<unsigned char>(sql[i])) || sql[i] == '(')) ++i;
    std::size_t end = i;
    while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end]))) ++end;
    const std::string_view word = sql.substr(i, end - i);
    for (const char* write : {"insert", "update", "delete", "replace", "create", "drop", "alter"})
        if (EqualsNoCase(word, write)) return true;
    return false;
}
