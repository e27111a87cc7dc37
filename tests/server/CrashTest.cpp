// The server killed with SIGKILL, several times, while clients stream 98-day recurring bookings and change
// logs. After each restart every acknowledged call is stored whole and no call is half-applied (a call cut
// short by the kill is there whole or not at all), no scheduled bookings overlap, no number is stored twice
// in a room, and the counters are above every stored number (`age-server check` agrees).
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "common/BookingRules.h"
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using namespace std::chrono_literals;
using std::chrono::days;

constexpr int kRecurringClients = 3;
constexpr int kRounds = 3;
constexpr int kSlotsPerDay = 90;  // ten-minute slots from 06:00
constexpr int kDaysPerCall = 98;
const std::string kLogRoom = "L";

enum class Outcome { Acked, Refused, Unknown };

std::string hourAt(int minutes) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d%02d", minutes / 60, minutes % 60);
    return buf;
}

// Slot n of a room: its own hours on its own days, so every call finds its days free.
struct Slot {
    Date day;
    std::string start, end;
};
Slot slotOf(int n, int daysPerBlock) {
    int minutes = 6 * 60 + (n % kSlotsPerDay) * 10;
    return {kToday + days(1 + (n / kSlotsPerDay) * daysPerBlock), hourAt(minutes), hourAt(minutes + 8)};
}

// One SetHrSala call: 98 days from slot.day, in room "R<client>".
struct RecurringCall {
    std::string room, reference;
    Slot slot;
    Outcome outcome = Outcome::Unknown;
    std::set<std::string> seqs{};  // created, when acknowledged
};

// Change log k of room L: inserts booking k and renames booking `renames` (the one the log before it, when
// acknowledged in the same round, inserted).
struct LogCall {
    int k = 0;
    std::string seq{};
    int renames = -1;
    Outcome outcome = Outcome::Unknown;
};

std::string logReference(int k) {
    return "L-" + std::to_string(k);
}
std::string renamed(int k) {
    return logReference(k) + " por " + std::to_string(k + 1);
}

class Crash : public BackendParamTest {
  protected:
    // Client `c` books until the server dies under it (or the round ends).
    void recurringClient(int c, int& next, std::vector<RecurringCall>& calls, std::mutex& m) {
        TNetConnection net;
        server.configure(net);
        while (!stop) {
            RecurringCall call{.room = "R" + std::to_string(c),
                               .reference = "R" + std::to_string(c) + "-" + std::to_string(next),
                               .slot = slotOf(next, kDaysPerCall)};
            ++next;
            std::string list = buildDateList(call.slot.day, call.slot.day + days(kDaysPerCall - 1),
                                             {true, true, true, true, true, true, true});
            try {
                auto p = Consiste::CheckResultServ(
                    net.AppServer().Call(
                        "SetHrSala", {"0001", "ana", TAppServer::Arg::Ref(list), "00000", "A", call.reference,
                                      call.slot.start, call.slot.end, call.room}),
                    false, 0);
                call.outcome = Outcome::Acked;
                for (const auto& r : p.rows) call.seqs.insert(textOf(r[NRSEQ]));
            } catch (const EServerError&) {
                call.outcome = Outcome::Refused;
            } catch (const std::exception&) {
                call.outcome = Outcome::Unknown;
            }
            std::lock_guard lock(m);
            calls.push_back(call);
            if (call.outcome == Outcome::Unknown) return;
        }
    }

    void logClient(int& next, std::vector<LogCall>& calls) {
        TNetConnection net;
        server.configure(net);
        int previous = -1;  // acknowledged in this round, so its stored values are known
        while (!stop) {
            LogCall call{.k = next};
            try {
                call.seq = textOf(
                    Consiste::CheckResultServ(net.AppServer().Call("GetNrSeq", {kLogRoom, kToday}), false, 0)
                        .rows.at(0)
                        .at(0));
            } catch (const EServerError&) {  // held back: too many numbers asked
                std::this_thread::sleep_for(50ms);
                continue;
            } catch (const std::exception&) {
                return;
            }
            ++next;
            std::vector<data::Change> changes{insertOf(rowOf(logBooking(call.k), call.seq))};
            if (previous >= 0) {
                Row old = rowOf(logBooking(previous), calls[static_cast<std::size_t>(previous)].seq);
                changes.push_back(updateOf(old, with(old, DSAGENDA, renamed(previous))));
                call.renames = previous;
            }
            try {
                Consiste::CheckResultServ(net.AppServer().Call("SetAgendaSala", {deltaOf(changes)}), false,
                                          0);
                call.outcome = Outcome::Acked;
            } catch (const EServerError&) {
                call.outcome = Outcome::Refused;
            } catch (const std::exception&) {
                call.outcome = Outcome::Unknown;
            }
            calls.push_back(call);
            if (call.outcome == Outcome::Unknown) return;
            previous = call.outcome == Outcome::Acked ? call.k : -1;
        }
    }

    static NewBooking logBooking(int k) {
        Slot s = slotOf(k, 1);
        return {.start = s.start, .end = s.end, .room = kLogRoom, .day = s.day, .reference = logReference(k)};
    }

    // Every booking of the room from tomorrow to `last`.
    std::vector<Row> storedRows(TNetConnection& net, const std::string& room, Date last) {
        std::vector<Row> rows;
        for (Date day = kToday + days(1); day <= last; day += days(1)) {
            Packet p =
                Consiste::CheckResultServ(net.AppServer().Call("GetAgendaSala", {room, day}), false, 0);
            EXPECT_EQ(overlapsOf(p.rows), std::vector<std::string>{}) << room << " " << formatShortDate(day);
            rows.insert(rows.end(), p.rows.begin(), p.rows.end());
        }
        return rows;
    }

