// COutboundReplies: keeping the remote servers' replies.
#include "foundation/COutboundReplies.h"

#include <algorithm>

#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "platform/Text.h"

std::string COutboundReplies::Clean(std::string_view line) {
    std::string text;
    text.reserve(std::min(line.size(), kMaxReplyBytes));
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        // A tab is a blank to a reader; other controls (CR, LF, escapes) go.
        if (u == '\t')
            text += ' ';
        else if (u >= 0x80)
            text += '?';
        else if (u >= 0x20 && u != 0x7F)
            text += c;
    }
    std::string trimmed(Trim(text));
    if (trimmed.size() > kMaxReplyBytes) trimmed.resize(kMaxReplyBytes);
    return std::string(Trim(trimmed));
}

bool COutboundReplies::Record(SQLHDBC connection, const Key& key, const std::string& reply) {
    const auto& [file, user, domain] = key;
    Forget(connection, key);
    OdbcStatement insert(connection);
    return insert.ExecDirect(FormatSql("INSERT INTO OutboundReplies VALUES ('%s','%s','%s','%s', %s)",
                                       SqlText::Quote(file), SqlText::Quote(user), SqlText::Quote(domain),
                                       SqlText::Quote(reply), IsPermanent(reply) ? SqlTrusted("true") : SqlTrusted("false")));
}

void COutboundReplies::Forget(SQLHDBC connection, const Key& key) {
    const auto& [file, user, domain] = key;
    OdbcStatement s(connection);
    s.ExecDirect(FormatSql("DELETE FROM OutboundReplies WHERE MailFile = '%s' AND DestUser = '%s' AND Domain = '%s'",
                           SqlText::Quote(file), SqlText::Quote(user), SqlText::Quote(domain)));
}

std::string COutboundReplies::Lookup(SQLHDBC connection, const Key& key) {
    const auto& [file, user, domain] = key;
    OdbcStatement s(connection);
    std::string reply;
    if (!s.ExecDirect(FormatSql(
            "SELECT Reply FROM OutboundReplies WHERE MailFile = '%s' AND DestUser = '%s' AND Domain = '%s'",
            SqlText::Quote(file), SqlText::Quote(user), SqlText::Quote(domain))) ||
        !s.Fetch() || !s.GetText(1, reply))
        return {};
    // A row written by hand or by an older program is held to the same bounds.
    return Clean(reply);
}

std::map<COutboundReplies::Key, std::string> COutboundReplies::All(SQLHDBC connection) {
    std::map<Key, std::string> replies;
    OdbcStatement s(connection);
    if (!s.ExecDirect("SELECT MailFile, DestUser, Domain, Reply FROM OutboundReplies")) return replies;
    while (s.Fetch()) {
        std::string file, user, domain, reply;
        s.GetText(1, file);
        s.GetText(2, user);
        s.GetText(3, domain);
        s.GetText(4, reply);
        replies[{file, user, domain}] = Clean(reply);
    }
    return replies;
}

void COutboundReplies::ForgetOrphans(SQLHDBC connection) {
    OdbcStatement s(connection);
    s.ExecDirect(
        "DELETE FROM OutboundReplies WHERE NOT EXISTS (SELECT 1 FROM OutBoundMails WHERE "
        "OutBoundMails.MailFile = OutboundReplies.MailFile AND OutBoundMails.DestUser = OutboundReplies.DestUser AND "
        "OutBoundMails.Domain = OutboundReplies.Domain)");
}
