// The storage interface on each backend: both must behave alike, row for row. Then what only the
// PostgreSQL backend has: the database's own overlap rule, conflicts to retry, a bounded pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "server/storage/Storage.h"
#include "tests/support/TestDatabase.h"
#include "tests/support/TestServer.h"

namespace age::test {
namespace {

using namespace age::server;
using namespace std::chrono_literals;

const Date kDay = makeDate(2026, 12, 7);

Booking booking(const std::string& seq, const std::string& start, const std::string& end,
                const std::string& status = "A", const std::string& room = "101", Date day = kDay) {
    return Booking("0001", seq, status, "Reunião", room, day, "ana", "", start, end,
                   makeDateTime(2026, 12, 1, 9, 30, 15));
}

auto fieldsOf(const Booking& b) {
    return std::tie(b.branch, b.seq, b.status, b.reference, b.room, b.day, b.operatorCode, b.operatorName,
                    b.start, b.end, b.stamp);
}

std::vector<std::string> spansOf(const std::vector<HourSpan>& spans) {
    std::vector<std::string> out;
    for (const auto& s : spans) out.push_back(s.start + "-" + s.end);
    return out;
}

// Runs `work` on `n` threads at once; the messages of what they threw.
std::vector<std::string> onThreads(int n, const std::function<void()>& work) {
    std::latch ready(n);
    std::mutex m;
    std::vector<std::string> errors;
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&] {
            ready.arrive_and_wait();
            try {
                work();
            } catch (const std::exception& e) {
                std::lock_guard lock(m);
                errors.push_back(e.what());
            }
        });
    for (auto& t : threads) t.join();
    return errors;
}

class StorageTest : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        AGE_REQUIRE_BACKEND(GetParam());
        db = std::make_unique<TestServer>(
            ServerSetup{.rooms = {{"101", "Sala 101"}, {"102", "Sala 102"}},
                        .operators = {{"ana", "Ana Souza"}},
                        .start = false,
                        .db = GetParam() == Backend::Postgres ? "postgresql" : ""});
        storage = open();
    }

    std::string url() const { return db->dbUrl(); }
    std::unique_ptr<Storage> open(int pool = 4) const { return openStorage(url(), {.pool = pool}); }

    void insert(const std::vector<Booking>& bookings) {
        auto tx = storage->write();
        for (const auto& b : bookings) ASSERT_TRUE(tx->insertBooking(b)) << b.seq;
        tx->commit();
    }

    std::unique_ptr<TestServer> db;  // a fresh database set up by the admin commands; the server is not run
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
    EXPECT_EQ(read->roomName("Á"), "Sala Á");
    EXPECT_EQ(read->roomName("999"), std::nullopt);
    ASSERT_EQ(read->operators().size(), 2u);
    EXPECT_EQ(read->operators()[0].code, "Bia");
    EXPECT_EQ(read->operatorName("ana"), "Ana Souza");
    EXPECT_EQ(read->operatorName("zé"), std::nullopt);
}

TEST_P(StorageTest, BookingsReadBackAsStoredAndEmptyValuesComeBackEmpty) {
    Booking full = booking("00001", "0800", "0900");
    Booking sparse = booking("00002", "1000", "1100", "C");
    sparse.branch = "";          // empty values come back empty
    sparse.operatorCode = "zé";  // not an operator: no name
    sparse.stamp.reset();
    insert({full, sparse});
    auto tx = storage->write();
    EXPECT_FALSE(tx->insertBooking(booking("00001", "1400", "1500")));  // the key is taken
    tx->commit();
    full.operatorName = "Ana Souza";
    auto stored = storage->read()->bookings("101", kDay);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(fieldsOf(stored[0]), fieldsOf(full));
    EXPECT_EQ(fieldsOf(stored[1]), fieldsOf(sparse));
    EXPECT_FALSE(storage->read()->booking("102", "00001"));

    Booking changed = booking("00001", "0830", "0930", "E");
    changed.reference = "Outra pauta";
    changed.operatorCode = "";
    changed.stamp.reset();
    tx = storage->write();
    EXPECT_TRUE(tx->updateBooking(changed));
    EXPECT_FALSE(tx->updateBooking(booking("00009", "0800", "0900")));
    tx->commit();
    EXPECT_EQ(fieldsOf(storage->read()->booking("101", "00001").value()), fieldsOf(changed));
}

