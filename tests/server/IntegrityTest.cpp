// What the database itself must hold, on each backend: pending sequence numbers and the counter's range,
// `age-server check` against faults planted behind the server's back, `room renumber` for a room whose
// numbers ran out, and the cap of bookings one room may hold on one day.
#include <sqlite3.h>

#include "common/BookingRules.h"
#include "server/storage/Storage.h"
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

namespace srv = age::server;
using std::chrono::days;

srv::Booking stored(const std::string& seq, const std::string& start, const std::string& end,
                    const std::string& status = "A", const std::string& room = "101", Date day = kToday) {
    return srv::Booking("0001", seq, status, "Reunião", room, day, "ana", "", start, end, kNow);
}

class Integrity : public BackendParamTest {
  protected:
    void SetUp() override {
        BackendParamTest::SetUp();
        if (IsSkipped()) return;
        storage = srv::openStorage(db.dbUrl());
    }

    // A statement run behind the server's back, as a restore or a hand edit would.
    void raw(const std::string& sql) {
        if (GetParam() == Backend::Postgres) return runSql(db.dbUrl(), sql);
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(db.dbUrl().substr(7).c_str(), &handle), SQLITE_OK);
        char* error = nullptr;
        int rc = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &error);
        std::string message = error ? error : "";
        sqlite3_free(error);
        sqlite3_close(handle);
        ASSERT_EQ(rc, SQLITE_OK) << message;
    }

    void insert(const std::vector<srv::Booking>& bookings) {
        auto tx = storage->write();
        for (const auto& b : bookings) ASSERT_TRUE(tx->insertBooking(b)) << b.seq;
        tx->commit();
    }
    void setCounter(const std::string& room, long last, long limit = srv::kLastSeq) {
        auto tx = storage->write();
        tx->setSeqCounter({room, last, limit});
        tx->commit();
    }
    int check(std::string* out) { return db.admin({"check"}, out); }

    // Connected to the server once `serve()` started it.
    Packet ok(std::string_view method, Args args = {}) {
        return Consiste::CheckResultServ(net.AppServer().Call(method, args), false, 0);
    }
    std::optional<std::string> refused(std::string_view method, Args args) {
        try {
            ok(method, args);
            return std::nullopt;
        } catch (const EServerError& e) {
            return e.what();
        }
    }
    void serve() {
        db.start();
        db.configure(net);
    }
    std::string nextSeq(const std::string& room = "101") {
        return textOf(ok("GetNrSeq", {room, kToday}).rows.at(0).at(0));
    }

    TestServer db{onBackend({.start = false})};
    std::unique_ptr<srv::Storage> storage;
    TNetConnection net;
};

TEST_P(Integrity, PendingNumbersAreClaimedOnceAndTheCounterKeepsToItsRange) {
    auto tx = storage->write();
    EXPECT_EQ(tx->nextSeqs("101", 3), 1);
    tx->addPendingSeq("101", 2);
    tx->addPendingSeq("101", 3);
    EXPECT_TRUE(tx->insertBooking(stored("00001", "0800", "0900")));
    EXPECT_EQ(tx->seqsInUse("101"), (std::vector<long>{1, 2, 3}));
    EXPECT_TRUE(tx->claimPendingSeq("101", 2));
    EXPECT_FALSE(tx->claimPendingSeq("101", 2));
    EXPECT_FALSE(tx->claimPendingSeq("102", 3));
    EXPECT_EQ(tx->seqsInUse("101"), (std::vector<long>{1, 3}));

    tx->setSeqCounter({"101", 99990, srv::kLastSeq});
    EXPECT_EQ(tx->nextSeqs("101", 10), 0);  // nothing taken: one number too many
    EXPECT_EQ(tx->nextSeqs("101", 9), 99991);
    EXPECT_EQ(tx->nextSeq("101"), 0);
    tx->setSeqCounter({"101", 10, 11});
    EXPECT_EQ(tx->nextSeq("101"), 11);
    EXPECT_EQ(tx->nextSeq("101"), 0);
    EXPECT_EQ(tx->seqCounters().at(0).last, 11);
}

