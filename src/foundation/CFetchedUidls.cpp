// CFetchedUidls: the rows of FetchedUidls for one remote mailbox.
#include "foundation/CFetchedUidls.h"

#include <algorithm>

#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"

namespace {

long KindNumber(CFetchedUidls::Kind kind) {
    return static_cast<long>(kind);
}

bool Run(SQLHDBC connection, const std::string& sql) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(sql);
}

}  // namespace

CFetchedUidls::CFetchedUidls(SQLHDBC connection, Key key) : connection(connection), key(std::move(key)) {}

bool CFetchedUidls::IsKeepable(const std::string& uidl) {
    return !uidl.empty() && uidl.size() <= kMaxUidl &&
           std::all_of(uidl.begin(), uidl.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

std::string CFetchedUidls::Where() const {
    if (key.kind == Kind::Remote)
        return FormatSql("Kind = %ld AND ServerName = '%s' AND ServerAddr = '%s' AND UserId = '%s'",
                         KindNumber(key.kind), SqlText::Quote(key.serverName), SqlText::Quote(key.server),
                         SqlText::Quote(key.remoteUser));
    return FormatSql("Kind = %ld AND aAccountId = %ld AND ServerAddr = '%s' AND UserId = '%s'", KindNumber(key.kind),
                     key.accountId, SqlText::Quote(key.server), SqlText::Quote(key.remoteUser));
}

bool CFetchedUidls::Load() {
    uidls.clear();
    OdbcStatement statement(connection);
    if (!statement.ExecDirect("SELECT Uidl FROM FetchedUidls WHERE " + Where())) return false;
    std::size_t rows = 0;
    while (statement.Fetch()) {
        if (++rows > kMaxRows) {
            uidls.clear();
            return false;
        }
        std::string uidl;
        // A row no pass could have written matches no listed id.
        if (statement.GetText(1, uidl) && IsKeepable(uidl)) uidls.insert(std::move(uidl));
    }
    return true;
}

bool CFetchedUidls::Remember(const std::string& uidl) {
    if (!IsKeepable(uidl)) return false;
    if (Contains(uidl)) return true;
    if (!Run(connection, FormatSql("INSERT INTO FetchedUidls VALUES (%ld, %ld, '%s', '%s', '%s', '%s')",
                                   KindNumber(key.kind), key.kind == Kind::Mapped ? key.accountId : 0L,
                                   SqlText::Quote(key.kind == Kind::Remote ? key.serverName : std::string()),
                                   SqlText::Quote(key.server), SqlText::Quote(key.remoteUser), SqlText::Quote(uidl))))
        return false;
    uidls.insert(uidl);
    return true;
}

bool CFetchedUidls::Prune(const std::vector<std::string>& listing) {
    const std::set<std::string> listed(listing.begin(), listing.end());
    bool all = true;
    for (auto it = uidls.begin(); it != uidls.end();) {
        if (listed.count(*it) > 0) {
            ++it;
            continue;
        }
        if (Run(connection, "DELETE FROM FetchedUidls WHERE " + Where() +
                                FormatSql(" AND Uidl = '%s'", SqlText::Quote(*it)))) {
            it = uidls.erase(it);
        } else {
            all = false;
            ++it;
        }
    }
    if (key.kind == Kind::Remote)
        all = Run(connection, FormatSql("DELETE FROM FetchedUidls WHERE Kind = %ld AND ServerName = '%s' AND NOT "
                                        "(ServerAddr = '%s' AND UserId = '%s')",
                                        KindNumber(key.kind), SqlText::Quote(key.serverName),
                                        SqlText::Quote(key.server), SqlText::Quote(key.remoteUser))) &&
              all;
    return all;
}

bool CFetchedUidls::Forget(SQLHDBC connection, const Key& key) {
    if (key.kind == Kind::Remote)
        return Run(connection, FormatSql("DELETE FROM FetchedUidls WHERE Kind = %ld AND ServerName = '%s'",
                                         KindNumber(key.kind), SqlText::Quote(key.serverName)));
    if (key.server.empty())
        return Run(connection, FormatSql("DELETE FROM FetchedUidls WHERE Kind = %ld AND aAccountId = %ld",
                                         KindNumber(key.kind), key.accountId));
    return Run(connection, "DELETE FROM FetchedUidls WHERE " + CFetchedUidls(connection, key).Where());
}
