// age-server: the application server of the room booking system and its administration tool.
//
//   age-server serve [--listen HOST:PORT] [--db URL] [--db-pool N] [--now ISO] [--threads N]
//                    [--idle-timeout S] [--max-connections N] [--max-reply-bytes N]
//   age-server init | room add CODE NAME | room list | operator add CODE NAME | operator list | demo
//
// --db is "sqlite:PATH" (default sqlite:agenda.db) or "postgresql://user@host:port/dbname". Logs go to
// stderr; `serve` prints one line "listening on HOST:PORT" to stdout once it accepts connections (with port
// 0, the port it was given).
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <iostream>
#include <thread>

#include <asio/ip/address.hpp>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <CLI/CLI.hpp>

#include "server/Admin.h"
#include "server/AgendaModule.h"
#include "server/Clock.h"
#include "server/NetServer.h"

namespace {

using namespace age::server;

struct Settings {
    std::string db = "sqlite:agenda.db";
    std::string listen = "127.0.0.1:12100";
    std::string now;
    int threads = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
    int idleTimeout = 600;
    int dbPool = 0;                  // 0: two connections per thread (quick calls and calls run apart)
    std::size_t maxConnections = 0;  // 0: from the descriptor limit
    std::size_t maxReplyBytes = kDefaultMaxReplyBytes;
    std::string logLevel = "info";
    std::string code, name;
};

// "127.0.0.1:12100", "[::1]:12100".
std::pair<std::string, unsigned short> splitListen(const std::string& text) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("--listen must be HOST:PORT");
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    int port = -1;
    try {
        std::size_t used = 0;
        port = std::stoi(text.substr(colon + 1), &used);
        if (used != text.size() - colon - 1) port = -1;
    } catch (const std::exception&) {
    }
    if (host.empty() || port < 0 || port > 65535) throw std::runtime_error("--listen must be HOST:PORT");
    return {host, static_cast<unsigned short>(port)};
}

Clock makeClock(const std::string& now) {
    if (now.empty()) return Clock();
    if (auto t = age::parseIsoDateTime(now)) return Clock(*t);
    if (auto d = age::parseIsoDate(now)) return Clock(age::atMidnight(*d));
    throw std::runtime_error("--now must be YYYY-MM-DDTHH:MM:SS");
}

std::unique_ptr<Storage> openReady(const Settings& s) {
    auto storage = openStorage(s.db, {.pool = s.dbPool > 0 ? s.dbPool : 2 * s.threads});
    storage->initSchema();
    return storage;
}

// Raises the soft limit of open descriptors to the hard one; returns the limit in force.
rlim_t raiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur;
}

// Descriptors kept for the database, the log and the listener; half of the rest for served connections,
// the other half for those being refused meanwhile.
constexpr rlim_t kReservedDescriptors = 32;

std::size_t connectionLimit(std::size_t asked, rlim_t descriptors) {
    rlim_t spare = descriptors > kReservedDescriptors ? descriptors - kReservedDescriptors : 0;
    if (asked == 0) return std::max<std::size_t>(1, std::min<rlim_t>(1000, spare / 2));
    if (asked > spare)
        spdlog::warn(
            "--max-connections {} is above the {} descriptors this process may open: connections "
            "beyond that wait until descriptors are free",
            asked, descriptors);
    return asked;
}

void warnIfExposed(const std::string& host) {
    std::error_code ec;
    auto address = asio::ip::make_address(host, ec);
    if (ec || address.is_loopback()) return;
    spdlog::warn(
        "listening on {}, reachable from other machines: calls travel unencrypted and anyone who "
        "reaches this port can book as any operator; prefer 127.0.0.1 behind a trusted proxy or "
        "a firewall that admits only the desks",
        host);
}