    static std::vector<std::string> overlapsOf(const std::vector<Row>& rows) {
        std::vector<std::string> found;
        for (std::size_t i = 0; i < rows.size(); ++i)
            for (std::size_t j = i + 1; j < rows.size(); ++j) {
                const Row &x = rows[i], &y = rows[j];
                if (textOf(x[IDSIT]) == "A" && textOf(y[IDSIT]) == "A" &&
                    textOf(x[HRINI]) <= textOf(y[HRFIN]) && textOf(y[HRINI]) <= textOf(x[HRFIN]))
                    found.push_back(textOf(x[NRSEQ]) + " and " + textOf(y[NRSEQ]));
            }
        return found;
    }

    ServerSetup setup() {
        ServerSetup s;
        s.rooms = {{kLogRoom, "Sala L"}};
        for (int c = 0; c < kRecurringClients; ++c) s.rooms.push_back({"R" + std::to_string(c), "Sala R"});
        return onBackend(s);
    }

    TestServer server{setup()};
    std::atomic<bool> stop{false};
};

TEST_P(Crash, AServerKilledDuringWritesLosesNoAcknowledgedCallAndHalfAppliesNone) {
    std::vector<RecurringCall> recurring;
    std::vector<LogCall> logs;
    std::vector<int> nextRecurring(kRecurringClients, 0);
    int nextLog = 0;
    std::mutex m;
    std::minstd_rand random(std::random_device{}());
    for (int round = 0; round < kRounds; ++round) {
        if (!server.running()) server.start();
        stop = false;
        std::vector<std::thread> clients;
        for (int c = 0; c < kRecurringClients; ++c)
            clients.emplace_back([&, c] { recurringClient(c, nextRecurring[c], recurring, m); });
        clients.emplace_back([&] { logClient(nextLog, logs); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + random() % 400));
        server.kill();
        stop = true;
        for (auto& t : clients) t.join();
    }
    server.start();

    // Every call went somewhere, and the kills cut some short.
    auto count = [](const auto& calls, Outcome o) {
        return std::count_if(calls.begin(), calls.end(), [&](const auto& c) { return c.outcome == o; });
    };
    ASSERT_GT(count(recurring, Outcome::Acked), 0);
    ASSERT_GT(count(logs, Outcome::Acked), 0);
    EXPECT_EQ(count(recurring, Outcome::Refused), 0);
    EXPECT_EQ(count(logs, Outcome::Refused), 0);

    TNetConnection net;
    server.configure(net);
    Date last = kToday + days(1 + (nextLog / kSlotsPerDay));
    for (int n : nextRecurring) last = std::max(last, slotOf(n, kDaysPerCall).day + days(kDaysPerCall));
    std::map<std::string, std::vector<Row>> byRoom;
    for (int c = 0; c < kRecurringClients; ++c)
        byRoom["R" + std::to_string(c)] = storedRows(net, "R" + std::to_string(c), last);
    byRoom[kLogRoom] = storedRows(net, kLogRoom, last);

    // No number stored twice in a room, and the room's next number is above all of them.
    for (auto& [room, rows] : byRoom) {
        std::set<std::string> seqs;
        for (const auto& r : rows)
            EXPECT_TRUE(seqs.insert(textOf(r[NRSEQ])).second) << room << textOf(r[NRSEQ]);
        std::string next =
            textOf(Consiste::CheckResultServ(net.AppServer().Call("GetNrSeq", {room, kToday}), false, 0)
                       .rows.at(0)
                       .at(0));
        if (!seqs.empty()) {
            EXPECT_GT(next, *seqs.rbegin()) << room;
        }
    }

    // A recurring call is stored on all its 98 days, as acknowledged, or on none.
    std::map<std::string, std::vector<Row>> byReference;
    for (auto& [room, rows] : byRoom)
        for (const auto& r : rows) byReference[textOf(r[DSAGENDA])].push_back(r);
    for (const auto& call : recurring) {
        const auto& rows = byReference[call.reference];
        if (call.outcome == Outcome::Acked) {
            std::set<std::string> seqs;
            for (const auto& r : rows) {
                seqs.insert(textOf(r[NRSEQ]));
                EXPECT_EQ(textOf(r[HRINI]) + textOf(r[HRFIN]) + textOf(r[CDSALA]),
                          call.slot.start + call.slot.end + call.room);
            }
            EXPECT_EQ(seqs, call.seqs) << call.reference;
        }
        EXPECT_TRUE(rows.size() == std::size_t{kDaysPerCall} ||
                    (rows.empty() && call.outcome != Outcome::Acked))
            << call.reference << ": " << rows.size() << " of " << kDaysPerCall << " days stored";
    }

    // A change log is stored with both its changes or with neither.
    std::map<std::string, std::string> referenceOfSeq;
    for (const auto& r : byRoom[kLogRoom]) referenceOfSeq[textOf(r[NRSEQ])] = textOf(r[DSAGENDA]);
    for (const auto& call : logs) {
        bool inserted = referenceOfSeq.count(call.seq) > 0;
        if (call.outcome == Outcome::Acked) {
            EXPECT_TRUE(inserted) << logReference(call.k);
        }
        if (call.renames < 0) continue;
        const std::string& seqOfRenamed = logs[static_cast<std::size_t>(call.renames)].seq;
        EXPECT_EQ(referenceOfSeq[seqOfRenamed] == renamed(call.renames), inserted)
            << logReference(call.k) << " half-applied: inserted " << inserted << ", renamed "
            << referenceOfSeq[seqOfRenamed];
    }

    server.stop();
    std::string out;
    EXPECT_EQ(server.admin({"check"}, &out), 0) << out;
}

AGE_ON_EACH_BACKEND(Crash);

}  // namespace
}  // namespace age::test
