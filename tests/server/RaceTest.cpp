// Many clients at once, on one server or on two servers sharing one PostgreSQL database: the overlap rule
// and the sequence counters hold under contention, and a server outlives the loss of its database
// connections.
#include <latch>
#include <mutex>
#include <set>
#include <thread>

#include "common/BookingRules.h"
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

constexpr int kClients = 16;

// "0800"-style hour of minutes from midnight.
std::string hourAt(int minutes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d", minutes / 60, minutes % 60);
    return buf;
}

// Every pair of scheduled bookings of the packet that overlap, both ends inclusive.
std::vector<std::string> overlapsIn(const Packet& agenda) {
    std::vector<std::string> found;
    auto span = [](const Row& r) { return textOf(r[HRINI]) + "-" + textOf(r[HRFIN]); };
    for (std::size_t i = 0; i < agenda.rows.size(); ++i)
        for (std::size_t j = i + 1; j < agenda.rows.size(); ++j) {
            const Row &x = agenda.rows[i], &y = agenda.rows[j];
            if (textOf(x[IDSIT]) == "A" && textOf(y[IDSIT]) == "A" && textOf(x[HRINI]) <= textOf(y[HRFIN]) &&
                textOf(y[HRINI]) <= textOf(x[HRFIN]))
                found.push_back(span(x) + " and " + span(y));
        }
    return found;
}

Packet checked(const json& result) {
    return Consiste::CheckResultServ(result, false, 0);
}

// Client i's span: 60 minutes from 08:00 + 20 i, so that each meets its neighbours'.
NewBooking spanOf(int client, Date day) {
    return {.start = hourAt(8 * 60 + 20 * client), .end = hourAt(9 * 60 + 20 * client), .day = day};
}

Packet agendaFrom(const TestServer& server, Date day) {
    TNetConnection net;
    server.configure(net);
    return checked(net.AppServer().Call("GetAgendaSala", {"101", day}));
}

struct Outcome {
    std::mutex m;
    int accepted = 0;
    std::vector<std::string> refusals, failures;
};

// Runs `act` for each client at once, client i on servers[i % servers.size()]; counts what it accepts.
void race(const std::vector<const TestServer*>& servers, Outcome& out,
          const std::function<void(int, TNetConnection&)>& act) {
    std::latch ready(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            TNetConnection net;
            servers[i % servers.size()]->configure(net);
            ready.arrive_and_wait();
            try {
                act(i, net);
                std::lock_guard lock(out.m);
                ++out.accepted;
            } catch (const EServerError& e) {
                std::lock_guard lock(out.m);
                out.refusals.push_back(e.what());
            } catch (const std::exception& e) {
                std::lock_guard lock(out.m);
                out.failures.push_back(e.what());
            }
        });
    for (auto& t : clients) t.join();
    ASSERT_TRUE(out.failures.empty()) << out.failures.size() << " calls failed, first: " << out.failures[0];
}

// Every client books its overlapping span on `day` at once: some win, the others are refused, and no two
// stored bookings overlap, whichever server is asked.
void bookingRace(const std::vector<const TestServer*>& servers, Date day) {
    std::vector<json> deltas;
    for (int i = 0; i < kClients; ++i) {
        TNetConnection net;
        servers[0]->configure(net);
        auto seq = textOf(checked(net.AppServer().Call("GetNrSeq", {"101", day})).rows.at(0).at(0));
        deltas.push_back(deltaOf({insertOf(rowOf(spanOf(i, day), seq))}));
    }
    Outcome out;
    race(servers, out,
         [&](int i, TNetConnection& net) { checked(net.AppServer().Call("SetAgendaSala", {deltas[i]})); });
    EXPECT_GT(out.accepted, 0);
    EXPECT_FALSE(out.refusals.empty());
    for (const auto& r : out.refusals) EXPECT_EQ(r, kTaken);
    Packet stored = agendaFrom(*servers[0], day);
    EXPECT_EQ(stored.rows.size(), static_cast<std::size_t>(out.accepted));
    EXPECT_EQ(overlapsIn(stored), std::vector<std::string>{});
    for (const auto* server : servers) EXPECT_EQ(agendaFrom(*server, day).rows, stored.rows);
}

