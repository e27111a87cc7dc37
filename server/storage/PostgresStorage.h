#pragma once

#include <memory>
#include <string>

#include "server/storage/Storage.h"

namespace age::server {

// Connects to the PostgreSQL database at `url` ("postgresql://user@host:port/dbname"), keeping at most
// `poolSize` connections. Throws StorageError when the database cannot be reached.
std::unique_ptr<Storage> openPostgresStorage(const std::string& url, int poolSize);

}  // namespace age::server
