#include "server/storage/SqliteFiles.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "server/storage/SqliteStorage.h"
#include "server/storage/Storage.h"

namespace age::server::sqlite {
namespace {

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Handle = std::unique_ptr<sqlite3, CloseDb>;

Handle open(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    Handle handle(db);
    if (rc != SQLITE_OK)
        throw StorageError("cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    sqlite3_busy_timeout(db, 10000);
    return handle;
}

// Copies every page of `from` into `to` in one step, so the source is read in one transaction.
void copyPages(sqlite3* from, sqlite3* to, const std::string& what) {
    sqlite3_backup* b = sqlite3_backup_init(to, "main", from, "main");
    if (!b) throw StorageError(what + ": " + sqlite3_errmsg(to));
    int rc = sqlite3_backup_step(b, -1);
    sqlite3_backup_finish(b);
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) throw StorageBusy(what + ": the database stayed locked");
    if (rc != SQLITE_DONE) throw StorageError(what + ": " + sqlite3_errstr(rc));
}

std::string firstText(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        throw StorageError(std::string(sql) + ": " + sqlite3_errmsg(db));
    std::string out;
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW && sqlite3_column_text(stmt, 0))
        out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    std::string why = rc == SQLITE_ROW || rc == SQLITE_DONE ? "" : sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    if (!why.empty()) throw StorageError(std::string(sql) + ": " + why);
    return out;
}

// A copy worth restoring: a SQLite file that passes its own check and holds the booking tables.
void checkCopy(sqlite3* db, const std::string& path) {
    std::string check;
    try {
        check = firstText(db, "PRAGMA quick_check");
    } catch (const StorageError& e) {
        throw StorageError(path + " is not a readable SQLite database (" + e.what() + ")");
    }
    if (check != "ok") throw StorageError(path + " fails SQLite's check: " + check);
    if (firstText(db, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'AGESALA'") != "1")
        throw StorageError(path + " holds no booking tables");
}

void removeWithSidecars(const std::string& path) {
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        std::filesystem::remove(path + suffix, ignored);
}

}  // namespace

std::string lockPathOf(const std::string& dbPath) {
    return dbPath + ".lock";
}

FileLock::FileLock(const std::string& dbPath, Mode mode) {
    std::string path = lockPathOf(dbPath);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd_ < 0) throw StorageError("cannot open the lock file " + path + ": " + std::strerror(errno));
    if (flock(fd_, (mode == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd_);
        if (error == EWOULDBLOCK)
            throw StorageBusy(mode == Mode::Shared ? "a restore of " + dbPath + " is running"
                                                   : "a server is using " + dbPath + "; stop it first");
        throw StorageError("cannot lock " + path + ": " + std::strerror(error));
    }
}

FileLock::~FileLock() {
    ::close(fd_);  // releases the lock
}

void backup(const std::string& dbPath, const std::string& target) {
    if (!std::filesystem::exists(dbPath)) throw StorageError("there is no database at " + dbPath);
    auto source = open(dbPath, SQLITE_OPEN_READONLY);
    std::string partial = target + ".partial";
    std::filesystem::remove(partial);
    try {
        auto copy = open(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        copyPages(source.get(), copy.get(), "backup of " + dbPath);
        // The copy stands alone: one file, no write-ahead log beside it.
        firstText(copy.get(), "PRAGMA journal_mode = DELETE");
        copy.reset();
        std::filesystem::rename(partial, target);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        throw;
    }
}

void restore(const std::string& dbPath, const std::string& source) {
    if (!std::filesystem::is_regular_file(source)) throw StorageError("there is no file " + source);
    FileLock lock(dbPath, FileLock::Mode::Exclusive);
    // The copy is checked and brought to this server's schema on a staged file first, so that a copy that
    // is broken or newer than this server leaves the database as it was.
    std::string staged = dbPath + ".restoring";
    std::filesystem::remove(staged);
    try {
        {
            auto copy = open(source, SQLITE_OPEN_READONLY);
            checkCopy(copy.get(), source);
            auto stage = open(staged, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            copyPages(copy.get(), stage.get(), "reading " + source);
        }
        openSqliteStorage(staged)->initSchema();
        auto stage = open(staged, SQLITE_OPEN_READONLY);
        auto db = open(dbPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        // Through the database's own pager: its write-ahead log stays consistent, unlike with a file copy.
        copyPages(stage.get(), db.get(), "restore of " + dbPath);
    } catch (...) {
        removeWithSidecars(staged);
        throw;
    }
    removeWithSidecars(staged);
}

}  // namespace age::server::sqlite
