// Other clients' quick calls while two clients fetch the largest day there may be (1,000 bookings with
// 1,000-character references, about 1.2 MB) in a loop, on a temporary SQLite file.
//
//   fair_share [--calls N] [--threads N] [--backend sqlite|postgresql]   (postgresql: on AGE_TEST_PG_URL)
//
// Prints GetSysdate p50 and p99 idle and under that load, and the ratio of the p99s (target: within 2x).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/Booking.h"
#include "common/Dates.h"
#include "platform/rpc/Wire.h"
#include "tests/support/TestServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using age::test::LineClient;
using nlohmann::json;

constexpr int kBookings = 1000;
constexpr int kPerChange = 200;  // bookings per change log: a line stays under 1 MiB
const std::string kDay = "2026-12-08";

struct Stats {
    double p50, p99;  // milliseconds
};

// Adds the milliseconds of `calls` GetSysdate round trips to `ms`.
void sysdates(LineClient& client, int calls, std::vector<double>& ms) {
    for (int i = 0; i < calls; ++i) {
        auto t0 = Clock::now();
        client.call("GetSysdate", json::array());
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
}

Stats stats(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    return {at(0.50), at(0.99)};
}

std::vector<age::data::FieldDef> bookingFields() {
    std::vector<age::data::FieldDef> fields;
    for (const auto& f : age::kBookingFields) {
        auto type = f.type == age::ColumnType::Date       ? age::data::FieldType::Date
                    : f.type == age::ColumnType::DateTime ? age::data::FieldType::DateTime
                                                          : age::data::FieldType::String;
        fields.push_back({std::string(f.name), type, type == age::data::FieldType::String ? f.size : 0});
    }
    return fields;
}

void apply(LineClient& client, std::vector<age::data::Change> changes) {
    json log = age::rpc::changeLogToJson({bookingFields(), std::move(changes)});
    json r = client.call("SetAgendaSala", json::array({log}));
    if (r["result"]["ok"] != true) throw std::runtime_error("seeding failed: " + r.dump().substr(0, 300));
}

std::string hour(int minutes) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d%02d", minutes / 60, minutes % 60);
    return buf;
}

// Books `n` two-minute bookings of room 101 on kDay from minute 0 on.
void book(LineClient& client, int n) {
    std::vector<age::data::Change> inserts;
    for (int i = 0; i < n; ++i) {
        json seq;
        while (!seq.is_string()) {  // a client asking fast may be told to wait
            json r = client.call("GetNrSeq", json::array({"101", kDay}));
            if (r["result"]["ok"] == true)
                seq = r["result"]["data"]["rows"][0][0];
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        age::data::Row row{std::string("0001"),    seq.get<std::string>(), std::string("A"),
                           std::string(1000, 'r'), std::string("101"),     *age::parseIsoDate(kDay),
                           std::string("ana"),     std::monostate{},       hour(2 * i),
                           hour(2 * i + 1),        std::monostate{}};
        inserts.push_back({age::data::ChangeOp::Insert, {}, std::move(row)});
        if (inserts.size() == kPerChange || i == n - 1) apply(client, std::move(inserts)), inserts.clear();
    }
}

// Cancels every scheduled booking of the day (cancelled ones free the room but stay in the day's list).
void cancelAll(LineClient& client) {
    json r = client.call("GetAgendaSala", json::array({"101", kDay}));
    auto packet = age::rpc::envelopeFromJson(r["result"]).data.value();
    std::vector<age::data::Change> updates;
    for (const auto& row : packet.rows) {
        auto cancelled = row;
        cancelled[2] = std::string("C");
        updates.push_back({age::data::ChangeOp::Update, row, cancelled});
        if (updates.size() == kPerChange) apply(client, std::move(updates)), updates.clear();
    }
    if (!updates.empty()) apply(client, std::move(updates));
}

}  // namespace

int main(int argc, char** argv) {
    int calls = 20000;
    int threads = 0;  // the server's network threads; 0: its default
    std::string db;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--calls")) calls = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--threads")) threads = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--backend") && !std::strcmp(argv[i + 1], "postgresql")) db = "postgresql";
    }
    age::test::TestServer server(age::test::ServerSetup{.threads = threads, .db = db});
    {
        LineClient seeder(server.host(), server.port());
        book(seeder, kBookings / 2);
        cancelAll(seeder);
        book(seeder, kBookings / 2);
    }
    LineClient probe(server.host(), server.port());
    std::string day = LineClient::request(1, "GetAgendaSala", json::array({"101", kDay}));
    std::size_t replyBytes = 0;
    {
        LineClient one(server.host(), server.port());
        one.sendLine(day);
        replyBytes = one.readLine(std::chrono::seconds(30)).value().size();
    }
    std::printf("day of %d bookings: reply of %.2f MB; server threads %d\n", kBookings, replyBytes / 1e6,
                threads);

    // Idle and loaded rounds alternate, so that a change of the machine's other load touches both alike.
    std::atomic<bool> stop{false}, paused{true};
    std::atomic<long> fetched{0};
    std::vector<std::thread> heavy;
    for (int i = 0; i < 2; ++i)
        heavy.emplace_back([&] {
            LineClient client(server.host(), server.port());
            while (!stop) {
                if (paused) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                client.sendLine(day);
                if (!client.readLine(std::chrono::seconds(30))) break;
                ++fetched;
            }
        });
    const int rounds = 10;
    std::vector<double> idleMs, loadedMs;
    double loadedSeconds = 0;
    for (int i = 0; i < 50; ++i) probe.call("GetSysdate", json::array());
    for (int round = 0; round < rounds; ++round) {
        paused = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a day still in flight ends
        sysdates(probe, calls / rounds, idleMs);
        paused = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto t0 = Clock::now();
        sysdates(probe, calls / rounds, loadedMs);
        loadedSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    stop = true;
    for (auto& t : heavy) t.join();
    Stats idle = stats(idleMs), loaded = stats(loadedMs);
    double seconds = loadedSeconds + 0.1 * rounds;  // days are fetched during the settling pauses too

    std::printf("%-40s p50 %7.3f ms  p99 %7.3f ms\n", "GetSysdate, idle", idle.p50, idle.p99);
    std::printf("%-40s p50 %7.3f ms  p99 %7.3f ms\n", "GetSysdate, 2 clients fetching the day", loaded.p50,
                loaded.p99);
    std::printf("%-40s %.1f/s\n", "  days fetched meanwhile", fetched / seconds);
    std::printf("%-40s %.2fx (target: within 2x)\n", "ratio of p99", loaded.p99 / idle.p99);
    return 0;
}