// A database of the schema before pending numbers: its counters carry on where they were.
TEST_P(Integrity, AnUpgradedDatabaseKeepsItsCountersWithTheFullRange) {
    storage.reset();
    raw("INSERT INTO SEQSALA (CDSALA, NRULTSEQ) VALUES ('101', 7); DROP TABLE SEQENTREGUE;"
        " ALTER TABLE SEQSALA DROP COLUMN NRLIMITE;" +
        std::string(GetParam() == Backend::Postgres ? "UPDATE VERSAOESQUEMA SET NRVERSAO = 1"
                                                    : "PRAGMA user_version = 1"));
    ASSERT_EQ(db.admin({"init"}), 0);
    storage = srv::openStorage(db.dbUrl());
    auto tx = storage->write();
    EXPECT_EQ(tx->nextSeq("101"), 8);
    tx->addPendingSeq("101", 8);
    EXPECT_EQ(tx->seqCounters().at(0).limit, srv::kLastSeq);
    EXPECT_EQ(tx->seqsInUse("101"), std::vector<long>{8});
}

TEST_P(Integrity, CheckPassesACleanDatabaseAndNamesEachPlantedFault) {
    {
        auto tx = storage->write();
        EXPECT_EQ(tx->nextSeqs("101", 3), 1);
        tx->commit();
    }
    insert({stored("00001", "0800", "0900"), stored("00002", "0900", "1000", "C"),
            stored("00003", "0901", "1000")});
    std::string out;
    EXPECT_EQ(check(&out), 0) << out;
    EXPECT_EQ(out, "ok: 3 bookings checked in 1 room(s)\n");

    if (GetParam() == Backend::Postgres)
        raw("ALTER TABLE AGESALA DROP CONSTRAINT AGESALA_SEM_SOBREPOSICAO;"
            " ALTER TABLE AGESALA DROP CONSTRAINT agesala_cdsala_fkey");
    else
        raw("UPDATE AGESALA SET DTATIAGESALA = '2026-02-30' WHERE NRSEQAGESALA = '00002'");
    raw("INSERT INTO AGESALA (CDFILIAL, NRSEQAGESALA, IDSITAGESALA, DSAGENDASALA, CDSALA, DTATIAGESALA,"
        " HRINIAGESALA, HRFINAGESALA) VALUES ('0001', '00001', 'A', 'Restaurada', 'ZZ', '2026-12-07', '0800',"
        " '0900')");
    insert({stored("00004", "0930", "1030"), stored("00005", "0960", "1000", "A", "101", kToday + days(1)),
            stored("00001", "1000", "1100", "A", "102")});
    setCounter("102", 0, srv::kLastSeq);

    EXPECT_EQ(check(&out), 1) << out;
    for (const char* fault : {
             "booking 101/00004 on 2026-12-07: 0930-1030 overlaps booking 00003 (0901-1000)",
             "booking 101/00005 on 2026-12-08: malformed hours \"0960\"-\"1000\"",
             "booking ZZ/00001 on 2026-12-07: the room is not registered",
             "room 101: its counter (at 00003) is below 2 number(s) in use, from 00004",
             "room 102: its counter (at 00000) is below 1 number(s) in use, from 00001",
             "room ZZ: its counter (at 00000) is below 1 number(s) in use, from 00001",
         })
        EXPECT_NE(out.find(fault), std::string::npos) << fault << "\n" << out;
    if (GetParam() == Backend::Sqlite) {
        EXPECT_NE(out.find("booking 101/00002 on 2026-02-30: malformed day \"2026-02-30\""),
                  std::string::npos)
            << out;
    }
    EXPECT_EQ(out.find("ok:"), std::string::npos) << out;
}

