// CMailboxRows: folder and message state rows of the mailbox layer.
#include "store/CMailboxRows.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <map>

#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/OdbcTransaction.h"
#include "foundation/SqlFormat.h"
#include "platform/Text.h"
#include "store/MailStorePaths.h"

namespace mailbox {

namespace {

// Keywords a message keeps, and the longest one: clients set a few.
constexpr std::size_t kMaxKeywords = 32;
constexpr std::size_t kMaxKeywordLength = 64;
// New state rows per INSERT statement.
constexpr std::size_t kRowsPerInsert = 200;

std::atomic<std::uint32_t> g_lastValidity{0};

// The clock's seconds, but never at or below a value given before: a folder
// made again within the same second still gets a new UIDVALIDITY.
std::uint32_t NewValidity() {
    const auto now = static_cast<std::uint32_t>(std::time(nullptr)) & 0x7fffffffu;
    std::uint32_t last = g_lastValidity.load();
    std::uint32_t next = 0;
    do {
        next = std::max(now, last + 1);
    } while (!g_lastValidity.compare_exchange_weak(last, next));
    return next;
}

// "YYYY-MM-DD HH:MM:SS" local time, as the store writes mRcvdTime; 0 when
// it is not that.
// The store keeps local times. mktime looks at the time zone file on every
// call, and a folder's rows are read on every open and write: the offset
// from UTC is asked once per local hour and kept (per thread, bounded).
std::time_t ParseReceived(const std::string& text) {
    std::tm parts{};
    if (!::strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &parts)) return 0;
    constexpr std::size_t kHoursKept = 4096;
    thread_local std::map<long, std::time_t> offsets;
    const long hour = ((static_cast<long>(parts.tm_year) * 12 + parts.tm_mon) * 32 + parts.tm_mday) * 24 + parts.tm_hour;
    std::tm utc = parts;
    const std::time_t asUtc = timegm(&utc);
    auto it = offsets.find(hour);
    if (it == offsets.end()) {
        std::tm local = parts;
        local.tm_min = local.tm_sec = 0;
        local.tm_isdst = -1;
        std::tm start = local;
        const std::time_t when = std::mktime(&local);
        if (when == static_cast<std::time_t>(-1)) return 0;
        if (offsets.size() >= kHoursKept) offsets.clear();
        it = offsets.emplace(hour, timegm(&start) - when).first;
    }
    const std::time_t when = asUtc - it->second;
    return when < 0 ? 0 : when;
}

}  // namespace

CMailboxRows::CMailboxRows(SQLHDBC conn, long account) : connection(conn), accountId(account) {
    OdbcPrepared statement(connection);
    std::string box;
    if (statement.Run("SELECT aMailBox FROM Accounts WHERE aAccountId = %ld", accountId) && statement.Fetch() &&
        statement.GetText(1, box))
        accountDirectory = mailstore::JoinPath(mailstore::ReadMailDirectory(), box);
}

bool CMailboxRows::ReadFolders(std::vector<Folder>& folders) const {
    folders.clear();
    OdbcPrepared statement(connection);
    std::uint32_t id = 0;
    if (!statement.Run("SELECT FolderId, FolderName FROM FolderMapping WHERE aAccountId = %ld ORDER BY FolderId",
                       accountId) ||
        !statement.BindULong(1, id))
        return false;
    while (statement.Fetch()) {
        std::string name;
        if (id == 0 || !statement.GetText(2, name) || !mailstore::IsSafeName(name)) continue;
        folders.push_back({static_cast<int>(id), std::move(name)});
    }
    return true;
}

bool CMailboxRows::FolderName(int folderId, std::string& name) const {
    name.clear();
    OdbcPrepared statement(connection);
    return statement.Run("SELECT FolderName FROM FolderMapping WHERE aAccountId = %ld AND FolderId = %d", accountId,
                         folderId) &&
           statement.Fetch() && statement.GetText(1, name) && mailstore::IsSafeName(name);
}

std::string CMailboxRows::FolderDirectory(const std::string& name) const {
    return mailstore::JoinPath(accountDirectory, name);
}

