#include "server/storage/Storage.h"

#include "server/storage/SqliteStorage.h"

namespace age::server {

std::unique_ptr<Storage> openStorage(const std::string& url) {
    constexpr std::string_view sqlitePrefix = "sqlite:";
    if (url.starts_with("postgresql://") || url.starts_with("postgres://"))
        throw StorageError("the PostgreSQL backend is not part of this build; use sqlite:PATH");
    std::string path = url.starts_with(sqlitePrefix) ? url.substr(sqlitePrefix.size()) : url;
    if (path.empty()) throw StorageError("--db needs a file: sqlite:PATH");
    return openSqliteStorage(path);
}

}  // namespace age::server
