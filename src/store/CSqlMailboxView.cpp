// CSqlMailboxView: snapshot, refresh, reading, flags, copy, move, expunge.
#include "store/CSqlMailboxView.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>

#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "platform/FileIo.h"
#include "platform/MutexLock.h"
#include "platform/Text.h"
#include "store/CMailboxChanges.h"
#include "store/MailStorePaths.h"
#include "store/MarkedDeletions.h"
#include "store/MessageStoring.h"

namespace mailbox {

namespace {

// Rows are read again after this long even when the counter stayed, for
// changes another process made.
constexpr std::chrono::seconds kRereadAfter{30};
// Attempts at a free id for a copied message; each advances the counter.
constexpr int kIdAttempts = 64;
// A message's rows: its listing, its summary and its layer state.
const SqlTrusted kMessageTables[] = {"Mails", "MailInfo", "MailboxMessageState"};

bool SameKeywords(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!EqualsNoCase(a[i], b[i])) return false;
    return true;
}

std::vector<std::string> Merge(std::vector<std::string> have, const std::vector<std::string>& keywords,
                               FlagMode mode) {
    auto has = [](const std::vector<std::string>& list, const std::string& k) {
        return std::any_of(list.begin(), list.end(), [&](const std::string& x) { return EqualsNoCase(x, k); });
    };
    switch (mode) {
        case FlagMode::Replace:
            return keywords;
        case FlagMode::Add:
            for (const std::string& k : keywords)
                if (!has(have, k)) have.push_back(k);
            return have;
        case FlagMode::Remove:
            std::erase_if(have, [&](const std::string& x) { return has(keywords, x); });
            return have;
    }
    return have;
}

// Ids per statement written "mMailId IN (...)": many messages change in a
// few round trips and commits instead of one each.
constexpr std::size_t kIdsPerStatement = 200;

// The statement for each slice of ids; sql has one IN ('%s') for the list.
template <typename Make>
void ForEachSlice(const std::vector<std::string>& ids, Make make, std::vector<std::string>& statements) {
    for (std::size_t at = 0; at < ids.size(); at += kIdsPerStatement) {
        const std::vector<std::string> slice(ids.begin() + static_cast<std::ptrdiff_t>(at),
                                             ids.begin() + static_cast<std::ptrdiff_t>(
                                                               std::min(ids.size(), at + kIdsPerStatement)));
        statements.push_back(make(SqlText::QuoteEach(slice)));
    }
}

bool IdListed(SQLHDBC connection, const std::string& id) {
    OdbcPrepared statement(connection);
    std::uint32_t count = 1;
    return !statement.Run("SELECT count(*) FROM Mails WHERE mMailId = '%s'", SqlText::Quote(id)) ||
           !statement.BindULong(1, count) || !statement.Fetch() || count != 0;
}

}  // namespace

CSqlMailboxView::CSqlMailboxView(const CMailboxRows& r, int folder, const CMailboxRows::State& s, bool ro,
                                 std::vector<MessageInfo> list, std::uint64_t counter)
    : rows(r),
      folderId(folder),
      state(s),
      readOnly(ro),
      messages(std::move(list)),
      seenCounter(counter),
      lastRead(std::chrono::steady_clock::now()) {}

MessageInfo* CSqlMailboxView::Find(std::uint32_t uid) {
    auto it = std::lower_bound(messages.begin(), messages.end(), uid,
                               [](const MessageInfo& m, std::uint32_t u) { return m.uid < u; });
    return it != messages.end() && it->uid == uid ? &*it : nullptr;
}

std::vector<MessageInfo*> CSqlMailboxView::Select(const std::vector<std::uint32_t>& uids) {
    std::vector<std::uint32_t> sorted = uids;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::vector<MessageInfo*> selected;
    for (std::uint32_t uid : sorted)
        if (MessageInfo* m = Find(uid)) selected.push_back(m);
    return selected;
}

Result<Changes> CSqlMailboxView::Refresh() {
    const std::uint64_t counter = CMailboxChanges::Counter(rows.AccountId());
    if (counter == seenCounter && std::chrono::steady_clock::now() - lastRead < kRereadAfter) return {};
    MutexLock lock(CMailboxChanges::Lock(rows.AccountId()));
    return Reread(counter);
}

