// Load on age-server: N clients at once doing the agenda screen's booking road for a set time, on SQLite,
// on PostgreSQL, and on two servers sharing one PostgreSQL database.
//
//   booking_load [--clients 64] [--seconds 10] [--threads 4] [--workers N] [--idle 1000]
//                [--config sqlite,postgresql,postgresql-2] [--pg postgresql://user@host:port/postgres]
//
// Each road: list rooms, load a day, ask the server date, take a sequence number, check the hours, save;
// every 25th road also a 98-day automatic booking (GetPesqSala, SetHrSala). Prints calls per second and
// p50/p99 per method next to the goals (calls/s, the worst p99 of any method, GetSysdate's p99), then checks that no two scheduled bookings overlap in what was stored, then measures
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
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

struct Options {
    int clients = 64;
    int seconds = 10;
    int threads = 4;
    int workers = 0;  // 0: the server's default
    int idle = 1000;
    std::vector<std::string> configs;  // empty: every one that can run here
};

// Latencies and outcomes per method, kept by one client and merged at the end.
struct Tally {
    std::map<std::string, std::vector<double>> millis;
    std::map<std::string, int> refused;
    int errors = 0;
    std::string firstError;

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

json insertDelta(const std::string& room, Date day, const std::string& seq, const std::string& start,
                 const std::string& end) {
    using age::data::Value;
    age::data::ChangeLog log;
    for (const auto& f : age::kBookingFields) {
        auto type = f.type == age::ColumnType::Date       ? age::data::FieldType::Date
                    : f.type == age::ColumnType::DateTime ? age::data::FieldType::DateTime
                                                          : age::data::FieldType::String;
        log.fields.push_back({std::string(f.name), type, type == age::data::FieldType::String ? f.size : 0});
    }
    age::data::Row row{Value{"0001"},
                       Value{seq},
                       Value{"A"},
                       Value{"Reunião de carga"},
                       Value{room},
                       Value{day},
                       Value{"ana"},
                       Value{},
                       Value{start},
                       Value{end},
                       Value{age::makeDateTime(2026, 12, 7, 10, 0, 0)}};
    log.changes.push_back({age::data::ChangeOp::Insert, {}, std::move(row)});
    return age::rpc::changeLogToJson(log);
}

class Client {
  public:
    Client(const TestServer& server, unsigned seed) : rng_(seed) {
        server.configure(net_);
        net_.Timeout = std::chrono::seconds(30);
    }

    void run(const std::atomic<bool>& stop) {
        while (!stop.load(std::memory_order_relaxed)) {
            try {
                road();
            } catch (const std::exception& e) {
                ++tally.errors;
                if (tally.firstError.empty()) tally.firstError = e.what();
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
        tally.millis[method].push_back(
            std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count());
        return result;
    }

    // The packet of an accepted call; nothing (and one refusal counted) when the server refused.
    std::optional<age::data::Packet> accepted(const char* method,
                                              std::initializer_list<TAppServer::Arg> args) {
        try {
            return Consiste::CheckResultServ(call(method, args), false, 0);
        } catch (const EServerError&) {
            ++tally.refused[method];
            return std::nullopt;
        }
    }

    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    void road() {
        accepted("GetSala", {});
        const std::string room = roomCode(pick(kRooms));
        const Date day = kToday + std::chrono::days(pick(kBookingDays));
        accepted("GetAgendaSala", {room, day});
        accepted("GetSysdate", {});
        auto seqPacket = accepted("GetNrSeq", {room, day});
        if (!seqPacket) return;
        std::string seq = age::data::valueText(seqPacket->rows.at(0).at(0));
        int from = 7 * 60 + 15 * pick(44);
        std::string start = hourText(from), end = hourText(from + 30 + 15 * pick(7));
        auto hours = accepted("GetHora", {room, day});
        if (!hours) return;
        for (const auto& r : hours->rows)  // the screen refuses a clash before saving
            if (start <= age::data::valueText(r.at(1)) && age::data::valueText(r.at(0)) <= end) return;
        if (!accepted("SetAgendaSala", {insertDelta(room, day, seq, start, end)})) return;
        if (++roads_ % kRecurringEvery == 0) recurring(room, day, seq, start, end);
    }

    // The automatic booking dialog's calls, with the booking just saved as the template.
    void recurring(const std::string& room, Date day, const std::string& seq, const std::string& start,
                   const std::string& end) {
        Date first = day + std::chrono::days(1);
        std::string list = age::buildDateList(first, first + std::chrono::days(kRecurringDays - 1),
                                              {true, true, true, true, true, true, true});
        std::string reply =
            call("GetPesqSala", {"0001", room, TAppServer::Arg::Ref(list), seq}).Json().get<std::string>();
        if (reply == "0" || list.empty()) return;
        accepted("SetHrSala",
                 {"0001", "ana", TAppServer::Arg::Ref(list), seq, "A", "Reunião de carga", start, end, room});
    }

    TNetConnection net_;
    std::mt19937 rng_;
    int roads_ = 0;
};

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

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

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
    std::printf("  goal: >= %.0f calls/s: %s (%.0f); every p99 <= %.0f ms: %s (worst %.2f ms); "
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
    std::vector<std::string> serveArgs;
    if (o.workers > 0) serveArgs = {"--workers", std::to_string(o.workers)};
    age::test::ServerSetup setup{.rooms = {},
                                 .threads = o.threads,
                                 .db = config.postgres ? "postgresql" : "",
                                 .serveArgs = serveArgs};
    for (int r = 0; r < kRooms; ++r) setup.rooms.emplace_back(roomCode(r), "Sala " + roomCode(r));
    std::vector<std::unique_ptr<TestServer>> servers;
    servers.push_back(std::make_unique<TestServer>(setup));
    for (int i = 1; i < config.servers; ++i)
        servers.push_back(std::make_unique<TestServer>(age::test::ServerSetup{
            .rooms = {},
            .operators = {},
            .threads = o.threads,
            .db = servers.front()->dbUrl(),
            .serveArgs = serveArgs}));
    return servers;
}

// Runs one configuration; false when it saw an error or a stored overlap.
bool runConfig(const Config& config, const Options& o) {
    std::printf("%s: %d clients for %d s on %d server(s) with %d threads each\n", config.name.c_str(),
                o.clients, o.seconds, config.servers, o.threads);
    std::fflush(stdout);
    auto servers = startServers(config, o);
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
    double elapsed = std::chrono::duration<double>(SteadyClock::now() - t0).count();

    Tally all;
    for (auto& c : clients) all.merge(c->tally);
    printTally(all, elapsed, config.postgres ? Goals{10000, 10, 1} : Goals{25000, 5, 1});
    std::size_t bookings = 0;
    int overlaps = storedOverlaps(*servers.front(), &bookings);
    std::printf("  stored: %zu bookings; overlapping scheduled pairs: %d\n", bookings, overlaps);
    for (auto& s : servers) reportIdleMemory(*s, o.idle);
    std::printf("\n");
    return all.errors == 0 && overlaps == 0;
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
        std::fprintf(stderr,
                     "usage: booking_load [--clients N] [--seconds S] [--threads N] [--workers N] [--idle N]\n"
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
