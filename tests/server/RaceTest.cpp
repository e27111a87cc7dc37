// Many clients at once: the overlap rule and the sequence counters hold under contention.
#include <latch>
#include <mutex>
#include <set>
#include <thread>

#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

constexpr int kClients = 16;

std::string hourPlus(int minutesFromMidnight) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d", minutesFromMidnight / 60, minutesFromMidnight % 60);
    return buf;
}

class Race : public ServerTest {
  protected:
    Race() : ServerTest(ServerSetup{.threads = 4}) {}
};

TEST_P(Race, SixteenClientsBookingOverlappingSpansNeverBothWin) {
    for (int round = 0; round < 3; ++round) {
        const Date day = kToday + std::chrono::days(1 + round);
        std::latch ready(kClients);
        std::mutex m;
        std::vector<std::string> accepted, refusals, failures;
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back([&, i] {
                TNetConnection mine;
                server.configure(mine);
                // Spans of 60 minutes starting every 20 minutes from 08:00: each meets its neighbours.
                NewBooking b{
                    .start = hourPlus(8 * 60 + 20 * i), .end = hourPlus(9 * 60 + 20 * i), .day = day};
                // Every thread reaches the latch, even one whose preparation failed, so none waits forever.
                json delta;
                try {
                    auto seq =
                        Consiste::CheckResultServ(mine.AppServer().Call("GetNrSeq", {"101", day}), false, 0);
                    delta = deltaOf({insertOf(rowOf(b, textOf(seq.rows.at(0).at(0))))});
                } catch (const std::exception& e) {
                    std::lock_guard lock(m);
                    failures.push_back(std::string("GetNrSeq: ") + e.what());
                }
                ready.arrive_and_wait();
                if (delta.is_null()) return;
                try {
                    Consiste::CheckResultServ(mine.AppServer().Call("SetAgendaSala", {delta}), false, 0);
                    std::lock_guard lock(m);
                    accepted.push_back(b.start);
                } catch (const EServerError& e) {
                    std::lock_guard lock(m);
                    refusals.push_back(e.what());
                } catch (const std::exception& e) {
                    std::lock_guard lock(m);
                    failures.push_back(e.what());
                }
            });
        }
        for (auto& t : clients) t.join();

        EXPECT_TRUE(failures.empty()) << failures.size() << " calls failed, first: " << failures.front();
        EXPECT_FALSE(accepted.empty());
        EXPECT_FALSE(refusals.empty());
        for (const auto& r : refusals) EXPECT_EQ(r, "Sala já está reservada para este horário.");

        Packet stored = agenda("101", day);
        EXPECT_EQ(stored.rows.size(), accepted.size());
        for (std::size_t a = 0; a < stored.rows.size(); ++a)
            for (std::size_t b = a + 1; b < stored.rows.size(); ++b) {
                const Row& x = stored.rows[a];
                const Row& y = stored.rows[b];
                bool overlap = textOf(x[HRINI]) <= textOf(y[HRFIN]) && textOf(y[HRINI]) <= textOf(x[HRFIN]);
                EXPECT_FALSE(overlap) << textOf(x[HRINI]) << "-" << textOf(x[HRFIN]) << " and "
                                      << textOf(y[HRINI]) << "-" << textOf(y[HRFIN]);
            }
    }
}

TEST_P(Race, SequenceNumbersTakenAtOnceAreAllDifferent) {
    constexpr int kEach = 25;
    std::latch ready(kClients);
    std::mutex m;
    std::multiset<std::string> numbers;
    std::vector<std::string> failures;
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            TNetConnection mine;
            server.configure(mine);
            ready.arrive_and_wait();
            for (int k = 0; k < kEach; ++k) {
                try {
                    auto p = Consiste::CheckResultServ(mine.AppServer().Call("GetNrSeq", {"102", kToday}),
                                                       false, 0);
                    std::lock_guard lock(m);
                    numbers.insert(textOf(p.rows.at(0).at(0)));
                } catch (const std::exception& e) {
                    std::lock_guard lock(m);
                    failures.push_back(e.what());
                }
            }
        });
    }
    for (auto& t : clients) t.join();
    ASSERT_TRUE(failures.empty()) << failures.size() << " calls failed, first: " << failures.front();
    std::set<std::string> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers.size(), std::size_t{kClients * kEach});
    EXPECT_EQ(distinct.size(), numbers.size());
    EXPECT_EQ(*distinct.begin(), "00001");
    EXPECT_EQ(*distinct.rbegin(), "00400");
}

AGE_ON_EACH_BACKEND(Race);

}  // namespace
}  // namespace age::test