// Every client takes `each` sequence numbers of room 102 at once: all different, none skipped.
void sequenceRace(const std::vector<const TestServer*>& servers, int each) {
    std::multiset<std::string> numbers;
    Outcome out;
    race(servers, out, [&](int, TNetConnection& net) {
        for (int k = 0; k < each; ++k) {
            auto p = checked(net.AppServer().Call("GetNrSeq", {"102", kToday}));
            std::lock_guard lock(out.m);
            numbers.insert(textOf(p.rows.at(0).at(0)));
        }
    });
    std::set<std::string> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers.size(), std::size_t(kClients * each));
    EXPECT_EQ(distinct.size(), numbers.size());
    std::string last = std::to_string(kClients * each);
    EXPECT_EQ(*distinct.rbegin(), std::string(5 - last.size(), '0') + last);
}

// Every client stores one handed-out number at once, each at hours of its own: one of them stores it.
void oneNumberRace(const std::vector<const TestServer*>& servers) {
    TNetConnection net;
    servers[0]->configure(net);
    auto seq = textOf(checked(net.AppServer().Call("GetNrSeq", {"101", kToday})).rows.at(0).at(0));
    const Date day = kToday + std::chrono::days(1);
    Outcome out;
    race(servers, out, [&](int i, TNetConnection& net) {
        NewBooking b{.start = hourAt(6 * 60 + 10 * i), .end = hourAt(6 * 60 + 10 * i + 5), .day = day};
        checked(net.AppServer().Call("SetAgendaSala", {deltaOf({insertOf(rowOf(b, seq))})}));
    });
    EXPECT_EQ(out.accepted, 1);
    for (const auto& r : out.refusals)
        EXPECT_EQ(r, "O seqüencial " + seq + " da sala \"101\" já está em uso. Atualize a agenda.");
    EXPECT_EQ(agendaFrom(*servers.back(), day).rows.size(), 1u);
}

using Race = ServerTest;

TEST_P(Race, SixteenClientsBookingOverlappingSpansNeverBothWin) {
    for (int round = 1; round <= 3; ++round) bookingRace({&server}, kToday + std::chrono::days(round));
}

TEST_P(Race, SequenceNumbersTakenAtOnceAreAllDifferent) {
    sequenceRace({&server}, 25);
}

TEST_P(Race, AHandedOutNumberSentByManyClientsAtOnceIsStoredOnce) {
    oneNumberRace({&server});
}

AGE_ON_EACH_BACKEND(Race);

class TwoServers : public ::testing::Test {
  protected:
    void SetUp() override {
        AGE_REQUIRE_BACKEND(Backend::Postgres);
        first = std::make_unique<TestServer>(ServerSetup{.db = "postgresql"});
        second =
            std::make_unique<TestServer>(ServerSetup{.rooms = {}, .operators = {}, .db = first->dbUrl()});
    }

    std::unique_ptr<TestServer> first;   // owns the database
    std::unique_ptr<TestServer> second;  // serves the same one; stopped first
};

TEST_F(TwoServers, SixteenClientsBookingOverlappingSpansNeverBothWin) {
    for (int round = 1; round <= 2; ++round)
        bookingRace({first.get(), second.get()}, kToday + std::chrono::days(round));
}

TEST_F(TwoServers, SequenceNumbersFromBothServersAreAllDifferent) {
    sequenceRace({first.get(), second.get()}, 20);
}

TEST_F(TwoServers, AHandedOutNumberSentByManyClientsAtOnceIsStoredOnce) {
    oneNumberRace({first.get(), second.get()});
}

TEST_F(TwoServers, RecurringBookingsRacingOverAWeekNeverOverlap) {
    const Date from = kToday + std::chrono::days(7), to = from + std::chrono::days(6);
    Outcome out;
    race({first.get(), second.get()}, out, [&](int i, TNetConnection& net) {
        std::string list = buildDateList(from, to, {true, true, true, true, true, true, true});
        NewBooking span = spanOf(i, from);
        checked(net.AppServer().Call("SetHrSala", {"0001", "ana", TAppServer::Arg::Ref(list), "00000", "A",
                                                   "Comitê", span.start, span.end, "101"}));
    });
    for (const auto& r : out.refusals)
        EXPECT_EQ(r, "Sala já está reservada na(s) data(s) e horário(s) informados.");
    for (Date day = from; day <= to; day += std::chrono::days(1)) {
        Packet agenda = agendaFrom(day.time_since_epoch().count() % 2 ? *first : *second, day);
        EXPECT_FALSE(agenda.rows.empty()) << formatShortDate(day);
        EXPECT_EQ(overlapsIn(agenda), std::vector<std::string>{}) << formatShortDate(day);
    }
}

