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
//
// A connection whose server went away is re-established in place, on the
// same handle, so that every holder of the bare handle keeps a working one:
// a statement that fails on a connection the driver reports dead marks it
// lost, and the next statement begun on it while no other statement or
// transaction is open there (Use) reconnects first - at most once a second
// while the server stays away. Until then statements fail, and their callers
// leave the work for a later attempt.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/OdbcEnvironment.h"
#include "foundation/SqlDialect.h"
#include "platform/MutexLock.h"

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

    // One user of the connection (a statement or transaction) for its whole
    // life; made before anything is allocated on the connection.
    class Use {
    public:
        explicit Use(std::shared_ptr<OdbcConnectionInfo> info);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        std::shared_ptr<OdbcConnectionInfo> info;
    };
    // How the owner connects the handle again; false when it could not.
    void SetReconnect(std::function<bool()> reconnect);
    // After a failed call on a statement of this connection: marks the
    // connection lost when the driver reports it dead.
    void NoteFailure(SQLHSTMT statement);
    bool Lost() const { return lost.load(); }
    // Whether a handle's connection is known to be lost (see above).
    static bool IsLost(SQLHDBC handle);

    // Facts about the database asked once per connection (whether a
    // trigger is there): whether the record version also follows the
    // accounts' delivery settings (RecordVersion), and whether the folder
    // sizes are kept (MailboxBytes).
    enum class Fact { FollowsDeliverySettings, KeepsMailboxBytes };
    // The kept answer, else ask's, kept when it is definite (a failed
    // look-up asks again next time).
    std::optional<bool> Known(Fact fact, const std::function<std::optional<bool>()>& ask) {
        std::atomic<int>& slot = facts[static_cast<std::size_t>(fact)];
        if (const int known = slot.load(std::memory_order_relaxed); known >= 0) return known == 1;
        const std::optional<bool> found = ask();
        if (found) slot.store(*found ? 1 : 0, std::memory_order_relaxed);
        return found;
    }
    // Whether DurableCommits ran on the connection (OdbcTransaction::RequireDurableCommits).
    bool CommitsDurable() const { return commitsDurable.load(std::memory_order_relaxed); }
    void SetCommitsDurable() { commitsDurable.store(true, std::memory_order_relaxed); }

private:
    void Enter();
    void Leave();
    void FreeIdle(bool close);

    const SQLHDBC handle;
    const SqlDialect dialect;
    std::atomic<bool> exclusive{false};
    std::atomic<int> facts[2] = {-1, -1};  // by Fact: -1 not asked yet, else 0 or 1
    std::atomic<bool> commitsDurable{false};
    Mutex lock;  // the idle prepared statements and whether the connection closed
    std::unordered_map<std::string, std::vector<SQLHSTMT>> idle GUARDED_BY(lock);
    std::size_t idleCount GUARDED_BY(lock) = 0;
    bool closed GUARDED_BY(lock) = false;

    std::atomic<bool> lost{false};
    Mutex useLock;  // the users of the connection and its reconnection
    std::condition_variable_any useChanged;
    int users GUARDED_BY(useLock) = 0;
    bool reconnecting GUARDED_BY(useLock) = false;
    std::function<bool()> reconnect GUARDED_BY(useLock);
    std::chrono::steady_clock::time_point nextAttempt GUARDED_BY(useLock){};
};
