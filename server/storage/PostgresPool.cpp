#include "server/storage/PostgresPool.h"

#include <thread>

#include <pqxx/pqxx>

#include "server/Metrics.h"
#include "server/storage/Storage.h"

namespace age::server::pg {
namespace {

using namespace std::chrono_literals;

// As long as SQLite's busy timeout: a caller waits this long for a connection or a lock, then gives up.
constexpr auto kWait = 10s;

// The server's first line of the error; the detail lines may quote the row's values, which stay out of logs.
std::string firstLine(const char* what) {
    std::string text(what);
    if (auto nl = text.find('\n'); nl != std::string::npos) text.resize(nl);
    return text;
}

}  // namespace

Pool::Pool(std::string url, int size, std::vector<Statement> statements)
    : url_(std::move(url)), size_(std::max(1, size)), statements_(std::move(statements)) {}

Pool::~Pool() = default;

std::unique_ptr<pqxx::connection> Pool::acquire() {
    {
        std::unique_lock lock(mutex_);
        PoolWait waiting;
        if (!freed_.wait_for(lock, kWait, [&] { return !idle_.empty() || open_ < size_; }))
            throw StorageBusy("all " + std::to_string(size_) + " database connections stayed busy");
        if (!idle_.empty()) {
            auto connection = std::move(idle_.back());
            idle_.pop_back();
            return connection;
        }
        ++open_;
    }
    try {
        return open();
    } catch (...) {
        std::lock_guard lock(mutex_);
        --open_;
        freed_.notify_one();
        throw;
    }
}

void Pool::release(std::unique_ptr<pqxx::connection> connection) {
    std::lock_guard lock(mutex_);
    if (connection && connection->is_open()) {
        idle_.push_back(std::move(connection));
    } else {
        // A broken connection mostly means the database restarted or dropped its clients: the idle ones
        // are as dead, and each would otherwise fail a call of its own before being replaced.
        connection.reset();
        open_ -= 1 + static_cast<int>(idle_.size());
        idle_.clear();
    }
    freed_.notify_all();
}

std::optional<bool> Pool::committed(long long xid) {
    const auto until = std::chrono::steady_clock::now() + kWait;
    try {
        pqxx::connection connection(url_);
        connection.set_variable("application_name", "'age-server'");
        for (;;) {
            pqxx::nontransaction tx(connection);
            auto r = tx.exec_params("SELECT txid_status($1)", xid);
            std::string status = r.at(0).at(0).is_null() ? "" : r[0][0].c_str();
            if (status == "committed") return true;
            if (status == "aborted") return false;
            // Still in progress: the old connection's backend has not finished its COMMIT yet.
            if (status != "in progress" || std::chrono::steady_clock::now() > until) return std::nullopt;
            std::this_thread::sleep_for(20ms);
        }
    } catch (const pqxx::failure&) {
        return std::nullopt;
    }
}

std::unique_ptr<pqxx::connection> Pool::open() {
    try {
        auto connection = std::make_unique<pqxx::connection>(url_);
        // Constants of this program, never user data.
        connection->set_variable("application_name", "'age-server'");
        connection->set_variable("lock_timeout", "'10s'");
        connection->set_variable("client_min_messages", "warning");  // no NOTICE lines on stderr
        for (const auto& s : statements_) connection->prepare(s.name, s.sql);
        return connection;
    } catch (const pqxx::too_many_connections& e) {
        throw StorageBusy("the database refuses more connections: " + firstLine(e.what()));
    } catch (const pqxx::failure& e) {
        throw StorageError("cannot connect to PostgreSQL at " + redactedUrl(url_) + ": " +
                           firstLine(e.what()));
    }
}

void rethrowAsStorageError() {
    try {
        throw;
    } catch (const pqxx::in_doubt_error& e) {
        throw StorageError("the database connection broke during commit: " + firstLine(e.what()));
    } catch (const pqxx::broken_connection& e) {
        throw StorageConflict("the database connection broke: " + firstLine(e.what()));
    } catch (const pqxx::transaction_rollback& e) {
        // Serialization failure, deadlock: the database rolled the transaction back (not an sql_error here).
        throw StorageConflict(firstLine(e.what()));
    } catch (const pqxx::sql_error& e) {
        const std::string& state = e.sqlstate();
        std::string why = firstLine(e.what()) + " [" + state + "]";
        if (state == "23P01") throw StorageOverlap(why);
        // Serialization failure, deadlock; the server going down or the connection failing.
        if (state.starts_with("40") || state.starts_with("57P") || state.starts_with("08"))
            throw StorageConflict(why);
        // Lock timeout, statement cancelled, too many connections.
        if (state == "55P03" || state == "57014" || state == "53300") throw StorageBusy(why);
        throw StorageError(why);
    } catch (const pqxx::failure& e) {
        throw StorageError(firstLine(e.what()));
    }
}

}  // namespace age::server::pg
