// age-server: the application server of the room booking system and its administration tool.
//
//   age-server serve [--listen HOST:PORT] [--db URL] [--db-pool N] [--now ISO] [--threads N]
//                    [--idle-timeout S] [--metrics HOST:PORT] [--log-format text|json] [--log-target T]
//   age-server init | room add CODE NAME | room list | operator add CODE NAME | operator list | demo
//   age-server backup FILE | restore FILE | config check
//
// --db is "sqlite:PATH" (default sqlite:agenda.db) or "postgresql://user@host:port/dbname". Every option
// can also come from a config file (--config FILE, by default /etc/age/age-server.conf when it exists):
// top-level keys for the global options (db), a [serve] section for serve's; the command line wins.
// Logs go to stderr (or the journal); `serve` prints one line "listening on HOST:PORT" to stdout once it
// accepts connections (with port 0, the port it was given), then "metrics on HOST:PORT" with --metrics.
#include <systemd/sd-daemon.h>

#include <csignal>
#include <iostream>
#include <optional>
#include <thread>

#include <spdlog/spdlog.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "server/Admin.h"
#include "server/AgendaModule.h"
#include "server/Clock.h"
#include "server/Logging.h"
#include "server/Metrics.h"
#include "server/NetServer.h"
#include "server/storage/SqliteFiles.h"

