// age-server: the application server of the room booking system and its administration tool.
//
//   age-server serve [--listen HOST:PORT] [--listen-tls HOST:PORT --tls-cert FILE --tls-key FILE]
//                    [--db URL] [--db-pool N] [--now ISO] [--threads N] [--idle-timeout S]
//   age-server init | room add CODE NAME | room list | operator add CODE NAME | operator list | demo
//
// --db is "sqlite:PATH" (default sqlite:agenda.db) or "postgresql://user@host:port/dbname". Logs go to
// stderr; `serve` prints one line "listening on HOST:PORT" to stdout once it accepts connections (with port
// 0, the port it was given), then "listening on tls://HOST:PORT" for the TLS listener. Given only
// --listen-tls, the server has no plain listener.
#include <csignal>
#include <iostream>
#include <thread>

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
    bool plainListener = true;
    std::string listenTls, tlsCert, tlsKey;
    std::string now;
    int threads = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
    int idleTimeout = 600;
    int dbPool = 0;  // 0: one connection per thread
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
    auto storage = openStorage(s.db, {.pool = s.dbPool > 0 ? s.dbPool : s.threads});
    storage->initSchema();
    return storage;
}

int serve(const Settings& s) {
    Clock clock = makeClock(s.now);
    auto storage = openReady(s);
    Dispatcher dispatcher;
    AgendaModule agenda(*storage, clock);
    agenda.registerIn(dispatcher);

    NetOptions options;
    if (s.plainListener) std::tie(options.host, options.port) = splitListen(s.listen);
    else options.host.clear();
    options.threads = std::max(1, s.threads);
    options.idleTimeout = std::chrono::seconds(std::max(1, s.idleTimeout));
    if (!s.listenTls.empty()) {
        std::tie(options.tlsHost, options.tlsPort) = splitListen(s.listenTls);
        options.tlsCertFile = s.tlsCert;
        options.tlsKeyFile = s.tlsKey;
    }
    NetServer server(options, dispatcher);
    server.bind();
    std::string plain = server.boundAddress(), tls = server.boundTlsAddress();
    spdlog::info("serving {} on {} ({} threads{})", redactedUrl(s.db),
                 plain.empty() ? "tls://" + tls : tls.empty() ? plain : plain + " and tls://" + tls,
                 options.threads,
                 clock.pinned() ? ", clock pinned at " + age::formatIsoDateTime(clock.now()) : std::string());
    if (!plain.empty()) std::cout << "listening on " << plain << '\n';
    if (!tls.empty()) std::cout << "listening on tls://" << tls << '\n';
    std::cout << std::flush;
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
    auto* listenTls = serveCmd->add_option("--listen-tls", s.listenTls,
                                           "HOST:PORT of a TLS listener (alone unless --listen is given too)");
    auto* tlsCert = serveCmd->add_option("--tls-cert", s.tlsCert, "TLS certificate chain (PEM)")
                        ->check(CLI::ExistingFile);
    auto* tlsKey = serveCmd->add_option("--tls-key", s.tlsKey, "TLS private key (PEM)")->check(CLI::ExistingFile);
    listenTls->needs(tlsCert)->needs(tlsKey);
    tlsCert->needs(listenTls)->needs(tlsKey);
    tlsKey->needs(listenTls)->needs(tlsCert);
    serveCmd->add_option("--now", s.now, "pin the clock at this local date and time (tests, demos)");
    serveCmd->add_option("--threads", s.threads, "worker threads")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    serveCmd
        ->add_option("--db-pool", s.dbPool,
                     "PostgreSQL connections kept open at most (default: one per thread)")
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

    auto* opCmd = app.add_subcommand("operator", "operators")->require_subcommand(1);
    auto* opAdd = opCmd->add_subcommand("add", "add an operator");
    opAdd->add_option("CODE", s.code, "operator code (up to 12 characters)")->required();
    opAdd->add_option("NAME", s.name, "operator name (up to 40 characters)")->required();
    auto* opList = opCmd->add_subcommand("list", "list the operators");

    auto* demoCmd = app.add_subcommand("demo", "seed demo rooms, operators and a week of bookings");
    demoCmd->add_option("--now", s.now, "take this date and time as now");

    CLI11_PARSE(app, argc, argv);
    s.plainListener = s.listenTls.empty() || serveCmd->count("--listen") > 0;
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