TEST_P(Integrity, RenumberGivesTheLongestRangeFreeOfStoredAndPendingNumbers) {
    insert(
        {stored("00001", "0700", "0759"), stored("00003", "0800", "0859"), stored("70000", "0900", "0959")});
    {
        auto tx = storage->write();
        tx->setSeqCounter({"101", 29999, srv::kLastSeq});
        EXPECT_EQ(tx->nextSeq("101"), 30000);
        tx->addPendingSeq("101", 30000);  // as GetNrSeq hands it out: a client holds it
        tx->setSeqCounter({"101", srv::kLastSeq, srv::kLastSeq});
        tx->commit();
    }
    serve();
    const std::string exhausted = "Os seqüenciais da sala \"101\" se esgotaram.";
    EXPECT_EQ(refused("GetNrSeq", {"101", kToday}), exhausted);

    std::string out;
    EXPECT_EQ(db.admin({"room", "renumber", "101"}, &out), 0) << out;
    EXPECT_EQ(out, "room 101: numbers 30001 to 69999 (39999) come next\n");
    EXPECT_EQ(nextSeq(), "30001");
    EXPECT_EQ(
        refused("SetAgendaSala", {deltaOf({insertOf(rowOf({.start = "1000", .end = "1100"}, "30000"))})}),
        std::nullopt);  // the number the client held is still good
    EXPECT_EQ(check(&out), 0) << out;

    setCounter("101", 69998, 69999);
    EXPECT_EQ(nextSeq(), "69999");
    EXPECT_EQ(refused("GetNrSeq", {"101", kToday}), exhausted);  // 70000 is stored

    // With every program stopped, the numbers handed out and never saved can be given out again too.
    db.stop();
    EXPECT_EQ(db.admin({"room", "renumber", "101", "--withdraw-pending"}, &out), 0) << out;
    EXPECT_EQ(out,
              "room 101: 2 unsaved number(s) withdrawn\n"
              "room 101: numbers 30001 to 69999 (39999) come next\n");  // 30001 and 69999 again
    EXPECT_EQ(db.admin({"room", "renumber", "999"}, &out), 1);
    EXPECT_NE(out.find("no room 999"), std::string::npos) << out;
}

TEST_P(Integrity, ARoomHoldsAThousandBookingsADayAndNoMore) {
    {
        auto tx = storage->write();
        long first = tx->nextSeqs("101", 999);
        for (long n = first; n < first + 999; ++n) {
            char seq[8];
            std::snprintf(seq, sizeof seq, "%05ld", n);
            ASSERT_TRUE(tx->insertBooking(stored(seq, "0800", "0900", "C")));
        }
        tx->commit();
    }
    serve();
    const std::string full = "A sala \"101\" já tem 1000 agendamentos em 07/12/2026, o máximo por dia; ";
    auto save = [&](std::vector<data::Change> changes) {
        return refused("SetAgendaSala", {deltaOf(changes)});
    };
    std::string a = nextSeq(), b = nextSeq();
    EXPECT_EQ(save({insertOf(rowOf({.start = "0800", .end = "0900"}, a)),
                    insertOf(rowOf({.start = "1000", .end = "1100"}, b))}),
              full + "não é possível incluir outro.");
    EXPECT_EQ(save({insertOf(rowOf({.start = "0800", .end = "0900"}, a))}), std::nullopt);  // the 1000th
    EXPECT_EQ(save({insertOf(rowOf({.start = "1000", .end = "1100"}, b))}),
              full + "não é possível incluir outro.");
    EXPECT_EQ(save({insertOf(rowOf({.start = "1000", .end = "1100", .day = kToday + days(1)}, b))}),
              std::nullopt);

    std::string list = "_07/12/2026_09/12/2026";
    EXPECT_EQ(refused("SetHrSala", {"0001", "ana", TAppServer::Arg::Ref(list), "00000", "A", "Comitê", "1400",
                                    "1500", "101"}),
              full + "nada foi agendado.");
    EXPECT_TRUE(ok("GetAgendaSala", {"101", kToday + days(2)}).rows.empty());
    list = "_09/12/2026";
    EXPECT_EQ(refused("SetHrSala", {"0001", "ana", TAppServer::Arg::Ref(list), "00000", "A", "Comitê", "1400",
                                    "1500", "101"}),
              std::nullopt);
    EXPECT_EQ(ok("GetAgendaSala", {"101", kToday}).rows.size(), 1000u);
}

AGE_ON_EACH_BACKEND(Integrity);

}  // namespace
}  // namespace age::test
