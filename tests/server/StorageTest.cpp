// The storage interface on each backend: both must behave alike, row for row. Then what only the
// PostgreSQL backend has: the database's own overlap rule, conflicts to retry, a bounded pool.
#include <stdlib.h>

#include <filesystem>
#include <latch>
#include <mutex>
#include <set>
#include <thread>

#include "server/storage/Storage.h"
#include "tests/support/BackendTest.h"

namespace age::test {
namespace {

using namespace age::server;
using namespace std::chrono_literals;

const Date kDay = makeDate(2026, 12, 7);

class TempDir {
  public:
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "age-storage-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

Booking booking(std::string seq, std::string start, std::string end, std::string status = "A",
                std::string room = "101", Date day = kDay) {
    return {"0001",
            std::move(seq),
            std::move(status),
            "Reunião",
            std::move(room),
            day,
            "ana",
            "",
            std::move(start),
            std::move(end),
            makeDateTime(2026, 12, 1, 9, 30, 15)};
}

std::vector<std::string> startsOf(const std::vector<Booking>& bookings) {
    std::vector<std::string> out;
    for (const auto& b : bookings) out.push_back(b.start + "/" + b.seq);
    return out;
}

std::vector<std::string> spansOf(const std::vector<HourSpan>& spans) {
    std::vector<std::string> out;
    for (const auto& s : spans) out.push_back(s.start + "-" + s.end);
    return out;
}

class StorageTest : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        AGE_REQUIRE_BACKEND(GetParam());
        if (GetParam() == Backend::Postgres) scratch = std::make_unique<ScratchDatabase>();
        storage = open();
        storage->initSchema();
        auto tx = storage->write();
        tx->addRoom({"101", "Sala 101"});
        tx->addRoom({"102", "Sala 102"});
        tx->addOperator({"ana", "Ana Souza"});
        tx->commit();
    }

    std::string url() const {
        return scratch ? scratch->url() : "sqlite:" + (dir.path() / "agenda.db").string();
    }
    std::unique_ptr<Storage> open(int pool = 4) const { return openStorage(url(), {.pool = pool}); }

    void insert(const std::vector<Booking>& bookings) {
        auto tx = storage->write();
        for (const auto& b : bookings) ASSERT_TRUE(tx->insertBooking(b)) << b.seq;
        tx->commit();
    }

    TempDir dir;
    std::unique_ptr<ScratchDatabase> scratch;
    std::unique_ptr<Storage> storage;
};

TEST_P(StorageTest, CodesAreOrderedByteWiseAndAreNeverAddedTwice) {
    auto tx = storage->write();
    for (std::string code : {"b", "B", "a1", "A10", "10", "Á"})
        EXPECT_TRUE(tx->addRoom({code, "Sala " + code}));
    EXPECT_FALSE(tx->addRoom({"101", "Outra"}));
    EXPECT_FALSE(tx->addOperator({"ana", "Outra Ana"}));
    EXPECT_TRUE(tx->addOperator({"Bia", "Beatriz"}));
    tx->commit();

    auto read = storage->read();
    std::vector<std::string> codes;
    for (const auto& r : read->rooms()) codes.push_back(r.code);
    EXPECT_EQ(codes, (std::vector<std::string>{"10", "101", "102", "A10", "B", "a1", "b", "Á"}));
    EXPECT_EQ(read->roomName("101"), "Sala 101");
    EXPECT_EQ(read->roomName("Á"), "Sala Á");
    EXPECT_EQ(read->roomName("999"), std::nullopt);
    ASSERT_EQ(read->operators().size(), 2u);
    EXPECT_EQ(read->operators()[0].code, "Bia");
    EXPECT_EQ(read->operatorName("ana"), "Ana Souza");
    EXPECT_EQ(read->operatorName("zé"), std::nullopt);
}

TEST_P(StorageTest, ABookingReadsBackAsStoredAndEmptyValuesComeBackEmpty) {
    Booking full = booking("00001", "0800", "0900");
    Booking sparse = booking("00002", "1000", "1100", "C");
    sparse.branch = "";
    sparse.operatorCode = "zé";  // not an operator: no name
    sparse.stamp.reset();
    insert({full, sparse});

    auto tx = storage->write();
    EXPECT_FALSE(tx->insertBooking(booking("00001", "1400", "1500")));  // the key is taken
    tx->commit();

    auto read = storage->read();
    auto stored = read->bookings("101", kDay);
    ASSERT_EQ(stored.size(), 2u);
    full.operatorName = "Ana Souza";
    for (const auto& [got, want] : {std::pair{stored[0], full}, std::pair{stored[1], sparse}}) {
        EXPECT_EQ(got.branch, want.branch);
        EXPECT_EQ(got.seq, want.seq);
        EXPECT_EQ(got.status, want.status);
        EXPECT_EQ(got.reference, want.reference);
        EXPECT_EQ(got.room, want.room);
        EXPECT_EQ(got.day, want.day);
        EXPECT_EQ(got.operatorCode, want.operatorCode);
        EXPECT_EQ(got.operatorName, want.operatorName);
        EXPECT_EQ(got.start, want.start);
        EXPECT_EQ(got.end, want.end);
        EXPECT_EQ(got.stamp, want.stamp);
    }
    auto one = read->booking("101", "00002");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->status, "C");
    EXPECT_FALSE(read->booking("102", "00001"));
}