bool CMailboxRows::EnsureState(int folderId, const std::string& name, State& state) const {
    {
        OdbcPrepared statement(connection);
        std::uint32_t validity = 0, next = 0;
        std::string stored;
        if (!statement.Run("SELECT UidValidity, UidNext, FolderName FROM MailboxFolderState "
                           "WHERE aAccountId = %ld AND FolderId = %d",
                           accountId, folderId) ||
            !statement.BindULong(1, validity) || !statement.BindULong(2, next))
            return false;
        if (statement.Fetch()) {
            statement.GetText(3, stored);
            state.uidValidity = validity;
            state.uidNext = next == 0 ? 1 : next;
            if (stored == name) return true;
            // Another folder under the number now: its UIDs may repeat ours.
            return Revalidate(folderId, name, state);
        }
    }
    // No state: whatever message rows a former folder of the number left
    // go, and the folder starts its numbering again under a new validity.
    state.uidValidity = NewValidity();
    state.uidNext = 1;
    return RunAll({FormatSql("DELETE FROM MailboxMessageState WHERE aAccountId = %ld AND mFolderId = %d", accountId,
                             folderId),
                   FormatSql("INSERT INTO MailboxFolderState VALUES (%ld, %d, '%s', %u, %u)", accountId, folderId,
                             SqlText::Quote(name), state.uidValidity, state.uidNext)});
}

bool CMailboxRows::Revalidate(int folderId, const std::string& name, State& state) const {
    const std::uint32_t validity = NewValidity();
    OdbcPrepared statement(connection);
    if (!statement.Run("UPDATE MailboxFolderState SET UidValidity = %u, FolderName = '%s' "
                       "WHERE aAccountId = %ld AND FolderId = %d",
                       validity, SqlText::Quote(name), accountId, folderId))
        return false;
    state.uidValidity = validity;
    return true;
}

bool CMailboxRows::SetUidNext(int folderId, std::uint32_t uidNext) const {
    OdbcPrepared statement(connection);
    return statement.Run("UPDATE MailboxFolderState SET UidNext = %u WHERE aAccountId = %ld AND FolderId = %d",
                         uidNext, accountId, folderId);
}

std::vector<std::string> CMailboxRows::FolderStateStatements(long accountId, int folderId) {
    return {FormatSql("DELETE FROM MailboxMessageState WHERE aAccountId = %ld AND mFolderId = %d", accountId, folderId),
            FormatSql("DELETE FROM MailboxFolderState WHERE aAccountId = %ld AND FolderId = %d", accountId, folderId)};
}

bool CMailboxRows::DropFolderState(int folderId) const {
    return RunAll(FolderStateStatements(accountId, folderId));
}

bool CMailboxRows::DropFolderState(SQLHDBC connection, long accountId, int folderId) {
    bool all = true;
    for (const std::string& sql : FolderStateStatements(accountId, folderId)) all = OdbcStatement(connection).ExecDirect(sql) && all;
    return all;
}

int CMailboxRows::NextFolderNumber(SQLHDBC connection, long accountId, int firstFree, int maxFolders) {
    int number = firstFree - 1;
    OdbcPrepared statement(connection);
    std::uint32_t maxId = 0;
    SQLLEN indicator = 0;
    if (!statement.Run("SELECT max(FolderId) from FolderMapping WHERE aAccountId = %ld", accountId) ||
        !statement.BindULong(1, maxId, &indicator))
        return 0;
    if (statement.Fetch() && indicator != SQL_NULL_DATA && maxId > static_cast<std::uint32_t>(number))
        number = maxId >= static_cast<std::uint32_t>(maxFolders) ? maxFolders : static_cast<int>(maxId);
    return ++number > maxFolders ? -1 : number;
}

bool CMailboxRows::InsertFolderRow(SQLHDBC connection, long accountId, int folderId, const std::string& name) {
    OdbcPrepared statement(connection);
    return statement.Run("INSERT INTO FolderMapping VALUES (%ld, %d, '%s', 0)", accountId, folderId,
                         SqlText::Quote(name));
}

bool CMailboxRows::DeleteFolderRow(SQLHDBC connection, long accountId, int folderId) {
    OdbcPrepared statement(connection);
    return statement.Run("Delete from FolderMapping where aAccountId=%ld and FolderId=%d", accountId, folderId);
}

