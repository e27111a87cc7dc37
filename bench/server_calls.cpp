// GetAgendaSala of a day with 500 bookings and SetHrSala of 98 days, each next to the bare database work it
// does, measured in one run on a temporary SQLite file and, when a PostgreSQL server is given (--pg URL or
// AGE_TEST_PG_URL), SetHrSala on PostgreSQL too.
//
//   server_calls [--rounds N] [--pg postgresql://user@host:port/postgres]
//
// The bare work: on SQLite the same rows read by one statement, or 98 indexed overlap selects and inserts
// in one BEGIN IMMEDIATE transaction; on PostgreSQL one 98-row INSERT under the exclusion constraint.
// Prints p50 and p99 of each and the ratio of the p50s next to its goal (GetAgendaSala within 5x,
// SetHrSala within 1.5x).
#include <sqlite3.h>

#include <pqxx/pqxx>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Booking.h"
#include "common/Dates.h"
#include "platform/rpc/CheckResult.h"
#include "platform/rpc/NetConnection.h"
#include "platform/rpc/Wire.h"
#include "tests/support/TestDatabase.h"
#include "tests/support/TestServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using age::data::Value;

struct Stats {
    double p50, p99;  // milliseconds
};

// Runs `round(i)` for i = 0..rounds-1, after a few warm-up rounds numbered from `rounds` on.
Stats measure(int rounds, const std::function<void(int)>& round) {
    for (int i = 0; i < 3; ++i) round(rounds + i);
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        round(i);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    return {at(0.50), at(0.99)};
}

std::string hour(int minutes) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02d%02d", minutes / 60, minutes % 60);
    return buf;
}

void report(const char* what, Stats call, Stats bare, double goal) {
    double ratio = call.p50 / bare.p50;
    std::printf("%-40s p50 %8.3f ms  p99 %8.3f ms\n", what, call.p50, call.p99);
    std::printf("%-40s p50 %8.3f ms  p99 %8.3f ms\n", "  bare database work", bare.p50, bare.p99);
    std::printf("%-40s %.2fx (goal: within %.1fx: %s)\n\n", "  ratio of p50", ratio, goal,
                ratio <= goal ? "met" : "NOT met");
}

// The date list of the 98 days from the servers' today.
std::string ninetyEightDays() {
    std::string list;
    for (int d = 0; d < 98; ++d)
        list += "_" + age::formatShortDate(age::makeDate(2026, 12, 7) + std::chrono::days{d});
    return list;
}

// One SetHrSala of 98 days in `room` per round, each round a three-minute span of its own.
Stats measureSetHrSala(TAppServer& app, int rounds, const std::string& room) {
    const std::string list = ninetyEightDays();
    return measure(rounds, [&](int i) {
        std::string days = list;
        auto result = app.Call("SetHrSala", {"0001", "ana", TAppServer::Arg::Ref(days), "", "A", "Semanal",
                                             hour(3 * i), hour(3 * i + 1), room});
        if (Consiste::CheckResultServ(result, false, 0).rows.size() != 98) throw std::runtime_error("expected 98");
    });
}

// SetHrSala on PostgreSQL next to one 98-row INSERT of the same shape into another room.
void postgresSetHrSala(int rounds) {
    age::test::TestServer server({.db = "postgresql"});
    TNetConnection net;
    server.configure(net);
    Stats call = measureSetHrSala(net.AppServer(), rounds, "102");
    pqxx::connection db(server.dbUrl());
    db.prepare("insert98",
               "INSERT INTO AGESALA (CDFILIAL, NRSEQAGESALA, IDSITAGESALA, DSAGENDASALA, CDSALA, DTATIAGESALA,"
               " CDOPERADOR, HRINIAGESALA, HRFINAGESALA, DTINCAGESALA)"
               " SELECT '0001', lpad((($1::int) * 98 + d)::text, 5, '0'), 'A', 'Semanal', '201',"
               " date '2026-12-07' + d, 'ana', $2, $3, timestamp '2026-12-07 10:00:00'"
               " FROM generate_series(0, 97) AS d");
    Stats bare = measure(rounds, [&](int i) {
        pqxx::work tx(db);
        tx.exec_prepared0("insert98", i, hour(3 * i), hour(3 * i + 1));
        tx.commit();
    });
    report("SetHrSala, 98 days (PostgreSQL)", call, bare, 1.5);
}


class Db {
public:
    explicit Db(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("cannot open " + path);
        sqlite3_busy_timeout(db_, 10000);
        exec("PRAGMA synchronous = NORMAL");  // as the server has it, so both pay the same for a commit
    }
    ~Db() { sqlite3_close(db_); }
    void exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db_));
    }
    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
        return s;
    }

private:
    sqlite3* db_ = nullptr;
};