// The overlap check of a recurring booking: one query over the period, ends of spans included.
TEST_P(StorageTest, ClashingDaysAreTheScheduledOverlapsOfTheRoomWithinThePeriod) {
    auto day = [](int n) { return kDay + std::chrono::days(n); };
    insert({booking("00001", "0800", "0900", "A", "101", day(0)),   // touches the start
            booking("00002", "0900", "1000", "C", "101", day(1)),   // cancelled
            booking("00003", "0900", "1000", "A", "102", day(2)),   // another room
            booking("00004", "0930", "0945", "A", "101", day(3)),   // inside
            booking("00005", "1000", "1200", "A", "101", day(4)),   // touches the end
            booking("00006", "1001", "1100", "A", "101", day(5)),   // after
            booking("00007", "0900", "1000", "A", "101", day(-1)),  // before the period
            booking("00008", "0900", "1000", "A", "101", day(10)),  // after the period
            booking("00009", "1300", "1400", "A", "101", day(3))});  // free, same day as a clash
    EXPECT_EQ(storage->read()->clashingDays("101", day(0), day(9), {"0900", "1000"}),
              (std::set<Date>{day(0), day(3), day(4)}));
    // The same in one pass with each day's count, cancelled bookings counted too.
    std::map<Date, std::pair<long, bool>> loads;
    for (const auto& [d, load] : storage->read()->dayLoads("101", day(0), day(9), {"0900", "1000"}))
        loads[d] = {load.bookings, load.clashes};
    EXPECT_EQ(loads, (std::map<Date, std::pair<long, bool>>{
                         {day(0), {1, true}}, {day(1), {1, false}}, {day(3), {2, true}}, {day(4), {1, true}},
                         {day(5), {1, false}}}));

    auto tx = storage->write();
    EXPECT_EQ(tx->nextSeqs("102", 5), 1);  // a block of numbers for the days of a recurring booking
    EXPECT_EQ(tx->nextSeq("102"), 6);
}

TEST_P(StorageTest, AnUncommittedWriteLeavesNothingAndAReadSeesOneMoment) {
    auto read = storage->read();
    ASSERT_EQ(read->rooms().size(), 2u);
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
    tx->addRoom({"201", "Auditório"});
    tx->commit();
    EXPECT_EQ(read->roomName("201"), std::nullopt);  // committed after the read began
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
    // Lets the second writer reach its wait; the outcome does not depend on it.
    std::this_thread::sleep_for(200ms);
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
    if (GetParam() == Backend::Postgres) fresh = std::make_unique<ScratchDatabase>();
    const std::string freshUrl = fresh ? fresh->url() : "sqlite:" + (db->dir() / "fresh.db").string();
    auto errors = onThreads(4, [&] { openStorage(freshUrl, {.pool = 1})->initSchema(); });
    EXPECT_TRUE(errors.empty()) << errors.front();

    auto again = open();
    again->initSchema();
    EXPECT_EQ(again->read()->rooms().size(), 2u);
}

