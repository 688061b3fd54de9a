// DatabaseSchema: the table catalogue and its DDL.
#include "foundation/DatabaseSchema.h"

#include "foundation/MailboxBytes.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/RecordVersion.h"
#include "platform/Text.h"

namespace {
using T = DatabaseSchema::ColumnType;

// Secondary indexes for the look-ups that run per message.
const char* const kIndexes[][3] = {
    {"ix_accounts_name", "Accounts", "aUserName"},
    // Also the mailbox size summed for each message, which reads it alone.
    {"ix_mails_size", "Mails", "aAccountId, mFolderId, mDeleted, mMailSize"},
    {"ix_mails_id", "Mails", "mMailId, mFolderId"},
    {"ix_mailinfo_id", "MailInfo", "mMailId, mFolderId"},
    {"ix_foldermapping_account", "FolderMapping", "aAccountId"},
    {"ix_outbound_domain", "OutBoundMails", "Domain"},
    {"ix_outbound_file", "OutBoundMails", "MailFile"},
    {"ix_mxcache_domain", "MXCache", "Domain"},
    {"ix_stat_date", "MAILSTATISTICS", "MailDate"},
    {"ix_autoreplies_sender", "AutoReplies", "aAccountId, Recipient"},
    {"ix_fetcheduidls_account", "FetchedUidls", "Kind, aAccountId, ServerName"},
    {"ix_mailboxmessage_uid", "MailboxMessageState", "aAccountId, mFolderId, Uid"},
    {"ix_spoolserved_file", "SpoolServed", "SpoolFile"},
};
}  // namespace