TEST_P(StorageTest, ADaysBookingsComeByStartThenSequenceAndOnlyScheduledOnesOccupy) {
    insert({booking("00003", "0900", "0930"), booking("00002", "0800", "0845", "E"),
            booking("00001", "0900", "0930", "C"), booking("00004", "1400", "1500"),
            booking("00005", "0700", "0800", "A", "102"),
            booking("00006", "0700", "0800", "A", "101", kDay + std::chrono::days(1))});
    auto read = storage->read();
    EXPECT_EQ(startsOf(read->bookings("101", kDay)),
              (std::vector<std::string>{"0800/00002", "0900/00001", "0900/00003", "1400/00004"}));
    EXPECT_EQ(spansOf(read->scheduledHours("101", kDay)),
              (std::vector<std::string>{"0900-0930", "1400-1500"}));
    EXPECT_EQ(spansOf(read->scheduledHoursExcept("101", kDay, "00003")),
              (std::vector<std::string>{"1400-1500"}));
    EXPECT_TRUE(read->bookings("201", kDay).empty());
}

TEST_P(StorageTest, SequenceCountersArePerRoomAndOnlyGoUp) {
    auto tx = storage->write();
    EXPECT_EQ(tx->nextSeq("101"), 1);
    EXPECT_EQ(tx->nextSeq("101"), 2);
    EXPECT_EQ(tx->nextSeq("102"), 1);
    tx->reserveSeq("101", 10);
    EXPECT_EQ(tx->nextSeq("101"), 11);
    tx->reserveSeq("101", 5);
    EXPECT_EQ(tx->nextSeq("101"), 12);
    tx->reserveSeq("102", 7);  // a room whose counter is new
    EXPECT_EQ(tx->nextSeq("102"), 8);
    tx->commit();
}

TEST_P(StorageTest, UpdatesAndDeletesSayWhetherTheBookingWasThere) {
    insert({booking("00001", "0800", "0900")});
    Booking changed = booking("00001", "0830", "0930", "C");
    changed.reference = "Outra pauta";
    changed.operatorCode = "";
    changed.stamp.reset();
    auto tx = storage->write();
    EXPECT_TRUE(tx->updateBooking(changed));
    EXPECT_FALSE(tx->updateBooking(booking("00009", "0800", "0900")));
    tx->commit();

    auto stored = storage->read()->booking("101", "00001");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->status, "C");
    EXPECT_EQ(stored->reference, "Outra pauta");
    EXPECT_EQ(stored->start, "0830");
    EXPECT_EQ(stored->operatorCode, "");
    EXPECT_FALSE(stored->stamp);

    tx = storage->write();
    EXPECT_TRUE(tx->deleteBooking("101", "00001"));
    EXPECT_FALSE(tx->deleteBooking("101", "00001"));
    tx->commit();
    EXPECT_FALSE(storage->read()->booking("101", "00001"));
}