TEST_P(StorageTest, CredentialsSessionsAndHistoryReadBackAsStored) {
    auto tx = storage->write();
    EXPECT_EQ(tx->pruneHistory(makeDateTime(2100, 1, 1)), 3);  // the set-up's commands: two rooms, one operator
    EXPECT_EQ(tx->credential("ana")->passwordHash, "");  // no password yet, enabled
    EXPECT_TRUE(tx->credential("ana")->enabled);
    EXPECT_FALSE(tx->credential("zé"));
    EXPECT_TRUE(tx->setPasswordHash("ana", "$argon2id$x"));
    EXPECT_FALSE(tx->setPasswordHash("zé", "$argon2id$y"));
    EXPECT_TRUE(tx->setOperatorEnabled("ana", false));
    EXPECT_FALSE(tx->setOperatorEnabled("zé", false));
    const DateTime t = makeDateTime(2026, 12, 7, 10, 0, 0);
    SessionRecord early{"h1", "p1", "ana", "", "10.0.0.1:5000", t, t + 1h};
    SessionRecord late{"h2", "p2", "ana", "", "10.0.0.2:5000", t + 1min, t + 12h};
    tx->addSession(late);
    tx->addSession(early);
    HistoryEntry change{0, t, "ana", "10.0.0.1:5000", "SetAgendaSala", "update", "101", "00001", kDay,
                        R"({"A":1})", R"({"A":2})"};
    tx->addHistory(change);
    tx->addHistory({0, t + 1s, "", "local:root", "room add", "add", "", "", std::nullopt, "", R"({"B":1})"});
    tx->commit();

    auto read = storage->read();
    EXPECT_EQ(read->credential("ana")->passwordHash, "$argon2id$x");
    EXPECT_FALSE(read->credential("ana")->enabled);
    auto sessions = read->sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0].tokenHash, "h1");  // oldest first
    EXPECT_EQ(sessions[0].operatorName, "Ana Souza");
    EXPECT_EQ(sessions[1].expires, t + 12h);
    EXPECT_EQ(read->session("h2")->address, "10.0.0.2:5000");
    EXPECT_FALSE(read->session("h3"));
    auto all = read->history({});
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].method, "room add");  // newest first
    EXPECT_FALSE(all[0].day);
    EXPECT_EQ(all[1].day, kDay);
    EXPECT_EQ(all[1].oldValues, R"({"A":1})");
    EXPECT_EQ(read->history({.day = kDay}).size(), 1u);
    EXPECT_EQ(read->history({.operatorCode = "ana"}).size(), 1u);
    EXPECT_EQ(read->history({.since = kDay + std::chrono::days(1)}).size(), 0u);
    read.reset();

    tx = storage->write();
    EXPECT_EQ(tx->deleteExpiredSessions(t + 2h), 1);
    EXPECT_TRUE(tx->deleteSession("h2"));
    EXPECT_FALSE(tx->deleteSession("h2"));
    EXPECT_EQ(tx->pruneHistory(t + 1s), 1);
    tx->commit();
    EXPECT_TRUE(storage->read()->sessions().empty());
    EXPECT_EQ(storage->read()->history({}).size(), 1u);
}

// The reads that calls make with one statement: the same answers as read() gives; a second statement on
// the same transaction is refused, since outside a transaction it would not see the moment of the first.
// GetNrSeq's write (one statement on PostgreSQL): the next number, kept pending; nothing taken for an
// unknown room or a used-up range; numbers taken at once from several threads all differ.
TEST_P(StorageTest, AHandedOutSeqIsTheNextNumberKeptPendingAndNoneIsTakenTwice) {
    using Outcome = HandedOutSeq::Outcome;
    auto first = storage->handOutSeq("101");
    ASSERT_EQ(first.outcome, Outcome::Number);
    EXPECT_EQ(first.number, 1);
    EXPECT_EQ(storage->handOutSeq("101").number, 2);
    EXPECT_EQ(storage->handOutSeq("999").outcome, Outcome::UnknownRoom);
    EXPECT_EQ(storage->handOutSeq(std::string("101\0", 4)).outcome, Outcome::UnknownRoom);
    {
        auto tx = storage->write();
        tx->setSeqCounter({"102", 41, 41});
        tx->commit();
    }
    EXPECT_EQ(storage->handOutSeq("102").outcome, Outcome::Exhausted);
    EXPECT_EQ(storage->read()->seqsInUse("102"), std::vector<long>{});

    std::mutex m;
    std::set<long> taken;
    auto errors = onThreads(4, [&] {
        for (int i = 0; i < 25; ++i) {
            auto seq = storage->handOutSeq("101");
            std::lock_guard lock(m);
            EXPECT_TRUE(taken.insert(seq.number).second) << seq.number;
        }
    });
    EXPECT_EQ(errors, std::vector<std::string>{});
    EXPECT_EQ(taken.size(), 100u);
    EXPECT_EQ(storage->read()->seqsInUse("101").size(), 102u);  // every number pending
    auto tx = storage->write();
    EXPECT_TRUE(tx->claimPendingSeq("101", 2));
    EXPECT_FALSE(tx->claimPendingSeq("101", 103));
}

