// Connections to one PostgreSQL database for the PostgreSQL backend: opened when first needed, kept for
// reuse, at most `size` at a time; and the translation of libpqxx's errors into the storage's own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <pqxx/connection>

#include "server/Metrics.h"

namespace age::server::pg {

struct Statement {
    const char* name;
    const char* sql;
};

class Pool {
  public:
    // Every connection gets `statements` prepared (on first use of each).
    Pool(std::string url, int size, std::vector<Statement> statements);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // A connection for the caller alone. Waits for one to come free; throws StorageBusy when none does in
    // time and StorageError when the database cannot be reached.
    std::unique_ptr<pqxx::connection> acquire();
    // Takes a connection back; a broken one is closed and its place freed.
    void release(std::unique_ptr<pqxx::connection> connection);
    // How transaction `xid` ended, asked on a connection of its own (a connection lost during COMMIT leaves
    // it unknown to the caller): true committed, false rolled back, nothing when the database cannot tell.
    std::optional<bool> committed(long long xid);

  private:
    std::unique_ptr<pqxx::connection> open();

    std::string url_;
    int size_;
    std::vector<Statement> statements_;
    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<pqxx::connection>> idle_;
    int open_ = 0;  // idle or lent out
};

// A connection borrowed from the pool for one scope.
class Lease {
  public:
    explicit Lease(Pool& pool) : pool_(pool), connection_(pool.acquire()) { metrics().poolInUse(1); }
    ~Lease() {
        metrics().poolInUse(-1);
        pool_.release(std::move(connection_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    pqxx::connection& operator*() { return *connection_; }

  private:
    Pool& pool_;
    std::unique_ptr<pqxx::connection> connection_;
};

// Rethrows the libpqxx exception being handled as StorageOverlap (exclusion violation), StorageConflict
// (serialization failure, deadlock, connection lost: the transaction may be run again), StorageBusy (a lock
// or a connection not had in time) or StorageError. Call only inside a catch block.
[[noreturn]] void rethrowAsStorageError();

}  // namespace age::server::pg
