// age-server: the application server of the room booking system and its administration tool.
//
//   age-server serve [--listen HOST:PORT] [--db URL] [--db-pool N] [--now ISO] [--threads N]
//                    [--workers N] [--max-queue N] [--idle-timeout S]
//   age-server init | room add CODE NAME | room list | room renumber CODE | operator add CODE NAME
//              | operator list | demo | check
//
// --db is "sqlite:PATH" (default sqlite:agenda.db) or "postgresql://user@host:port/dbname". Logs go to
// stderr; `serve` prints one line "listening on HOST:PORT" to stdout once it accepts connections (with port
// 0, the port it was given).
#include <csignal>
#include <iostream>
#include <thread>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <CLI/CLI.hpp>

#include "server/Admin.h"
#include "server/AgendaModule.h"
#include "server/Check.h"
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
    int workers = 4;
    int maxQueued = 1024;
    int busyPoll = 0;
    int dbPool = 0;  // 0: one connection per worker
    std::string logLevel = "info";
    std::string code, name;
    bool withdrawPending = false;
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
    auto storage = openStorage(s.db, {.pool = s.dbPool > 0 ? s.dbPool : s.workers});
    storage->initSchema();
    return storage;
}

int serve(const Settings& s) {
    Clock clock = makeClock(s.now);
    auto storage = openReady(s);
    Dispatcher dispatcher;
    AgendaModule agenda(*storage, clock);
    agenda.registerIn(dispatcher);

    auto [host, port] = splitListen(s.listen);
    NetOptions options{host,
                       port,
                       std::max(1, s.threads),
                       std::chrono::seconds(std::max(1, s.idleTimeout)),
                       std::max(1, s.workers),
                       static_cast<std::size_t>(std::max(1, s.maxQueued)),
                       std::chrono::microseconds(s.busyPoll)};
    NetServer server(options, dispatcher);
    server.bind();
    spdlog::info("serving {} on {} ({} network threads, {} workers{})", redactedUrl(s.db), server.boundAddress(),
                 options.threads, options.workers,
                 clock.pinned() ? ", clock pinned at " + age::formatIsoDateTime(clock.now()) : std::string());
    std::cout << "listening on " << server.boundAddress() << std::endl;
    server.run();
    spdlog::info("stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
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
    serveCmd->add_option("--threads", s.threads, "network threads (reading, quick calls, writing)")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    serveCmd->add_option("--workers", s.workers, "threads running the calls that need the database")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    serveCmd
        ->add_option("--busy-poll", s.busyPoll,
                     "microseconds a network thread keeps polling after work before it sleeps (0: never)")
        ->check(CLI::Range(0, 10000))
        ->capture_default_str();
    serveCmd
        ->add_option("--max-queue", s.maxQueued,
                     "calls waiting for a worker before new ones are answered \"busy\"")
        ->check(CLI::Range(1, 1 << 20))
        ->capture_default_str();
    serveCmd
        ->add_option("--db-pool", s.dbPool,
                     "PostgreSQL connections kept open at most (default: one per worker)")
        ->check(CLI::Range(1, 1000));
    serveCmd->add_option("--idle-timeout", s.idleTimeout, "seconds before an idle connection is closed")
        ->check(CLI::Range(1, 86400 * 7))
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
    auto* roomRenumber = roomCmd->add_subcommand(
        "renumber", "give a room whose sequence numbers ran out its longest free range");
    roomRenumber->add_option("CODE", s.code, "room code")->required();
    roomRenumber->add_flag("--withdraw-pending", s.withdrawPending,
                           "also reuse numbers handed out and never saved (only with every server and client "
                           "program stopped)");

    auto* opCmd = app.add_subcommand("operator", "operators")->require_subcommand(1);
    auto* opAdd = opCmd->add_subcommand("add", "add an operator");
    opAdd->add_option("CODE", s.code, "operator code (up to 12 characters)")->required();
    opAdd->add_option("NAME", s.name, "operator name (up to 40 characters)")->required();
    auto* opList = opCmd->add_subcommand("list", "list the operators");

    auto* demoCmd = app.add_subcommand("demo", "seed demo rooms, operators and a week of bookings");
    demoCmd->add_option("--now", s.now, "take this date and time as now");

    auto* checkCmd =
        app.add_subcommand("check", "report what in the database breaks the booking rules (exit status 1)");

    CLI11_PARSE(app, argc, argv);
    spdlog::set_level(spdlog::level::from_str(s.logLevel));
    try {
        if (*serveCmd) return serve(s);
        auto storage = openReady(s);
        if (*initCmd) std::cout << "schema ready in " << redactedUrl(s.db) << '\n';
        if (*roomAdd) admin::addRoom(*storage, s.code, s.name);
        if (*roomList) admin::listRooms(*storage, std::cout);
        if (*roomRenumber) admin::renumberRoom(*storage, s.code, s.withdrawPending, std::cout);
        if (*opAdd) admin::addOperator(*storage, s.code, s.name);
        if (*opList) admin::listOperators(*storage, std::cout);
        if (*demoCmd) admin::seedDemo(*storage, makeClock(s.now), std::cout);
        if (*checkCmd) return checkDatabase(*storage, std::cout) == 0 ? 0 : 1;
        return 0;
    } catch (const std::exception& e) {
        spdlog::error("{}", e.what());
        return 1;
    }
}
