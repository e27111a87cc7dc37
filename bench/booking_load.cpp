// Load on age-server: N clients at once doing the agenda screen's booking road for a set time, on SQLite,
// on PostgreSQL, and on two servers sharing one PostgreSQL database.
//
//   booking_load [--clients 64] [--seconds 10] [--threads N] [--workers N] [--idle 1000]
//                [--driver wire|screen] [--gen-threads 1]
//                [--config sqlite,postgresql,postgresql-2] [--pg postgresql://user@host:port/postgres]
//
// Each road: list rooms, load a day, ask the server date, take a sequence number, check the hours, save;
// every 25th road also a 98-day automatic booking (GetPesqSala, SetHrSala); the servers allow any pace of
// sequence numbers (--seq-rate). Each client has a connection of
// its own and one call outstanding at a time, as a screen has. Two drivers run the same road with the same
// choices, sending the same request lines and judging the replies alike:
//   wire    (default) the clients are coroutines on --gen-threads event loops, without a thread and a
//           resolver each: a call costs the generator some 40% less CPU. A reply that comes while its
//           loop serves other clients waits for the loop, and that wait is timed too (more loops shorten it);
//   screen  each client is a thread with the screens' blocking TNetConnection, so the client library and
//           the wake-ups of 64 threads are timed too.
// Prints calls per second and p50/p99 per method next to the goals (calls/s, the worst p99 of any method,
// GetSysdate's p99), then checks that no two scheduled bookings overlap in what was stored, then measures
// the server's resident memory with `--idle` idle connections. The PostgreSQL configurations need a server
// (--pg or AGE_TEST_PG_URL: scripts/pg-throwaway starts one); each run gets a database of its own.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "common/Booking.h"
#include "common/BookingRules.h"
#include "platform/rpc/CheckResult.h"
#include "platform/rpc/NetConnection.h"
#include "platform/rpc/Wire.h"
#include "tests/support/TestDatabase.h"
#include "tests/support/TestServer.h"

namespace {

using age::Date;
using age::test::TestServer;
using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

const Date kToday = age::makeDate(2026, 12, 7);  // the servers' pinned clock
constexpr int kRooms = 20;
constexpr int kBookingDays = 60;     // single bookings fall on one of these days from today
constexpr int kRecurringEvery = 25;  // one road in this many also books 98 days
constexpr int kRecurringDays = 98;
constexpr auto kCallTimeout = std::chrono::seconds(30);  // as long as a call or connect waits

struct Options {
    int clients = 64;
    int seconds = 10;
    int threads = 0;  // the server's network threads; 0: its default
    int workers = 0;  // 0: the server's default
    int idle = 1000;
    std::string driver = "wire";
    int genThreads = 1;                // the wire driver's event loops
    std::vector<std::string> configs;  // empty: every one that can run here
};

// Latencies and outcomes per method, kept by one client and merged at the end.
struct Tally {
    std::map<std::string, std::vector<double>> millis;
    std::map<std::string, int> refused;
    int errors = 0;
    std::string firstError;

    void time(const char* method, SteadyClock::time_point since) {
        millis[method].push_back(
            std::chrono::duration<double, std::milli>(SteadyClock::now() - since).count());
    }

    // The packet of an accepted call; nothing (and one refusal counted) when the server refused it.
    std::optional<age::data::Packet> accepted(const char* method, const TResult& result) {
        try {
            return Consiste::CheckResultServ(result, false, 0);
        } catch (const EServerError&) {
            ++refused[method];
            return std::nullopt;
        }
    }

    void failed(const std::exception& e) {
        ++errors;
        if (firstError.empty()) firstError = e.what();
    }

    void merge(const Tally& other) {
        for (const auto& [m, v] : other.millis) millis[m].insert(millis[m].end(), v.begin(), v.end());
        for (const auto& [m, n] : other.refused) refused[m] += n;
        if (firstError.empty()) firstError = other.firstError;
        errors += other.errors;
    }
};

std::string roomCode(int i) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "R%02d", i + 1);
    return buf;
}

std::string hourText(int minutes) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d%02d", minutes / 60, minutes % 60);
    return buf;
}

// What one road books.
struct Booking {
    std::string room;
    Date day;
    std::string seq, start, end;
};

