// VersionedCache: values read from the database, kept while the database's
// record version (RecordVersion) stays the same.
//
// Every look-up names the version just read; a different one empties the
// cache first, so nothing read before a change is served after it. The
// caller reads the version before it reads a value to store, so a value
// stored under a version is never older than that version. Bounded: when
// full, the cache starts again empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/MutexLock.h"

template <class Key, class Value>
class VersionedCache {
public:
    explicit VersionedCache(std::size_t bound) : bound(bound) {}

    std::optional<Value> Find(std::int64_t version, const Key& key) {
        MutexLock guard(lock);
        Follow(version);
        const auto found = values.find(key);
        if (found == values.end()) return std::nullopt;
        return found->second;
    }

    void Store(std::int64_t version, const Key& key, Value value) {
        MutexLock guard(lock);
        Follow(version);
        // A value read under an older version than the one now followed may
        // already be stale: dropped.
        if (version != current) return;
        if (values.size() >= bound) values.clear();
        values.insert_or_assign(key, std::move(value));
    }

private:
    void Follow(std::int64_t version) REQUIRES(lock) {
        if (known && version == current) return;
        values.clear();
        current = version;
        known = true;
    }

    Mutex lock;  // the version followed and the values read under it
    std::size_t bound;
    bool known GUARDED_BY(lock) = false;
    std::int64_t current GUARDED_BY(lock) = 0;
    std::unordered_map<Key, Value> values GUARDED_BY(lock);
};