TEST_F(TwoServers, AServerOutlivesTheLossOfItsDatabaseConnections) {
    TNetConnection net;
    first->configure(net);
    ASSERT_EQ(checked(net.AppServer().Call("GetSala")).rows.size(), 3u);
    runSql(first->dbUrl(),
           "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'age-server'"
           " AND datname = current_database()");
    EXPECT_EQ(checked(net.AppServer().Call("GetSala")).rows.size(), 3u);
    auto seq = textOf(checked(net.AppServer().Call("GetNrSeq", {"101", kToday})).rows.at(0).at(0));
    checked(net.AppServer().Call("SetAgendaSala",
                                 {deltaOf({insertOf(rowOf({.start = "0800", .end = "0900"}, seq))})}));
    EXPECT_EQ(agendaFrom(*second, kToday).rows.size(), 1u);
}

// A connection lost during COMMIT leaves the server unsure whether the change was stored; the answer must
// still say what the database did. The commit waits for a standby that never comes (the change is then
// committed locally) until the test ends the server's connection.
TEST_F(TwoServers, AChangeCommittedAsItsConnectionBreaksIsAnsweredAsStored) {
    const std::string db = first->dbUrl();
    // The test changes a setting of the whole cluster: only on a throwaway one, where commits wait for
    // nothing unless asked (the test's own database is), and with the rights to.
    if (querySql(db, "SHOW synchronous_commit") != "off" ||
        querySql(db, "SELECT rolsuper FROM pg_roles WHERE rolname = current_user") != "t")
        GTEST_SKIP() << "needs a throwaway cluster (synchronous_commit = off) and a superuser";
    TNetConnection net;
    first->configure(net);
    auto seq = textOf(checked(net.AppServer().Call("GetNrSeq", {"101", kToday})).rows.at(0).at(0));
    struct StandbyWanted {
        std::string url;
        explicit StandbyWanted(std::string u) : url(std::move(u)) {
            runSql(url, "ALTER SYSTEM SET synchronous_standby_names = 'age_test_nobody'");
            runSql(url, "SELECT pg_reload_conf()");
        }
        ~StandbyWanted() {
            runSql(url, "ALTER SYSTEM RESET synchronous_standby_names");
            runSql(url, "SELECT pg_reload_conf()");
        }
    } standby(db);
    // Only this database's connections wait for the standby; the throwaway cluster's others do not.
    runSql(db,
           "DO $$BEGIN EXECUTE format('ALTER DATABASE %I SET synchronous_commit = on', current_database());"
           " END$$");
    for (int i = 0; i < 100 && querySql(db, "SHOW synchronous_standby_names") != "age_test_nobody"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string serverBackends =
        " FROM pg_stat_activity WHERE application_name = 'age-server' AND datname = current_database()";
    runSql(db, "SELECT pg_terminate_backend(pid)" + serverBackends);  // the pool reconnects with the setting

    std::thread breaker([&] {
        for (int i = 0; i < 500; ++i) {
            if (querySql(db, "SELECT count(pg_terminate_backend(pid))" + serverBackends +
                                 " AND wait_event = 'SyncRep'") != "0")
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::string answer;
    try {
        checked(net.AppServer().Call("SetAgendaSala",
                                     {deltaOf({insertOf(rowOf({.start = "0800", .end = "0900"}, seq))})}));
        answer = "stored";
    } catch (const std::exception& e) {
        answer = e.what();
    }
    breaker.join();
    EXPECT_EQ(answer, "stored");
    Packet agenda = agendaFrom(*second, kToday);
    ASSERT_EQ(agenda.rows.size(), 1u);
    EXPECT_EQ(textOf(agenda.rows[0][NRSEQ]), seq);
    EXPECT_EQ(querySql(db, "SELECT count(*) FROM HISTORICO WHERE NRSEQAGESALA = '" + seq + "'"), "1");
}

}  // namespace
}  // namespace age::test