// A client's choices along its roads. Both drivers draw them in the same order, each where the screen makes
// it, so a seed gives the same roads whichever driver runs them.
class RoadChoices {
  public:
    explicit RoadChoices(unsigned seed) : rng_(seed) {}

    Booking roomAndDay() {
        std::string room = roomCode(pick(kRooms));
        return {room, kToday + std::chrono::days(pick(kBookingDays)), {}, {}, {}};
    }

    // The number GetNrSeq handed out, and the hours drawn once it is known.
    void hours(Booking& b, const age::data::Packet& seqPacket) {
        b.seq = age::data::valueText(seqPacket.rows.at(0).at(0));
        int from = 7 * 60 + 15 * pick(44);
        b.start = hourText(from);
        b.end = hourText(from + 30 + 15 * pick(7));
    }

    // After a saved booking: true when this road goes on to the automatic booking dialog.
    bool recurringDue() { return ++saved_ % kRecurringEvery == 0; }

  private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    std::mt19937 rng_;
    int saved_ = 0;
};

// The screen refuses a clash with the hours GetHora listed before saving.
bool clashes(const age::data::Packet& hours, const Booking& b) {
    for (const auto& r : hours.rows)
        if (b.start <= age::data::valueText(r.at(1)) && age::data::valueText(r.at(0)) <= b.end) return true;
    return false;
}

json insertDelta(const Booking& b) {
    using age::data::Value;
    age::data::ChangeLog log;
    for (const auto& f : age::kBookingFields) {
        auto type = f.type == age::ColumnType::Date       ? age::data::FieldType::Date
                    : f.type == age::ColumnType::DateTime ? age::data::FieldType::DateTime
                                                          : age::data::FieldType::String;
        log.fields.push_back({std::string(f.name), type, type == age::data::FieldType::String ? f.size : 0});
    }
    age::data::Row row{Value{"0001"},
                       Value{b.seq},
                       Value{"A"},
                       Value{"Reunião de carga"},
                       Value{b.room},
                       Value{b.day},
                       Value{"ana"},
                       Value{},
                       Value{b.start},
                       Value{b.end},
                       Value{age::makeDateTime(2026, 12, 7, 10, 0, 0)}};
    log.changes.push_back({age::data::ChangeOp::Insert, {}, std::move(row)});
    return age::rpc::changeLogToJson(log);
}

// The automatic booking's days: every day of the week for kRecurringDays from the day after the template.
std::string recurringDates(const Booking& b) {
    Date first = b.day + std::chrono::days(1);
    return age::buildDateList(first, first + std::chrono::days(kRecurringDays - 1),
                              {true, true, true, true, true, true, true});
}

// The screen driver: a thread per client with the screens' blocking connection.
class Client {
  public:
    Client(const TestServer& server, unsigned seed) : choices_(seed) {
        server.configure(net_);
        net_.Timeout = kCallTimeout;
    }

    void run(const std::atomic<bool>& stop) {
        while (!stop.load(std::memory_order_relaxed)) {
            try {
                road();
            } catch (const std::exception& e) {
                tally.failed(e);
                net_.SetConnected(false);
            }
        }
    }

    Tally tally;

  private:
    // The result of one timed call, kept as its text the way the screens keep it.
    TResult call(const char* method, std::initializer_list<TAppServer::Arg> args) {
        auto t0 = SteadyClock::now();
        TResult result = net_.AppServer().Call(method, args);
        tally.time(method, t0);
        return result;
    }

    std::optional<age::data::Packet> accepted(const char* method,
                                              std::initializer_list<TAppServer::Arg> args) {
        return tally.accepted(method, call(method, args));
    }

    void road() {
        accepted("GetSala", {});
        Booking b = choices_.roomAndDay();
        accepted("GetAgendaSala", {b.room, b.day});
        accepted("GetSysdate", {});
        auto seqPacket = accepted("GetNrSeq", {b.room, b.day});
        if (!seqPacket) return;
        choices_.hours(b, *seqPacket);
        auto hours = accepted("GetHora", {b.room, b.day});
        if (!hours || clashes(*hours, b)) return;
        if (!accepted("SetAgendaSala", {insertDelta(b)})) return;
        if (choices_.recurringDue()) recurring(b);
    }

