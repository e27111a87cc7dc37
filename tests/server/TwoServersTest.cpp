// Two age-server processes on one PostgreSQL database: the overlap rule and the sequence counters hold
// across processes, and a server outlives the loss of its database connections.
#include <latch>
#include <mutex>
#include <set>
#include <thread>

#include "common/BookingRules.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/TestDatabase.h"

namespace age::test {
namespace {

constexpr int kClients = 16;
constexpr auto kTaken = "Sala já está reservada para este horário.";
constexpr auto kAllTaken = "Sala já está reservada na(s) data(s) e horário(s) informados.";

std::string hourAt(int minutes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d", minutes / 60, minutes % 60);
    return buf;
}

// Client i books 60 minutes from 08:00 + 20 i: each span meets its neighbours'.
NewBooking spanOf(int client, Date day) {
    return {.start = hourAt(8 * 60 + 20 * client), .end = hourAt(9 * 60 + 20 * client), .day = day};
}

// Every pair of scheduled bookings of the packet that overlap, both ends inclusive.
std::vector<std::string> overlapsIn(const Packet& agenda) {
    std::vector<std::string> found;
    for (std::size_t i = 0; i < agenda.rows.size(); ++i)
        for (std::size_t j = i + 1; j < agenda.rows.size(); ++j) {
            const Row& x = agenda.rows[i];
            const Row& y = agenda.rows[j];
            if (textOf(x[IDSIT]) != "A" || textOf(y[IDSIT]) != "A") continue;
            if (textOf(x[HRINI]) <= textOf(y[HRFIN]) && textOf(y[HRINI]) <= textOf(x[HRFIN]))
                found.push_back(textOf(x[HRINI]) + "-" + textOf(x[HRFIN]) + " and " + textOf(y[HRINI]) + "-" +
                                textOf(y[HRFIN]));
        }
    return found;
}

Packet checked(const json& result) {
    return Consiste::CheckResultServ(result, false, 0);
}

class TwoServers : public ::testing::Test {
  protected:
    void SetUp() override {
        AGE_REQUIRE_BACKEND(Backend::Postgres);
        first = std::make_unique<TestServer>(ServerSetup{.threads = 4, .db = "postgresql"});
        second = std::make_unique<TestServer>(
            ServerSetup{.rooms = {}, .operators = {}, .threads = 4, .db = first->dbUrl()});
    }

    const TestServer& serverOf(int client) const { return client % 2 == 0 ? *first : *second; }

    Packet agendaFrom(const TestServer& server, Date day) {
        TNetConnection net;
        server.configure(net);
        return checked(net.AppServer().Call("GetAgendaSala", {"101", day}));
    }

    // Runs `book` for each client at once, half on each server; collects refusals and other failures.
    void race(const std::function<void(int, TNetConnection&)>& book) {
        std::latch ready(kClients);
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i)
            clients.emplace_back([&, i] {
                TNetConnection net;
                serverOf(i).configure(net);
                ready.arrive_and_wait();
                try {
                    book(i, net);
                } catch (const EServerError& e) {
                    std::lock_guard lock(m);
                    refusals.push_back(e.what());
                } catch (const std::exception& e) {
                    std::lock_guard lock(m);
                    failures.push_back(e.what());
                }
            });
        for (auto& t : clients) t.join();
    }

    std::unique_ptr<TestServer> first;   // owns the database
    std::unique_ptr<TestServer> second;  // serves the same one; stopped first
    std::mutex m;
    std::vector<std::string> refusals, failures;
};

TEST_F(TwoServers, SixteenClientsBookingOverlappingSpansNeverBothWin) {
    for (int round = 0; round < 2; ++round) {
        const Date day = kToday + std::chrono::days(1 + round);
        refusals.clear();
        int accepted = 0;
        race([&](int i, TNetConnection& net) {
            auto seq = textOf(checked(net.AppServer().Call("GetNrSeq", {"101", day})).rows.at(0).at(0));
            checked(net.AppServer().Call("SetAgendaSala", {deltaOf({insertOf(rowOf(spanOf(i, day), seq))})}));
            std::lock_guard lock(m);
            ++accepted;
        });
        ASSERT_TRUE(failures.empty()) << failures.size() << " calls failed, first: " << failures.front();
        for (const auto& r : refusals) EXPECT_EQ(r, kTaken);
        EXPECT_GT(accepted, 0);
        EXPECT_FALSE(refusals.empty());

        Packet fromFirst = agendaFrom(*first, day);
        EXPECT_EQ(fromFirst.rows.size(), static_cast<std::size_t>(accepted));
        EXPECT_EQ(overlapsIn(fromFirst), std::vector<std::string>{});
        EXPECT_EQ(agendaFrom(*second, day).rows, fromFirst.rows);
    }
}

TEST_F(TwoServers, RecurringBookingsRacingOverAWeekNeverOverlap) {
    const Date from = kToday + std::chrono::days(7);
    const Date to = from + std::chrono::days(6);
    race([&](int i, TNetConnection& net) {
        std::string list = buildDateList(from, to, {true, true, true, true, true, true, true});
        NewBooking span = spanOf(i, from);
        checked(net.AppServer().Call("SetHrSala", {"0001", "ana", TAppServer::Arg::Ref(list), "00000", "A",
                                                   "Comitê", span.start, span.end, "101"}));
    });
    ASSERT_TRUE(failures.empty()) << failures.size() << " calls failed, first: " << failures.front();
    for (const auto& r : refusals) EXPECT_EQ(r, kAllTaken);
    for (Date day = from; day <= to; day += std::chrono::days(1)) {
        Packet agenda = agendaFrom(day.time_since_epoch().count() % 2 ? *first : *second, day);
        EXPECT_FALSE(agenda.rows.empty()) << formatShortDate(day);
        EXPECT_EQ(overlapsIn(agenda), std::vector<std::string>{}) << formatShortDate(day);
    }
}

TEST_F(TwoServers, SequenceNumbersFromBothServersAreAllDifferent) {
    constexpr int kEach = 20;
    std::multiset<std::string> numbers;
    race([&](int, TNetConnection& net) {
        for (int k = 0; k < kEach; ++k) {
            auto p = checked(net.AppServer().Call("GetNrSeq", {"102", kToday}));
            std::lock_guard lock(m);
            numbers.insert(textOf(p.rows.at(0).at(0)));
        }
    });
    ASSERT_TRUE(failures.empty()) << failures.size() << " calls failed, first: " << failures.front();
    std::set<std::string> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers.size(), std::size_t{kClients * kEach});
    EXPECT_EQ(distinct.size(), numbers.size());
    EXPECT_EQ(*distinct.rbegin(), "00320");
}

TEST_F(TwoServers, AServerOutlivesTheLossOfItsDatabaseConnections) {
    TNetConnection net;
    first->configure(net);
    ASSERT_EQ(checked(net.AppServer().Call("GetSala")).rows.size(), 3u);
    runSql(first->dbUrl(),
           "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'age-server'"
           " AND datname = current_database()");
    EXPECT_EQ(checked(net.AppServer().Call("GetSala")).rows.size(), 3u);
    NewBooking b{.start = "0800", .end = "0900"};
    auto seq = textOf(checked(net.AppServer().Call("GetNrSeq", {"101", kToday})).rows.at(0).at(0));
    checked(net.AppServer().Call("SetAgendaSala", {deltaOf({insertOf(rowOf(b, seq))})}));
    EXPECT_EQ(agendaFrom(*second, kToday).rows.size(), 1u);
}

}  // namespace
}  // namespace age::test
