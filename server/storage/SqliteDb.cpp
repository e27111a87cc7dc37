#include "server/storage/SqliteDb.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>

#include "server/storage/Storage.h"

namespace age::server::sqlite {

namespace {
constexpr int kBusyTimeoutMs = 10000;
}

Query::Query(Db& db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}

Query::~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

Query& Query::bind(int index, std::string_view text) {
    if (text.empty()) {
        sqlite3_bind_null(stmt_, index);
        return *this;
    }
    return bindText(index, text);
}

Query& Query::bindText(int index, std::string_view text) {
    int rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) db_.fail(rc, "bind");
    return *this;
}

Query& Query::bind(int index, std::int64_t number) {
    int rc = sqlite3_bind_int64(stmt_, index, number);
    if (rc != SQLITE_OK) db_.fail(rc, "bind");
    return *this;
}

bool Query::step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    db_.fail(rc, sqlite3_sql(stmt_));
}

void Query::run() {
    while (step()) {
    }
}

std::string Query::text(int column) const {
    return optionalText(column).value_or(std::string());
}

std::optional<std::string> Query::optionalText(int column) const {
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::int64_t Query::integer(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

int Query::changes() const {
    return sqlite3_changes(sqlite3_db_handle(stmt_));
}

Db::Db(const std::string& path) {
    int rc = sqlite3_open_v2(path.c_str(), &db_,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        // SQLite's text alone ("unable to open database file") does not say what the system refused.
        int error = db_ ? sqlite3_system_errno(db_) : 0;
        if (error != 0) why += " (" + std::string(std::strerror(error)) + ")";
        if (error == EACCES || error == EPERM)
            why +=
                "; run age-server as the user that owns the database and its folder (the packaged "
                "service's: sudo -u age age-server ...)";
        sqlite3_close(db_);
        throw StorageError("cannot open SQLite database " + path + ": " + why);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    exec("PRAGMA journal_mode = WAL");
    exec("PRAGMA synchronous = NORMAL");
    exec("PRAGMA foreign_keys = ON");
}

Db::~Db() {
    for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
}

Query Db::query(const char* sql) {
    auto it = cache_.find(std::string_view(sql));
    if (it == cache_.end()) {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        if (rc != SQLITE_OK) fail(rc, sql);
        it = cache_.emplace(sql, stmt).first;
    }
    return Query(*this, it->second);
}

void Db::exec(const char* sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string why = error ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) throw StorageBusy(why);
        throw StorageError(std::string(sql) + ": " + why);
    }
}

void Db::fail(int rc, std::string_view what) const {
    std::string why = std::string(what) + ": " + sqlite3_errmsg(db_);
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) throw StorageBusy(why);
    throw StorageError(why);
}

}  // namespace age::server::sqlite