    // The automatic booking dialog's calls, with the booking just saved as the template.
    void recurring(const Booking& b) {
        std::string list = recurringDates(b);
        std::string reply = call("GetPesqSala", {"0001", b.room, TAppServer::Arg::Ref(list), b.seq})
                                .Json()
                                .get<std::string>();
        if (reply == "0" || list.empty()) return;
        accepted("SetHrSala", {"0001", "ana", TAppServer::Arg::Ref(list), b.seq, "A", "Reunião de carga",
                               b.start, b.end, b.room});
    }

    TNetConnection net_;
    RoadChoices choices_;
};

// The module the screens call, as a connection names it by default.
const std::string& moduleName() {
    static const std::string name = TNetConnection().ServerName;
    return name;
}

// The wire driver's client: a coroutine on an event loop, with a socket of its own. It writes the lines
// TNetConnection writes and reads the replies with its functions, without its thread and resolver.
class WireClient {
  public:
    WireClient(asio::io_context& io, const TestServer& server, unsigned seed)
        : socket_(io),
          server_(asio::ip::make_address(server.host()), static_cast<unsigned short>(server.port())),
          choices_(seed) {}

    asio::awaitable<void> run(const std::atomic<bool>& stop) {
        while (!stop.load(std::memory_order_relaxed)) {
            try {
                if (!socket_.is_open()) co_await connect();
                co_await road();
            } catch (const std::exception& e) {
                if (late_)
                    tally.failed(EConnectionError("O servidor de aplicação não respondeu em 30 s."));
                else
                    tally.failed(e);
                close();
            }
        }
        close();
    }

    // Drops the connection of a call or connect that has waited longer than the screens wait; the
    // coroutine then counts the error and reconnects.
    void abandonIfLate(SteadyClock::time_point now) {
        if (waitingSince_ && now - *waitingSince_ > kCallTimeout) {
            late_ = true;
            close();
        }
    }

    Tally tally;

  private:
    asio::awaitable<void> connect() {
        late_ = false;
        waitingSince_ = SteadyClock::now();
        co_await socket_.async_connect(server_, asio::use_awaitable);
        waitingSince_.reset();
        socket_.set_option(asio::ip::tcp::no_delay(true));
    }

    void close() {
        std::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        inbox_.clear();
        waitingSince_.reset();
    }

    // GCC 12 cannot compile a braced list of arguments inside a co_await, so these take them one by one and
    // copy them into the call's coroutine before it starts.
    template <class... A>
    asio::awaitable<TResult> call(const char* method, A&&... args) {
        return exchange(method, {TAppServer::Arg(std::forward<A>(args))...});
    }

    template <class... A>
    asio::awaitable<std::optional<age::data::Packet>> accepted(const char* method, A&&... args) {
        return judged(method, call(method, std::forward<A>(args)...));
    }

    asio::awaitable<std::optional<age::data::Packet>> judged(const char* method,
                                                             asio::awaitable<TResult> reply) {
        co_return tally.accepted(method, co_await std::move(reply));
    }

    // Timed from just before the request is written until its whole reply line has been read.
    asio::awaitable<TResult> exchange(const char* method, std::vector<TAppServer::Arg> args) {
        // The replies already queued on the loop are read first: a write wakes a server thread, which may
        // take this thread's CPU, and those replies would wait for it (about 1 ms of GetSysdate's p99).
        co_await asio::post(socket_.get_executor(), asio::use_awaitable);
        const std::int64_t id = ++nextId_;
        const std::string out = age::rpc::callLine(id, moduleName() + "." + method, args);
        auto t0 = SteadyClock::now();
        waitingSince_ = t0;
        co_await asio::async_write(socket_, asio::buffer(out), asio::use_awaitable);
        std::size_t lineEnd = co_await asio::async_read_until(
            socket_, asio::dynamic_buffer(inbox_, age::rpc::kMaxResponseBytes + 1), '\n',
            asio::use_awaitable);
        tally.time(method, t0);
        waitingSince_.reset();
        std::string why;
        auto response = age::rpc::replyTo(std::string_view(inbox_).substr(0, lineEnd - 1), id, why);
        inbox_.erase(0, lineEnd);
        if (!response)
            throw EConnectionError("resposta inválida do servidor (" + std::string(method) + "): " + why);
        co_return age::rpc::callResult(std::move(*response), args);
    }

