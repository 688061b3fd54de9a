// COutboundRows: the OutBoundMails and TrustedOutbound statements.
#include "foundation/COutboundRows.h"

#include <cstdlib>

#include "foundation/COutboundReplies.h"
#include "foundation/DateText.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "platform/Text.h"

namespace {

std::string Bounded(std::string text, std::size_t most = COutboundRows::kMaxText) {
    if (text.size() > most) text.resize(most);
    return text;
}

std::vector<std::string> FetchColumn(OdbcStatement& statement) {
    std::vector<std::string> values;
    while (statement.Fetch()) {
        std::string value;
        statement.GetText(1, value);
        values.push_back(Bounded(std::move(value)));
    }
    return values;
}

// False, with the listing saying why, when no statement could be allocated.
bool Allocated(OdbcStatement& query, COutboundRows::Listing& listing) {
    if (query.Ok()) return true;
    listing.step = COutboundRows::Step::NoHandle;
    listing.handleError = query.LastError();
    return false;
}

COutboundRows::Listing Direct(SQLHDBC connection, const char* sql) {
    COutboundRows::Listing listing;
    OdbcStatement query(connection);
    if (!Allocated(query, listing)) return listing;
    if (!query.ExecDirect(sql)) {
        listing.step = COutboundRows::Step::Execute;
        return listing;
    }
    listing.values = FetchColumn(query);
    return listing;
}

// A prepared listing with its text parameters bound in order.
COutboundRows::Listing Prepared(SQLHDBC connection, const char* sql, std::initializer_list<const std::string*> values) {
    COutboundRows::Listing listing;
    OdbcStatement query(connection);
    if (!Allocated(query, listing)) return listing;
    if (!query.Prepare(sql)) {
        listing.step = COutboundRows::Step::Prepare;
        return listing;
    }
    SQLUSMALLINT parameter = 1;
    for (const std::string* value : values)
        if (!query.BindText(parameter++, *value)) {
            listing.step = COutboundRows::Step::Bind;
            return listing;
        }
    if (!query.Execute()) {
        listing.step = COutboundRows::Step::Execute;
        return listing;
    }
    listing.values = FetchColumn(query);
    return listing;
}

bool Run(SQLHDBC connection, const std::string& sql) {
    OdbcStatement s(connection);
    return s.ExecDirect(sql);
}

long long CountOf(SQLHDBC connection, const std::string& sql) {
    OdbcStatement count(connection);
    std::string rows;
    if (!count.ExecDirect(sql) || !count.Fetch() || !count.GetText(1, rows) || rows.empty()) return -1;
    return std::strtoll(rows.c_str(), nullptr, 10);
}

std::string ExpiringCondition(const std::string& limit, int permanentCode) {
    return FormatSql("RcptDate <= cdate('%s') OR FailureCode = %d OR %s", SqlText::Quote(limit), permanentCode,
                     SqlTrusted(COutboundReplies::kPermanentCondition));
}

}  // namespace

COutboundRows::Listing COutboundRows::Domains(SQLHDBC connection) {
    return Direct(connection, "SELECT DISTINCT Domain FROM OutBoundMails");
}

COutboundRows::Listing COutboundRows::FilesOfDomain(SQLHDBC connection, const std::string& domain) {
    return Prepared(connection, "SELECT DISTINCT MailFile From OutBoundMails where Domain = ?", {&domain});
}

COutboundRows::Listing COutboundRows::UnsentUsers(SQLHDBC connection, const std::string& domain,
                                                  const std::string& mailFile) {
    return Prepared(connection, "SELECT DestUser From OutBoundMails where Domain = ? and MailFile = ? and Sent = false",
                    {&domain, &mailFile});
}

COutboundRows::Listing COutboundRows::Files(SQLHDBC connection) {
    return Direct(connection, "SELECT DISTINCT MailFile FROM OutBoundMails");
}

COutboundRows::Step COutboundRows::UnsentRecipientsOfFile(SQLHDBC connection, const std::string& mailFile,
                                                          std::vector<Recipient>& recipients) {
    recipients.clear();
    OdbcStatement query(connection);
    if (!query.Ok()) return Step::NoHandle;
    if (!query.Prepare("SELECT DestUser,Domain From OutBoundMails Where MailFile = ? and Sent = false"))
        return Step::Prepare;
    if (!query.BindText(1, mailFile)) return Step::Bind;
    if (!query.Execute()) return Step::Execute;
    while (query.Fetch()) {
        std::string user, domain;
        query.GetText(1, user);
        query.GetText(2, domain);
        recipients.emplace_back(Bounded(std::move(user)), Bounded(std::move(domain)));
    }
    return Step::Done;
}

