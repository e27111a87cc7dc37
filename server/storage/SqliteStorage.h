#pragma once

#include <memory>
#include <string>

#include "server/storage/Storage.h"

namespace age::server {

// Opens (creating when missing) the SQLite file at `path`.
std::unique_ptr<Storage> openSqliteStorage(const std::string& path);

}  // namespace age::server
