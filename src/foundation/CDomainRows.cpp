// CDomainRows: the Domains statements of the administration.
#include "foundation/CDomainRows.h"

#include <cctype>
#include <cstdint>

#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"

bool CDomainRows::IsValidDomainName(const std::string& domain) {
    if (domain.empty() || domain.size() > 253) return false;
    std::size_t start = 0;
    std::string lastLabel;
    for (;;) {
        const std::size_t dot = domain.find('.', start);
        const std::string label = domain.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        for (char c : label)
            if (static_cast<unsigned char>(c) >= 0x80 || !(std::isalnum(static_cast<unsigned char>(c)) || c == '-'))
                return false;
        lastLabel = label;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return lastLabel.find_first_not_of("0123456789") != std::string::npos;
}

CDomainRows::Presence CDomainRows::FindId(SQLHDBC connection, const std::string& sql, long& id) {
    OdbcStatement statement(connection);
    std::uint32_t value = 0;
    if (!statement.ExecDirect(sql) || !statement.BindULong(1, value)) return Presence::Unknown;
    if (!statement.Fetch()) return Presence::Absent;
    id = static_cast<long>(value);
    return Presence::Present;
}

CDomainRows::Presence CDomainRows::DomainListed(SQLHDBC connection, const std::string& domain) {
    long count = 0;
    const Presence found =
        FindId(connection, FormatSql("SELECT count(*) FROM Domains WHERE DomainName = '%s'", SqlText::Quote(domain)), count);
    if (found == Presence::Unknown) return Presence::Unknown;
    return count > 0 ? Presence::Present : Presence::Absent;
}

CDomainRows::Change CDomainRows::AddDomain(SQLHDBC connection, const std::string& domain, const std::string& defaultUser,
                                               bool isFwdOn) {
    if (!IsValidDomainName(domain)) return Change::Failed;
    switch (DomainListed(connection, domain)) {
        case Presence::Present:
            return Change::NothingToDo;
        case Presence::Unknown:
            return Change::Failed;
        case Presence::Absent:
            break;
    }
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("INSERT INTO Domains VALUES ('%s', '%s', %s)", SqlText::Quote(domain),
                                          SqlText::Quote(defaultUser),
                                          isFwdOn ? SqlTrusted("true") : SqlTrusted("false")))
               ? Change::Made
               : Change::Failed;
}

CDomainRows::Change CDomainRows::DeleteDomain(SQLHDBC connection, const std::string& domain) {
    switch (DomainListed(connection, domain)) {
        case Presence::Absent:
            return Change::NothingToDo;
        case Presence::Unknown:
            return Change::Failed;
        case Presence::Present:
            break;
    }
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("DELETE FROM Domains WHERE DomainName = '%s'", SqlText::Quote(domain)))
               ? Change::Made
               : Change::Failed;
}

bool CDomainRows::ListDomains(SQLHDBC connection, std::vector<DomainEntry>& domains) {
    domains.clear();
    OdbcStatement statement(connection);
    if (!statement.ExecDirect("SELECT DomainName,DefaultUser,IsFwdOn FROM Domains ORDER BY DomainName")) return false;
    while (statement.Fetch()) {
        DomainEntry entry;
        std::string fwd;
        statement.GetText(1, entry.name);
        statement.GetText(2, entry.defaultUser);
        statement.GetText(3, fwd);
        entry.isFwdOn = !fwd.empty() && fwd != "0";
        domains.push_back(std::move(entry));
    }
    return true;
}