Result<Changes> CSqlMailboxView::Reread(std::uint64_t counter) {
    Changes changes;
    std::vector<MessageInfo> current;
    std::string name;
    if (!rows.FolderName(folderId, name)) {
        folderName.clear();
        // The folder went: so did all its messages.
        for (const MessageInfo& m : messages) changes.expunged.push_back(m.uid);
    } else {
        CMailboxRows::State ensured, synced;
        if (!rows.EnsureState(folderId, name, ensured) || !rows.Sync(folderId, ensured, synced, current))
            return Result<Changes>::Fail(Error::Storage);
        state.uidNext = std::max(state.uidNext, synced.uidNext);
        folderName = name;
        // Both lists ascend by UID.
        auto old = messages.begin();
        for (const MessageInfo& now : current) {
            while (old != messages.end() && old->uid < now.uid) changes.expunged.push_back((old++)->uid);
            if (old != messages.end() && old->uid == now.uid) {
                if (old->flags != now.flags || !SameKeywords(old->keywords, now.keywords))
                    changes.flagsChanged.push_back(now);
                ++old;
            } else {
                changes.added.push_back(now);
            }
        }
        for (; old != messages.end(); ++old) changes.expunged.push_back(old->uid);
    }
    messages = std::move(current);
    seenCounter = counter;
    lastRead = std::chrono::steady_clock::now();
    return {Error::None, std::move(changes)};
}

Result<CMailboxView::OpenedMessage> CSqlMailboxView::Open(std::uint32_t uid) {
    const MessageInfo* m = Find(uid);
    if (!m) return Result<OpenedMessage>::Fail(Error::NoSuchMessage);
    // The folder's name is kept from the last look, as a FETCH opens every
    // message it serves; it is looked up again when the file is not where
    // that name says (a rename by another session).
    const bool cached = !folderName.empty();
    if (!cached) {
        std::string name;
        if (!rows.FolderName(folderId, name)) return Result<OpenedMessage>::Fail(Error::NoSuchFolder);
        folderName = std::move(name);
    }
    auto openIn = [&](const std::string& name) {
        const std::string path = mailstore::JoinPath(rows.FolderDirectory(name), m->mailId + ".mel");
        if (path.empty()) errno = ENOENT;
        return path.empty() ? UniqueFd() : UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    };
    OpenedMessage opened;
    opened.fd = openIn(folderName);
    if (!opened.fd && errno == ENOENT && cached) {
        std::string now;
        if (!rows.FolderName(folderId, now)) {
            folderName.clear();
            return Result<OpenedMessage>::Fail(Error::NoSuchFolder);
        }
        if (now != folderName) {
            folderName = std::move(now);
            opened.fd = openIn(folderName);
        } else {
            errno = ENOENT;
        }
    }
    if (!opened.fd)
        return Result<OpenedMessage>::Fail(errno == ENOENT || errno == ELOOP ? Error::MessageMissing
                                                                            : Error::Storage);
    struct stat info {};
    if (::fstat(opened.fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return Result<OpenedMessage>::Fail(Error::MessageMissing);
    opened.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(info.st_size),
                                                                     UINT32_MAX));
    return {Error::None, std::move(opened)};
}

