// What each read method of the agenda module delivers.
#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using data::FieldDef;
using data::FieldType;

class Methods : public ServerTest {
  protected:
    Methods()
        : ServerTest(ServerSetup{.rooms = {{"201", "Auditório"}, {"101", "Sala 101"}, {"102", "Sala 102"}}}) {
    }
};

TEST_P(Methods, GetSalaListsEveryRoomByCode) {
    Packet p = ok("GetSala");
    EXPECT_EQ(p.fields, (std::vector<FieldDef>{{"CDSALA", FieldType::String, 5}}));
    ASSERT_EQ(p.rows.size(), 3u);
    EXPECT_EQ(textOf(p.rows[0][0]), "101");
    EXPECT_EQ(textOf(p.rows[1][0]), "102");
    EXPECT_EQ(textOf(p.rows[2][0]), "201");
}

TEST_P(Methods, GetNmSalaNamesAKnownRoomAndGivesNoRowForAnUnknownOne) {
    Packet p = ok("getNmSala", {"201", "0001"});
    EXPECT_EQ(p.fields, (std::vector<FieldDef>{{"NMSALA", FieldType::String, 30}}));
    ASSERT_EQ(p.rows.size(), 1u);
    EXPECT_EQ(textOf(p.rows[0][0]), "Auditório");
    EXPECT_TRUE(ok("getNmSala", {"999", "0001"}).rows.empty());
    EXPECT_TRUE(ok("getNmSala", {"", "0001"}).rows.empty());
}

TEST_P(Methods, GetSysdateIsThePinnedClock) {
    Packet p = ok("GetSysdate");
    EXPECT_EQ(p.fields, (std::vector<FieldDef>{{"SYSDATE", FieldType::DateTime, 0}}));
    ASSERT_EQ(p.rows.size(), 1u);
    EXPECT_EQ(p.rows[0][0], Value{kNow});
}

TEST_P(Methods, GetNrSeqCountsPerRoomInFiveDigitsAndNeverHandsANumberOutTwice) {
    Packet first = ok("GetNrSeq", {"101", kToday});
    EXPECT_EQ(first.fields, (std::vector<FieldDef>{{"NRSEQ", FieldType::String, 5}}));
    EXPECT_EQ(textOf(first.rows.at(0).at(0)), "00001");
    EXPECT_EQ(nextSeq("101"), "00002");  // 00001 was never saved: a gap, not a reuse
    EXPECT_EQ(nextSeq("102"), "00001");
    EXPECT_EQ(nextSeq("101", kToday + std::chrono::days(30)), "00003");  // per room, whatever the day
    EXPECT_EQ(refusal("GetNrSeq", {"999", kToday}), "Sala \"999\" não cadastrada.");
}

TEST_P(Methods, AStoredSequenceNumberIsNeverHandedOutAfterwards) {
    NewBooking b{.start = "0800", .end = "0900"};
    EXPECT_FALSE(trySave({insertOf(rowOf(b, "00007"))}));
    EXPECT_EQ(nextSeq(), "00008");
}

TEST_P(Methods, GetAgendaSalaDeliversTheBookingRecordWithOperatorNamesInStartOrder) {
    std::string late = book({.start = "1400", .end = "1500", .operatorCode = "bruno"});
    std::string early = book({.start = "0800", .end = "0900"});
    std::string cancelled = book({.start = "1000", .end = "1100"});
    Row old = storedWithoutName(cancelled);
    Row now = old;
    now[IDSIT] = std::string("C");
    ASSERT_FALSE(trySave({updateOf(old, now)}));
    book({.start = "0800", .end = "0900", .room = "102"});
    book({.start = "0800", .end = "0900", .day = kToday + std::chrono::days(1)});
    book({.start = "1000", .end = "1030", .operatorCode = "nobody"});

    Packet p = agenda();
    EXPECT_EQ(p.fields, bookingFields());
    ASSERT_EQ(p.rows.size(), 4u);
    EXPECT_EQ(textOf(p.rows[0][NRSEQ]), early);
    EXPECT_EQ(textOf(p.rows[1][NRSEQ]), cancelled);  // every status is delivered
    EXPECT_EQ(textOf(p.rows[1][IDSIT]), "C");
    EXPECT_GT(textOf(p.rows[2][NRSEQ]), cancelled);  // the same start hour: by sequence number
    EXPECT_EQ(textOf(p.rows[3][NRSEQ]), late);
    EXPECT_EQ(textOf(p.rows[0][NMOPERADOR]), "Ana Souza");
    EXPECT_EQ(textOf(p.rows[3][NMOPERADOR]), "Bruno Lima");
    EXPECT_TRUE(data::isNull(p.rows[2][NMOPERADOR]));  // an operator the server does not know
    Row expected = rowOf({.start = "0800", .end = "0900"}, early);
    expected[NMOPERADOR] = std::string("Ana Souza");
    EXPECT_EQ(p.rows[0], expected);
}

TEST_P(Methods, GetHoraListsTheScheduledHoursOnlyInStartOrder) {
    book({.start = "1300", .end = "1400"});
    std::string gone = book({.start = "0700", .end = "0730"});
    book({.start = "0800", .end = "0900"});
    Row old = storedWithoutName(gone), closed = old;
    closed[IDSIT] = std::string("E");
    ASSERT_FALSE(trySave({updateOf(old, closed)}));

    Packet p = ok("GetHora", {"101", kToday});
    EXPECT_EQ(p.fields, (std::vector<FieldDef>{{"HRINIAGESALA", FieldType::String, 4},
                                               {"HRFINAGESALA", FieldType::String, 4}}));
    ASSERT_EQ(p.rows.size(), 2u);
    EXPECT_EQ(p.rows[0], (Row{std::string("0800"), std::string("0900")}));
    EXPECT_EQ(p.rows[1], (Row{std::string("1300"), std::string("1400")}));
    EXPECT_TRUE(ok("GetHora", {"102", kToday}).rows.empty());
}

AGE_ON_EACH_BACKEND(Methods);

}  // namespace
}  // namespace age::test
