// OdbcConnectionInfo: what the statement layer knows about one open
// connection, found again from its bare handle.
//
// Callers pass connections around as SQLHDBC; this keeps, per connected
// handle, the backend's dialect (asked once at connect time), whether one
// thread owns the connection, and the idle prepared statements kept for
// reuse. The registry is process-wide and read under a shared lock: a
// look-up costs a few comparisons.
//
// A prepared statement is leased to one user at a time (a shared connection
// serves many threads) and comes back closed, unbound and with its
// parameters reset. The connection frees every idle statement before it
// disconnects; a statement must be back before its connection goes.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/OdbcEnvironment.h"
#include "foundation/SqlDialect.h"

class OdbcConnectionInfo {
public:
    // Idle prepared statements kept per connection, over every text.
    static constexpr std::size_t kMaxIdle = 32;

    OdbcConnectionInfo(SQLHDBC handle, SqlDialect dialect) : handle(handle), dialect(dialect) {}
    ~OdbcConnectionInfo();
    OdbcConnectionInfo(const OdbcConnectionInfo&) = delete;
    OdbcConnectionInfo& operator=(const OdbcConnectionInfo&) = delete;

    static void Register(const std::shared_ptr<OdbcConnectionInfo>& info);
    static void Unregister(SQLHDBC handle);
    // The registered connection of a handle, or null (not connected through
    // OdbcConnection, or disconnected).
    static std::shared_ptr<OdbcConnectionInfo> Find(SQLHDBC handle);

    SQLHDBC Handle() const { return handle; }
    const SqlDialect& Dialect() const { return dialect; }
    bool Exclusive() const { return exclusive.load(std::memory_order_relaxed); }
    void SetExclusive(bool value) { exclusive.store(value, std::memory_order_relaxed); }

    // A statement prepared with the dialect's translation of text (the key),
    // idle or newly prepared; null when the driver refuses it.
    SQLHSTMT Lease(const std::string& text);
    // Takes a leased statement back for reuse (or frees it when the cache is
    // full or the statement cannot be reset).
    void Return(const std::string& text, SQLHSTMT statement);
    // Frees every idle statement; later returns free theirs. Before disconnect.
    void Close();

private:
    const SQLHDBC handle;
    const SqlDialect dialect;
    std::atomic<bool> exclusive{false};
    std::mutex lock;
    std::unordered_map<std::string, std::vector<SQLHSTMT>> idle;
    std::size_t idleCount = 0;
    bool closed = false;
};