Result<std::vector<MessageInfo>> CSqlMailboxView::SetFlags(const std::vector<std::uint32_t>& uids, FlagMode mode,
                                                           std::uint32_t flags,
                                                           const std::vector<std::string>& keywords) {
    using R = Result<std::vector<MessageInfo>>;
    if (readOnly) return R::Fail(Error::Storage);
    flags &= CMailboxRows::kAllFlags;
    const long account = rows.AccountId();
    std::vector<MessageInfo*> selected = Select(uids);
    MutexLock lock(CMailboxChanges::Lock(account));
    const std::uint64_t before = CMailboxChanges::Counter(account);
    // The rows as they are now: another session may have changed them since
    // this snapshot was read. When nothing moved the counter since, and the
    // snapshot is recent (for other processes, as Refresh), it is the rows.
    std::vector<MessageInfo> current;
    const bool fresh = before == seenCounter && std::chrono::steady_clock::now() - lastRead < kRereadAfter;
    if (!fresh) {
        CMailboxRows::State ensured, synced;
        std::string name;
        if (!rows.FolderName(folderId, name)) return R::Fail(Error::NoSuchFolder);
        if (!rows.EnsureState(folderId, name, ensured) || !rows.Sync(folderId, ensured, synced, current))
            return R::Fail(Error::Storage);
    }
    std::map<std::uint32_t, const MessageInfo*> now;
    for (const MessageInfo& m : fresh ? messages : current) now[m.uid] = &m;

    // Messages that end with the same flags and keywords change together.
    std::map<std::pair<std::uint32_t, std::string>, std::vector<std::string>> stateGroups;
    std::vector<std::string> nowRead, nowUnread;
    std::vector<std::pair<MessageInfo*, MessageInfo>> updates;
    for (MessageInfo* m : selected) {
        auto it = now.find(m->uid);
        if (it == now.end()) continue;
        MessageInfo next = *it->second;
        switch (mode) {
            case FlagMode::Add:
                next.flags |= flags;
                break;
            case FlagMode::Remove:
                next.flags &= ~flags;
                break;
            case FlagMode::Replace:
                next.flags = flags;
                break;
        }
        next.keywords = CMailboxRows::SplitKeywords(CMailboxRows::JoinKeywords(Merge(next.keywords, keywords, mode)));
        if ((next.flags & CMailboxRows::kStoredFlags) != (it->second->flags & CMailboxRows::kStoredFlags) ||
            !SameKeywords(next.keywords, it->second->keywords))
            stateGroups[{next.flags & CMailboxRows::kStoredFlags, CMailboxRows::JoinKeywords(next.keywords)}]
                .push_back(next.mailId);
        if ((next.flags & kSeen) != (it->second->flags & kSeen))
            ((next.flags & kSeen) ? nowRead : nowUnread).push_back(next.mailId);
        updates.emplace_back(m, std::move(next));
    }
    std::vector<std::string> statements;
    for (const auto& entry : stateGroups) {
        const auto& group = entry.first;
        ForEachSlice(
            entry.second,
            [&](const SqlText& list) {
                return FormatSql("UPDATE MailboxMessageState SET Flags = %u, Keywords = '%s' "
                                 "WHERE aAccountId = %ld AND mFolderId = %d AND mMailId IN ('%s')",
                                 group.first, SqlText::Quote(group.second), account, folderId, list);
            },
            statements);
    }
    ForEachSlice(
        nowRead,
        [&](const SqlText& list) {
            return FormatSql("UPDATE Mails SET mRead = 1 WHERE aAccountId = %ld AND mFolderId = %d AND mMailId IN ('%s')",
                             account, folderId, list);
        },
        statements);
    ForEachSlice(
        nowUnread,
        [&](const SqlText& list) {
            return FormatSql("UPDATE Mails SET mRead = 0 WHERE aAccountId = %ld AND mFolderId = %d AND mMailId IN ('%s')",
                             account, folderId, list);
        },
        statements);
    if (!statements.empty()) {
        if (!rows.RunAll(statements)) return R::Fail(Error::Storage);
        // When nothing else moved the counter since the snapshot was read, this
        // write is the only change and the snapshot takes it below: the next
        // Refresh need not read the folder again for it.
        if (CMailboxChanges::Bump(account) == before + 1 && before == seenCounter) seenCounter = before + 1;
    }
    std::vector<MessageInfo> result;
    for (auto& [m, next] : updates) {
        // This session reports these itself: no flag change for its refresh.
        m->flags = next.flags;
        m->keywords = next.keywords;
        result.push_back(*m);
    }
    return {Error::None, std::move(result)};
}

Result<CopyResult> CSqlMailboxView::Copy(const std::vector<std::uint32_t>& uids, int targetFolder) {
    return Transfer(uids, targetFolder, false);
}

Result<CopyResult> CSqlMailboxView::Move(const std::vector<std::uint32_t>& uids, int targetFolder) {
    if (readOnly) return Result<CopyResult>::Fail(Error::Storage);
    return Transfer(uids, targetFolder, true);
}