int serve(const Settings& s) {
    Clock clock = makeClock(s.now);
    auto storage = openReady(s);
    Dispatcher dispatcher;
    AgendaModule agenda(*storage, clock);
    agenda.registerIn(dispatcher);

    dispatcher.setMaxReplyBytes(s.maxReplyBytes);

    auto [host, port] = splitListen(s.listen);
    rlim_t descriptors = raiseOpenFileLimit();
    NetOptions options{host, port, std::max(1, s.threads), std::chrono::seconds(std::max(1, s.idleTimeout)),
                       connectionLimit(s.maxConnections, descriptors)};
    warnIfExposed(host);
    NetServer server(options, dispatcher);
    server.bind();
    spdlog::info("serving {} on {} ({} threads, up to {} connections{})", redactedUrl(s.db),
                 server.boundAddress(), options.threads, options.maxConnections,
                 clock.pinned() ? ", clock pinned at " + age::formatIsoDateTime(clock.now()) : std::string());
    std::cout << "listening on " << server.boundAddress() << std::endl;
    server.run();
    spdlog::info("stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // The database files (and SQLite's -wal and -shm beside them) are readable by the server's user only.
    umask(S_IRWXG | S_IRWXO);
    auto logger = spdlog::stderr_color_mt("age-server");
    spdlog::set_default_logger(logger);

    Settings s;
    CLI::App app{"age-server: application server of the room booking system"};
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--db", s.db, "database: sqlite:PATH or postgresql://user@host:port/dbname")
        ->capture_default_str();

    auto* serveCmd = app.add_subcommand("serve", "serve the remote data module over TCP");
    serveCmd->add_option("--listen", s.listen, "HOST:PORT to listen on (port 0: any free port)")
        ->capture_default_str();
    serveCmd->add_option("--now", s.now, "pin the clock at this local date and time (tests, demos)");
    serveCmd->add_option("--threads", s.threads, "worker threads")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    serveCmd
        ->add_option("--db-pool", s.dbPool,
                     "PostgreSQL connections kept open at most (default: two per thread)")
        ->check(CLI::Range(1, 1000));
    serveCmd->add_option("--idle-timeout", s.idleTimeout, "seconds before an idle connection is closed")
        ->check(CLI::Range(1, 86400 * 7))
        ->capture_default_str();
    serveCmd
        ->add_option("--max-connections", s.maxConnections,
                     "connections served at once; more get an error line and are closed (default: 1000, "
                     "or half the descriptor limit when that is lower)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
    serveCmd
        ->add_option("--max-reply-bytes", s.maxReplyBytes,
                     "largest reply sent; a larger one is refused with a message")
        ->check(CLI::Range(std::size_t{1024}, std::size_t{64} << 20))
        ->capture_default_str();
    serveCmd->add_option("--log-level", s.logLevel, "debug also logs every call's method")
        ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error"}))
        ->capture_default_str();

    auto* initCmd = app.add_subcommand("init", "create or upgrade the database schema");

    auto* roomCmd = app.add_subcommand("room", "rooms")->require_subcommand(1);
    auto* roomAdd = roomCmd->add_subcommand("add", "add a room");
    roomAdd->add_option("CODE", s.code, "room code (up to 5 characters)")->required();
    roomAdd->add_option("NAME", s.name, "room name (up to 30 characters)")->required();
    auto* roomList = roomCmd->add_subcommand("list", "list the rooms");

    auto* opCmd = app.add_subcommand("operator", "operators")->require_subcommand(1);
    auto* opAdd = opCmd->add_subcommand("add", "add an operator");
    opAdd->add_option("CODE", s.code, "operator code (up to 12 characters)")->required();
    opAdd->add_option("NAME", s.name, "operator name (up to 40 characters)")->required();
    auto* opList = opCmd->add_subcommand("list", "list the operators");

    auto* demoCmd = app.add_subcommand("demo", "seed demo rooms, operators and a week of bookings");
    demoCmd->add_option("--now", s.now, "take this date and time as now");

    CLI11_PARSE(app, argc, argv);
    spdlog::set_level(spdlog::level::from_str(s.logLevel));
    try {
        if (*serveCmd) return serve(s);
        auto storage = openReady(s);
        if (*initCmd) std::cout << "schema ready in " << redactedUrl(s.db) << '\n';
        if (*roomAdd) admin::addRoom(*storage, s.code, s.name);
        if (*roomList) admin::listRooms(*storage, std::cout);
        if (*opAdd) admin::addOperator(*storage, s.code, s.name);
        if (*opList) admin::listOperators(*storage, std::cout);
        if (*demoCmd) admin::seedDemo(*storage, makeClock(s.now), std::cout);
        return 0;
    } catch (const std::exception& e) {
        spdlog::error("{}", e.what());
        return 1;
    }
}