void COutboundRows::Mark(SQLHDBC connection, const std::string& domain, const std::string* mailFile,
                         const std::string* user, bool sent, int failureCode) {
    OdbcPrepared s(connection);
    const SqlTrusted flag = sent ? SqlTrusted("true") : SqlTrusted("false");
    const SqlText d = SqlText::Quote(domain);
    if (mailFile && user) {
        s.Run(
            "UPDATE OutBoundMails SET Sent = %s, FailureCode = %d WHERE Domain = '%s' AND MailFile = '%s' AND "
            "DestUser = '%s'",
            flag, failureCode, d, SqlText::Quote(*mailFile), SqlText::Quote(*user));
    } else if (mailFile) {
        s.Run("UPDATE OutBoundMails SET Sent = %s, FailureCode = %d WHERE Domain = '%s' AND MailFile = '%s'", flag,
              failureCode, d, SqlText::Quote(*mailFile));
    } else if (user) {
        s.Run("UPDATE OutBoundMails SET Sent = %s, FailureCode = %d WHERE Domain = '%s' AND DestUser = '%s'", flag,
              failureCode, d, SqlText::Quote(*user));
    } else {
        s.Run("UPDATE OutBoundMails SET Sent = %s, FailureCode = %d WHERE Domain = '%s'", flag, failureCode, d);
    }
}

void COutboundRows::MarkSent(SQLHDBC connection, const std::string& mailFile,
                             const std::vector<Recipient>& recipients) {
    // Bounded statements: a file with many recipients takes a few.
    constexpr std::size_t kPerStatement = 100;
    const SqlText file = SqlText::Quote(mailFile);
    for (std::size_t from = 0; from < recipients.size(); from += kPerStatement) {
        std::string sql = FormatSql("UPDATE OutBoundMails SET Sent = true, FailureCode = 1 WHERE MailFile = '%s' AND (",
                                    file);
        for (std::size_t i = from; i < recipients.size() && i < from + kPerStatement; ++i) {
            if (i != from) sql += " OR ";
            sql += FormatSql("(Domain = '%s' AND DestUser = '%s')", SqlText::Quote(recipients[i].second),
                             SqlText::Quote(recipients[i].first));
        }
        OdbcStatement(connection).ExecDirect(sql + ")");
    }
}

void COutboundRows::PurgeSent(SQLHDBC connection) {
    Run(connection, "DELETE FROM OutBoundMails WHERE Sent = true");
}

bool COutboundRows::Insert(SQLHDBC connection, const std::string& user, const std::string& domain,
                           const std::string& mailFile, std::time_t queued, long senderAccountId) {
    return Run(connection, FormatSql("INSERT INTO OUTBOUNDMAILS VALUES ('%s','%s','%s', false, 0, '%s','%ld')",
                                     SqlText::Quote(user), SqlText::Quote(domain), SqlText::Quote(mailFile),
                                     SqlText::Quote(LocalDateTimeText(queued)), senderAccountId));
}

bool COutboundRows::DeleteFile(SQLHDBC connection, const std::string& mailFile) {
    return Run(connection, FormatSql("DELETE FROM OutBoundMails WHERE MailFile = '%s'", SqlText::Quote(mailFile)));
}

bool COutboundRows::RecordTrust(SQLHDBC connection, const std::string& mailFile) {
    return Run(connection, FormatSql("INSERT INTO TrustedOutbound VALUES ('%s')", SqlText::Quote(mailFile)));
}

bool COutboundRows::IsTrusted(SQLHDBC connection, const std::string& mailFile) {
    return CountOf(connection, FormatSql("SELECT Count(*) FROM TrustedOutbound WHERE MailFile = '%s'",
                                         SqlText::Quote(mailFile))) > 0;
}

void COutboundRows::ForgetTrust(SQLHDBC connection, const std::string& mailFile) {
    Run(connection, FormatSql("DELETE FROM TrustedOutbound WHERE MailFile = '%s'", SqlText::Quote(mailFile)));
}

bool COutboundRows::ReadExpiring(SQLHDBC connection, const std::string& limit, int permanentCode,
                                 std::vector<Expiring>& rows) {
    rows.clear();
    OdbcStatement s(connection);
    if (!s.ExecDirect("SELECT DestUser,Domain,MailFile,FailureCode from OutBoundMails where Sent = false AND (" +
                      ExpiringCondition(limit, permanentCode) + ")"))
        return false;
    while (s.Fetch()) {
        Expiring row;
        std::string code;
        s.GetText(1, row.user);
        s.GetText(2, row.domain);
        s.GetText(3, row.mailFile);
        s.GetText(4, code);
        row.user = Bounded(std::move(row.user), 255);
        row.domain = Bounded(std::move(row.domain), 255);
        row.mailFile = Bounded(std::move(row.mailFile), 260);
        row.failureCode = static_cast<std::uint32_t>(std::strtoul(code.c_str(), nullptr, 10));
        rows.push_back(std::move(row));
    }
    return true;
}