TEST_P(StorageTest, ATransactionNotCommittedLeavesNothing) {
    {
        auto tx = storage->write();
        tx->addRoom({"201", "Auditório"});
        EXPECT_EQ(tx->nextSeq("101"), 1);
        tx->insertBooking(booking("00001", "0800", "0900"));
    }
    auto tx = storage->write();
    EXPECT_EQ(tx->roomName("201"), std::nullopt);
    EXPECT_TRUE(tx->bookings("101", kDay).empty());
    EXPECT_EQ(tx->nextSeq("101"), 1);
}

TEST_P(StorageTest, AReadTransactionSeesOneMomentOfTheData) {
    auto read = storage->read();
    ASSERT_EQ(read->rooms().size(), 2u);
    auto tx = storage->write();
    tx->addRoom({"201", "Auditório"});
    tx->commit();
    EXPECT_EQ(read->rooms().size(), 2u);
    EXPECT_EQ(read->roomName("201"), std::nullopt);
    read.reset();
    EXPECT_EQ(storage->read()->rooms().size(), 3u);
}

// The guarantee the overlap check relies on: a writer that locked the room sees every booking committed by
// the writer before it.
TEST_P(StorageTest, WritersOfARoomTakeTurns) {
    auto first = storage->write();
    first->lockRoom("101");
    ASSERT_TRUE(first->insertBooking(booking("00001", "0800", "0900")));

    std::vector<std::string> seenBySecond;
    std::string error;
    std::thread second([&] {
        try {
            auto tx = storage->write();
            tx->lockRoom("101");
            seenBySecond = spansOf(tx->scheduledHours("101", kDay));
            tx->commit();
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    std::this_thread::sleep_for(
        200ms);  // lets the second writer reach its wait; the outcome does not depend on it
    first->commit();
    second.join();
    EXPECT_EQ(error, "");
    EXPECT_EQ(seenBySecond, (std::vector<std::string>{"0800-0900"}));
}

TEST_P(StorageTest, TextWithANulCharacterMatchesNothing) {
    insert({booking("00001", "0800", "0900")});
    const std::string room("101\0junk", 8);
    auto read = storage->read();
    EXPECT_EQ(read->roomName(room), std::nullopt);
    EXPECT_TRUE(read->bookings(room, kDay).empty());
    EXPECT_TRUE(read->scheduledHours(room, kDay).empty());
    EXPECT_FALSE(read->booking(room, "00001"));
}

TEST_P(StorageTest, SchemaSetUpByServersStartingTogetherAndAgainKeepsTheData) {
    std::unique_ptr<ScratchDatabase> fresh;
    std::string freshUrl = "sqlite:" + (dir.path() / "fresh.db").string();
    if (GetParam() == Backend::Postgres) {
        fresh = std::make_unique<ScratchDatabase>();
        freshUrl = fresh->url();
    }
    constexpr int kServers = 4;
    std::latch ready(kServers);
    std::mutex m;
    std::vector<std::string> errors;
    std::vector<std::thread> servers;
    for (int i = 0; i < kServers; ++i)
        servers.emplace_back([&] {
            try {
                auto s = openStorage(freshUrl, {.pool = 1});
                ready.arrive_and_wait();
                s->initSchema();
            } catch (const std::exception& e) {
                std::lock_guard lock(m);
                errors.push_back(e.what());
            }
        });
    for (auto& t : servers) t.join();
    EXPECT_TRUE(errors.empty()) << errors.front();

    auto again = openStorage(url());
    again->initSchema();
    EXPECT_EQ(again->read()->rooms().size(), 2u);
}

AGE_ON_EACH_BACKEND(StorageTest);

class PostgresOnly : public StorageTest {};

TEST_P(PostgresOnly, TheDatabaseItselfRefusesOverlappingScheduledBookings) {
    insert({booking("00001", "0800", "0900"), booking("00002", "0830", "0930", "C"),
            booking("00003", "0800", "0900", "A", "102"),
            booking("00004", "0800", "0900", "A", "101", kDay + std::chrono::days(1))});
    for (const auto& clash : {booking("00005", "0900", "1000"), booking("00005", "0700", "0800"),
                              booking("00005", "0815", "0830")}) {
        auto tx = storage->write();
        EXPECT_THROW(tx->insertBooking(clash), StorageOverlap) << clash.start << "-" << clash.end;
    }
    auto tx = storage->write();
    EXPECT_THROW(tx->updateBooking(booking("00002", "0830", "0930")), StorageOverlap);  // C back to A
    tx.reset();
    tx = storage->write();
    EXPECT_TRUE(tx->insertBooking(booking("00005", "0901", "1000")));
    tx->commit();
}

TEST_P(PostgresOnly, ADeadlockIsAConflictToRunAgain) {
    auto a = storage->write();
    auto b = storage->write();
    a->lockRoom("101");
    b->lockRoom("102");
    std::string aOutcome;
    std::thread t([&] {
        try {
            a->lockRoom("102");
            a->commit();
            aOutcome = "committed";
        } catch (const StorageConflict&) {
            aOutcome = "conflict";
        } catch (const std::exception& e) {
            aOutcome = e.what();
        }
    });
    std::string bOutcome;
    try {
        b->lockRoom("101");
        b->commit();
        bOutcome = "committed";
    } catch (const StorageConflict&) {
        bOutcome = "conflict";
        b.reset();  // rolls back, which lets the other one through
    } catch (const std::exception& e) {
        bOutcome = e.what();
    }
    t.join();
    EXPECT_EQ((std::multiset<std::string>{aOutcome, bOutcome}),
              (std::multiset<std::string>{"committed", "conflict"}));
}

TEST_P(PostgresOnly, ThePoolKeepsToItsSize) {
    constexpr int kPool = 3, kThreads = 8, kEach = 20;
    auto pooled = open(kPool);
    std::mutex m;
    std::set<long> numbers;
    std::vector<std::string> errors;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < kEach; ++k) {
                try {
                    auto tx = pooled->write();
                    long n = tx->nextSeq("101");
                    tx->commit();
                    std::lock_guard lock(m);
                    numbers.insert(n);
                } catch (const std::exception& e) {
                    std::lock_guard lock(m);
                    errors.push_back(e.what());
                }
            }
        });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(errors.empty()) << errors.front();
    EXPECT_EQ(numbers.size(), std::size_t{kThreads * kEach});
    std::string open = querySql(url(),
                                "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'age-server'"
                                " AND datname = current_database()");
    // The fixture's own storage keeps its connection too.
    EXPECT_LE(std::stoi(open), kPool + 1);
}

TEST_P(PostgresOnly, ConnectionsTheDatabaseDroppedAreReplaced) {
    auto pooled = open(4);
    {
        // Four connections open and idle in the pool.
        std::vector<std::unique_ptr<Transaction>> held;
        for (int i = 0; i < 4; ++i) held.push_back(pooled->read());
    }
    runSql(url(),
           "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'age-server'"
           " AND datname = current_database()");
    int conflicts = 0;
    std::size_t rooms = 0;
    for (int attempt = 0; attempt < 3 && rooms == 0; ++attempt) {
        try {
            rooms = pooled->read()->rooms().size();
        } catch (const StorageConflict&) {
            ++conflicts;
        }
    }
    EXPECT_EQ(rooms, 2u);
    EXPECT_LE(conflicts, 1) << "every dropped connection failed a call of its own";
}

INSTANTIATE_TEST_SUITE_P(, PostgresOnly, ::testing::Values(Backend::Postgres),
                         [](const auto& info) { return backendName(info.param); });

}  // namespace
}  // namespace age::test