    asio::awaitable<void> road() {
        co_await accepted("GetSala");
        Booking b = choices_.roomAndDay();
        co_await accepted("GetAgendaSala", b.room, b.day);
        co_await accepted("GetSysdate");
        auto seqPacket = co_await accepted("GetNrSeq", b.room, b.day);
        if (!seqPacket) co_return;
        choices_.hours(b, *seqPacket);
        auto hours = co_await accepted("GetHora", b.room, b.day);
        if (!hours || clashes(*hours, b)) co_return;
        if (!co_await accepted("SetAgendaSala", insertDelta(b))) co_return;
        if (choices_.recurringDue()) co_await recurring(b);
    }

    asio::awaitable<void> recurring(const Booking& b) {
        std::string list = recurringDates(b);
        TResult found = co_await call("GetPesqSala", "0001", b.room, TAppServer::Arg::Ref(list), b.seq);
        if (found.Json().get<std::string>() == "0" || list.empty()) co_return;
        co_await accepted("SetHrSala", "0001", "ana", TAppServer::Arg::Ref(list), b.seq, "A",
                          "Reunião de carga", b.start, b.end, b.room);
    }

    asio::ip::tcp::socket socket_;
    asio::ip::tcp::endpoint server_;
    std::string inbox_;  // bytes read past the last reply
    std::int64_t nextId_ = 0;
    std::optional<SteadyClock::time_point> waitingSince_;
    bool late_ = false;  // the watchdog dropped the connection
    RoadChoices choices_;
};

// The figures of one run of the clients.
struct Run {
    Tally tally;
    double seconds = 0;
};

Run driveScreen(const std::vector<std::unique_ptr<TestServer>>& servers, const Options& o) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < o.clients; ++i)
        clients.push_back(
            std::make_unique<Client>(*servers[i % servers.size()], 1000u + static_cast<unsigned>(i)));
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    auto t0 = SteadyClock::now();
    for (auto& c : clients) threads.emplace_back([&c, &stop] { c->run(stop); });
    std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
    stop = true;
    for (auto& t : threads) t.join();
    Run run{{}, std::chrono::duration<double>(SteadyClock::now() - t0).count()};
    for (auto& c : clients) run.tally.merge(c->tally);
    return run;
}

// The clients one generator thread runs: an event loop of its own, so the threads share no lock.
struct WireLoop {
    asio::io_context io{1};
    std::vector<std::unique_ptr<WireClient>> clients;
    asio::steady_timer watchdog{io};
    std::size_t running = 0;

    // Once a second, drops the calls that have waited too long; ends with the last client.
    asio::awaitable<void> watch() {
        while (running > 0) {
            watchdog.expires_after(std::chrono::seconds(1));
            std::error_code cancelled;
            co_await watchdog.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
            for (auto& c : clients) c->abandonIfLate(SteadyClock::now());
        }
    }

    void start(const std::atomic<bool>& stop) {
        running = clients.size();
        for (auto& c : clients)
            asio::co_spawn(io, c->run(stop), [this](std::exception_ptr e) {
                if (e) std::rethrow_exception(e);
                if (--running == 0) watchdog.cancel();
            });
        asio::co_spawn(io, watch(), asio::detached);
    }
};

