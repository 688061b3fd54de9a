// OdbcTransaction: the statements run between its making and Commit() on
// one exclusive connection commit together, or not at all.
//
// Only a connection its owner declared exclusive (OdbcConnection::
// SetExclusive: one thread uses it) gets a transaction. On a shared
// connection the guard does nothing and every statement commits on its own,
// as before: a transaction there would take in the statements other threads
// run on the same connection meanwhile, and roll them back with ours.
//
// On a backend whose writes lock the whole database the process's writer
// lock (OdbcWriterLock) is held from the start to the end, so no other
// connection of the process is refused as busy meanwhile. A transaction must
// therefore use only its own connection (a write on another connection of
// the process would wait for this transaction's database lock while holding
// up its commit), and wait for no other lock inside (a thread holding that
// lock may be waiting for the writer lock): keep it to its statements.
#pragma once

#include <optional>

#include "foundation/OdbcConnectionInfo.h"
#include "foundation/OdbcEnvironment.h"
#include "foundation/OdbcWriterLock.h"

class OdbcTransaction {
public:
    // Turns autocommit off on an exclusive connection; nothing otherwise.
    explicit OdbcTransaction(SQLHDBC connection);
    // Rolls back unless committed; autocommit is on again afterwards.
    ~OdbcTransaction();
    OdbcTransaction(const OdbcTransaction&) = delete;
    OdbcTransaction& operator=(const OdbcTransaction&) = delete;

    // Makes every later commit on the connection wait until it is on stable
    // storage (SqlDialect::DurableCommits), once per connection; outside a
    // transaction. For connections whose commits let something else go:
    // a spool file, a fetched message's copy on its server.
    static void RequireDurableCommits(SQLHDBC connection);

    // Whether the statements that follow commit together.
    bool Active() const { return active; }
    // Commits; true when committed (always true for a guard doing nothing).
    bool Commit();

private:
    SQLHDBC connection;
    // No reconnection in the middle: it would drop the uncommitted work unseen.
    std::optional<OdbcConnectionInfo::Use> use;
    bool active = false;
    bool committed = false;
    std::optional<OdbcWriterLock> writer;
};