namespace {

using namespace age::server;

struct Settings {
    std::string db = "sqlite:agenda.db";
    std::string listen = "127.0.0.1:12100";
    std::string now;
    int threads = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
    int idleTimeout = 600;
    int dbPool = 0;  // 0: one connection per thread
    std::string logLevel = "info";
    std::string logFormat = "text";
    std::string logTarget = "auto";
    std::string metrics;  // HOST:PORT of the HTTP endpoint; empty: none
    std::string code, name, file;
};

constexpr const char* kDefaultConfig = "/etc/age/age-server.conf";

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

// What `serve` would refuse at start, found without starting it.
void validate(const Settings& s) {
    splitListen(s.listen);
    makeClock(s.now);
    if (!s.metrics.empty()) splitListen(s.metrics);
    sqlitePathOf(s.db);
}

// The database answers a query.
bool databaseAnswers(Storage& storage) {
    storage.read()->roomName("");
    return true;
}

int serve(const Settings& s) {
    validate(s);
    Clock clock = makeClock(s.now);
    // A SQLite database is held for as long as it is served, so that no restore replaces it meanwhile.
    std::optional<sqlite::FileLock> inUse;
    if (auto path = sqlitePathOf(s.db)) inUse.emplace(*path, sqlite::FileLock::Mode::Shared);
    auto storage = openReady(s);
    Dispatcher dispatcher;
    AgendaModule agenda(*storage, clock);
    agenda.registerIn(dispatcher);

    auto [host, port] = splitListen(s.listen);
    NetOptions options{host, port, std::max(1, s.threads), std::chrono::seconds(std::max(1, s.idleTimeout))};
    NetServer server(options, dispatcher);
    server.bind();
    std::unique_ptr<MetricsEndpoint> endpoint;
    if (!s.metrics.empty()) {
        auto [metricsHost, metricsPort] = splitListen(s.metrics);
        endpoint = std::make_unique<MetricsEndpoint>(metricsHost, metricsPort,
                                                     [&storage] { return databaseAnswers(*storage); });
    }
    spdlog::info("serving {} on {} ({} threads{})", redactedUrl(s.db), server.boundAddress(), options.threads,
                 clock.pinned() ? ", clock pinned at " + age::formatIsoDateTime(clock.now()) : std::string());
    std::cout << "listening on " << server.boundAddress() << std::endl;
    if (endpoint) std::cout << "metrics on " << endpoint->boundAddress() << std::endl;
    sd_notify(0, "READY=1");
    server.run();
    sd_notify(0, "STOPPING=1");
    spdlog::info("stopped");
    return 0;
}

// A value as a config file writes it: numbers bare, the rest quoted.
std::string configValue(const std::string& name, const std::string& value) {
    bool secret = name.find("password") != std::string::npos || name.find("secret") != std::string::npos ||
                  name.find("token") != std::string::npos;
    std::string shown = secret && !value.empty() ? "***" : name == "db" ? redactedUrl(value) : value;
    bool number = !shown.empty() && shown.find_first_not_of("0123456789") == std::string::npos;
    return number ? shown : nlohmann::json(shown).dump();
}

void printOptions(const CLI::App& app, std::ostream& out) {
    for (const CLI::Option* opt : app.get_options()) {
        std::string name = opt->get_single_name();
        if (opt->get_lnames().empty() || name == "help" || name == "config") continue;
        auto results = opt->results();
        std::string value = results.empty() ? opt->get_default_str() : results.back();
        out << name << " = " << configValue(name, value) << '\n';
    }
}

// `config check`: the file read (if any) and every setting in effect, as a config file would set them.
int checkConfig(const Settings& s, const CLI::App& app, const CLI::App& serveCmd) {
    validate(s);
    auto files = app.get_config_ptr()->results();
    std::cout << "# "
              << (files.empty() ? "no config file (" + std::string(kDefaultConfig) + " is absent)"
                                : "config file " + files.back() + ": valid")
              << '\n';
    printOptions(app, std::cout);
    std::cout << "\n[serve]\n";
    printOptions(serveCmd, std::cout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    setupLogging("text", "stderr", "info");

    Settings s;
    CLI::App app{"age-server: application server of the room booking system"};
    app.require_subcommand(1);
    app.fallthrough();
    app.option_defaults()->always_capture_default();
    app.allow_config_extras(CLI::config_extras_mode::error);  // a misspelt key is an error, not ignored
    app.set_config("--config", kDefaultConfig,
                   "read options from this file (TOML: top-level keys, [serve] section); the command line "
                   "wins");
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
        ->add_option("--db-pool", s.dbPool, "PostgreSQL connections kept open at most (0: one per thread)")
        ->check(CLI::Range(0, 1000));
    serveCmd->add_option("--idle-timeout", s.idleTimeout, "seconds before an idle connection is closed")
        ->check(CLI::Range(1, 86400 * 7))
        ->capture_default_str();
    serveCmd->add_option("--log-level", s.logLevel, "debug also logs every call's method")
        ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error"}))
        ->capture_default_str();
    serveCmd->add_option("--log-format", s.logFormat, "text: plain lines; json: one object per line")
        ->check(CLI::IsMember({"text", "json"}));
    serveCmd
        ->add_option(
            "--log-target", s.logTarget,
            "stderr, journal (systemd's, with the level as priority) or auto (the journal when stderr "
            "goes there)")
        ->check(CLI::IsMember({"auto", "stderr", "journal"}));
    serveCmd->add_option(
        "--metrics", s.metrics,
        "HOST:PORT to serve Prometheus metrics (/metrics) and /healthz on over HTTP; keep it "
        "on loopback");

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

    auto* backupCmd =
        app.add_subcommand("backup", "copy the SQLite database consistently, also while it is served");
    backupCmd->add_option("FILE", s.file, "the copy to write (replaced when it exists)")->required();
    auto* restoreCmd =
        app.add_subcommand("restore", "put a copy back as the SQLite database (server stopped)");
    restoreCmd->add_option("FILE", s.file, "a copy made by backup")->required();

    auto* configCmd = app.add_subcommand("config", "the config file")->require_subcommand(1);
    auto* configCheck = configCmd->add_subcommand("check", "validate it and print the settings in effect");

    CLI11_PARSE(app, argc, argv);
    try {
        setupLogging(s.logFormat, s.logTarget, s.logLevel);
        if (*serveCmd) return serve(s);
        if (*configCheck) return checkConfig(s, app, *serveCmd);
        if (*backupCmd) admin::backup(s.db, s.file, std::cout);
        if (*restoreCmd) admin::restore(s.db, s.file, std::cout);
        if (*backupCmd || *restoreCmd) return 0;
        auto storage = openReady(s);
        if (*initCmd) std::cout << "schema ready in " << redactedUrl(s.db) << '\n';
        if (*roomAdd) admin::addRoom(*storage, s.code, s.name);
        if (*roomList) admin::listRooms(*storage, std::cout);
        if (*opAdd) admin::addOperator(*storage, s.code, s.name);
        if (*opList) admin::listOperators(*storage, std::cout);
        if (*demoCmd) admin::seedDemo(*storage, makeClock(s.now), std::cout);
        return 0;
    } catch (const admin::UseAnotherTool& e) {
        std::cerr << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        spdlog::error("{}", e.what());
        return 1;
    }
}