void COutboundRows::RetireExpiring(SQLHDBC connection, const std::string& limit, int permanentCode) {
    Run(connection, "UPDATE OutBoundMails SET Sent=true where " + ExpiringCondition(limit, permanentCode));
}

bool COutboundRows::FinishedFiles(SQLHDBC connection, std::vector<std::string>& files) {
    OdbcStatement s(connection);
    if (!s.ExecDirect("Select Distinct MailFile from OutBoundMails A where Sent=true and NOT EXISTS "
                      "(Select Distinct MailFile From OutBoundMails where Sent=false and MailFile = A.MailFile)"))
        return false;
    while (s.Fetch()) {
        std::string file;
        if (s.GetText(1, file)) files.push_back(Bounded(std::move(file), 255));
    }
    return true;
}

void COutboundRows::ForgetTrustWithoutRows(SQLHDBC connection) {
    // A writer inserts its mark only after its first row, so none of a
    // message being queued goes.
    Run(connection, "DELETE FROM TrustedOutbound WHERE NOT EXISTS "
                    "(SELECT 1 FROM OutBoundMails WHERE OutBoundMails.MailFile = TrustedOutbound.MailFile)");
}

long long COutboundRows::RowsNaming(SQLHDBC connection, const std::string& path) {
    return CountOf(connection,
                   FormatSql("SELECT Count(1) from OutBoundMails where MailFile like '%%%s'", SqlText::Quote(path)));
}

bool COutboundRows::ListAll(SQLHDBC connection, std::vector<Row>& rows) {
    rows.clear();
    OdbcStatement s(connection);
    if (!s.ExecDirect("SELECT * FROM OutBoundMails")) return false;
    while (s.Fetch()) {
        Row row;
        std::string sent, code;
        s.GetText(1, row.destUser);
        s.GetText(2, row.domain);
        s.GetText(3, row.mailFile);
        s.GetText(4, sent);
        s.GetText(5, code);
        s.GetText(6, row.rcptDate);
        row.sent = sent == "1" || EqualsNoCase(sent, "true");
        row.failureCode = static_cast<std::int32_t>(std::strtol(code.c_str(), nullptr, 10));
        rows.push_back(std::move(row));
    }
    return true;
}

bool COutboundRows::DeleteRow(SQLHDBC connection, const std::string& user, const std::string& domain,
                              const std::string& mailFile) {
    return Run(connection,
               FormatSql("DELETE FROM OutBoundMails WHERE DestUser = '%s' AND Domain = '%s' AND MailFile = '%s'",
                         SqlText::Quote(user), SqlText::Quote(domain), SqlText::Quote(mailFile)));
}

long long COutboundRows::RowsOfFile(SQLHDBC connection, const std::string& mailFile) {
    return CountOf(connection,
                   FormatSql("SELECT Count(*) FROM OutBoundMails WHERE MailFile = '%s'", SqlText::Quote(mailFile)));
}

bool COutboundRows::CountUnsentByCode(SQLHDBC connection, std::map<std::int32_t, std::uint64_t>& counts) {
    OdbcStatement s(connection);
    if (!s.ExecDirect("SELECT FailureCode, Count(*) FROM OutBoundMails WHERE Sent = false GROUP BY FailureCode"))
        return false;
    while (s.Fetch()) {
        std::string code, rows;
        s.GetText(1, code);
        s.GetText(2, rows);
        counts[static_cast<std::int32_t>(std::strtol(code.c_str(), nullptr, 10))] +=
            std::strtoull(rows.c_str(), nullptr, 10);
    }
    return true;
}

bool COutboundRows::UnsentWithReplies(SQLHDBC connection, std::size_t most, std::vector<Refusal>& refusals,
                                      std::uint64_t& left) {
    OdbcStatement r(connection);
    if (!r.ExecDirect("SELECT OutBoundMails.DestUser, OutBoundMails.Domain, OutboundReplies.Reply FROM OutBoundMails, "
                      "OutboundReplies WHERE OutBoundMails.Sent = false AND OutboundReplies.MailFile = "
                      "OutBoundMails.MailFile AND OutboundReplies.DestUser = OutBoundMails.DestUser AND "
                      "OutboundReplies.Domain = OutBoundMails.Domain"))
        return false;
    while (r.Fetch()) {
        if (refusals.size() == most) {
            ++left;
            continue;
        }
        Refusal refusal;
        r.GetText(1, refusal.user);
        r.GetText(2, refusal.domain);
        r.GetText(3, refusal.reply);
        refusal.user = Bounded(std::move(refusal.user));
        refusal.domain = Bounded(std::move(refusal.domain));
        refusals.push_back(std::move(refusal));
    }
    return true;
}