// Writes from many threads at once (which SQLite commits together): each is there for a new read the
// moment its commit() returns, and one rolled back among them takes none of the others with it.
TEST_P(StorageTest, ConcurrentWritesAreReadableWhenCommitReturnsAndARollbackUndoesOnlyItself) {
    constexpr int kThreads = 6, kEach = 60;
    std::atomic<int> next{0}, unseen{0};
    auto errors = onThreads(kThreads, [&] {
        for (int i = 0; i < kEach; ++i) {
            int n = next++;
            std::string code = "G" + std::to_string(n);
            {
                auto tx = storage->write();
                ASSERT_TRUE(tx->addRoom({code, "Sala " + code}));
                if (n % 3 == 2) continue;  // destroyed without commit
                tx->commit();
            }
            if (!storage->readOne()->roomName(code)) ++unseen;
        }
    });
    EXPECT_EQ(errors, std::vector<std::string>{});
    EXPECT_EQ(unseen.load(), 0);
    std::set<std::string> stored;
    for (const auto& r : storage->read()->rooms())
        if (r.code.starts_with("G")) stored.insert(r.code);
    std::set<std::string> committed;
    for (int n = 0; n < kThreads * kEach; ++n)
        if (n % 3 != 2) committed.insert("G" + std::to_string(n));
    EXPECT_EQ(stored, committed);
}

TEST_P(StorageTest, AOneStatementReadAnswersAsAReadAndRefusesASecondStatement) {
    insert({booking("00002", "1000", "1100"), booking("00001", "0800", "0900"),
            booking("00003", "0830", "0930", "C")});
    auto spansIn = [](Storage& s) { return spansOf(s.readOne()->scheduledHours("101", kDay)); };
    EXPECT_EQ(spansIn(*storage), spansOf(storage->read()->scheduledHours("101", kDay)));
    EXPECT_EQ(spansIn(*storage), (std::vector<std::string>{"0800-0900", "1000-1100"}));
    auto one = storage->readOne()->bookings("101", kDay);
    auto all = storage->read()->bookings("101", kDay);
    ASSERT_EQ(one.size(), 3u);
    for (std::size_t i = 0; i < one.size(); ++i) EXPECT_EQ(fieldsOf(one[i]), fieldsOf(all[i])) << i;
    EXPECT_EQ(one[0].operatorName, "Ana Souza");
    ASSERT_EQ(storage->readOne()->rooms().size(), 2u);
    EXPECT_EQ(storage->readOne()->rooms()[1].name, "Sala 102");
    EXPECT_EQ(storage->readOne()->roomName("101"), "Sala 101");
    EXPECT_EQ(storage->readOne()->roomName("999"), std::nullopt);
    EXPECT_EQ(storage->readOne()->credential("ana")->name, "Ana Souza");
    EXPECT_FALSE(storage->readOne()->credential("zé"));

    auto tx = storage->readOne();
    EXPECT_EQ(tx->bookings("101", kDay).size(), 3u);
    EXPECT_THROW(tx->roomName("101"), StorageError);
    EXPECT_THROW(tx->bookings("101", kDay), StorageError);
}

AGE_ON_EACH_BACKEND(StorageTest);

class PostgresOnly : public StorageTest {};

TEST_P(PostgresOnly, TheDatabaseItselfRefusesOverlappingScheduledBookings) {
    insert({booking("00001", "0800", "0900"), booking("00002", "0830", "0930", "C"),
            booking("00003", "0800", "0900", "A", "102"),
            booking("00004", "0800", "0900", "A", "101", kDay + std::chrono::days(1))});
    for (const auto& clash : {booking("00005", "0900", "1000"), booking("00005", "0700", "0800"),
                              booking("00005", "0815", "0830"), booking("00002", "0830", "0930")}) {
        auto tx = storage->write();
        auto store = [&] { clash.seq == "00002" ? tx->updateBooking(clash) : tx->insertBooking(clash); };
        EXPECT_THROW(store(), StorageOverlap) << clash.seq << " " << clash.start << "-" << clash.end;
    }
    auto tx = storage->write();
    EXPECT_TRUE(tx->insertBooking(booking("00005", "0901", "1000")));
    tx->commit();
}

TEST_P(PostgresOnly, ADeadlockIsAConflictToRunAgain) {
    auto a = storage->write();
    auto b = storage->write();
    a->lockRoom("101");
    b->lockRoom("102");
    auto lockAndCommit = [](std::unique_ptr<Transaction>& tx, const char* room) -> std::string {
        try {
            tx->lockRoom(room);
            tx->commit();
            return "committed";
        } catch (const StorageConflict&) {
            tx.reset();  // rolls back, which lets the other one through
            return "conflict";
        } catch (const std::exception& e) {
            return e.what();
        }
    };
    std::string aOutcome;
    std::thread t([&] { aOutcome = lockAndCommit(a, "102"); });
    std::string bOutcome = lockAndCommit(b, "101");
    t.join();
    EXPECT_EQ((std::multiset<std::string>{aOutcome, bOutcome}),
              (std::multiset<std::string>{"committed", "conflict"}));
}

