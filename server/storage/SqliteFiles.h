// What happens to a SQLite database as a whole file: a consistent copy of it while it is served, putting a
// copy back, and the lock that tells the two apart (a server holds it shared while serving; a restore holds
// it exclusively, so neither starts while the other runs).
#pragma once

#include <string>

namespace age::server::sqlite {

// The lock file beside the database: PATH.lock.
std::string lockPathOf(const std::string& dbPath);

// An flock(2) on the lock file, released on destruction. SQLite's own locks are fcntl(2) locks on the
// database file, which a second descriptor on that file would drop: hence a separate file.
class FileLock {
  public:
    enum class Mode { Shared, Exclusive };
    // Throws StorageBusy when another process holds the lock in a conflicting mode, StorageError when the
    // lock file cannot be made.
    FileLock(const std::string& dbPath, Mode mode);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    int fd_ = -1;
};

// Copies the database at `dbPath` to `target` through SQLite's online backup: one read transaction, so the
// copy is the database as of one moment even while a server writes. The copy is written beside `target`
// and renamed over it only when complete. Throws StorageError.
void backup(const std::string& dbPath, const std::string& target);

// Replaces the content of the database at `dbPath` with the copy at `source`, after checking that the copy
// is a sound SQLite database. Takes the exclusive lock first: throws StorageBusy while a server serves the
// database. The schema is not upgraded here (the caller does that with the storage's initSchema).
void restore(const std::string& dbPath, const std::string& source);

}  // namespace age::server::sqlite