Result<CopyResult> CSqlMailboxView::Transfer(const std::vector<std::uint32_t>& uids, int targetFolder, bool move) {
    using R = Result<CopyResult>;
    const long account = rows.AccountId();
    SQLHDBC connection = rows.Connection();
    std::vector<MessageInfo*> selected = Select(uids);
    MutexLock lock(CMailboxChanges::Lock(account));
    std::string sourceName, targetName;
    if (!rows.FolderName(folderId, sourceName)) return R::Fail(Error::NoSuchFolder);
    if (!rows.FolderName(targetFolder, targetName)) return R::Fail(Error::NoSuchFolder);
    const std::string sourceDirectory = rows.FolderDirectory(sourceName);
    const std::string targetDirectory = rows.FolderDirectory(targetName);
    CMailboxRows::State ensured, synced, target;
    std::vector<MessageInfo> current;
    if (sourceDirectory.empty() || targetDirectory.empty() || !rows.EnsureState(folderId, sourceName, ensured) ||
        !rows.Sync(folderId, ensured, synced, current) || !rows.EnsureState(targetFolder, targetName, target))
        return R::Fail(Error::Storage);
    std::map<std::uint32_t, const MessageInfo*> now;
    for (const MessageInfo& m : current) now[m.uid] = &m;

    struct Item {
        MessageInfo* source;
        const MessageInfo* row;
        std::string newId;
        std::string from, to;
        std::uint32_t newUid = 0;
    };
    std::vector<Item> items;
    for (MessageInfo* m : selected) {
        auto it = now.find(m->uid);
        if (it != now.end()) items.push_back({m, it->second, {}, {}, {}, 0});
    }
    // Takes back the links made so far.
    auto unlinkNew = [&items] {
        for (const Item& item : items)
            if (!item.to.empty()) ::unlink(item.to.c_str());
    };
    // The files first: a second name for each in the target, under a new id.
    const std::time_t when = std::time(nullptr);
    for (Item& item : items) {
        item.from = mailstore::JoinPath(sourceDirectory, item.row->mailId + ".mel");
        bool linked = false;
        for (int attempt = 0; attempt < kIdAttempts && !linked; ++attempt) {
            const std::string id = mailstore::MakeMailId(when);
            if (IdListed(connection, id)) continue;
            const std::string to = mailstore::JoinPath(targetDirectory, id + ".mel");
            if (::link(item.from.c_str(), to.c_str()) == 0) {
                item.newId = id;
                item.to = to;
                linked = true;
            } else if (errno != EEXIST) {
                const Error error = errno == ENOENT && ::access(item.from.c_str(), F_OK) != 0 ? Error::MessageMissing
                                                                                              : Error::Storage;
                unlinkNew();
                return R::Fail(error);
            }
        }
        if (!linked) {
            unlinkNew();
            return R::Fail(Error::Storage);
        }
    }
    if (!items.empty() && !SyncDirectory(targetDirectory)) {
        unlinkNew();
        return R::Fail(Error::Storage);
    }

    // Then the rows, in one transaction where the connection allows: the
    // target's UIDNEXT first, the new rows, then (a move) the old ones.
    std::uint32_t next = target.uidNext;
    std::vector<std::string> statements;
    statements.push_back(
        FormatSql("UPDATE MailboxFolderState SET UidNext = %u WHERE aAccountId = %ld AND FolderId = %d",
                  next + static_cast<std::uint32_t>(items.size()), account, targetFolder));
    for (Item& item : items) {
        item.newUid = next++;
        const SqlText newId = SqlText::Quote(item.newId), oldId = SqlText::Quote(item.row->mailId);
        statements.push_back(FormatSql(
            "INSERT INTO MAILS SELECT '%s', aAccountId, mMailSize, mMailOffset, mDeleted, mDotsSize, mRcvdTime, "
            "mType, mRead, %d FROM Mails WHERE aAccountId = %ld AND mMailId = '%s' AND mFolderId = %d",
            newId, targetFolder, account, oldId, folderId));
        statements.push_back(FormatSql("INSERT INTO MAILINFO SELECT '%s', Sender, Subject, RcvdDate, aAccountId, %d "
                                       "FROM MailInfo WHERE aAccountId = %ld AND mMailId = '%s' AND mFolderId = %d",
                                       newId, targetFolder, account, oldId, folderId));
        statements.push_back(FormatSql("INSERT INTO MailboxMessageState VALUES (%ld, %d, '%s', %u, %u, '%s')",
                                       account, targetFolder, newId, item.newUid,
                                       item.row->flags & CMailboxRows::kStoredFlags,
                                       SqlText::Quote(CMailboxRows::JoinKeywords(item.row->keywords))));
    }
    if (move)
        for (const Item& item : items) {
            const SqlText oldId = SqlText::Quote(item.row->mailId);
            statements.push_back(FormatSql("DELETE FROM Mails WHERE aAccountId = %ld AND mMailId = '%s' AND "
                                           "mFolderId = %d",
                                           account, oldId, folderId));
            statements.push_back(FormatSql("DELETE FROM MailInfo WHERE aAccountId = %ld AND mMailId = '%s' AND "
                                           "mFolderId = %d",
                                           account, oldId, folderId));
            statements.push_back(FormatSql("DELETE FROM MailboxMessageState WHERE aAccountId = %ld AND mMailId = "
                                           "'%s' AND mFolderId = %d",
                                           account, oldId, folderId));
        }
    if (!rows.RunAll(statements)) {
        // Whatever committed on its own goes again, copy by copy: a copy
        // whose original is still listed is withdrawn; one whose original
        // is gone already (a move cut short) stays, as the message itself.
        bool partial = false;
        std::vector<std::string> undo;
        for (Item& item : items) {
            if (move && !IdListed(connection, item.row->mailId)) {
                partial = true;
                ::unlink(item.from.c_str());
                item.to.clear();
                continue;
            }
            const SqlText newId = SqlText::Quote(item.newId);
            for (const SqlTrusted& table : kMessageTables)
                undo.push_back(FormatSql("DELETE FROM %s WHERE aAccountId = %ld AND mMailId = '%s' AND mFolderId = %d",
                                         table, account, newId, targetFolder));
        }
        // One by one: a table that refused its row must not keep the others.
        for (const std::string& sql : undo) OdbcStatement(connection).ExecDirect(sql);
        unlinkNew();
        if (partial) CMailboxChanges::Bump(account);
        return R::Fail(Error::Storage);
    }
    // The rows are in; the old names go last (an unlisted file at worst).
    CopyResult result;
    result.targetUidValidity = target.uidValidity;
    for (const Item& item : items) {
        if (move) ::unlink(item.from.c_str());
        result.uids.emplace_back(item.source->uid, item.newUid);
    }
    if (!items.empty()) CMailboxChanges::Bump(account);
    if (move)
        std::erase_if(messages, [&result](const MessageInfo& m) {
            return std::any_of(result.uids.begin(), result.uids.end(),
                               [&m](const auto& pair) { return pair.first == m.uid; });
        });
    return {Error::None, std::move(result)};
}

