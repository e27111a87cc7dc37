// What each read method of the agenda module delivers.
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using data::FieldDef;
using data::FieldType;
using std::chrono::days;

using Methods = ServerTest;

TEST_P(Methods, RoomsTheirNamesAndTheClock) {
    ASSERT_EQ(server.admin({"room", "add", "100", "Sala 100"}), 0);  // added last, listed first
    Packet rooms = ok("GetSala");
    EXPECT_EQ(rooms.fields, (std::vector<FieldDef>{{"CDSALA", FieldType::String, 5}}));
    EXPECT_EQ(rooms.rows, (std::vector<Row>{{"100"}, {"101"}, {"102"}, {"201"}}));

    Packet name = ok("getNmSala", {"201", "0001"});
    EXPECT_EQ(name.fields, (std::vector<FieldDef>{{"NMSALA", FieldType::String, 30}}));
    EXPECT_EQ(name.rows, (std::vector<Row>{{"Auditório"}}));
    EXPECT_TRUE(ok("getNmSala", {"999", "0001"}).rows.empty());
    EXPECT_TRUE(ok("getNmSala", {"", "0001"}).rows.empty());

    Packet now = ok("GetSysdate");
    EXPECT_EQ(now.fields, (std::vector<FieldDef>{{"SYSDATE", FieldType::DateTime, 0}}));
    EXPECT_EQ(now.rows, (std::vector<Row>{{kNow}}));
}

TEST_P(Methods, GetNrSeqCountsPerRoomInFiveDigitsAndNeverHandsANumberOutTwice) {
    Packet first = ok("GetNrSeq", {"101", kToday});
    EXPECT_EQ(first.fields, (std::vector<FieldDef>{{"NRSEQ", FieldType::String, 5}}));
    EXPECT_EQ(textOf(first.rows.at(0).at(0)), "00001");
    EXPECT_EQ(nextSeq("101"), "00002");  // 00001 was never saved: a gap, not a reuse
    EXPECT_EQ(nextSeq("102"), "00001");
    EXPECT_EQ(nextSeq("101", kToday + days(30)), "00003");  // per room, whatever the day
    EXPECT_EQ(refused("GetNrSeq", {"999", kToday}), "Sala \"999\" não cadastrada.");

    // A client stores the numbers it was handed (00001, never saved before, still can be); a number of its
    // own choosing is refused and never moves the counter.
    EXPECT_FALSE(trySave({insertOf(rowOf({.start = "0800", .end = "0900"}, "00001"))}));
    EXPECT_TRUE(trySave({insertOf(rowOf({.start = "1000", .end = "1100"}, "00007"))}));
    EXPECT_EQ(nextSeq(), "00004");
    EXPECT_TRUE(trySave({insertOf(rowOf({.start = "0800", .end = "0900", .room = "201"}, "00004"))}));
    EXPECT_EQ(nextSeq("201"), "00001");  // a room without a counter yet
}

TEST_P(Methods, GetAgendaSalaDeliversEveryBookingOfTheDayAndGetHoraTheScheduledHours) {
    std::string late = book({.start = "1400", .end = "1500", .operatorCode = "bruno"});
    std::string early = book({.start = "0800", .end = "0900"});
    std::string cancelled = book({.start = "1000", .end = "1100"});
    ASSERT_EQ(tryChange(cancelled, IDSIT, "C"), std::nullopt);
    std::string closed = book({.start = "0700", .end = "0730"});
    ASSERT_EQ(tryChange(closed, IDSIT, "E"), std::nullopt);
    book({.start = "0800", .end = "0900", .room = "102"});
    book({.start = "0800", .end = "0900", .day = kToday + days(1)});
    std::string unknown = book({.start = "1000", .end = "1030", .operatorCode = "nobody"});

    Packet p = agenda();
    EXPECT_EQ(p.fields, bookingFields());
    std::vector<std::string> order;
    for (const Row& r : p.rows) order.push_back(textOf(r[NRSEQ]) + textOf(r[IDSIT]));
    // By start hour, then by sequence number; every status is delivered.
    EXPECT_EQ(order, (std::vector<std::string>{closed + "E", early + "A", cancelled + "C", unknown + "A",
                                               late + "A"}));
    ASSERT_EQ(p.rows.size(), 5u);
    EXPECT_EQ(p.rows[1], with(rowOf({.start = "0800", .end = "0900"}, early), NMOPERADOR, "Ana Souza"));
    EXPECT_EQ(textOf(p.rows[4][NMOPERADOR]), "Bruno Lima");
    EXPECT_TRUE(data::isNull(p.rows[3][NMOPERADOR]));  // an operator the server does not know

    Packet hours = ok("GetHora", {"101", kToday});
    EXPECT_EQ(hours.fields, (std::vector<FieldDef>{{"HRINIAGESALA", FieldType::String, 4},
                                                   {"HRFINAGESALA", FieldType::String, 4}}));
    EXPECT_EQ(hours.rows, (std::vector<Row>{{"0800", "0900"}, {"1000", "1030"}, {"1400", "1500"}}));
    EXPECT_TRUE(ok("GetHora", {"201", kToday}).rows.empty());
}

AGE_ON_EACH_BACKEND(Methods);

}  // namespace
}  // namespace age::test
