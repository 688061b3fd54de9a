// CAliasMapping: the owner's rows of table Aliases.
#include "foundation/CAliasMapping.h"

#include <algorithm>
#include <string_view>

#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"

CAliasMapping::CAliasMapping(SQLHDBC connection, std::string owner) : connection(connection), owner(std::move(owner)) {}

bool CAliasMapping::ListAliases() {
    entries.clear();
    OdbcStatement statement(connection);
    char user[kMaxName + 1] = {};
    char alias[kMaxName + 1] = {};
    if (!statement.ExecDirect(
            FormatSql("SELECT UserId, AliasName FROM Aliases WHERE aUserName = '%s'", SqlText::Quote(owner))) ||
        !statement.BindChar(1, user, sizeof user) || !statement.BindChar(2, alias, sizeof alias))
        return false;
    while (statement.Fetch()) {
        entries.push_back({user, alias});
        user[0] = alias[0] = '\0';
    }
    return true;
}

bool CAliasMapping::AddAlias(const std::string& user, const std::string& alias) {
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql("INSERT INTO Aliases VALUES('%s','%s','%s')", SqlText::Quote(owner),
                                        SqlText::Quote(user), SqlText::Quote(alias))))
        return false;
    entries.push_back({user, alias});
    return true;
}

bool CAliasMapping::DeleteAlias(const std::string& user, const std::string& alias, long* removed) {
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(
            FormatSql("DELETE FROM Aliases WHERE aUserName = '%s' AND UserId = '%s' AND AliasName = '%s'",
                      SqlText::Quote(owner), SqlText::Quote(user), SqlText::Quote(alias))))
        return false;
    if (removed) *removed = static_cast<long>(statement.RowCount());
    std::erase_if(entries, [&](const Entry& e) { return e.userId == user && e.aliasName == alias; });
    return true;
}

bool CAliasMapping::DeleteAllAliases() {
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql("DELETE FROM Aliases WHERE aUserName = '%s'", SqlText::Quote(owner))))
        return false;
    entries.clear();
    return true;
}

bool CAliasMapping::IsValidAliasName(const std::string& alias) {
    if (alias.empty() || alias.size() > kMaxName || alias.front() == ' ' || alias.back() == ' ') return false;
    return std::all_of(alias.begin(), alias.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x7F && std::string_view(",;@<>()\"").find(c) == std::string_view::npos;
    });
}

std::optional<std::string> CAliasMapping::UserOf(SQLHDBC connection, const std::string& owner,
                                                 const std::string& alias, OdbcFailure* failure) {
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql("SELECT UserId FROM Aliases WHERE aUserName = '%s' AND AliasName = '%s'",
                                        SqlText::Quote(owner), SqlText::Quote(alias)))) {
        OdbcFailure::Keep(statement.Handle(), failure);
        return std::nullopt;
    }
    std::string user;
    if (!statement.Fetch() || !statement.GetText(1, user)) user.clear();
    return user;
}
