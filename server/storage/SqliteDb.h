// A thin RAII layer over one SQLite connection: prepared statements cached by their text, values bound
// by position, errors turned into StorageBusy / StorageError.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace age::server::sqlite {

class Db;

// A cached statement in use: bound, stepped, then reset when the Query goes away.
class Query {
  public:
    Query(Db& db, sqlite3_stmt* stmt);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& bind(int index, std::string_view text);  // 1-based; empty text binds NULL
    Query& bind(int index, std::int64_t number);
    Query& bindText(int index, std::string_view text);  // binds "" as "", not NULL

    bool step();  // true while a row is ready
    void run();   // steps to the end

    std::string text(int column) const;  // NULL reads as ""
    std::optional<std::string> optionalText(int column) const;
    std::int64_t integer(int column) const;
    int changes() const;

  private:
    Db& db_;
    sqlite3_stmt* stmt_;
};

class Db {
  public:
    explicit Db(const std::string& path);
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    // The statement is compiled once per connection and reused.
    Query query(const char* sql);
    // For fixed statements without parameters (pragmas, schema, transaction control).
    void exec(const char* sql);
    [[noreturn]] void fail(int rc, std::string_view what) const;
    sqlite3* handle() { return db_; }

  private:
    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*, std::less<>> cache_;
};

}  // namespace age::server::sqlite