const std::vector<DatabaseSchema::Table>& DatabaseSchema::Tables() {
    static const std::vector<Table> tables = {
        {"Accounts",
         {{"aAccountId", T::Long},
          {"aUserName", T::Text},
          {"aPassword", T::Text},
          {"aMailBox", T::Text},
          {"aIsGroup", T::YesNo},
          {"aIsAlive", T::YesNo},
          {"aLogged", T::YesNo},
          {"aIsAdmin", T::YesNo},
          {"EmailId", T::Text},
          {"RecvMailSizeLimit", T::Long}},
         "aAccountId"},
        {"FolderMapping",
         {{"aAccountId", T::Long}, {"FolderId", T::Long}, {"FolderName", T::Text}, {"FolderFlags", T::Long}},
         nullptr},
        {"MailSizeControl",
         {{"aAccountId", T::Long}, {"MailBoxLimit", T::Long}, {"RecvMailLimit", T::Long}, {"SendMailLimit", T::Long}},
         nullptr},
        {"AccessControl", {{"aAccountId", T::Long}, {"aAllowRead", T::Long}, {"aAllowWrite", T::Long}}, nullptr},
        {"Mails",
         {{"mMailId", T::Text},
          {"aAccountId", T::Long},
          {"mMailSize", T::Long},
          {"mMailOffset", T::Long},
          {"mDeleted", T::YesNo},
          {"mDotsSize", T::Long},
          {"mRcvdTime", T::Text},
          {"mType", T::Long},
          {"mRead", T::YesNo},
          {"mFolderId", T::Long}},
         nullptr},
        {"MailInfo",
         {{"mMailId", T::Text},
          {"Sender", T::Text},
          {"Subject", T::Text},
          {"RcvdDate", T::Text},
          {"aAccountId", T::Long},
          {"mFolderId", T::Long}},
         nullptr},
        {"OutBoundMails",
         {{"DestUser", T::Text},
          {"Domain", T::Text},
          {"MailFile", T::Text},
          {"Sent", T::YesNo},
          {"FailureCode", T::Long},
          {"RcptDate", T::Date},
          {"SenderAccountId", T::Text}},
         nullptr},
        {"MXCache", {{"Domain", T::Text}, {"MXServerName", T::Text}, {"FetchTime", T::Date}}, nullptr},
        {"POPACCOUNTS",
         {{"aAccountId", T::Long},
          {"UserId", T::Text},
          {"Pass", T::Text},
          {"ServerAddr", T::Text},
          {"LastMailId", T::Text},
          {"IsLeaveMailOnServer", T::YesNo},
          {"Port", T::Long},
          {"Enable", T::YesNo}},
         nullptr},
        {"RemoteServerAccounts",
         {{"ServerName", T::Text},
          {"aUserName", T::Text},
          {"UserId", T::Text},
          {"Pass", T::Text},
          {"LeaveMailOnServer", T::YesNo},
          {"ServerAddr", T::Text},
          {"Alias", T::YesNo},
          {"LastMailId", T::Text},
          {"AliasAddress", T::Text},
          {"Port", T::Long}},
         nullptr},
        {"Forwarding",
         {{"aAccountId", T::Long},
          {"UserId", T::Text},
          {"ServerAddr", T::Text},
          {"RouteLocal", T::YesNo},
          {"Enable", T::YesNo}},
         nullptr},
        {"ForwardOptions", {{"aAccountId", T::Long}, {"RetainForwardCopy", T::YesNo}}, nullptr},
        {"AutoResponder", {{"aAccountId", T::Long}, {"AutoResponder", T::YesNo}}, nullptr},
        {"Aliases", {{"aUserName", T::Text}, {"UserId", T::Text}, {"AliasName", T::Text}}, nullptr},
        {"Domains", {{"DomainName", T::Text}, {"DefaultUser", T::Text}, {"IsFwdOn", T::YesNo}}, "DomainName"},
        {"DomainAliasUsers", {{"UserName", T::Text}, {"ForwardAddress", T::Text}}, nullptr},
        {"RelayAllowed", {{"FirstIp", T::Text}, {"LastIp", T::Text}}, nullptr},
        {"MAILSTATISTICS",
         {{"MailFrom", T::Text},
          {"MailTo", T::Text},
          {"Subject", T::Text},
          {"MailDate", T::Date},
          {"IsLocal", T::YesNo},
          {"MailSize", T::Long},
          {"Offset", T::Long},
          {"LogDay", T::Text}},
         nullptr},
        {"mailmonitor", {{"nAccountId", T::Text}, {"Type", T::Text}, {"EmailAdd", T::Text}}, nullptr},
        {"Netware",
         {{"aAccountId", T::Long},
          {"IsNetware", T::YesNo},
          {"MailPath", T::Text},
          {"UserName", T::Text},
          {"Domain", T::Text},
          {"LeaveCopy", T::YesNo}},
         nullptr},
        {"Groups", {{"aAccountId", T::Long}, {"iGroupId", T::Long}}, nullptr},
        {"Intergroup", {{"aAccountId", T::Long}, {"iGroupId", T::Long}}, nullptr},
        {"UserFilters", {{"aAccountId", T::Long}, {"fFilterId", T::Long}, {"aAlarmId", T::Long}}, nullptr},
        {"Filters",
         {{"fFilterId", T::Long}, {"fFrom", T::Text}, {"fTo", T::Text}, {"fSubject", T::Text}, {"fPriority", T::Long}},
         nullptr},
        {"Alarms",
         {{"alAlarmId", T::Long},
          {"alMode", T::Long},
          {"cContextId", T::Long},
          {"alData", T::Text},
          {"alDestination", T::Text}},
         nullptr},
        {"UserPrefrences",
         {{"AccountId", T::Long},
          {"Font", T::Text},
          {"Size", T::Long},
          {"Stationary", T::Text},
          {"SaveCopy", T::YesNo},
          {"DeliveryRcpt", T::YesNo},
          {"ReadRcpt", T::YesNo},
          {"Signature", T::YesNo},
          {"Version", T::YesNo}},
         nullptr},
        {"VoiceAccounts",
         {{"aAccountId", T::Long}, {"vUserCode", T::Text}, {"vPasswordCode", T::Text}, {"vIsNovice", T::YesNo}},
         nullptr},
        // Outbox files whose message came from a client that may relay (the
        // office's own or an authenticated one): their bounces carry the
        // whole message. A file without a row is a stranger's.
        {"TrustedOutbound", {{"MailFile", T::Text}}, "MailFile"},
        // When an account's automatic reply last went to a sender, so that
        // one sender is answered once per interval.
        {"AutoReplies", {{"aAccountId", T::Long}, {"Recipient", T::Text}, {"RepliedAt", T::Date}}, nullptr},
        // The unique ids of the messages a remote mailbox left on its server
        // has already handed over (CFetchedUidls): Kind 1 a mapped account
        // (aAccountId, ServerAddr, UserId), Kind 2 a remote server account
        // (ServerName, with the ServerAddr and UserId it was fetched from).
        {"FetchedUidls",
         {{"Kind", T::Long},
          {"aAccountId", T::Long},
          {"ServerName", T::Text},
          {"ServerAddr", T::Text},
          {"UserId", T::Text},
          {"Uidl", T::ExactText}},
         nullptr},
        // The last reply a remote server gave about a queued recipient, and
        // whether it refused for good (a 5xx): what the queue listing shows
        // and the notice quotes.
        {"OutboundReplies",
         {{"MailFile", T::Text}, {"DestUser", T::Text}, {"Domain", T::Text}, {"Reply", T::Text}, {"Permanent", T::YesNo}},
         "MailFile, DestUser, Domain"},
        // The mailbox layer's state of each folder of an account: the UID
        // numbering (IMAP UIDVALIDITY and UIDNEXT) and the folder name it
        // was made for, so that a folder renamed or replaced is numbered anew.
        {"MailboxFolderState",
         {{"aAccountId", T::Long},
          {"FolderId", T::Long},
          {"FolderName", T::Text},
          {"UidValidity", T::Long},
          {"UidNext", T::Long}},
         "aAccountId, FolderId"},
        // Each listed message's UID, its flags other than the read mark
        // (answered 2, flagged 4, deleted 8, draft 16) and its keywords
        // (blank-separated), beside its Mails row.
        {"MailboxMessageState",
         {{"aAccountId", T::Long},
          {"mFolderId", T::Long},
          {"mMailId", T::Text},
          {"Uid", T::Long},
          {"Flags", T::Long},
          {"Keywords", T::Text}},
         "aAccountId, mFolderId, mMailId"},
        // The local recipients of a spool file whose copy is stored, written
        // with the copy's rows: a restart after that commit, before the spool
        // file went, serves only the others. Gone with the file.
        {"SpoolServed", {{"SpoolFile", T::ExactText}, {"Stamp", T::ExactText}, {"Recipient", T::Long}}, nullptr},
    };
    return tables;
}

