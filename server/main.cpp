// age-server: the application server of the room booking system and its administration tool.
//
//   age-server serve [--listen HOST:PORT] [--listen-tls HOST:PORT --tls-cert FILE --tls-key FILE]
//                    [--db URL] [--db-pool N] [--now ISO] [--threads N] [--workers N] [--max-queue N]
//                    [--idle-timeout S] [--max-connections N] [--max-unsigned-per-address N]
//                    [--max-reply-bytes N]
//                    [--auth password|none] [--session-hours H] [--session-recheck S] [--login-delay-ms MS]
//   age-server init | room add CODE NAME | room list | room renumber CODE | operator add CODE NAME
//              | operator list | demo | check
//   age-server operator password CODE [--password-stdin] | operator disable CODE | operator enable CODE
//   age-server session list | session revoke CODE|TOKEN-PREFIX
//   age-server history [--room R] [--seq S] [--day D] [--operator O] [--since D] [--json]
//   age-server history prune --before D
//
//   age-server backup FILE | restore FILE | config check
//   serve also takes [--metrics HOST:PORT] [--log-format text|json] [--log-target auto|stderr|journal]
//
// --db is "sqlite:PATH" (default sqlite:agenda.db) or "postgresql://user@host:port/dbname". Every option
// can also come from a config file (--config FILE, by default /etc/age/age-server.conf when it exists):
// top-level keys for the global options (db), a [serve] section for serve's; the command line wins.
// Logs go to stderr (or the journal); `serve` prints one line "listening on HOST:PORT" to stdout once it
// accepts connections (with port 0, the port it was given), then "listening on tls://HOST:PORT" for the TLS
// listener (given only --listen-tls, the server has no plain listener), then "metrics on HOST:PORT" with
// --metrics.
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <csignal>
#include <iostream>
#include <optional>
#include <thread>

#include <asio/ip/address.hpp>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>
#include <CLI/CLI.hpp>

#include "common/Booking.h"
#include "common/LogText.h"
#include "server/Admin.h"
#include "server/AgendaModule.h"
#include "server/AuthAdmin.h"
#include "server/Check.h"
#include "server/Clock.h"
#include "server/Logging.h"
#include "server/Metrics.h"
#include "server/NetServer.h"
#include "server/SessionModule.h"
#include "server/storage/SqliteFiles.h"

namespace {

using namespace age::server;

struct Settings {
    std::string db = "sqlite:agenda.db";
    std::string listen = "127.0.0.1:12100";
    bool plainListener = true;
    std::string listenTls, tlsCert, tlsKey;
    std::string now;
    // Half the CPUs: the workers running SQLite or waiting on PostgreSQL need the rest, and on a small
    // machine every extra runnable thread lengthens the wait for a CPU (one on 2 CPUs: 15% more calls a
    // second on PostgreSQL and shorter tails on both databases under 64 busy clients).
    int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency() / 2));
    int idleTimeout = 600;
    int workers = 4;
    int maxQueued = 1024;
    int busyPoll = 50;
    double seqRate = Caller::kSeqNumbersPerSecond;
    int dbPool = 0;  // 0: one connection per worker
    std::size_t maxConnections = 0;  // 0: from the descriptor limit
    std::size_t maxUnsignedPerAddress = NetOptions{}.maxUnsignedPerAddress;
    std::size_t maxReplyBytes = kDefaultMaxReplyBytes;
    std::string logLevel = "info";
    std::string logFormat = "text";
    std::string logTarget = "auto";
    std::string metrics;  // HOST:PORT of the HTTP endpoint; empty: none
    std::string code, name, file;
    bool withdrawPending = false;
    // Sign-in and history.
    std::string auth = "password";
    int sessionHours = 12;
    int sessionRecheck = 60;
    int loginDelayMs = 500;
    bool passwordStdin = false;
    bool json = false;
    std::string room, seq, day, since, operatorCode, before;
};

constexpr const char* kDefaultConfig = "/etc/age/age-server.conf";

std::optional<age::Date> dayOption(const std::string& text, const char* option) {
    if (text.empty()) return std::nullopt;
    if (auto d = age::parseIsoDate(text)) return d;
    throw std::runtime_error(std::string(option) + " must be YYYY-MM-DD");
}

bool anyPassword(Storage& storage) {
    auto tx = storage.read();
    for (const auto& op : tx->operators())
        if (auto c = tx->credential(op.code); c && c->enabled && !c->passwordHash.empty()) return true;
    return false;
}