Run driveWire(const std::vector<std::unique_ptr<TestServer>>& servers, const Options& o) {
    std::vector<std::unique_ptr<WireLoop>> loops;
    for (int t = 0; t < o.genThreads; ++t) loops.push_back(std::make_unique<WireLoop>());
    for (int i = 0; i < o.clients; ++i) {
        WireLoop& loop = *loops[i % loops.size()];
        loop.clients.push_back(std::make_unique<WireClient>(loop.io, *servers[i % servers.size()],
                                                            1000u + static_cast<unsigned>(i)));
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    auto t0 = SteadyClock::now();
    for (auto& loop : loops) {
        loop->start(stop);
        threads.emplace_back([&loop] { loop->io.run(); });
    }
    std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
    stop = true;
    for (auto& t : threads) t.join();
    Run run{{}, std::chrono::duration<double>(SteadyClock::now() - t0).count()};
    for (auto& loop : loops)
        for (auto& c : loop->clients) run.tally.merge(c->tally);
    return run;
}

double percentile(std::vector<double>& v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

struct Goals {
    double callsPerSecond;
    double p99Ms;         // for every method
    double sysdateP99Ms;  // GetSysdate, which needs no database
};

const char* verdict(bool met) {
    return met ? "met" : "NOT met";
}

void printTally(Tally& t, double seconds, const Goals& goals) {
    std::printf("  %-14s %9s %10s %9s %9s %9s\n", "method", "calls", "calls/s", "p50 ms", "p99 ms",
                "refused");
    std::size_t total = 0;
    double worstP99 = 0, sysdateP99 = 0;
    for (auto& [method, v] : t.millis) {
        total += v.size();
        worstP99 = std::max(worstP99, percentile(v, 0.99));
        if (method == "GetSysdate") sysdateP99 = percentile(v, 0.99);
        std::printf("  %-14s %9zu %10.1f %9.2f %9.2f %9d\n", method.c_str(), v.size(),
                    static_cast<double>(v.size()) / seconds, percentile(v, 0.50), percentile(v, 0.99),
                    t.refused[method]);
    }
    double rate = static_cast<double>(total) / seconds;
    std::printf("  %-14s %9zu %10.1f\n", "all", total, rate);
    std::printf(
        "  goal: >= %.0f calls/s: %s (%.0f); every p99 <= %.0f ms: %s (worst %.2f ms); "
        "GetSysdate p99 <= %.0f ms: %s (%.2f ms)\n",
        goals.callsPerSecond, verdict(rate >= goals.callsPerSecond), rate, goals.p99Ms,
        verdict(worstP99 <= goals.p99Ms), worstP99, goals.sysdateP99Ms,
        verdict(sysdateP99 <= goals.sysdateP99Ms), sysdateP99);
    std::printf("  errors: %d%s%s\n", t.errors,
                t.firstError.empty() ? "" : "; first: ", t.firstError.c_str());
}

// Scheduled bookings that overlap another of their room and day, over every day the load could reach.
int storedOverlaps(const TestServer& server, std::size_t* bookings) {
    TNetConnection net;
    server.configure(net);
    int overlaps = 0;
    *bookings = 0;
    for (int r = 0; r < kRooms; ++r)
        for (int d = 0; d <= kBookingDays + kRecurringDays; ++d) {
            auto p = Consiste::CheckResultServ(
                net.AppServer().Call("GetAgendaSala", {roomCode(r), kToday + std::chrono::days(d)}), false,
                0);
            *bookings += p.rows.size();
            for (std::size_t i = 0; i < p.rows.size(); ++i)
                for (std::size_t j = i + 1; j < p.rows.size(); ++j) {
                    using age::data::valueText;
                    const auto &x = p.rows[i], &y = p.rows[j];
                    if (valueText(x[2]) == "A" && valueText(y[2]) == "A" &&
                        valueText(x[8]) <= valueText(y[9]) && valueText(y[8]) <= valueText(x[9]))
                        ++overlaps;
                }
        }
    return overlaps;
}

double residentMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

void reportIdleMemory(const TestServer& server, int idle) {
    double before = residentMb(server.pid());
    std::vector<std::unique_ptr<age::test::LineClient>> clients;
    for (int i = 0; i < idle; ++i) {
        clients.push_back(std::make_unique<age::test::LineClient>(server.host(), server.port()));
        clients.back()->call("GetSysdate", json::array());  // a session that has served a call, then idles
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double after = residentMb(server.pid());
    std::printf(
        "  memory: age-server resident %.1f MB with %d idle connections (%.1f MB before them); "
        "target under 100 MB: %s\n",
        after, idle, before, verdict(after < 100));
}

struct Config {
    std::string name;
    bool postgres;
    int servers;
};

std::vector<std::unique_ptr<TestServer>> startServers(const Config& config, const Options& o) {
    // A synthetic client takes numbers a hundred times faster than a person: the servers let it, so that
    // no road ends early on the pace a connection is held to against abuse.
    std::vector<std::string> serveArgs{"--seq-rate", "1000000"};
    if (o.workers > 0) serveArgs.insert(serveArgs.end(), {"--workers", std::to_string(o.workers)});
    age::test::ServerSetup setup{
        .rooms = {}, .threads = o.threads, .db = config.postgres ? "postgresql" : "", .serveArgs = serveArgs};
    for (int r = 0; r < kRooms; ++r) setup.rooms.emplace_back(roomCode(r), "Sala " + roomCode(r));
    std::vector<std::unique_ptr<TestServer>> servers;
    servers.push_back(std::make_unique<TestServer>(setup));
    for (int i = 1; i < config.servers; ++i)
        servers.push_back(std::make_unique<TestServer>(age::test::ServerSetup{.rooms = {},
                                                                              .operators = {},
                                                                              .threads = o.threads,
                                                                              .db = servers.front()->dbUrl(),
                                                                              .serveArgs = serveArgs}));
    return servers;
}

// Runs one configuration; false when it saw an error or a stored overlap.
bool runConfig(const Config& config, const Options& o) {
    const bool wire = o.driver == "wire";
    std::string generator = wire ? std::to_string(o.genThreads) + (o.genThreads == 1 ? " thread" : " threads")
                                 : std::string("a thread each");
    std::string netThreads = o.threads > 0 ? std::to_string(o.threads) : std::string("the default");
    std::printf("%s: %d clients (%s driver, %s) for %d s on %d server(s) with %s network threads each\n",
                config.name.c_str(), o.clients, o.driver.c_str(), generator.c_str(), o.seconds,
                config.servers, netThreads.c_str());
    std::fflush(stdout);
    auto servers = startServers(config, o);
    Run run = wire ? driveWire(servers, o) : driveScreen(servers, o);
    printTally(run.tally, run.seconds, config.postgres ? Goals{10000, 10, 1} : Goals{25000, 5, 1});
    std::size_t bookings = 0;
    int overlaps = storedOverlaps(*servers.front(), &bookings);
    std::printf("  stored: %zu bookings; overlapping scheduled pairs: %d\n", bookings, overlaps);
    for (auto& s : servers) reportIdleMemory(*s, o.idle);
    std::printf("\n");
    return run.tally.errors == 0 && overlaps == 0;
}

void raiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;  // the servers started from here inherit it
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) out.push_back(item);
    return out;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return false;
        std::string v = argv[++i];
        if (a == "--clients")
            o.clients = std::max(1, std::atoi(v.c_str()));
        else if (a == "--seconds")
            o.seconds = std::max(1, std::atoi(v.c_str()));
        else if (a == "--threads")
            o.threads = std::max(1, std::atoi(v.c_str()));
        else if (a == "--workers")
            o.workers = std::max(1, std::atoi(v.c_str()));
        else if (a == "--idle")
            o.idle = std::max(0, std::atoi(v.c_str()));
        else if (a == "--driver" && (v == "wire" || v == "screen"))
            o.driver = v;
        else if (a == "--gen-threads")
            o.genThreads = std::max(1, std::atoi(v.c_str()));
        else if (a == "--config")
            o.configs = splitList(v);
        else if (a == "--pg")
            setenv("AGE_TEST_PG_URL", v.c_str(), 1);
        else
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(
            stderr,
            "usage: booking_load [--clients N] [--seconds S] [--threads N] [--workers N] [--idle N]\n"
            "                    [--driver wire|screen] [--gen-threads N]\n"
            "                    [--config sqlite,postgresql,postgresql-2] [--pg URL]\n");
        return 2;
    }
    raiseOpenFileLimit();
    const std::vector<Config> known{{"sqlite", false, 1}, {"postgresql", true, 1}, {"postgresql-2", true, 2}};
    bool havePg = age::test::postgresServerUrl().has_value();
    bool ok = true;
    for (const auto& config : known) {
        bool chosen = o.configs.empty() || std::count(o.configs.begin(), o.configs.end(), config.name);
        if (!chosen) continue;
        if (config.postgres && !havePg) {
            std::printf("%s: skipped, no PostgreSQL (--pg URL or AGE_TEST_PG_URL)\n\n", config.name.c_str());
            ok = ok && o.configs.empty();
            continue;
        }
        try {
            ok = runConfig(config, o) && ok;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", config.name.c_str(), e.what());
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