TEST_P(PostgresOnly, ThePoolKeepsToItsSize) {
    constexpr int kPool = 3, kThreads = 8, kEach = 20;
    auto pooled = open(kPool);
    std::mutex m;
    std::set<long> numbers;
    auto errors = onThreads(kThreads, [&] {
        for (int k = 0; k < kEach; ++k) {
            auto tx = pooled->write();
            long n = tx->nextSeq("101");
            tx->commit();
            std::lock_guard lock(m);
            numbers.insert(n);
        }
    });
    ASSERT_TRUE(errors.empty()) << errors.front();
    EXPECT_EQ(numbers.size(), std::size_t{kThreads * kEach});
    std::string open = querySql(url(),
                                "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'age-server'"
                                " AND datname = current_database()");
    EXPECT_LE(std::stoi(open), kPool + 1);  // the fixture's own storage keeps its connection too
}

TEST_P(PostgresOnly, ConnectionsTheDatabaseDroppedAreReplaced) {
    auto pooled = open(4);
    {
        std::vector<std::unique_ptr<Transaction>> held;  // four connections open, then idle in the pool
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

// Outside a transaction nothing would roll a change back: a one-statement read runs reads only.
TEST_P(PostgresOnly, AOneStatementReadRefusesToWriteOrLock) {
    EXPECT_THROW(storage->readOne()->addRoom({"201", "Auditório"}), StorageError);
    EXPECT_THROW(storage->readOne()->insertBooking(booking("00001", "0800", "0900")), StorageError);
    EXPECT_THROW(storage->readOne()->lockRoom("101"), StorageError);
    EXPECT_EQ(storage->read()->roomName("201"), std::nullopt);
    EXPECT_TRUE(storage->read()->bookings("101", kDay).empty());
}

// A connection dropped under a transaction fails its statement as a conflict to run again, whether the
// transaction is a snapshot or a single statement; the pool then replaces it and its idle fellows.
TEST_P(PostgresOnly, AConnectionDroppedUnderAOneStatementReadIsAConflictAsUnderARead) {
    auto pooled = open(4);
    const std::function<std::unique_ptr<Transaction>()> kinds[] = {[&] { return pooled->read(); },
                                                                    [&] { return pooled->readOne(); }};
    for (int kind = 0; kind < 2; ++kind) {
        {
            std::vector<std::unique_ptr<Transaction>> held;  // connections left idle in the pool
            for (int i = 0; i < 3; ++i) held.push_back(pooled->read());
        }
        auto tx = kinds[kind]();
        // Waits (up to 5 s) for each backend to be gone, so the statement below finds it dropped.
        runSql(url(),
               "SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity"
               " WHERE application_name = 'age-server' AND datname = current_database()");
        EXPECT_THROW(tx->rooms(), StorageConflict) << kind;
        tx.reset();
        EXPECT_EQ(kinds[kind]()->rooms().size(), 2u) << kind;
    }
}

class SqliteOnly : public StorageTest {};

// The WAL is written back to the database file by the storage's own thread, since calls no longer do it;
// without it the WAL would grow for ever.
TEST_P(SqliteOnly, CommitsReachTheDatabaseFileWithoutAnyCallCheckpointing) {
    const std::string path = url().substr(std::string_view("sqlite:").size());
    const auto before = std::filesystem::file_size(path);
    for (int i = 0; i < 600; ++i) {  // well past the 1,000 WAL pages that call for a checkpoint
        char seq[8];
        std::snprintf(seq, sizeof seq, "%05d", i + 1);
        auto day = kDay + std::chrono::days(i / 2);
        insert({booking(seq, "0800", "0900", "A", i % 2 ? "101" : "102", day)});
    }
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::filesystem::file_size(path) == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_GT(std::filesystem::file_size(path), before);
    auto tx = storage->read();
    EXPECT_EQ(tx->bookings("102", kDay).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(, SqliteOnly, ::testing::Values(Backend::Sqlite),
                         [](const auto& info) { return backendName(info.param); });

INSTANTIATE_TEST_SUITE_P(, PostgresOnly, ::testing::Values(Backend::Postgres),
                         [](const auto& info) { return backendName(info.param); });

}  // namespace
}  // namespace age::test