SessionOptions sessionOptions(const Settings& s) {
    SessionOptions o;
    o.mode = s.auth == "none" ? AuthMode::None : AuthMode::Password;
    o.lifetime = std::chrono::hours(s.sessionHours);
    o.recheckEvery = std::chrono::seconds(s.sessionRecheck);
    o.throttle.firstDelay = std::chrono::milliseconds(s.loginDelayMs);
    o.throttle.maxDelay = std::max(o.throttle.maxDelay, o.throttle.firstDelay);
    return o;
}

bool isLoopback(const std::string& host) {
    std::error_code ec;
    auto address = asio::ip::make_address(host, ec);
    return !ec && address.is_loopback();
}

// --auth none trusts whoever connects; said at every start, loudest when others can reach the port. On a
// plain listener others can reach, passwords cross the network in clear.
void warnOfExposure(const std::string& auth, const std::string& host, bool encrypted) {
    if (auth == "none" && isLoopback(host)) {
        spdlog::warn("--auth none: connections need no sign-in and may act as any operator; for tests and a "
                     "single desk only");
    } else if (auth == "none") {
        spdlog::critical("--auth none on {}, reachable from other machines: ANYONE who reaches this port can "
                         "book, change and delete bookings as any operator. Use --auth password on a network.",
                         host);
    } else if (!encrypted && !isLoopback(host)) {
        spdlog::warn("plain listener on {}, reachable from other machines: passwords and bookings cross the "
                     "network unencrypted; prefer TLS (--listen-tls)", host);
    }
}

