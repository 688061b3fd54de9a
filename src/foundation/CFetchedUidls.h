// CFetchedUidls: the unique ids (UIDL) of the messages one remote mailbox
// has already handed over, kept in table FetchedUidls while the messages
// stay on the remote server.
//
// One id of the last message fetched cannot say what is new once a phone or
// a web-mail client deletes a message there: that id may be gone, and then
// everything still on the server would look new. With the whole set, a pass
// fetches exactly the messages whose ids it has not recorded. An id is
// recorded only after its message was handed over, so a crash in between
// fetches it again (a duplicate) and never skips it; ids the server no
// longer lists are forgotten after each complete listing, so the set is
// never larger than the mailbox.
//
// Ids compare byte for byte (RFC 1939 ids are case-sensitive). A mapped
// account is known by its local account, server and remote user; a remote
// server account by its name, with the server and remote user it is fetched
// from, so that a changed server starts afresh.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "foundation/OdbcEnvironment.h"

class CFetchedUidls {
public:
    // RFC 1939 allows 70 characters; longer ids are not kept.
    static constexpr std::size_t kMaxUidl = 100;
    // More rows than any listing could hold: the table is not what it should be.
    static constexpr std::size_t kMaxRows = 1000000;

    enum class Kind : long { Mapped = 1, Remote = 2 };
    struct Key {
        Kind kind = Kind::Mapped;
        long accountId = 0;       // Mapped: the local account
        std::string serverName;   // Remote: the account's name
        std::string server;       // the POP3 server
        std::string remoteUser;   // the remote login name
    };

    CFetchedUidls(SQLHDBC connection, Key key);

    // Reads the recorded ids; false when they cannot be read.
    bool Load();
    bool Empty() const { return uidls.empty(); }
    bool Contains(const std::string& uidl) const { return uidls.count(uidl) > 0; }
    // Records one id (once); false when the row could not be written.
    bool Remember(const std::string& uidl);
    // After a complete listing: forgets the ids it does not hold (and, for a
    // remote server account, the rows of a server or user it had before).
    bool Prune(const std::vector<std::string>& listing);
    // An id that can be kept: 1 to kMaxUidl printable characters, no blanks.
    static bool IsKeepable(const std::string& uidl);

    // The rows of one mapped account, of every mapped account of a local
    // account (key.server empty), or of a remote server account by name.
    static bool Forget(SQLHDBC connection, const Key& key);

private:
    // The WHERE clause naming this mailbox's rows.
    std::string Where() const;

    SQLHDBC connection;
    Key key;
    std::set<std::string> uidls;
};