bool CMailboxRows::Sync(int folderId, const State& initial, State& state, std::vector<MessageInfo>& messages) const {
    state = initial;
    messages.clear();
    // The folder's messages as the store lists them, in id order. A POP3
    // session's deletion mark is its own until it commits: still listed.
    {
        OdbcPrepared statement(connection);
        std::uint32_t size = 0;
        unsigned char read = 0;
        if (!statement.Run("SELECT mMailSize, mRead, mMailId, mRcvdTime FROM Mails "
                           "WHERE aAccountId = %ld AND mFolderId = %d ORDER BY mMailId",
                           accountId, folderId) ||
            !statement.BindULong(1, size) || !statement.BindBit(2, read))
            return false;
        while (statement.Fetch()) {
            MessageInfo info;
            std::string when;
            if (!statement.GetText(3, info.mailId) || !mailstore::IsSafeName(info.mailId)) continue;
            statement.GetText(4, when);
            info.size = size;
            info.flags = read ? static_cast<std::uint32_t>(kSeen) : 0u;
            info.received = ParseReceived(when);
            messages.push_back(std::move(info));
        }
    }
    struct Stored {
        std::uint32_t uid = 0;
        std::uint32_t flags = 0;
        std::string keywords;
    };
    std::map<std::string, Stored> stored;
    {
        OdbcPrepared statement(connection);
        std::uint32_t uid = 0, flags = 0;
        if (!statement.Run("SELECT Uid, Flags, mMailId, Keywords FROM MailboxMessageState "
                           "WHERE aAccountId = %ld AND mFolderId = %d",
                           accountId, folderId) ||
            !statement.BindULong(1, uid) || !statement.BindULong(2, flags))
            return false;
        while (statement.Fetch()) {
            std::string id, keywords;
            if (!statement.GetText(3, id)) continue;
            statement.GetText(4, keywords);
            stored[id] = {uid, flags & kStoredFlags, std::move(keywords)};
        }
    }
    std::vector<std::string> drops;
    std::vector<MessageInfo*> unnumbered;
    {
        std::map<std::string, Stored> left = std::move(stored);
        for (MessageInfo& info : messages) {
            auto it = left.find(info.mailId);
            if (it == left.end()) {
                unnumbered.push_back(&info);
                continue;
            }
            info.uid = it->second.uid;
            info.flags |= it->second.flags;
            info.keywords = SplitKeywords(it->second.keywords);
            left.erase(it);
        }
        for (const auto& [id, row] : left)
            drops.push_back(FormatSql("DELETE FROM MailboxMessageState WHERE aAccountId = %ld AND mFolderId = %d "
                                      "AND mMailId = '%s'",
                                      accountId, folderId, SqlText::Quote(id)));
    }
    if (!drops.empty() && !RunAll(drops)) return false;
    if (!unnumbered.empty()) {
        // UIDNEXT first: a failure after it leaves a gap, never a repeat.
        const std::uint32_t first = state.uidNext;
        const auto count = static_cast<std::uint32_t>(unnumbered.size());
        if (!SetUidNext(folderId, first + count)) return false;
        state.uidNext = first + count;
        std::vector<std::string> inserts;
        for (std::size_t i = 0; i < unnumbered.size(); ++i) {
            unnumbered[i]->uid = first + static_cast<std::uint32_t>(i);
            const SqlText id = SqlText::Quote(unnumbered[i]->mailId);
            if (i % kRowsPerInsert == 0)
                inserts.push_back(FormatSql("INSERT INTO MailboxMessageState VALUES (%ld, %d, '%s', %u, 0, '')",
                                            accountId, folderId, id, unnumbered[i]->uid));
            else
                inserts.back() += FormatSql(", (%ld, %d, '%s', %u, 0, '')", accountId, folderId, id,
                                            unnumbered[i]->uid);
        }
        if (!RunAll(inserts)) return false;
    }
    std::sort(messages.begin(), messages.end(),
              [](const MessageInfo& a, const MessageInfo& b) { return a.uid < b.uid; });
    return true;
}

bool CMailboxRows::RunAll(const std::vector<std::string>& statements) const {
    if (statements.empty()) return true;
    if (OdbcStatement::DialectOf(connection).RunsTextAsOneTransaction()) {
        OdbcStatement statement(connection);
        return statement.ExecTogether(statements);
    }
    OdbcTransaction transaction(connection);
    for (const std::string& sql : statements) {
        OdbcStatement statement(connection);
        if (!statement.ExecDirect(sql)) return false;
    }
    return transaction.Commit();
}

std::string CMailboxRows::JoinKeywords(const std::vector<std::string>& keywords) {
    std::vector<std::string> kept;
    for (const std::string& keyword : keywords) {
        if (kept.size() >= kMaxKeywords) break;
        if (keyword.empty() || keyword.size() > kMaxKeywordLength) continue;
        if (std::any_of(keyword.begin(), keyword.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; }))
            continue;
        if (std::any_of(kept.begin(), kept.end(), [&](const std::string& k) { return EqualsNoCase(k, keyword); }))
            continue;
        kept.push_back(keyword);
    }
    std::string text;
    for (const std::string& keyword : kept) text += (text.empty() ? "" : " ") + keyword;
    return text;
}

std::vector<std::string> CMailboxRows::SplitKeywords(const std::string& text) {
    std::vector<std::string> keywords;
    std::size_t start = 0;
    while (start < text.size() && keywords.size() < kMaxKeywords) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) keywords.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return keywords;
}

}  // namespace mailbox