std::vector<std::string> DatabaseSchema::Statements(SQLHDBC connection) {
    const bool postgres = OdbcStatement::DialectOf(connection).GetBackend() == SqlDialect::Backend::PostgreSQL;
    auto typeName = [postgres](ColumnType type) -> std::string {
        switch (type) {
            case ColumnType::Long:
                return "INTEGER";
            // Text compares without regard to case, as the system's look-ups expect.
            case ColumnType::Text:
                return postgres ? "CITEXT" : "TEXT COLLATE NOCASE";
            case ColumnType::YesNo:
                return "BOOLEAN";
            // Dates are kept as "YYYY-MM-DD HH:MM:SS" text: text order is time order.
            case ColumnType::Date:
                return postgres ? "TIMESTAMP" : "TEXT";
            // Binary collation on SQLite, plain text on PostgreSQL.
            case ColumnType::ExactText:
                return "TEXT";
        }
        return "TEXT";
    };
    std::vector<std::string> out;
    if (postgres) out.push_back("CREATE EXTENSION IF NOT EXISTS citext");
    for (const Table& table : Tables()) {
        std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + table.name + " (";
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            if (i) sql += ", ";
            // A name PostgreSQL reserves is quoted, in the case it folds names to.
            const std::string name = table.columns[i].name;
            sql += (postgres && EqualsNoCase(name, "offset") ? std::string("\"offset\"") : name) + " " +
                   typeName(table.columns[i].type);
        }
        if (table.primaryKey) sql += std::string(", PRIMARY KEY (") + table.primaryKey + ")";
        sql += ")";
        out.push_back(sql);
    }
    for (const auto& index : kIndexes)
        out.push_back(std::string("CREATE INDEX IF NOT EXISTS ") + index[0] + " ON " + index[1] + " (" + index[2] +
                      ")");
    // Account records are kept between messages only where triggers say
    // when they change.
    for (std::string& sql : postgres ? RecordVersion::PostgresSchema() : RecordVersion::SqliteSchema())
        out.push_back(std::move(sql));
    return out;
}

bool DatabaseSchema::Create(SQLHDBC connection, std::string& error) {
    for (const std::string& sql : Statements(connection)) {
        OdbcStatement statement(connection);
        if (!statement.ExecDirect(sql)) {
            error = sql + ": " + statement.LastError();
            return false;
        }
    }
    // Derived from Mails: made, or made right again, after it.
    return MailboxBytes::Recompute(connection, error);
}

std::optional<bool> DatabaseSchema::HasTrigger(SQLHDBC connection, const std::string& name) {
    const SqlDialect::Backend backend = OdbcStatement::DialectOf(connection).GetBackend();
    if (backend != SqlDialect::Backend::SQLite && backend != SqlDialect::Backend::PostgreSQL) return std::nullopt;
    OdbcPrepared statement(connection);
    std::uint32_t count = 0;
    // PostgreSQL keeps unquoted names folded to lower case.
    const bool ran =
        backend == SqlDialect::Backend::PostgreSQL
            ? statement.Run("SELECT count(*) FROM pg_trigger WHERE tgname = '%s'", SqlText::Quote(FoldCase(name)))
            : statement.Run("SELECT count(*) FROM sqlite_master WHERE type = 'trigger' AND name = '%s'",
                            SqlText::Quote(name));
    if (!ran || !statement.BindULong(1, count) || !statement.Fetch()) return std::nullopt;
    return count > 0;
}