// "127.0.0.1:12100", "[::1]:12100".
std::pair<std::string, unsigned short> splitListen(const std::string& text,
                                                   const std::string& option = "--listen") {
    auto colon = text.rfind(':');
    if (colon == std::string::npos)
        throw std::runtime_error(option + " must be HOST:PORT, not " + age::quoted(text));
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    int port = -1;
    try {
        std::size_t used = 0;
        port = std::stoi(text.substr(colon + 1), &used);
        if (used != text.size() - colon - 1) port = -1;
    } catch (const std::exception&) {
    }
    if (host.empty() || port < 0 || port > 65535)
        throw std::runtime_error(option + " must be HOST:PORT, not " + age::quoted(text));
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

// What `serve` would refuse at start, found without starting it.
void validate(const Settings& s) {
    splitListen(s.listen);
    if (!s.listenTls.empty()) splitListen(s.listenTls, "--listen-tls");
    makeClock(s.now);
    if (!s.metrics.empty()) splitListen(s.metrics, "--metrics");
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
    agenda.setSeqRate(s.seqRate);
    agenda.registerIn(dispatcher);
    SessionModule sessions(*storage, clock, sessionOptions(s));
    sessions.registerIn(dispatcher, std::string(age::kRemoteModule));

    dispatcher.setMaxReplyBytes(s.maxReplyBytes);
    rlim_t descriptors = raiseOpenFileLimit();
    NetOptions options;
    if (s.plainListener) std::tie(options.host, options.port) = splitListen(s.listen);
    else options.host.clear();
    options.threads = std::max(1, s.threads);
    options.idleTimeout = std::chrono::seconds(std::max(1, s.idleTimeout));
    options.maxConnections = connectionLimit(s.maxConnections, descriptors);
    options.maxUnsignedPerAddress = s.maxUnsignedPerAddress;
    options.workers = std::max(1, s.workers);
    // SQLite takes one writer at a time: half the workers run the writes, so that writes waiting for their
    // turn never hold every worker while reads wait behind them.
    options.writers = storage->oneWriterAtATime() ? options.workers / 2 : 0;
    options.maxQueued = static_cast<std::size_t>(std::max(1, s.maxQueued));
    options.busyPoll = std::chrono::microseconds(s.busyPoll);
    options.seqRate = s.seqRate;
    if (!s.listenTls.empty()) {
        std::tie(options.tlsHost, options.tlsPort) = splitListen(s.listenTls, "--listen-tls");
        options.tlsCertFile = s.tlsCert;
        options.tlsKeyFile = s.tlsKey;
    }
    if (!options.host.empty()) warnOfExposure(s.auth, options.host, /*encrypted=*/false);
    if (!options.tlsHost.empty()) warnOfExposure(s.auth, options.tlsHost, /*encrypted=*/true);
    if (s.auth == "password" && !anyPassword(*storage))
        spdlog::warn("no operator has a password yet, so nobody can sign in: set one with `age-server operator "
                     "password CODE`");
    NetServer server(options, dispatcher);
    server.bind();
    std::unique_ptr<MetricsEndpoint> endpoint;
    if (!s.metrics.empty()) {
        auto [metricsHost, metricsPort] = splitListen(s.metrics, "--metrics");
        endpoint = std::make_unique<MetricsEndpoint>(metricsHost, metricsPort,
                                                     [&storage] { return databaseAnswers(*storage); });
    }
    std::string plain = server.boundAddress(), tls = server.boundTlsAddress();
    spdlog::info("serving {} on {} ({} network threads, {} workers{}, up to {} connections, --auth {}{})",
                 redactedUrl(s.db), plain.empty() ? "tls://" + tls : tls.empty() ? plain : plain + " and tls://" + tls,
                 options.threads, options.workers,
                 options.writers > 0 ? " (" + std::to_string(options.writers) + " for writes)" : std::string(),
                 options.maxConnections, s.auth,
                 clock.pinned() ? ", clock pinned at " + age::formatIsoDateTime(clock.now()) : std::string());
    if (!plain.empty()) std::cout << "listening on " << plain << '\n';
    if (!tls.empty()) std::cout << "listening on tls://" << tls << '\n';
    if (endpoint) std::cout << "metrics on " << endpoint->boundAddress() << '\n';
    std::cout << std::flush;
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
        if (value.empty())
            out << "# " << name << " (not set)\n";  // a bare "" would not read back for every option
        else
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
    // The database files (and SQLite's -wal and -shm beside them) are readable by the server's user only.
    umask(S_IRWXG | S_IRWXO);
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
    auto* listenTls = serveCmd->add_option("--listen-tls", s.listenTls,
                                           "HOST:PORT of a TLS listener (alone unless --listen is given too)");
    auto* tlsCert = serveCmd->add_option("--tls-cert", s.tlsCert, "TLS certificate chain (PEM)")
                        ->check(CLI::ExistingFile);
    auto* tlsKey = serveCmd->add_option("--tls-key", s.tlsKey, "TLS private key (PEM)")->check(CLI::ExistingFile);
    listenTls->needs(tlsCert)->needs(tlsKey);
    tlsCert->needs(listenTls)->needs(tlsKey);
    tlsKey->needs(listenTls)->needs(tlsCert);
    serveCmd->add_option("--now", s.now, "pin the clock at this local date and time (tests, demos)");
    serveCmd->add_option("--threads", s.threads, "network threads (reading, quick calls, writing)")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    serveCmd->add_option("--workers", s.workers, "threads running the calls that need the database")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    serveCmd
        ->add_option("--busy-poll", s.busyPoll,
                     "microseconds a network thread keeps polling after work, while no database call "
                     "waits, before it sleeps (0: never)")
        ->check(CLI::Range(0, 10000))
        ->capture_default_str();
    serveCmd
        ->add_option("--seq-rate", s.seqRate,
                     "sequence numbers (GetNrSeq) a connection, and a signed-in operator over all of its "
                     "connections, gets a second, after a burst of two seconds' worth; more are refused for "
                     "a moment")
        ->check(CLI::Range(1.0, 1e6))
        ->capture_default_str();
    serveCmd
        ->add_option("--max-queue", s.maxQueued,
                     "calls waiting for a worker before new ones are answered \"busy\"")
        ->check(CLI::Range(1, 1 << 20))
        ->capture_default_str();
    serveCmd
        ->add_option("--db-pool", s.dbPool, "PostgreSQL connections kept open at most (0: one per worker)")
        ->check(CLI::Range(0, 1000));
    serveCmd->add_option("--idle-timeout", s.idleTimeout, "seconds before an idle connection is closed")
        ->check(CLI::Range(1, 86400 * 7))
        ->capture_default_str();
    serveCmd->add_option("--auth", s.auth, "password: operators sign in; none: no sign-in (tests, one desk)")
        ->check(CLI::IsMember({"password", "none"}))
        ->capture_default_str();
    serveCmd->add_option("--session-hours", s.sessionHours, "hours a sign-in lasts")
        ->check(CLI::Range(1, 24 * 90))
        ->capture_default_str();
    serveCmd
        ->add_option("--session-recheck", s.sessionRecheck,
                     "seconds between checks that a connection's session was not revoked")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    serveCmd->add_option("--login-delay-ms", s.loginDelayMs, "wait after a first failed sign-in (doubles after each)")
        ->check(CLI::Range(1, 60000))
        ->capture_default_str();
    serveCmd
        ->add_option("--max-connections", s.maxConnections,
                     "connections served at once; more get an error line and are closed (0: 1000, or half "
                     "the descriptor limit when that is lower)")
        ->check(CLI::Range(std::size_t{0}, std::size_t{1} << 20));
    serveCmd
        ->add_option("--max-unsigned-per-address", s.maxUnsignedPerAddress,
                     "connections from one address that have not signed in yet; more get an error line and "
                     "are closed (0: no bound; --auth none has none)")
        ->check(CLI::Range(std::size_t{0}, std::size_t{1} << 20))
        ->capture_default_str();
    serveCmd
        ->add_option("--max-reply-bytes", s.maxReplyBytes,
                     "largest reply sent; a larger one is refused with a message")
        ->check(CLI::Range(std::size_t{1024}, std::size_t{64} << 20))
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
    auto* opPassword = opCmd->add_subcommand("password", "set an operator's password (asked twice)");
    opPassword->add_option("CODE", s.code, "operator code")->required();
    opPassword->add_flag("--password-stdin", s.passwordStdin, "read the password as one line of standard input");
    auto* opDisable = opCmd->add_subcommand("disable", "stop an operator from signing in; ends its sessions");
    opDisable->add_option("CODE", s.code, "operator code")->required();
    auto* opEnable = opCmd->add_subcommand("enable", "let a disabled operator sign in again");
    opEnable->add_option("CODE", s.code, "operator code")->required();

    auto* sessionCmd = app.add_subcommand("session", "sign-in sessions")->require_subcommand(1);
    auto* sessionList = sessionCmd->add_subcommand("list", "list the sessions (token prefix, operator, ...)");
    auto* sessionRevoke = sessionCmd->add_subcommand("revoke", "end an operator's sessions, or one session");
    sessionRevoke->add_option("CODE|TOKEN-PREFIX", s.code, "operator code, or the first characters of a token")
        ->required();

    auto* historyCmd = app.add_subcommand("history", "print the history of changes, newest first");
    historyCmd->add_option("--room", s.room, "only this room");
    historyCmd->add_option("--seq", s.seq, "only this sequence number");
    historyCmd->add_option("--day", s.day, "only bookings of this day (YYYY-MM-DD)");
    historyCmd->add_option("--operator", s.operatorCode, "only this operator");
    historyCmd->add_option("--since", s.since, "only rows written on or after this day (YYYY-MM-DD)");
    historyCmd->add_flag("--json", s.json, "one JSON object per line");
    auto* historyPrune = historyCmd->add_subcommand("prune", "remove history rows written before a day");
    historyPrune->add_option("--before", s.before, "YYYY-MM-DD")->required();

    auto* demoCmd = app.add_subcommand("demo", "seed demo rooms, operators and a week of bookings");
    demoCmd->add_option("--now", s.now, "take this date and time as now");

    auto* checkCmd =
        app.add_subcommand("check", "report what in the database breaks the booking rules (exit status 1)");

    auto* backupCmd =
        app.add_subcommand("backup", "copy the SQLite database consistently, also while it is served");
    backupCmd->add_option("FILE", s.file, "the copy to write (replaced when it exists)")->required();
    auto* restoreCmd =
        app.add_subcommand("restore", "put a copy back as the SQLite database (server stopped)");
    restoreCmd->add_option("FILE", s.file, "a copy made by backup")->required();

    auto* configCmd = app.add_subcommand("config", "the config file")->require_subcommand(1);
    auto* configCheck = configCmd->add_subcommand("check", "validate it and print the settings in effect");

    CLI11_PARSE(app, argc, argv);
    s.plainListener = s.listenTls.empty() || serveCmd->count("--listen") > 0;
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
        if (*roomRenumber) admin::renumberRoom(*storage, s.code, s.withdrawPending, std::cout);
        if (*opAdd) admin::addOperator(*storage, s.code, s.name);
        if (*opList) admin::listOperators(*storage, std::cout);
        if (*demoCmd) admin::seedDemo(*storage, makeClock(s.now), std::cout);
        if (*opPassword) admin::setPassword(*storage, s.code, admin::readPassword(s.code, s.passwordStdin, std::cin));
        if (*opDisable) admin::setEnabled(*storage, s.code, false);
        if (*opEnable) admin::setEnabled(*storage, s.code, true);
        if (*sessionList) admin::listSessions(*storage, std::cout);
        if (*sessionRevoke) admin::revokeSessions(*storage, s.code, std::cout);
        if (*historyPrune)
            admin::pruneHistory(*storage, *dayOption(s.before, "--before"), std::cout);
        else if (*historyCmd)
            admin::showHistory(*storage,
                               {s.room, s.seq, s.operatorCode, dayOption(s.day, "--day"), dayOption(s.since, "--since")},
                               s.json, std::cout);
        if (*checkCmd) return checkDatabase(*storage, std::cout) == 0 ? 0 : 1;
        return 0;
    } catch (const admin::UseAnotherTool& e) {
        std::cerr << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        spdlog::error("{}", e.what());
        return 1;
    }
}