Result<std::vector<std::uint32_t>> CSqlMailboxView::Expunge(const std::vector<std::uint32_t>* uids) {
    using R = Result<std::vector<std::uint32_t>>;
    if (readOnly) return R::Fail(Error::Storage);
    const long account = rows.AccountId();
    MutexLock lock(CMailboxChanges::Lock(account));
    std::string name;
    if (!rows.FolderName(folderId, name)) return R::Fail(Error::NoSuchFolder);
    const std::string directory = rows.FolderDirectory(name);
    CMailboxRows::State ensured, synced;
    std::vector<MessageInfo> current;
    if (directory.empty() || !rows.EnsureState(folderId, name, ensured) ||
        !rows.Sync(folderId, ensured, synced, current))
        return R::Fail(Error::Storage);
    std::vector<std::uint32_t> wanted;
    if (uids) {
        wanted = *uids;
        std::sort(wanted.begin(), wanted.end());
    }
    // Flagged Deleted now (by any session), and known to this snapshot.
    std::vector<const MessageInfo*> doomed;
    for (const MessageInfo& m : current) {
        if (!(m.flags & kDeleted) || !Find(m.uid)) continue;
        if (uids && !std::binary_search(wanted.begin(), wanted.end(), m.uid)) continue;
        doomed.push_back(&m);
    }
    std::vector<std::string> ids, statements;
    for (const MessageInfo* m : doomed) ids.push_back(m->mailId);
    for (const SqlTrusted& table : kMessageTables)
        ForEachSlice(
            ids,
            [&](const SqlText& list) {
                return FormatSql("DELETE FROM %s WHERE aAccountId = %ld AND mFolderId = %d AND mMailId IN ('%s')", table,
                                 account, folderId, list);
            },
            statements);
    if (!rows.RunAll(statements)) return R::Fail(Error::Storage);
    std::vector<std::uint32_t> removed;
    // The files go as with every committed deletion: only when the
    // administrator asked for it.
    const bool removeFiles = mailstore::RemovesDeletedFiles();
    for (const MessageInfo* m : doomed) {
        const std::string path = mailstore::JoinPath(directory, m->mailId + ".mel");
        if (removeFiles && !path.empty()) ::unlink(path.c_str());
        removed.push_back(m->uid);
    }
    if (!removed.empty()) CMailboxChanges::Bump(account);
    std::erase_if(messages,
                  [&removed](const MessageInfo& m) { return std::binary_search(removed.begin(), removed.end(), m.uid); });
    return {Error::None, std::move(removed)};
}

}  // namespace mailbox
