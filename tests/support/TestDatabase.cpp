#include "tests/support/TestDatabase.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include <pqxx/pqxx>

namespace age::test {
namespace {

// The same server URL with another database: postgresql://user@host:port/OTHER?options.
std::string withDatabase(const std::string& serverUrl, const std::string& name) {
    auto scheme = serverUrl.find("://");
    if (scheme == std::string::npos) throw std::runtime_error("AGE_TEST_PG_URL is not a URL: " + serverUrl);
    auto query = serverUrl.find('?', scheme + 3);
    auto path = serverUrl.find('/', scheme + 3);
    if (path == std::string::npos || path > query)
        path = query == std::string::npos ? serverUrl.size() : query;
    return serverUrl.substr(0, path) + "/" + name +
           (query == std::string::npos ? std::string() : serverUrl.substr(query));
}

std::string freshName() {
    static std::atomic<int> counter{0};
    std::random_device random;
    return "age_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
           std::to_string(random() % 1000000);
}

}  // namespace

std::string backendName(Backend backend) {
    return backend == Backend::Sqlite ? "sqlite" : "postgresql";
}

std::optional<std::string> postgresServerUrl() {
    const char* url = std::getenv("AGE_TEST_PG_URL");
    if (!url || !*url) return std::nullopt;
    return std::string(url);
}

bool postgresRequired() {
    const char* required = std::getenv("AGE_TEST_REQUIRE_PG");
    return required && *required && std::string(required) != "0";
}

std::optional<std::string> unavailable(Backend backend) {
    if (backend == Backend::Postgres && !postgresServerUrl())
        return "no test PostgreSQL: set AGE_TEST_PG_URL (scripts/test starts a throwaway one)";
    return std::nullopt;
}

ScratchDatabase::ScratchDatabase() {
    auto server = postgresServerUrl();
    if (!server) throw std::runtime_error(*unavailable(Backend::Postgres));
    serverUrl_ = *server;
    name_ = freshName();
    url_ = withDatabase(serverUrl_, name_);
    pqxx::connection c(serverUrl_);
    pqxx::nontransaction tx(c);
    tx.exec("CREATE DATABASE " + tx.quote_name(name_));
}

ScratchDatabase::~ScratchDatabase() {
    try {
        pqxx::connection c(serverUrl_);
        pqxx::nontransaction tx(c);
        tx.exec("DROP DATABASE IF EXISTS " + tx.quote_name(name_) + " WITH (FORCE)");
    } catch (const std::exception&) {
        // The throwaway server goes away with everything in it at the end of the run.
    }
}

void runSql(const std::string& url, const std::string& sql) {
    pqxx::connection c(url);
    pqxx::nontransaction tx(c);
    tx.exec(sql);
}

std::string querySql(const std::string& url, const std::string& sql) {
    pqxx::connection c(url);
    pqxx::nontransaction tx(c);
    auto r = tx.exec(sql);
    if (r.empty() || r[0][0].is_null()) return {};
    return r[0][0].c_str();
}

}  // namespace age::test