// One change log inserting 500 one-minute bookings two minutes apart, so none overlap.
nlohmann::json fullDay(const age::test::TestServer& server, const std::string& room, age::Date day) {
    std::vector<std::string> seqs = age::test::handedOutSeqs(server, room, day, 500);
    age::data::ChangeLog log;
    for (const auto& f : age::kBookingFields)
        log.fields.push_back({std::string(f.name),
                              f.type == age::ColumnType::Date       ? age::data::FieldType::Date
                              : f.type == age::ColumnType::DateTime ? age::data::FieldType::DateTime
                                                                    : age::data::FieldType::String,
                              f.size});
    for (int i = 0; i < 500; ++i) {
        log.changes.push_back({age::data::ChangeOp::Insert,
                               {},
                               {std::string("0001"), seqs[static_cast<std::size_t>(i)], std::string("A"),
                                "Reunião " + std::to_string(i), room, day, std::string("ana"), std::monostate{},
                                hour(2 * i), hour(2 * i + 1), age::makeDateTime(2026, 12, 7, 10)}});
    }
    return age::rpc::changeLogToJson(log);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 200;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(10, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--pg") == 0) setenv("AGE_TEST_PG_URL", argv[i + 1], 1);
    }

    age::test::TestServer server;
    TNetConnection net;
    server.configure(net);
    auto& app = net.AppServer();
    const age::Date day = age::makeDate(2026, 12, 8);
    Consiste::CheckResultServ(app.Call("SetAgendaSala", {TAppServer::Arg(fullDay(server, "101", day))}), false, 0);

    Db db(server.dbUrl().substr(std::strlen("sqlite:")));

    // --- GetAgendaSala: 500 rows with the operator's name.
    Stats call = measure(rounds, [&](int) {
        auto packet = Consiste::CheckResultServ(app.Call("GetAgendaSala", {"101", day}), false, 0);
        if (packet.rows.size() != 500) throw std::runtime_error("expected 500 bookings");
    });
    sqlite3_stmt* read = db.prepare(
        "SELECT a.CDFILIAL, a.NRSEQAGESALA, a.IDSITAGESALA, a.DSAGENDASALA, a.CDSALA, a.DTATIAGESALA,"
        " a.CDOPERADOR, o.NMOPERADOR, a.HRINIAGESALA, a.HRFINAGESALA, a.DTINCAGESALA"
        " FROM AGESALA a LEFT JOIN OPERADOR o ON o.CDOPERADOR = a.CDOPERADOR"
        " WHERE a.CDSALA = '101' AND a.DTATIAGESALA = '2026-12-08' ORDER BY a.HRINIAGESALA, a.NRSEQAGESALA");
    Stats bare = measure(rounds, [&](int) {
        std::vector<std::string> rows;
        db.exec("BEGIN");
        while (sqlite3_step(read) == SQLITE_ROW)
            for (int c = 0; c < 11; ++c)
                if (auto t = sqlite3_column_text(read, c)) rows.emplace_back(reinterpret_cast<const char*>(t));
        sqlite3_reset(read);
        db.exec("COMMIT");
    });
    report("GetAgendaSala, 500 bookings", call, bare, 5);

    // --- SetHrSala: every day of 98 from the server's today, each round a span of its own.
    const int setRounds = std::min(rounds, 150);  // 1440 minutes hold this many three-minute spans and warm-ups
    call = measureSetHrSala(app, setRounds, "102");
    sqlite3_stmt* clash = db.prepare(
        "SELECT 1 FROM AGESALA WHERE CDSALA = '201' AND DTATIAGESALA = ?1 AND IDSITAGESALA = 'A'"
        " AND HRINIAGESALA <= ?3 AND ?2 <= HRFINAGESALA LIMIT 1");
    sqlite3_stmt* insert = db.prepare(
        "INSERT INTO AGESALA (CDFILIAL, NRSEQAGESALA, IDSITAGESALA, DSAGENDASALA, CDSALA, DTATIAGESALA,"
        " CDOPERADOR, HRINIAGESALA, HRFINAGESALA, DTINCAGESALA) VALUES ('0001', ?1, 'A', 'Semanal', '201', ?2,"
        " 'ana', ?3, ?4, '2026-12-07T10:00:00')");
    int seq = 0;
    bare = measure(setRounds, [&](int i) {
        db.exec("BEGIN IMMEDIATE");
        for (int d = 0; d < 98; ++d) {
            char seqText[16];
            std::snprintf(seqText, sizeof seqText, "%05d", ++seq);
            std::string date = age::formatIsoDate(age::makeDate(2026, 12, 7) + std::chrono::days{d});
            std::string start = hour(3 * i), end = hour(3 * i + 1);
            sqlite3_bind_text(clash, 1, date.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(clash, 2, start.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(clash, 3, end.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(clash) == SQLITE_ROW) throw std::runtime_error("unexpected clash");
            sqlite3_reset(clash);
            sqlite3_bind_text(insert, 1, seqText, -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 2, date.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 3, start.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 4, end.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(insert) != SQLITE_DONE) throw std::runtime_error("insert failed");
            sqlite3_reset(insert);
        }
        db.exec("COMMIT");
    });
    report("SetHrSala, 98 days (SQLite)", call, bare, 1.5);
    sqlite3_finalize(clash);

    if (age::test::postgresServerUrl())
        postgresSetHrSala(setRounds);
    else
        std::printf("SetHrSala on PostgreSQL: skipped, no PostgreSQL (--pg URL or AGE_TEST_PG_URL)\n");

    sqlite3_finalize(read);
    sqlite3_finalize(insert);
    return 0;
}
